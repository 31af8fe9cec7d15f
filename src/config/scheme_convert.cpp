#include "config/scheme_convert.hpp"

#include <toml++/toml.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/atomic_file.hpp"
#include "base/messages.hpp"
#include "config/scheme_file.hpp"

namespace qm {

namespace {

template <class T>
std::string shortest(T v) {
  char b[64];
  const auto res = std::to_chars(b, b + sizeof b, v);
  return std::string(b, res.ptr);
}

// Text as TOML may hold it: valid UTF-8 (other bytes become '?') without
// control characters other than tab (they become blanks).
std::string clean_text(std::string_view in) {
  std::string s;
  for (size_t i = 0; i < in.size();) {
    const unsigned char c = static_cast<unsigned char>(in[i]);
    const size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    bool ok = n > 0 && i + n <= in.size();
    for (size_t k = 1; ok && k < n; ++k) ok = (static_cast<unsigned char>(in[i + k]) & 0xC0) == 0x80;
    if (!ok) {
      s += '?';
      ++i;
      continue;
    }
    if (n == 1 && ((c < 0x20 && c != '\t') || c == 0x7f))
      s += ' ';
    else
      s.append(in.substr(i, n));
    i += n;
  }
  return s;
}

// A heading as a comment line (none for a blank heading).
std::string comment(const std::string& heading) {
  const std::string s = clean_text(heading);
  const size_t a = s.find_first_not_of(" \t");
  if (a == std::string::npos) return "";
  const size_t b = s.find_last_not_of(" \t");
  return "# " + s.substr(a, b + 1 - a) + "\n";
}

std::string toml_string(const std::string& s) {
  std::ostringstream os;
  os << toml::value<std::string>(s);
  return os.str();
}

// The value of key k as TOML text.
std::string value_text(const scheme_key& k, const key_value& v, int ntrait) {
  switch (k.kind) {
    case key_kind::integer: return std::to_string(v.integer);
    case key_kind::single_real:
    case key_kind::double_real: return v.number;
    case key_kind::boolean: return v.flag ? "true" : "false";
    case key_kind::text: return toml_string(v.text);
    case key_kind::choice:
      for (const named_code& c : k.choices)
        if (c.code == v.code) return "\"" + std::string(c.name) + "\"";
      return std::to_string(v.code);
    case key_kind::choices: {
      std::string s = "[";
      for (size_t i = 0; i < v.codes.size(); ++i)
        for (const named_code& c : k.choices)
          if (c.code == v.codes[i]) s += (i ? ", \"" : "\"") + std::string(c.name) + "\"";
      return s + "]";
    }
    case key_kind::names: {
      std::string s = "[";
      for (size_t i = 0; i < v.names.size(); ++i) s += (i ? ", " : "") + toml_string(v.names[i]);
      return s + "]";
    }
    case key_kind::reals: {
      std::string s = "[";
      for (size_t i = 0; i < v.numbers.size(); ++i) s += (i ? ", " : "") + v.numbers[i];
      return s + "]";
    }
    case key_kind::correlations: {
      // The full matrix, one row a line.
      std::string s = "[\n";
      for (int i = 0; i < ntrait; ++i) {
        s += "  [";
        for (int j = 0; j < ntrait; ++j) {
          std::string x = "1.0";
          if (i != j) {
            const int a = std::min(i, j), b = std::max(i, j);
            const size_t pair = static_cast<size_t>(a * ntrait - a * (a + 1) / 2 + (b - a - 1));
            x = pair < v.numbers.size() ? v.numbers[pair] : "0.0";
          }
          s += (j ? ", " : "") + x;
        }
        s += "],\n";
      }
      return s + "]";
    }
  }
  return "";
}

// The classic heading record that goes above a key, as a comment: the run
// records by number, the stage records by their place in the block.
int heading_before(const scheme_key& k) {
  const std::string_view n = k.name;
  if (k.table == "") return n == "seed" ? 15 : 0;
  if (k.table == "traits") return n == "genetic_correlations" ? 3 : n == "residual_correlations" ? 5 : n == "heritability" ? 7 : 0;
  if (k.table == "genome") return n == "markers_per_chromosome" ? 9 : n == "length_morgan" ? 11 : 0;
  if (k.table == "qtl") return n == "count" ? 13 : 0;
  if (k.table == "stage") return n == "sires" ? -1 : n == "mutation" ? -3 : 0;  // records 4s + 13 and 4s + 15
  return 0;
}

void append_table(std::string& out, const run_parameters& p, const stage_block& b, std::string_view table, int stage,
                  const std::vector<std::string>& rec) {
  const auto heading = [&](int r) {
    if (r > 0 && static_cast<size_t>(r) <= rec.size()) out += comment(rec[static_cast<size_t>(r - 1)]);
  };
  for (const scheme_key& k : scheme_keys()) {
    if (k.table != table || k.name == "title") continue;
    if (k.classic.empty()) continue;  // a classic file has no such setting: the key keeps its default
    if (k.allowed && !k.allowed(p)) continue;
    const int h = heading_before(k);
    if (h > 0) heading(h);
    if (h < 0) heading(4 * stage + 13 + (-h - 1));
    out += std::string(k.name) + " = " + value_text(k, k.load(p, b), p.ntrait) + "\n";
  }
}

}  // namespace

std::string scheme_text_of(const run_parameters& p, std::string_view classic_text, const std::string& source) {
  const std::vector<std::string> rec = records_of(classic_text);
  const stage_block none;
  std::string out = "# Scheme file converted by quillmere convert from " + source +
                    ".\n# The headings of the classic file stand as comments above their keys; docs/scheme.md "
                    "describes every key.\n\n";
  out += "title = " + toml_string(clean_text(p.title)) + "\n";
  append_table(out, p, none, "", 0, rec);
  for (std::string_view t : {"traits", "genome", "qtl"}) {
    out += "\n[" + std::string(t) + "]\n";
    append_table(out, p, none, t, 0, rec);
  }
  for (int s = 1; s <= p.nstage; ++s) {
    out += "\n[[stage]]\n";
    append_table(out, p, p.stages[static_cast<size_t>(s)].block, "stage", s, rec);
  }
  return out;
}

classic_conversion classic_text_of(const run_parameters& p, std::span<const scheme_key> keys) {
  classic_conversion c;
  if (p.scheme)
    for (const scheme_key& k : keys) {
      if (!k.classic.empty()) continue;
      if (k.table == "traits.dominance" || k.table == "line") continue;  // named as a whole below
      const std::string name = k.table.empty() ? std::string(k.name) : std::string(k.table) + "." + std::string(k.name);
      bool given = false;
      for (const auto& [path, place] : p.scheme->at) {
        if (path == name) given = true;
        // A stage key (stage.2.sires) or a key of a table of a stage (stage.2.index.weights).
        const std::string tail = k.table == "stage" ? "." + std::string(k.name)
                                 : k.table.starts_with("stage.")
                                     ? "." + std::string(k.table.substr(6)) + "." + std::string(k.name)
                                     : std::string();
        if (!tail.empty() && path.starts_with("stage.") && path.ends_with(tail) &&
            path.find('.', 6) + tail.size() == path.size())
          given = true;
      }
      if (given) c.without_form.push_back(k.table.empty() ? name : "[" + std::string(k.table) + "] " + std::string(k.name));
    }
  if (p.scheme && p.with_dominance()) c.without_form.push_back("[traits] dominance");
  if (p.scheme && !p.lines.empty()) c.without_form.push_back("[[line]]");
  if (p.scheme)
    for (int s = 1; s <= p.nstage; ++s)
      if (p.stages[static_cast<size_t>(s)].block.matetype == min_coancestry_mating) {
        c.without_form.push_back("[[stage]] mating = \"min_coancestry\"");
        break;
      }
  if (!c.without_form.empty()) return c;
  const auto list = [](const std::vector<float>& v) {
    std::string s;
    for (float x : v) s += (s.empty() ? "" : " ") + shortest(x);
    return s;
  };
  const int maptype = p.maptype == 0 || p.maptype == 1 ? p.maptype : 2;
  std::string& s = c.text;
  s += p.title + "\n";
  s += std::to_string(p.ntrait) + " " + (p.thresh == 1 ? "1" : "0") + " " + shortest(p.incid) + " " +
       (p.uncommon_QTL == 1 ? "1" : "0") + "   ntrait thresh incid uncommon_QTL\n";
  s += "genetic correlations, pairs (1,2) (1,3) .. (2,3) ..\n" + list(p.rgen) + "\n";
  s += "residual correlations, same pair order\n" + list(p.rerr) + "\n";
  s += "heritabilities\n" + list(p.h2) + "\n";
  s += "markers per chromosome, chromosomes, maptype\n" + std::to_string(p.nmpc) + " " + std::to_string(p.nchr) + " " +
       std::to_string(maptype) + "   nmpc nchr maptype\n";
  s += "chromosome length (Morgan), mutation rates of markers and candidate QTL loci\n" + shortest(p.chrlen) + " " +
       shortest(p.mutm) + " " + shortest(p.mutq) + "   chrlen mutm mutq\n";
  s += "QTL effect distribution, number of QTL, two distribution parameters\n" + std::to_string(p.qtlrule) + " " +
       std::to_string(p.nqtl) + " " + shortest(p.qtlp1) + " " + shortest(p.qtlp2) + "   qtlrule nqtl qtlp1 qtlp2\n";
  s += "number of stages, spare, seed\n" + std::to_string(p.nstage) + " 0 " + std::to_string(p.seed) +
       "   nstage spare seed\n";
  for (int st = 1; st <= p.nstage; ++st) {
    const stage_block& b = p.stages[static_cast<size_t>(st)].block;
    const std::string n = std::to_string(st);
    s += "stage " + n + ": nsire ndam nind ngen\n" + std::to_string(b.nsire) + " " + std::to_string(b.ndam) + " " +
         std::to_string(b.nind) + " " + std::to_string(b.ngen) + "\n";
    s += "stage " + n + ": nomut matetype seltype\n" + (b.nomut == 1 ? "1" : "0") + " " + std::to_string(b.matetype) +
         " " + std::to_string(b.seltype) + "\n";
  }
  return c;
}

namespace {

// Reads a parameter file of either kind, with its problems on standard
// error; false when it cannot be read.
bool read_quietly(run_parameters& p, std::string& text) {
  std::FILE* quiet = std::fopen("/dev/null", "w");
  if (quiet) msg_set_console(quiet);
  bool ok = true;
  try {
    read_parameters(p);
  } catch (const run_stop& e) {
    std::fprintf(stderr, "quillmere: %s\n", e.what());
    ok = false;
  }
  msg_set_console(nullptr);
  if (quiet) std::fclose(quiet);
  if (!ok) return false;
  std::ifstream in(p.parafile, std::ios::binary);
  text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

// The problems of a converted text when it is read back, or its values.
std::vector<std::string> read_back(const std::string& name, const std::string& text, run_parameters& back) {
  std::FILE* quiet = std::fopen("/dev/null", "w");
  if (quiet) msg_set_console(quiet);
  back.parafile = name;
  std::vector<std::string> problems;
  try {
    const std::string_view t(text);
    problems = check_parameter_text(back, &t);
  } catch (const run_stop& e) {
    problems.push_back(e.what());
  }
  msg_set_console(nullptr);
  if (quiet) std::fclose(quiet);
  return problems;
}

}  // namespace

int convert_command(const std::string& file, const std::string& out) {
  run_parameters p;
  p.parafile = file;
  std::string text;
  if (!read_quietly(p, text)) return 1;
  const bool to_scheme = !p.scheme;
  std::string converted;
  if (to_scheme) {
    converted = scheme_text_of(p, text, std::filesystem::path(file).filename().string());
  } else {
    classic_conversion c = classic_text_of(p);
    if (!c.without_form.empty()) {
      std::string list;
      for (const std::string& k : c.without_form) list += (list.empty() ? "" : ", ") + k;
      std::fprintf(stderr,
                   "quillmere: %s cannot be written as a classic parameter file: %s %s no classic record. Run the "
                   "scheme file itself.\n",
                   file.c_str(), list.c_str(), c.without_form.size() > 1 ? "have" : "has");
      return 1;
    }
    converted = c.text;
  }
  // The converted text must read back as the same run.
  run_parameters back;
  const std::vector<std::string> problems = read_back(to_scheme ? "converted.toml" : "converted.par", converted, back);
  if (problems.empty()) {
    // The title line aside (a scheme holds it as valid UTF-8).
    const std::string a = classic_text_of(p).text, b = classic_text_of(back).text;
    if (a.substr(a.find('\n')) != b.substr(b.find('\n'))) {
      std::fprintf(stderr, "quillmere: internal error: the conversion of %s does not read back as the same values.\n",
                   file.c_str());
      return 1;
    }
  } else {
    for (const std::string& m : problems)
      std::fprintf(stderr, "quillmere: warning: the converted file will not run as it is: %s\n", m.c_str());
  }
  if (out.empty()) {
    std::fwrite(converted.data(), 1, converted.size(), stdout);
    if (std::fflush(stdout) != 0) {
      std::fprintf(stderr, "quillmere: standard output cannot be written (%s).\n", std::strerror(errno));
      return 1;
    }
    return 0;
  }
  std::error_code ec;
  if (std::filesystem::equivalent(out, file, ec)) {
    std::fprintf(stderr, "quillmere: -o %s names the file being converted. Give another name.\n", out.c_str());
    return 1;
  }
  try {
    atomic_file f(out);
    f.write(converted);
    f.commit();
  } catch (const file_error& e) {
    std::fprintf(stderr, "quillmere: %s\n", e.what());
    return 1;
  }
  return 0;
}

}  // namespace qm
