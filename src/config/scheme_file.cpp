#include "config/scheme_file.hpp"

#include <toml++/toml.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <memory>
#include <set>

#include "config/scheme_keys.hpp"

namespace qm {

// ---------------------------------------------------------------- format

namespace {

std::string_view first_line_of(std::string_view text, size_t& next) {
  const size_t nl = text.find('\n');
  next = nl == std::string_view::npos ? text.size() : nl + 1;
  std::string_view line = text.substr(0, nl == std::string_view::npos ? text.size() : nl);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

bool blank(std::string_view s) { return s.find_first_not_of(" \t") == std::string_view::npos; }

// A comment, a table heading, or a key and an equals sign.
bool starts_like_toml(std::string_view line) {
  const size_t i = line.find_first_not_of(" \t");
  if (i == std::string_view::npos) return false;
  if (line[i] == '#' || line[i] == '[') return true;
  size_t j = i;
  while (j < line.size() && (std::isalnum(static_cast<unsigned char>(line[j])) || line[j] == '_' || line[j] == '-' ||
                             line[j] == '.' || line[j] == '"' || line[j] == '\''))
    ++j;
  if (j == i) return false;
  while (j < line.size() && (line[j] == ' ' || line[j] == '\t')) ++j;
  return j < line.size() && line[j] == '=';
}

// The second line begins with a number, as the first value record of a
// classic file does.
bool second_line_has_numbers(std::string_view text) {
  size_t next = 0;
  first_line_of(text, next);
  if (next >= text.size()) return false;
  size_t after = 0;
  const std::string_view line = first_line_of(text.substr(next), after);
  const size_t i = line.find_first_not_of(" \t");
  if (i == std::string_view::npos) return false;
  const char c = line[i];
  return std::isdigit(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
}

bool ends_with(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

}  // namespace

parameter_format format_of(std::string_view name, std::string_view text) {
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  if (text.find('\0') != std::string_view::npos) return parameter_format::neither;
  std::string_view rest = text, first;
  while (!rest.empty()) {  // the first line that is not blank
    size_t next = 0;
    first = first_line_of(rest, next);
    if (!blank(first)) break;
    rest.remove_prefix(next);
    first = {};
  }
  const bool toml_start = starts_like_toml(first);
  const bool classic_start = second_line_has_numbers(text);
  if (toml_start && !classic_start) return parameter_format::scheme;
  if (classic_start && !toml_start) return parameter_format::classic;
  if (toml_start && classic_start) {
    // A title line that looks like TOML ("# run 1", "[test]") above a record
    // of numbers: a scheme only if the whole text reads as TOML.
    try {
      (void)toml::parse(text, std::string_view("scheme"));
      return parameter_format::scheme;
    } catch (const toml::parse_error&) {
      return parameter_format::classic;
    }
  }
  if (ends_with(name, ".toml")) return parameter_format::scheme;
  // A title line and records that do not begin with numbers: the classic
  // reader says which record is wrong.
  if (ends_with(name, ".par") || text.find('\n') + 1 < text.size()) return parameter_format::classic;
  return parameter_format::neither;
}

std::string neither_message(const std::string& name) {
  return "Parameter file " + name +
         " is neither a scheme file nor a classic parameter file. A scheme file (TOML, see docs/scheme.md) starts "
         "with a comment (# ...), a key (title = \"...\") or a table ([genome]); a classic parameter file starts "
         "with a title line followed by the record \"ntrait thresh incid uncommon_QTL\" (four numbers).";
}

// ---------------------------------------------------------------- places

namespace {

// The key of a classic name in the messages of the checks, and its table.
const scheme_key* key_of_classic(std::string_view classic_name, bool stage_value) {
  for (const scheme_key& k : scheme_keys())
    if (k.classic_name == classic_name && (k.table == "stage") == stage_value) return &k;
  return nullptr;
}

bool is_stage_name(std::string_view n) {
  return n == "nsire" || n == "ndam" || n == "nind" || n == "ngen" || n == "nomut" || n == "matetype" ||
         n == "seltype";
}

std::string table_text(const scheme_key& k, int stage) {
  if (k.table.empty()) return "";
  if (k.table == "stage") return "[[stage]] " + std::to_string(stage) + " ";
  if (k.table == "line") return "[[line]] ";
  if (k.table == "traits.dominance") return "[traits] dominance.";
  if (k.table.starts_with("stage.")) return "[[stage]] " + std::to_string(stage) + " " + std::string(k.table.substr(6)) + ".";
  return "[" + std::string(k.table) + "] ";
}

}  // namespace

std::string scheme_place_text(const scheme_places& s, const std::string& path) {
  std::string probe = path;
  for (;;) {
    const auto it = s.at.find(probe);
    if (it != s.at.end())
      return "Scheme file " + s.file + ", line " + std::to_string(it->second.line) + ", column " +
             std::to_string(it->second.column);
    if (probe.empty()) return "Scheme file " + s.file;
    const size_t cut = probe.find_last_of(".#");
    probe = cut == std::string::npos ? "" : probe.substr(0, cut);
  }
}

std::string scheme_places::where(int record, std::string_view classic_name) const {
  // "h2(2)", "rgen(1)", "nmpc * nchr": the name, and an item.
  std::string_view base = classic_name;
  std::string item;
  if (const size_t open = base.find('('); open != std::string_view::npos) {
    const size_t close = base.find(')', open);
    item = std::string(base.substr(open + 1, close == std::string_view::npos ? std::string_view::npos : close - open - 1));
    base = base.substr(0, open);
  }
  if (const size_t sp = base.find(' '); sp != std::string_view::npos) base = base.substr(0, sp);
  const bool stage_value = is_stage_name(base);
  int stage = 0;
  if (stage_value) stage = record <= 20 ? 1 : ((record - 14) % 4 == 0 ? (record - 14) / 4 : (record - 16) / 4);
  const scheme_key* k = key_of_classic(base, stage_value);
  if (!k) return "Scheme file " + file;
  // qtlp1 and qtlp2 have a key for each distribution: the one the file gives.
  if (base == "qtlp1" || base == "qtlp2") {
    for (const scheme_key& alt : scheme_keys())
      if (alt.classic_name == base && at.count("qtl." + std::string(alt.name))) k = &alt;
  }
  std::string path = stage_value ? "stage." + std::to_string(stage) + "." + std::string(k->name)
                     : k->table.empty() ? std::string(k->name)
                                        : std::string(k->table) + "." + std::string(k->name);
  if (!item.empty()) path += "#" + item;
  return scheme_place_text(*this, path) + ": `" + table_text(*k, stage) + std::string(k->name) +
         (item.empty() ? "" : "` item " + item + " `") + "`";
}

std::string scheme_places::in_keys(const std::string& rule) {
  std::string out;
  size_t i = 0;
  while (i < rule.size()) {
    if (std::isalpha(static_cast<unsigned char>(rule[i])) || rule[i] == '_') {
      size_t j = i;
      while (j < rule.size() && (std::isalnum(static_cast<unsigned char>(rule[j])) || rule[j] == '_')) ++j;
      const std::string word = rule.substr(i, j - i);
      const scheme_key* k = nullptr;
      for (const scheme_key& c : scheme_keys())
        if (c.classic_name == word && word != "seed") {
          k = &c;
          break;
        }
      out += k ? std::string(k->name) : word;
      i = j;
    } else {
      out += rule[i++];
    }
  }
  return out;
}

// ---------------------------------------------------------------- reading

namespace {

struct line_index {
  std::string_view text;
  std::vector<size_t> starts;
  explicit line_index(std::string_view t) : text(t) {
    starts.push_back(0);
    for (size_t i = 0; i < t.size(); ++i)
      if (t[i] == '\n') starts.push_back(i + 1);
  }
  // Byte offset of a (line, column) of toml++ (columns count code points).
  size_t offset(const toml::source_position& p) const {
    if (p.line == 0 || p.line > starts.size()) return text.size();
    size_t at = starts[p.line - 1];
    for (uint32_t c = 1; c < p.column && at < text.size() && text[at] != '\n';) {
      ++at;
      while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) ++at;
      ++c;
    }
    return at;
  }
  std::string_view source(const toml::source_region& r) const {
    const size_t a = offset(r.begin), b = offset(r.end);
    return b > a ? text.substr(a, b - a) : std::string_view();
  }
};

std::string shown(std::string_view v) {
  std::string s(v.substr(0, v.find('\n')));
  if (s.size() > 40 || s.size() < v.size()) s = s.substr(0, 37) + "...";
  return s;
}

const char* node_kind(const toml::node& n) {
  switch (n.type()) {
    case toml::node_type::table: return "a table";
    case toml::node_type::array: return "an array";
    case toml::node_type::string: return "a string";
    case toml::node_type::integer: return "an integer";
    case toml::node_type::floating_point: return "a number with a fraction";
    case toml::node_type::boolean: return "a boolean";
    default: return "a date or time";
  }
}

class scheme_reader {
 public:
  scheme_reader(run_parameters& p, std::string_view text, scheme_places& places)
      : p_(p), lines_(text), places_(places) {}

  std::vector<std::string> problems;

  void read(const toml::table& root);

 private:
  run_parameters& p_;
  line_index lines_;
  scheme_places& places_;
  // Keys present: "genome.chromosomes", "stage.2.sires".
  // Keys given, with their node and their value as read (a matrix as its
  // upper triangle, numbers as written).
  struct given {
    const toml::node* node;
    key_value value;
  };
  std::map<std::string, given> present_;
  std::vector<std::string> failed_;  // keys given with a value that could not be read
  std::vector<std::string> suggested_;  // keys named as the likely meaning of an unknown one
  std::set<std::string> subtables_;     // tables of a stage given: "stage.2.index"

  void place(const std::string& path, const toml::source_region& r) {
    places_.at[path] = source_place{static_cast<int>(r.begin.line), static_cast<int>(r.begin.column)};
  }
  std::string at(const std::string& path) const { return scheme_place_text(places_, path); }
  void problem(const std::string& path, const std::string& what) { problems.push_back(at(path) + ": " + what); }
  std::string key_text(const scheme_key& k, int stage, const toml::node& n) const {
    return "`" + table_text(k, stage) + std::string(k.name) + " = " + shown(lines_.source(n.source())) + "`";
  }

  void read_table(const toml::table& t, std::string_view table, int stage, const std::string& prefix, stage_block& b);
  bool value_of(const scheme_key& k, const toml::node& n, const std::string& path, int stage, key_value& v);
  bool number_of(const toml::node& n, std::string& out) const;
  void finish(std::string_view table, int stage, const std::string& prefix, stage_block& b);
  void check_range(const scheme_key& k, const key_value& v, const toml::node& n, const std::string& path, int stage);
  void fit_correlations(const scheme_key& k, key_value& v, const toml::node& n, const std::string& path);
  void check_stage_selection(int s);
  void check_stage_mating(int s);
  void read_dominance(const toml::node& n, const std::string& path);
  void read_lines(const toml::node& n);
  void check_lines();
};

bool scheme_reader::number_of(const toml::node& n, std::string& out) const {
  if (const auto* i = n.as_integer()) {
    out = std::to_string(i->get());
    return true;
  }
  if (n.is_floating_point()) {
    out.clear();
    for (char c : lines_.source(n.source()))
      if (c != '_') out += c;
    return true;
  }
  return false;
}

bool scheme_reader::value_of(const scheme_key& k, const toml::node& n, const std::string& path, int stage,
                             key_value& v) {
  const auto wrong = [&](const std::string& expected) {
    problem(path, key_text(k, stage, n) + ": expected " + expected + ", not " + node_kind(n) + ".");
    return false;
  };
  switch (k.kind) {
    case key_kind::integer:
      if (const auto* i = n.as_integer()) {
        v.integer = i->get();
        return true;
      }
      return wrong("a whole number (" + key_range_text(k) + ")");
    case key_kind::single_real:
    case key_kind::double_real:
      if (number_of(n, v.number)) return true;
      return wrong("a number (" + key_range_text(k) + ")");
    case key_kind::boolean:
      if (const auto* b = n.as_boolean()) {
        v.flag = b->get();
        return true;
      }
      return wrong("true or false");
    case key_kind::text:
      if (const auto* s = n.as_string()) {
        v.text = s->get();
        if (v.text.find_first_of("\r\n") != std::string::npos) {
          problem(path, key_text(k, stage, n) + ": the " + std::string(k.name) + " must be one line.");
          return false;
        }
        return true;
      }
      return wrong("a string");
    case key_kind::choice: {
      if (const auto* s = n.as_string()) {
        for (const named_code& c : k.choices)
          if (c.name == s->get()) {
            v.code = c.code;
            return true;
          }
        std::vector<std::string_view> names;
        for (const named_code& c : k.choices) names.push_back(c.name);
        const std::string near = nearest_name(s->get(), names);
        problem(path, key_text(k, stage, n) + ": unknown " + std::string(k.name) + " \"" + s->get() + "\"; " +
                          (near.empty() ? std::string("give one of ") : "did you mean \"" + near + "\"? Give one of ") +
                          key_range_text(k) + ".");
        return false;
      }
      if (const auto* i = n.as_integer()) {
        for (const named_code& c : k.choices)
          if (c.code == i->get()) {
            v.code = c.code;
            return true;
          }
        problem(path, key_text(k, stage, n) + ": " + std::to_string(i->get()) + " is not a code of " +
                          std::string(k.name) + "; give one of " + key_range_text(k) + ".");
        return false;
      }
      return wrong("one of " + key_range_text(k));
    }
    case key_kind::choices:
    case key_kind::names: {
      // A list of names out of the key's choices, or (names) any names.
      const bool any_name = k.kind == key_kind::names;
      std::vector<const toml::node*> items;
      const auto* a = n.as_array();
      if (a)
        for (size_t i = 0; i < a->size(); ++i) items.push_back(&(*a)[i]);
      else
        items.push_back(&n);
      std::vector<std::string_view> names;
      for (const named_code& c : k.choices) names.push_back(c.name);
      for (size_t i = 0; i < items.size(); ++i) {
        const std::string item = a ? path + "#" + std::to_string(i + 1) : path;
        if (a) place(item, items[i]->source());
        const auto* str = items[i]->as_string();
        if (!str) {
          if (!a) return wrong("an array of strings (" + key_range_text(k) + ")");
          problem(item, key_text(k, stage, n) + ": item " + std::to_string(i + 1) + " is " + node_kind(*items[i]) +
                            ", not a string; give " + (any_name ? "the " : "one of ") + key_range_text(k) + ".");
          return false;
        }
        if (any_name) {
          v.names.push_back(str->get());
          continue;
        }
        const named_code* found = nullptr;
        for (const named_code& c : k.choices)
          if (c.name == str->get()) found = &c;
        if (!found) {
          const std::string near = nearest_name(str->get(), names);
          problem(item, key_text(k, stage, n) + ": " + (a ? "item " + std::to_string(i + 1) + " is " : std::string()) +
                            "\"" + str->get() + "\", which is not one of " + key_range_text(k) +
                            (near.empty() ? std::string(".") : "; did you mean \"" + near + "\"?"));
          return false;
        }
        v.codes.push_back(found->code);
      }
      return true;
    }
    case key_kind::reals: {
      std::string one;
      if (number_of(n, one)) {
        v.numbers = {one};
        return true;
      }
      const auto* a = n.as_array();
      if (!a) return wrong("an array of numbers");
      for (size_t i = 0; i < a->size(); ++i) {
        std::string x;
        place(path + "#" + std::to_string(i + 1), (*a)[i].source());
        if (!number_of((*a)[i], x)) {
          problem(path + "#" + std::to_string(i + 1), key_text(k, stage, n) + ": item " + std::to_string(i + 1) +
                                                          " is " + node_kind((*a)[i]) + ", not a number.");
          return false;
        }
        v.numbers.push_back(x);
      }
      return true;
    }
    case key_kind::correlations: {
      const auto* a = n.as_array();
      if (!a) return wrong("an array (the upper triangle) or an array of arrays (the matrix)");
      const bool matrix = !a->empty() && (*a)[0].is_array();
      v.rows = matrix ? static_cast<int>(a->size()) : 0;
      for (size_t i = 0; i < a->size(); ++i) {
        const toml::node& row = (*a)[i];
        if (matrix) {
          const auto* r = row.as_array();
          if (!r) {
            problem(path, key_text(k, stage, n) + ": row " + std::to_string(i + 1) + " is " + node_kind(row) +
                              "; every row of a matrix is an array of numbers.");
            return false;
          }
          if (r->size() != a->size()) {
            problem(path, key_text(k, stage, n) + ": row " + std::to_string(i + 1) + " has " +
                              std::to_string(r->size()) + " numbers; a correlation matrix is square (" +
                              std::to_string(a->size()) + " rows of " + std::to_string(a->size()) + ").");
            return false;
          }
          for (size_t j = 0; j < r->size(); ++j) {
            std::string x;
            if (!number_of((*r)[j], x)) {
              problem(path, key_text(k, stage, n) + ": row " + std::to_string(i + 1) + ", column " +
                                std::to_string(j + 1) + " is " + node_kind((*r)[j]) + ", not a number.");
              return false;
            }
            v.numbers.push_back(x);
          }
        } else {
          std::string x;
          place(path + "#" + std::to_string(i + 1), row.source());
          if (!number_of(row, x)) {
            problem(path, key_text(k, stage, n) + ": item " + std::to_string(i + 1) + " is " + node_kind(row) +
                              ", not a number (give the upper triangle as numbers, or the matrix as rows).");
            return false;
          }
          v.numbers.push_back(x);
        }
      }
      return true;
    }
  }
  return false;
}

void scheme_reader::read_table(const toml::table& t, std::string_view table, int stage, const std::string& prefix,
                               stage_block& b) {
  std::vector<std::string_view> names;
  for (const scheme_key& k : scheme_keys())
    if (k.table == table) names.push_back(k.name);
  if (table.empty())
    for (std::string_view tn : scheme_tables()) names.push_back(tn);
  if (table == "stage")
    for (std::string_view tn : stage_subtables()) names.push_back(tn);
  if (table == "traits") names.push_back("dominance");
  for (const auto& [key, node] : t) {
    const std::string name(key.str());
    const std::string path = prefix + name;
    places_.at[path] = source_place{static_cast<int>(key.source().begin.line),
                                    static_cast<int>(key.source().begin.column)};
    if (table.empty() && std::find(scheme_tables().begin(), scheme_tables().end(), name) != scheme_tables().end())
      continue;  // read by read()
    if (table == "stage" &&
        std::find(stage_subtables().begin(), stage_subtables().end(), name) != stage_subtables().end()) {
      const auto* sub = node.as_table();
      if (!sub) {
        problem(path, "`[[stage]] " + std::to_string(stage) + " " + name + "` is " + node_kind(node) +
                          "; it is a table: write [stage." + name + "] on a line of its own below the [[stage]] it "
                          "belongs to, and its keys below it.");
        continue;
      }
      place(path, sub->source());
      subtables_.insert(path);
      read_table(*sub, "stage." + name, stage, path + ".", b);
      continue;
    }
    if (table == "traits" && name == "dominance") {
      read_dominance(node, path);
      continue;
    }
    const scheme_key* k = find_scheme_key(table, name);
    if (!k) {
      std::string near = nearest_name(name, names);
      std::string elsewhere;
      if (near.empty())
        for (const scheme_key& o : scheme_keys())
          if (o.name == name && o.table != table)
            elsewhere = o.table.empty() ? "; `" + name + "` is a key of the run itself: put it above the first table"
                        : o.table == "stage"
                            ? "; `" + name + "` is a key of a [[stage]] table"
                            : "; `" + name + "` is a key of [" + std::string(o.table) + "]";
      if (!elsewhere.empty()) {
        problem(path, "`" + (table.empty() ? std::string() : table == "stage" ? "[stage] " : "[" + std::string(table) + "] ") +
                          name + " = " + shown(lines_.source(node.source())) + "`: unknown key `" + name + "` here" +
                          elsewhere + ".");
        continue;
      }
      const std::string head = table.empty() ? "" : table == "stage" ? "[stage] " : "[" + std::string(table) + "] ";
      if (!near.empty()) {
        // The key meant stands where the unknown one does: a rule on its
        // value points there, and is not reported again.
        suggested_.push_back(prefix + near);
        places_.at.emplace(prefix + near, places_.at[path]);
      }
      problem(path, "`" + head + name + " = " + shown(lines_.source(node.source())) + "`: unknown key `" + name +
                        "`" + (near.empty() ? "" : "; did you mean `" + near + "`?") +
                        (near.empty() ? "; the keys of " + (table.empty() ? std::string("the run") : head.substr(0, head.size() - 1)) +
                                            " are listed in docs/scheme.md."
                                      : ""));
      continue;
    }
    key_value v;
    if (!value_of(*k, node, path, stage, v)) {
      failed_.push_back(path);
      continue;
    }
    if (k->kind == key_kind::correlations) fit_correlations(*k, v, node, path);
    present_[path] = given{&node, v};
    k->store(p_, b, v);
  }
}

// A matrix is checked to be symmetric with a unit diagonal and kept as its
// upper triangle, the form of the run parameters.
void scheme_reader::fit_correlations(const scheme_key& k, key_value& v, const toml::node& n, const std::string& path) {
  if (v.rows == 0) return;
  const int m = v.rows;
  std::vector<std::string> upper;
  for (int i = 0; i < m; ++i)
    for (int j = 0; j < m; ++j) {
      const std::string& x = v.numbers[static_cast<size_t>(i * m + j)];
      const double d = std::strtod(x.c_str(), nullptr);
      if (i == j && d != 1.0) {
        problem(path, key_text(k, 0, n) + ": the diagonal of a correlation matrix is 1; row " + std::to_string(i + 1) +
                          " has " + x + ".");
        v.numbers.clear();
        return;
      }
      if (j > i) {
        const std::string& y = v.numbers[static_cast<size_t>(j * m + i)];
        if (std::strtof(x.c_str(), nullptr) != std::strtof(y.c_str(), nullptr)) {
          problem(path, key_text(k, 0, n) + ": a correlation matrix is symmetric; row " + std::to_string(i + 1) +
                            ", column " + std::to_string(j + 1) + " is " + x + " but row " + std::to_string(j + 1) +
                            ", column " + std::to_string(i + 1) + " is " + y + ".");
          v.numbers.clear();
          return;
        }
        upper.push_back(x);
      }
    }
  v.numbers = upper;
  v.rows = 0;  // now the upper triangle
}

void scheme_reader::check_range(const scheme_key& k, const key_value& v, const toml::node& n, const std::string& path,
                                int stage) {
  if (k.checked && !k.checked(p_)) return;
  const auto in = [&](double x) {
    if (k.lo_open ? !(x > k.lo) : !(x >= k.lo)) return false;
    if (k.hi_open ? !(x < k.hi) : !(x <= k.hi)) return false;
    if ((k.kind == key_kind::single_real || k.kind == key_kind::double_real) && !std::isfinite(x)) return false;
    return true;
  };
  switch (k.kind) {
    case key_kind::integer:
      if (!in(static_cast<double>(v.integer)))
        problem(path, key_text(k, stage, n) + " is out of range; required: " + key_range_text(k) + ".");
      break;
    case key_kind::single_real:
      if (!in(std::strtof(v.number.c_str(), nullptr)))
        problem(path, key_text(k, stage, n) + " is out of range; required: " + key_range_text(k) + ".");
      break;
    case key_kind::double_real:
      if (!in(std::strtod(v.number.c_str(), nullptr)))
        problem(path, key_text(k, stage, n) + " is out of range; required: " + key_range_text(k) + ".");
      break;
    case key_kind::reals:
    case key_kind::correlations:
      for (size_t i = 0; i < v.numbers.size(); ++i) {
        const double x = std::strtof(v.numbers[i].c_str(), nullptr);
        if (!in(x) || !std::isfinite(x)) {
          problem(path + "#" + std::to_string(i + 1), key_text(k, stage, n) + ": item " + std::to_string(i + 1) +
                                                          " is " + v.numbers[i] + "; required: " +
                                                          key_range_text(k) + ".");
          break;
        }
      }
      break;
    default:
      break;
  }
}

// Defaults, required keys, keys that do not belong, and the ranges, once
// every value of the table is stored.
void scheme_reader::finish(std::string_view table, int stage, const std::string& prefix, stage_block& b) {
  for (const scheme_key& k : scheme_keys()) {
    if (k.table != table) continue;
    const std::string path = prefix + std::string(k.name);
    const auto it = present_.find(path);
    // A stage with lines takes its numbers of animals from them.
    const bool lines_meant = !b.line_names.empty() ||
                             std::find(failed_.begin(), failed_.end(), prefix + "lines") != failed_.end();
    if (table == "stage" && lines_meant && (k.name == "sires" || k.name == "dams" || k.name == "animals")) {
      if (it != present_.end())
        problem(path, key_text(k, stage, *it->second.node) + ": a stage with lines takes its " +
                          std::string(k.name) + " from its [[line]] tables; remove the key, or give the number in "
                          "the lines.");
      continue;
    }
    if (it != present_.end()) {
      if (k.allowed && !k.allowed(p_)) {
        problem(path, key_text(k, stage, *it->second.node) + ": this key does not belong here: " + std::string(k.why_not) + ".");
        continue;
      }
      check_range(k, it->second.value, *it->second.node, path, stage);
      continue;
    }
    if (k.allowed && !k.allowed(p_)) continue;
    if (std::find(failed_.begin(), failed_.end(), path) != failed_.end()) continue;
    if (std::find(suggested_.begin(), suggested_.end(), path) != suggested_.end()) continue;
    const bool required = k.needed ? k.needed(p_) : k.default_value.empty();
    if (required) {
      const std::string where = table.starts_with("stage.") ? "[" + std::string(table) + "] of [[stage]] " + std::to_string(stage)
                                : stage > 0 ? "[[stage]] " + std::to_string(stage)
                                : table == "line" ? "[[line]] " + prefix.substr(5, prefix.size() - 6)
                                : table == "traits.dominance" ? std::string("[traits] dominance")
                                : table.empty() ? std::string("the scheme")
                                                : "[" + std::string(table) + "]";
      problem(prefix.empty() ? std::string() : prefix.substr(0, prefix.size() - 1),
              where + " has no key `" + std::string(k.name) + "`, which it needs: " + std::string(k.meaning) + "; " +
                  key_type_text(k) + ", " + key_range_text(k) + ".");
      continue;
    }
    // A default that is a value (not a sentence) is stored.
    const std::string d(k.default_value);
    key_value v;
    bool has = true;
    switch (k.kind) {
      case key_kind::integer:
        has = !d.empty() && (std::isdigit(static_cast<unsigned char>(d[0])) || d[0] == '-');
        if (has) v.integer = std::stoll(d);
        break;
      case key_kind::single_real:
      case key_kind::double_real:
        has = !d.empty() && std::isdigit(static_cast<unsigned char>(d[0]));
        v.number = d;
        break;
      case key_kind::boolean:
        has = d == "true" || d == "false";
        v.flag = d == "true";
        break;
      case key_kind::text:
        has = d == "\"\"";
        break;
      case key_kind::choice:
        has = false;
        for (const named_code& c : k.choices)
          if ("\"" + std::string(c.name) + "\"" == d) {
            v.code = c.code;
            has = true;
          }
        break;
      default:
        has = false;
    }
    if (has) k.store(p_, b, v);
  }
}

// The rules of a stage's selection that involve the keys a classic file
// does not have: the index and the sexes that record the traits.
void scheme_reader::check_stage_selection(int s) {
  stage_entry& e = p_.stages[static_cast<size_t>(s)];
  const stage_block& b = e.block;
  const std::string at_stage = "stage." + std::to_string(s);
  const std::string stage_text = "[[stage]] " + std::to_string(s);
  const size_t before = problems.size();
  const bool has_index = subtables_.count(at_stage + ".index") != 0;
  if (b.seltype == 5 && !has_index && present_.count(at_stage + ".selection"))
    problem(at_stage + ".selection",
            "`" + stage_text + " selection = \"index\"` needs a [stage.index] table below the stage: criterion = "
            "\"tbv\", \"phenotype\", \"pedigree_blup\" or \"genomic_blup\", and weights = one economic weight per "
            "trait.");
  if (has_index && b.seltype != 5)
    problem(at_stage + ".index", "`" + stage_text + " [stage.index]` belongs to a stage with selection = \"index\"; "
                                 "this stage selects otherwise: set selection = \"index\" or remove the table.");
  if (has_index && b.seltype == 5) {
    const size_t nt = p_.h2.size();
    if (present_.count(at_stage + ".index.weights") && b.index.weights.size() != nt)
      problem(at_stage + ".index.weights", "`" + stage_text + " index.weights` has " +
                                               std::to_string(b.index.weights.size()) +
                                               " numbers; give one economic weight for each of the " +
                                               std::to_string(nt) + " traits.");
    if (s == 1)
      problem(at_stage + ".index", "`" + stage_text + " [stage.index]`: stage 1 makes the historical generations, "
                                   "which have no breeding values or phenotypes to rank on (they begin in stage 2); "
                                   "select at random in stage 1.");
    if (selects_on_ebv(b.index.criterion))
      for (size_t t = 0; t < nt; ++t)
        if (!(p_.h2[t] < 1.0f)) {
          problem(at_stage + ".index.criterion",
                  "`" + stage_text + " index.criterion`: a multi-trait BLUP evaluation needs a residual variance for "
                  "every trait, but trait " + std::to_string(t + 1) + " has heritability 1; give it h2 < 1.");
          break;
        }
  }
  check_stage_mating(s);
  // A plain selection on the own phenotype of trait 1 cannot rank the sex
  // that has no record of it.
  if (s >= 2 && b.seltype == 2 && !p_.recorded_on.empty() && p_.recorded_on[0] != recorded_sex::both)
    problem(at_stage + ".selection",
            "`" + stage_text + " selection = \"phenotype\"` ranks on the own phenotype of trait 1, which only " +
                (p_.recorded_on[0] == recorded_sex::females ? std::string("females") : std::string("males")) +
                " have (`[traits] recorded_on`); select on pedigree_blup or genomic_blup, or on an index.");
  if (problems.size() != before) e.readable = false;
}

// The tables of a stage that choose and pair the parents beyond truncation
// and the classic designs: stage 2 on, and what each needs.
void scheme_reader::check_stage_mating(int s) {
  const stage_block& b = p_.stages[static_cast<size_t>(s)].block;
  const std::string at_stage = "stage." + std::to_string(s);
  const std::string stage_text = "[[stage]] " + std::to_string(s);
  const char* historical = "stage 1 makes the historical generations, whose parents are chosen at random and "
                           "mated by the classic designs; use it from stage 2 on.";
  for (const char* sub : {"contributions", "mating_rules", "ages"})
    if (s == 1 && subtables_.count(at_stage + "." + sub))
      problem(at_stage + "." + sub, "`" + stage_text + " [stage." + sub + "]`: " + historical);
  if (s == 1 && b.matetype == min_coancestry_mating && present_.count(at_stage + ".mating"))
    problem(at_stage + ".mating", "`" + stage_text + " mating = \"min_coancestry\"`: " + historical);
  if (s >= 2 && b.contributions.on && b.criterion() == selection_criterion::random)
    problem(at_stage + ".contributions",
            "`" + stage_text + " [stage.contributions]` weighs the candidates by the stage's selection criterion, "
            "but the stage selects at random: set selection to \"tbv\", \"phenotype\", \"pedigree_blup\", "
            "\"genomic_blup\" or \"index\".");
  if (s >= 2 && b.contributions.on && b.contributions.max_offspring > 0 && b.ndam > 0) {
    const int64_t family = (static_cast<int64_t>(b.nind) + b.ndam - 1) / b.ndam;
    if (b.contributions.max_offspring < family)
      problem(at_stage + ".contributions.max_offspring",
              "`" + stage_text + " contributions.max_offspring = " + std::to_string(b.contributions.max_offspring) +
                  "`: a mating of this stage is a family of up to " + std::to_string(family) + " (" +
                  std::to_string(b.nind) + " animals from " + std::to_string(b.ndam) +
                  " matings), so no animal could have one; allow at least " + std::to_string(family) +
                  " offspring or make more matings (dams).");
  }
  if (s >= 2 && b.ages.overlapping()) {
    const selection_criterion c = b.criterion();
    if (c == selection_criterion::index && b.index.criterion == selection_criterion::phenotype)
      problem(at_stage + ".ages",
              "`" + stage_text + " [stage.ages]`: parents kept from earlier generations are ranked with the young "
              "ones on true breeding values, phenotypes, EBVs or an index of these, but not on the index of own "
              "phenotypes, whose generation means they do not share: make the index of tbv, pedigree_blup or "
              "genomic_blup, or keep discrete generations.");
  }
  if (s >= 2 && !b.contributions.on && b.rules.max_matings_per_sire > 0 && b.nsire > 0 && b.ndam > 0) {
    const int64_t per_sire = (static_cast<int64_t>(b.ndam) + b.nsire - 1) / b.nsire;
    if (per_sire > b.rules.max_matings_per_sire)
      problem(at_stage + ".mating_rules.max_matings_per_sire",
              "`" + stage_text + " mating_rules.max_matings_per_sire = " +
                  std::to_string(b.rules.max_matings_per_sire) + "`: " + std::to_string(b.ndam) + " dams among " +
                  std::to_string(b.nsire) + " sires give up to " + std::to_string(per_sire) +
                  " matings to a sire; select at least " +
                  std::to_string((static_cast<int64_t>(b.ndam) + b.rules.max_matings_per_sire - 1) /
                                 b.rules.max_matings_per_sire) +
                  " sires or allow more matings.");
  }
}

// [traits] dominance: one table for every trait, or an array of one table per trait.
void scheme_reader::read_dominance(const toml::node& n, const std::string& path) {
  stage_block none;
  p_.dominance.clear();
  if (const auto* t = n.as_table()) {
    p_.dominance.emplace_back();
    p_.dominance_for_every_trait = true;
    place(path, t->source());
    read_table(*t, "traits.dominance", 0, path + ".", none);
    finish("traits.dominance", 0, path + ".", none);
    return;
  }
  const auto* a = n.as_array();
  if (!a || !a->is_array_of_tables() || a->empty()) {
    problem(path, "`[traits] dominance` is " + std::string(node_kind(n)) +
                      "; give one table for every trait, dominance = { mean = 0.3, sd = 0.2 }, or an array of one "
                      "table per trait, dominance = [{ mean = 0.3, sd = 0.2 }, { mean = 0.0, sd = 0.1 }].");
    return;
  }
  for (size_t i = 0; i < a->size(); ++i) {
    const std::string prefix = path + "." + std::to_string(i + 1) + ".";
    p_.dominance.emplace_back();
    place(path + "." + std::to_string(i + 1), (*a)[i].source());
    read_table(*(*a)[i].as_table(), "traits.dominance", 0, prefix, none);
    finish("traits.dominance", 0, prefix, none);
  }
}

// [[line]] tables: each is read and given its defaults before the next.
void scheme_reader::read_lines(const toml::node& n) {
  const auto* list = n.as_array();
  if (!list || !list->is_array_of_tables()) {
    problem("line", "`line` is " + std::string(node_kind(n)) +
                        "; give each line as a table of its own, headed [[line]] (two brackets).");
    return;
  }
  stage_block none;
  for (size_t i = 0; i < list->size(); ++i) {
    const std::string prefix = "line." + std::to_string(i + 1) + ".";
    p_.lines.emplace_back();
    place("line." + std::to_string(i + 1), (*list)[i].source());
    read_table(*(*list)[i].as_table(), "line", 0, prefix, none);
    finish("line", 0, prefix, none);
  }
}

// The lines and the stages that run them: names that match, crosses of two
// lines that select what the cross takes, numbers a line can select, and
// what a stage with lines leaves out.
void scheme_reader::check_lines() {
  std::vector<std::string_view> names;
  for (size_t i = 0; i < p_.lines.size(); ++i) {
    const line_setting& l = p_.lines[i];
    const std::string at_line = "line." + std::to_string(i + 1);
    const std::string line_text = "[[line]] " + std::to_string(i + 1);
    if (std::find(names.begin(), names.end(), l.name) != names.end())
      problem(at_line + ".name", "`" + line_text + " name = \"" + l.name + "\"`: another [[line]] has this name; give "
                                 "every line a name of its own.");
    else if (!l.name.empty())
      names.push_back(l.name);
    // One word that files and tables take as it is; NA would read as missing in R and pandas.
    const bool plain = !l.name.empty() && l.name != "NA" && std::all_of(l.name.begin(), l.name.end(), [](char c) {
      return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.';
    });
    if (present_.count(at_line + ".name") && !plain)
      problem(at_line + ".name", "`" + line_text + " name = \"" + l.name + "\"`: a line's name is one word of "
                                 "letters, digits, _, - and . other than NA (it is PLINK's family and a value of "
                                 "summary.csv); give one.");
  }
  const auto index_of = [&](const std::string& name) {
    for (size_t j = 0; j < p_.lines.size(); ++j)
      if (p_.lines[j].name == name) return static_cast<int32_t>(j);
    return int32_t{-1};
  };
  const auto unknown = [&](const std::string& path, const std::string& head, const std::string& name) {
    const std::string near = nearest_name(name, names);
    problem(path, head + ": there is no [[line]] named \"" + name + "\"" +
                      (!near.empty()    ? "; did you mean \"" + near + "\"?"
                       : names.empty() ? std::string("; define the line in a [[line]] table.")
                                       : std::string(".")));
  };
  for (size_t i = 0; i < p_.lines.size(); ++i) {
    line_setting& l = p_.lines[i];
    const std::string at_line = "line." + std::to_string(i + 1);
    const std::string line_text = "[[line]] " + std::to_string(i + 1) + " (\"" + l.name + "\")";
    if (l.nind % 2 != 0)
      problem(at_line + ".animals", "`" + line_text + " animals = " + std::to_string(l.nind) +
                                        "`: a line has as many males as females; give an even number.");
    const int32_t half = l.nind / 2;
    const auto selectable = [&](int32_t n) { return n >= 3 && n <= half; };
    if (!l.cross()) {
      if (selectable(l.nsire) && selectable(l.ndam) && l.ndam < l.nsire)
        problem(at_line, "`" + line_text + "` selects " + std::to_string(l.nsire) + " sires and " +
                             std::to_string(l.ndam) + " dams; a mating needs at least as many dams as sires: select "
                             "fewer sires or more dams.");
      if (!selectable(l.nsire) || !selectable(l.ndam))
        problem(at_line, "`" + line_text + "` selects " + std::to_string(l.nsire) + " sires and " +
                             std::to_string(l.ndam) + " dams of " + std::to_string(l.nind) +
                             " animals; a line mated within itself selects from 3 to animals / 2 (" +
                             std::to_string(half) + ") of each sex.");
      continue;
    }
    if (!((l.nsire == 0 && l.ndam == 0) || (selectable(l.nsire) && selectable(l.ndam))))
      problem(at_line, "`" + line_text + "` selects " + std::to_string(l.nsire) + " sires and " +
                           std::to_string(l.ndam) + " dams of " + std::to_string(l.nind) +
                           " animals; a cross line selects none (0 and 0: crossbreds that are not bred from), or "
                           "from 3 to animals / 2 (" + std::to_string(half) + ") of each sex for a later cross.");
    for (int side = 0; side < 2; ++side) {
      const std::string key = side == 0 ? "sire_line" : "dam_line";
      const std::string& name = side == 0 ? l.sire_line_name : l.dam_line_name;
      if (!present_.count(at_line + "." + key)) continue;  // reported as missing
      const int32_t j = index_of(name);
      const std::string head = "`" + line_text + " " + key + " = \"" + name + "\"`";
      if (j < 0) {
        unknown(at_line + "." + key, head, name);
        continue;
      }
      (side == 0 ? l.sire_line : l.dam_line) = j;
      const line_setting& from = p_.lines[static_cast<size_t>(j)];
      if (side == 0 && static_cast<size_t>(j) == i)
        problem(at_line + ".sire_line", head + ": the sires of a cross come from another line; name it.");
      else if ((side == 0 ? from.nsire : from.ndam) == 0)
        problem(at_line + "." + key, head + ": line \"" + name + "\" selects no " + (side == 0 ? "sires" : "dams") +
                                         "; give it " + (side == 0 ? "sires" : "dams") + " to cross from.");
    }
    if (l.sire_line >= 0 && l.dam_line >= 0 && l.sire_line != l.dam_line) {
      const line_setting& sl = p_.lines[static_cast<size_t>(l.sire_line)];
      const line_setting& dl = p_.lines[static_cast<size_t>(l.dam_line)];
      if (dl.ndam > 0 && sl.nsire > dl.ndam)
        problem(at_line, "`" + line_text + "` crosses the " + std::to_string(sl.nsire) + " sires of line \"" + sl.name +
                             "\" with the " + std::to_string(dl.ndam) + " dams of line \"" + dl.name +
                             "\"; a mating needs at least as many dams as sires: select fewer sires or more dams.");
    }
    if (l.sire_line >= 0 && l.sire_line == l.dam_line)
      problem(at_line + ".dam_line", "`" + line_text + "`: sire_line and dam_line name the same line; a cross "
                                     "takes its sires and dams from two lines.");
  }
  std::vector<bool> run(p_.lines.size(), false);
  for (int32_t s = 1; s <= p_.nstage; ++s) {
    stage_entry& e = p_.stages[static_cast<size_t>(s)];
    stage_block& b = e.block;
    if (b.line_names.empty()) continue;
    const std::string at_stage = "stage." + std::to_string(s);
    const std::string stage_text = "[[stage]] " + std::to_string(s);
    const size_t before = problems.size();
    b.lines.clear();
    int64_t nsire = 0, ndam = 0, nind = 0;
    for (size_t k = 0; k < b.line_names.size(); ++k) {
      const std::string& name = b.line_names[k];
      const int32_t j = index_of(name);
      if (j < 0) {
        unknown(at_stage + ".lines#" + std::to_string(k + 1), "`" + stage_text + " lines`", name);
        continue;
      }
      if (std::find(b.lines.begin(), b.lines.end(), j) != b.lines.end()) {
        problem(at_stage + ".lines#" + std::to_string(k + 1),
                "`" + stage_text + " lines` names \"" + name + "\" twice; name each line once.");
        continue;
      }
      b.lines.push_back(j);
      run[static_cast<size_t>(j)] = true;
      const line_setting& l = p_.lines[static_cast<size_t>(j)];
      nsire += l.nsire;
      ndam += l.ndam;
      nind += l.nind;
    }
    if (nind > limits::max_animals)
      problem(at_stage + ".lines", "`" + stage_text + " lines`: the lines have " + std::to_string(nind) +
                                       " animals together; at most " + std::to_string(limits::max_animals) +
                                       " are allowed.");
    b.nsire = static_cast<int32_t>(std::min<int64_t>(nsire, limits::max_animals));
    b.ndam = static_cast<int32_t>(std::min<int64_t>(ndam, limits::max_animals));
    b.nind = static_cast<int32_t>(std::min<int64_t>(nind, limits::max_animals));
    if (s == 1)
      problem(at_stage + ".lines", "`" + stage_text + " lines`: stage 1 makes the historical generations, one "
                                   "population; run lines from stage 2 on.");
    const char* apart = "; lines are mated within themselves (or crossed) at random, so a stage with lines has none "
                        "of these: remove it, or run the lines in a stage of their own.";
    for (const char* sub : {"contributions", "mating_rules", "ages"})
      if (subtables_.count(at_stage + "." + sub))
        problem(at_stage + "." + sub, "`" + stage_text + " [stage." + sub + "]` with lines" + apart);
    if (b.matetype != 1 && b.matetype != 2)
      problem(at_stage + ".mating", "`" + stage_text + " mating`: the lines of a stage are mated \"random\" or "
                                    "\"random_avoid_sibs\" within themselves; set one of these.");
    if (b.criterion() == selection_criterion::index && b.index.criterion == selection_criterion::phenotype)
      problem(at_stage + ".index", "`" + stage_text + " [stage.index]`: the index of own phenotypes uses the "
                                   "generation's means, which lines do not share; make the index of tbv, "
                                   "pedigree_blup or genomic_blup.");
    if (s >= 2) {
      const stage_entry& prev = p_.stages[static_cast<size_t>(s - 1)];
      if (prev.readable && (prev.block.contributions.on || prev.block.ages.overlapping()))
        problem(at_stage + ".lines", "`" + stage_text + " lines`: the stage before chooses its parents by optimum "
                                     "contributions or keeps them for several generations, which lines cannot take "
                                     "over; put a stage of truncation between them.");
    }
    if (problems.size() != before) e.readable = false;
  }
  for (size_t i = 0; i < p_.lines.size(); ++i)
    if (!run[i])
      problem("line." + std::to_string(i + 1), "`[[line]] " + std::to_string(i + 1) + " (\"" + p_.lines[i].name +
                                                   "\")` is run by no stage; name it in the lines of a [[stage]], "
                                                   "or remove it.");
}

void scheme_reader::read(const toml::table& root) {
  stage_block none;
  // The run's own keys and the tables: every table is read before the
  // defaults of any, since a key's defaults and rules may depend on another
  // table (the QTL keys on the number of stages, the correlations on the
  // number of traits).
  read_table(root, "", 0, "", none);
  for (const auto& [key, node] : root) {
    const std::string name(key.str());
    if (std::find(scheme_tables().begin(), scheme_tables().end(), name) == scheme_tables().end()) continue;
    if (name == "line") {
      read_lines(node);
      continue;
    }
    if (name == "stage") {
      const auto* list = node.as_array();
      if (!list || !list->is_array_of_tables()) {
        problem(name, "`stage` is " + std::string(node_kind(node)) +
                          "; give each stage as a table of its own, headed [[stage]] (two brackets).");
        continue;
      }
      continue;
    }
    const auto* t = node.as_table();
    if (!t) {
      problem(name, "`" + name + "` is " + node_kind(node) + "; it is a table: write [" + name + "] on a line of its own and its keys below it.");
      continue;
    }
    place(name, t->source());
    read_table(*t, name, 0, name + ".", none);
  }
  // The stages.
  const toml::array* list = root["stage"].as_array();
  const size_t n = list && list->is_array_of_tables() ? list->size() : 0;
  if (n == 0 && !root.contains("stage")) problems.push_back(at("") + ": the scheme has no [[stage]] table; give one for each stage, stage 1 (the historical generations) first.");
  if (n > static_cast<size_t>(limits::max_stages))
    problems.push_back(at("stage") + ": " + std::to_string(n) + " [[stage]] tables; at most " +
                       std::to_string(limits::max_stages) + " are allowed.");
  p_.nstage = static_cast<int32_t>(std::min<size_t>(std::max<size_t>(n, 1), limits::max_stages));
  p_.stages.assign(static_cast<size_t>(p_.nstage) + 1, stage_entry{});
  for (size_t s = 1; s <= n && s <= static_cast<size_t>(limits::max_stages); ++s) {
    const toml::table& t = *(*list)[s - 1].as_table();
    const std::string prefix = "stage." + std::to_string(s) + ".";
    place("stage." + std::to_string(s), t.source());
    stage_entry& e = p_.stages[s];
    const size_t before = problems.size();
    read_table(t, "stage", static_cast<int>(s), prefix, e.block);
    e.readable = problems.size() == before;  // a block with a wrong value is not checked further
  }
  // Defaults and checks, the run's keys and tables first.
  finish("", 0, "", none);
  // The number of traits: given, or that of the heritabilities.
  if (!present_.count("traits.count")) p_.ntrait = static_cast<int32_t>(std::max<size_t>(p_.h2.size(), 1));
  finish("genome", 0, "genome.", none);
  finish("traits", 0, "traits.", none);
  finish("qtl", 0, "qtl.", none);
  if (root.contains("chip")) finish("chip", 0, "chip.", none);
  for (size_t s = 1; s <= n && s <= static_cast<size_t>(limits::max_stages); ++s) {
    const size_t before = problems.size();
    const std::string prefix = "stage." + std::to_string(s) + ".";
    finish("stage", static_cast<int>(s), prefix, p_.stages[s].block);
    for (std::string_view sub : stage_subtables())
      if (subtables_.count(prefix + std::string(sub)))
        finish("stage." + std::string(sub), static_cast<int>(s), prefix + std::string(sub) + ".", p_.stages[s].block);
    if (problems.size() != before) p_.stages[s].readable = false;
  }
  // Sizes that follow from the number of traits. A count out of its range
  // is reported above; the values are then sized for one trait, so that a
  // check goes on without allocating for a number that is not one.
  const bool count_in_range = p_.ntrait >= 1 && p_.ntrait <= limits::max_traits;
  if (!count_in_range) p_.ntrait = 1;
  const size_t nt = static_cast<size_t>(p_.ntrait);
  if (count_in_range && present_.count("traits.heritability") && p_.h2.size() != nt)
    problem("traits.heritability", "`[traits] heritability` has " + std::to_string(p_.h2.size()) +
                                       " numbers; give one for each of the " + std::to_string(nt) + " traits.");
  const size_t pairs = nt * (nt - 1) / 2;
  for (const char* name : {"genetic_correlations", "residual_correlations"}) {
    const std::string path = std::string("traits.") + name;
    const std::vector<float>& c = std::string(name) == "genetic_correlations" ? p_.rgen : p_.rerr;
    if (count_in_range && nt >= 2 && present_.count(path) && c.size() != pairs)
      problem(path, "`[traits] " + std::string(name) + "` gives " + std::to_string(c.size()) +
                        " correlations; " + std::to_string(nt) + " traits have " + std::to_string(pairs) +
                        " pairs: give the " + std::to_string(nt) + " x " + std::to_string(nt) +
                        " matrix, or its upper triangle row by row (1,2), (1,3) .. (2,3) ..");
  }
  if (count_in_range && present_.count("traits.recorded_on") && p_.recorded_on.size() != nt)
    problem("traits.recorded_on", "`[traits] recorded_on` names " + std::to_string(p_.recorded_on.size()) +
                                      " sexes; give one for each of the " + std::to_string(nt) +
                                      " traits (\"both\", \"females\" or \"males\").");
  p_.recorded_on.resize(nt, recorded_sex::both);
  if (p_.dominance_for_every_trait && !p_.dominance.empty()) p_.dominance.resize(nt, p_.dominance.front());
  if (count_in_range && !p_.dominance_for_every_trait && !p_.dominance.empty() && p_.dominance.size() != nt)
    problem("traits.dominance", "`[traits] dominance` gives " + std::to_string(p_.dominance.size()) +
                                    " tables; give one table for every trait ({ mean = ..., sd = ... }) or one for "
                                    "each of the " + std::to_string(nt) + " traits.");
  check_lines();
  for (size_t s = 1; s <= n && s <= static_cast<size_t>(limits::max_stages); ++s) check_stage_selection(static_cast<int>(s));
  p_.h2.resize(nt, 0.0f);
  if (nt >= 2) {
    p_.rgen.resize(pairs, 0.0f);
    p_.rerr.resize(pairs, 0.0f);
  } else {
    p_.rgen.clear();
    p_.rerr.clear();
  }
}

}  // namespace

std::vector<std::string> read_scheme_text(run_parameters& p, std::string_view text) {
  auto places = std::make_shared<scheme_places>();
  places->file = p.parafile;
  p.scheme = places;
  toml::table parsed;
  try {
    parsed = toml::parse(text, std::string_view(p.parafile));
  } catch (const toml::parse_error& e) {
    p.nstage = 1;
    p.ntrait = 1;
    p.stages.assign(2, stage_entry{});
    return {"Scheme file " + p.parafile + ", line " + std::to_string(e.source().begin.line) + ", column " +
            std::to_string(e.source().begin.column) + ": " + std::string(e.description()) +
            " (the file is not valid TOML; see docs/scheme.md for an example)."};
  }
  places->parsed = true;
  scheme_reader r(p, text, *places);
  r.read(parsed);
  // In the order of the file.
  const auto place_of = [](const std::string& m) {
    int line = 0, column = 0;
    const size_t at = m.find(", line ");
    if (at != std::string::npos) std::sscanf(m.c_str() + at + 7, "%d, column %d", &line, &column);
    return std::pair<int, int>(line, column);
  };
  std::stable_sort(r.problems.begin(), r.problems.end(),
                   [&](const std::string& a, const std::string& b) { return place_of(a) < place_of(b); });
  return std::move(r.problems);
}

}  // namespace qm
