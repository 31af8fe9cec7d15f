#include "config/options.hpp"

#include <sched.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string_view>
#include <thread>

namespace qm {

int default_threads() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return n;
  }
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : static_cast<int>(n);
}

namespace {

bool same_file(const std::string& a, const std::string& b) {
  std::error_code ec;
  if (std::filesystem::equivalent(a, b, ec)) return true;
  const auto ca = std::filesystem::weakly_canonical(std::filesystem::absolute(a, ec), ec);
  const auto cb = std::filesystem::weakly_canonical(std::filesystem::absolute(b, ec), ec);
  return ca == cb;
}

// Options that cannot go together with the history options, and why.
const char* history_conflict(const run_options& o) {
  if (!o.save_history.empty() && !o.from_history.empty())
    return same_file(o.save_history, o.from_history)
               ? "--save-history names the file that --from-history reads: the run would replace its own "
                 "history. Leave out --save-history; the history is saved already."
               : "--save-history and --from-history cannot be given together: a run that starts from a "
                 "history makes no stage 1 to save. Copy the history file instead.";
  if (!o.save_history.empty() && o.check_only)
    return "--check runs no generation, so there is no history to save: leave out --save-history (--check "
           "with --from-history checks a history against the parameter file).";
  if (!o.save_history.empty() && o.save_history.back() == '/')
    return "--save-history needs a file name, not a folder.";
  return nullptr;
}

// Every option that takes a value needs one: an empty value ("") would leave
// the option as if it were not given, silently.
std::string empty_value(const std::string& text) {
  return text.empty() ? "the value is empty; give a value, or leave the option out" : "";
}

// A whole number in decimal digits (a sign allowed, leading zeros read as
// decimal) within lo..hi. The text is rewritten to its plain decimal form,
// because CLI11 reads 0x10, 0b10 and 010 in bases of their own.
CLI::Validator decimal_in(int64_t lo, int64_t hi) {
  const std::string range = std::to_string(lo) + ".." + std::to_string(hi);
  return CLI::Validator(
      [lo, hi, range](std::string& text) -> std::string {
        if (text.empty()) return empty_value(text);
        const char* begin = text.data();
        const char* end = begin + text.size();
        if (*begin == '+') ++begin;  // from_chars takes a minus sign only
        const char* digits = begin != end && *begin == '-' ? begin + 1 : begin;
        if (digits == end || !std::all_of(digits, end, [](char c) { return c >= '0' && c <= '9'; }))
          return "a whole number in decimal digits is expected, not \"" + text + "\"";
        int64_t v = 0;
        const auto [ptr, ec] = std::from_chars(begin, end, v);
        if (ec != std::errc() || ptr != end || v < lo || v > hi) return text + " is not in the range " + range;
        text = std::to_string(v);
        return "";
      },
      "in " + range);
}

// --replicate K or K-L: each number as decimal_in(0, ...) reads it.
CLI::Validator replicate_numbers() {
  const CLI::Validator one = decimal_in(0, 2147483645);
  return CLI::Validator(
      [one](std::string& text) -> std::string {
        const size_t dash = text.find('-', 1);
        if (dash == std::string::npos) {
          std::string why = one(text);
          if (why.find("decimal digits") != std::string::npos)
            why += " (replicates K to L are given as a range K-L, such as 1-10)";
          return why;
        }
        std::string first = text.substr(0, dash), last = text.substr(dash + 1);
        for (std::string* part : {&first, &last})
          if (std::string why = one(*part); !why.empty()) return why + " (in the range of replicates " + text + ")";
        if (std::stoll(first) == 0) return "a range of replicates starts at 1, not at 0 (" + text + ")";
        if (std::stoll(last) < std::stoll(first))
          return "the range " + text + " ends before it starts; give the first replicate, then the last";
        text = first + "-" + last;
        return "";
      },
      "K or K-L");
}

// Option names of a command, long (--name) and short (-n).
void names_of(const CLI::App& app, std::vector<std::string>& names) {
  for (const CLI::Option* opt : app.get_options()) {
    for (const std::string& n : opt->get_lnames()) names.push_back("--" + n);
    for (const std::string& n : opt->get_snames()) names.push_back("-" + n);
  }
}

// The words before "--" that have the shape of an option ("--name" or
// "--name=value") but name none of the command's: the first, with the
// nearest option name.
std::optional<std::string> unknown_option(int argc, char** argv, const std::vector<std::string>& names) {
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--") break;
    if (!word.starts_with("--") || word.size() < 3) continue;
    const std::string name = word.substr(0, word.find('='));
    if (std::find(names.begin(), names.end(), name) != names.end()) continue;
    std::string m = "unknown option " + name;
    if (const std::string near = nearest_option(name, names); !near.empty()) m += "; did you mean " + near + "?";
    return m;
  }
  return std::nullopt;
}

}  // namespace

std::string nearest_option(const std::string& word, const std::vector<std::string>& names) {
  // Optimal string alignment distance.
  auto distance = [](const std::string& a, const std::string& b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i)
      for (size_t j = 1; j <= b.size(); ++j) {
        d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
        if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    return d[a.size()][b.size()];
  };
  std::string best;
  size_t best_d = 0;
  for (const std::string& n : names) {
    const size_t d = distance(word, n);
    if (best.empty() || d < best_d) {
      best = n;
      best_d = d;
    }
  }
  // Near enough: at most a third of the word's letters wrong (and 3).
  const size_t letters = word.size() > 2 ? word.size() - 2 : word.size();
  return !best.empty() && best_d <= std::min<size_t>(3, std::max<size_t>(1, letters / 3)) ? best : "";
}

std::optional<int> parse_options(int argc, char** argv, run_options& o, std::FILE* messages) {
  o.threads = default_threads();
  for (int i = 0; i < argc; ++i) o.command_line.emplace_back(argv[i]);

  CLI::App app(
      "       quillmere merge [--outdir DIR] REPLICATE_FOLDER...\n"
      "       quillmere merge --compare [--outdir DIR] SCHEME_A SCHEME_B\n"
      "       quillmere convert FILE [-o OUT]\n\n"
      "Runs the breeding-population simulation described by PARAMETER_FILE (a scheme\n"
      "file in TOML, docs/scheme.md, or a classic parameter file) and writes\n"
      "its result files and log.txt into the output folder (the working folder unless\n"
      "--outdir names another). Without PARAMETER_FILE the program asks for the file\n"
      "name on standard input.",
      "quillmere");
  app.set_version_flag("-V,--version", std::string("quillmere ") + QM_VERSION);
  app.add_option("PARAMETER_FILE", o.parafile, "the scheme file (TOML) or classic parameter file");
  app.add_option("--threads", o.threads, "threads; the results are identical for every number")
      ->transform(decimal_in(1, 1024))
      ->default_str("the cores this process may use");
  app.add_option("--outdir", o.outdir,
                 "folder for every file of the run, log.txt included; created when missing")
      ->default_str("the working folder");
  app.add_flag("--overwrite", o.overwrite, "remove the result files of an earlier run from --outdir first");
  app.add_option("--seed", o.seed, "random seed in place of the one of the parameter file (1..2147483646)")
      ->transform(decimal_in(1, 2147483646))
      ->default_str("the parameter file's");
  app.add_flag("--plink", o.plink,
               "a PLINK 1 binary fileset NNgeno.bed/.bim/.fam of the markers for every generation with result files");
  app.add_flag("--plink-qtl", o.plink_qtl, "with --plink: the QTL as extra variants QTL0001, ... (implies --plink)");
  app.add_flag("--vcf", o.vcf, "a phased VCF NNgeno.vcf.gz with its .csi index for every generation with result files");
  app.add_flag("--vcf-qtl", o.vcf_qtl, "with --vcf: the QTL as extra variants QTL0001, ... (implies --vcf)");
  app.add_option("--alleles", o.alleles,
                 "allele letters of the PLINK and VCF files: AB, or nucleotide (a reference and an alternative base "
                 "per locus, from the seed, and the reference sequence genome.fa)")
      ->check(CLI::Validator(empty_value, ""))
      ->check(CLI::IsMember({"AB", "nucleotide"}))
      ->capture_default_str();
  app.add_flag("--all-markers", o.all_markers,
               "every marker in the PLINK and VCF files; by default a run with a SNP chip ([chip]) writes the chip's "
               "markers only");
  app.add_option("--fam-parents", o.fam_parents,
                 "parents in the .fam files: fileset (a parent not in the fileset is written as 0, unknown) or all")
      ->check(CLI::Validator(empty_value, ""))
      ->check(CLI::IsMember({"fileset", "all"}))
      ->capture_default_str();
  std::string replicates = "0";
  app.add_option("--replicate", replicates,
                 "replicate K of the scheme: its seed is derived from the seed and K (0 keeps the seed); "
                 "the default output folder is rep-K. A range K-L runs replicates K to L in turn, each in "
                 "its rep-K folder")
      ->transform(replicate_numbers())
      ->default_str("0");
  app.add_flag("--history-summary", o.history_summary,
               "summary.csv also gets a row for every historical generation");
  app.add_option("--max-memory", o.max_memory_mb, "largest peak memory the run may need, in MB; a run whose estimate is larger stops before it starts")
      ->transform(decimal_in(1, int64_t{1} << 30))
      ->default_str("the memory available on the machine");
  app.add_option("--gblup-generations", o.gblup_generations,
                 "generations whose phenotyped, genotyped animals form the reference of genomic BLUP "
                 "(seltype 4): the current one and the K - 1 before it")
      ->transform(decimal_in(1, 1000))
      ->default_str("3");
  app.add_option("--genome-layout", o.genome_layout,
                 "haplotypes from the recoding on: packed (one bit per allele) or bytes (one byte per allele, "
                 "eight times the memory; the results are identical)")
      ->check(CLI::Validator(empty_value, ""))
      ->check(CLI::IsMember({"packed", "bytes"}))
      ->capture_default_str();
  app.add_flag("--check", o.check_only,
               "check the parameter file, estimate memory, disk space and time, report every problem, and exit "
               "without simulating");
  std::string kinds, generations = "all";
  app.add_option("--files", kinds,
                 "the kinds of result file to write, comma-separated: haplotypes, values, ebv, plink, vcf, summary, "
                 "report, or all (maps, genetic parameters, log.txt and run.json are always written)")
      ->default_str("haplotypes,values,ebv,summary,report");
  app.add_option("--generations", generations,
                 "the generations that get per-generation files: all, last, every:N, or numbers and ranges such "
                 "as 1,5,10-12 (summary.csv keeps every generation)")
      ->capture_default_str();
  app.add_flag("--quiet", o.quiet, "no per-generation lines on the console (log.txt keeps them)");
  app.add_option("--max-disk", o.max_disk_mb,
                 "largest size the run's files may take, in MB; a run whose estimate is larger stops before it starts")
      ->transform(decimal_in(1, int64_t{1} << 40))
      ->default_str("the free space of the output folder's disk");
  app.add_option("--save-history", o.save_history,
                 "write the complete state at the end of stage 1 (the history) to FILE; the run goes on as usual")
      ->option_text("FILE");
  app.add_option("--from-history", o.from_history,
                 "start at stage 2 from the history in FILE (written by --save-history); stage 1 and the genome "
                 "of the parameter file must be the ones it was made with, the later stages may differ")
      ->option_text("FILE");
  CLI::App* merge = app.add_subcommand(
      "merge", "merge the summaries of replicate folders into replicates.csv and report.html (quillmere merge DIR...)");
  merge->add_option("FOLDER", o.merge_folders, "replicate folders, each with summary.csv and run.json")->required();
  merge->add_option("--outdir", o.merge_outdir, "folder for replicates.csv and report.html")->capture_default_str();
  merge->add_flag("--compare", o.merge_compare,
                  "compare two schemes: the two FOLDERs each hold the replicate folders of one scheme; writes "
                  "compare.csv and report.html");
  CLI::App* convert = app.add_subcommand(
      "convert", "write a classic parameter file as a scheme file (TOML), or a scheme file as a classic one");
  convert->add_option("FILE", o.convert_file, "the file to convert; its kind is read from its content")->required();
  convert->add_option("-o,--output", o.convert_out, "write the converted file here instead of to standard output")
      ->option_text("OUT");
  // "--name=" with nothing after it: CLI11 would take the next word as the
  // value (--outdir= run.par reads run.par as the folder).
  for (int i = 1; i < argc; ++i) {
    const std::string_view word = argv[i];
    if (word == "--") break;
    if (word.size() > 3 && word.starts_with("--") && word.find('=') == word.size() - 1) {
      std::fprintf(messages, "quillmere: %.*s: %s\nRun 'quillmere --help' for the options.\n",
                   static_cast<int>(word.size() - 1), word.data(), empty_value("").c_str());
      return 2;
    }
  }
  for (CLI::App* command : {&app, merge, convert})
    for (CLI::Option* opt : command->get_options())
      if (opt->get_type_size() > 0) opt->check(CLI::Validator(empty_value, ""));
  {
    // A misspelt option named with the nearest one, before CLI11 takes it
    // for a positional word.
    std::vector<std::string> names;
    const std::string first = argc > 1 ? argv[1] : "";
    names_of(first == "merge" ? *merge : first == "convert" ? *convert : app, names);
    if (const std::optional<std::string> m = unknown_option(argc, argv, names)) {
      std::fprintf(messages, "quillmere: %s\nRun 'quillmere --help' for the options.\n", m->c_str());
      return 2;
    }
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
    return 0;
  } catch (const CLI::CallForAllHelp&) {
    std::fputs(app.help("", CLI::AppFormatMode::All).c_str(), stdout);
    return 0;
  } catch (const CLI::CallForVersion& e) {
    std::printf("%s\n", e.what());
    return 0;
  } catch (const CLI::ParseError& e) {
    std::fprintf(messages, "quillmere: %s\nRun 'quillmere --help' for the options.\n", e.what());
    return 2;
  }
  o.merge = merge->parsed();
  o.convert = convert->parsed();
  if (const char* conflict = history_conflict(o)) {
    std::fprintf(messages, "quillmere: %s\nRun 'quillmere --help' for the options.\n", conflict);
    return 2;
  }
  if (o.plink_qtl) o.plink = true;
  if (o.vcf_qtl) o.vcf = true;
  {
    std::string why;
    if (!kinds.empty()) {
      const std::optional<std::set<std::string>> k = output_choice::parse_kinds(kinds, why);
      if (!k) {
        std::fprintf(messages, "quillmere: --files: %s.\nRun 'quillmere --help' for the options.\n", why.c_str());
        return 2;
      }
      o.output.kinds = *k;
    }
    const std::optional<generation_choice> g = generation_choice::parse(generations, why);
    if (!g) {
      std::fprintf(messages, "quillmere: --generations: %s.\nRun 'quillmere --help' for the options.\n", why.c_str());
      return 2;
    }
    o.output.generations = *g;
    if (o.plink) o.output.kinds.insert("plink");
    if (o.vcf) o.output.kinds.insert("vcf");
    o.plink = o.output.wants("plink");
    o.vcf = o.output.wants("vcf");
  }
  o.output.plink_qtl = o.plink_qtl;
  o.output.vcf_qtl = o.vcf_qtl;
  o.output.fam_all_parents = o.fam_parents == "all";
  o.output.nucleotide = o.alleles == "nucleotide";
  o.output.all_markers = o.all_markers;
  if (o.alleles == "nucleotide" && !o.plink && !o.vcf) {
    std::fprintf(messages,
                 "quillmere: --alleles nucleotide names the alleles of the PLINK and VCF files, and neither is "
                 "written: give --plink or --vcf as well.\nRun 'quillmere --help' for the options.\n");
    return 2;
  }
  {
    const size_t dash = replicates.find('-', 1);
    o.replicate = std::stoll(replicates.substr(0, dash));
    if (dash != std::string::npos) o.replicate_last = std::stoll(replicates.substr(dash + 1));
    if (o.replicate_last > 0 && !o.save_history.empty()) {
      std::fprintf(messages,
                   "quillmere: --replicate %s would save every replicate's history to the same file: run one "
                   "replicate with --save-history, then the others with --from-history.\n"
                   "Run 'quillmere --help' for the options.\n",
                   replicates.c_str());
      return 2;
    }
    if (o.replicate_last > 0 && !o.outdir.empty()) {
      std::fprintf(messages,
                   "quillmere: --replicate %s runs each replicate in its own folder rep-K: leave out --outdir.\n"
                   "Run 'quillmere --help' for the options.\n",
                   replicates.c_str());
      return 2;
    }
  }
  if (o.replicate > 0 && o.outdir.empty()) o.outdir = "rep-" + std::to_string(o.replicate);
  return std::nullopt;
}

}  // namespace qm
