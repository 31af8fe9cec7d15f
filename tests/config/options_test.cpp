#include "config/options.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

// The outcome of parse_options on a command line (the program name first).
struct parsed {
  std::optional<int> status;  // nothing: the run goes on
  qm::run_options options;
  std::string message;  // what it wrote for a command line it refused
};

parsed parse(std::vector<std::string> args) {
  args.insert(args.begin(), "quillmere");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  parsed r;
  std::FILE* f = std::tmpfile();
  r.status = qm::parse_options(static_cast<int>(args.size()), argv.data(), r.options, f);
  std::rewind(f);
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) r.message.append(buf, n);
  std::fclose(f);
  return r;
}

// The options that take a value, as --help lists them (TEXT or INT after the name).
std::set<std::string> options_with_values(const std::string& help) {
  std::set<std::string> names;
  static const std::regex with_value(R"((--[a-z-]+) (TEXT|INT|FILE))");
  for (auto it = std::sregex_iterator(help.begin(), help.end(), with_value); it != std::sregex_iterator(); ++it)
    names.insert((*it)[1]);
  return names;
}

std::string help_text(const std::vector<std::string>& args) {
  // --help writes to standard output; read it back through a file.
  std::fflush(stdout);
  std::FILE* saved = std::tmpfile();
  std::string text;
  {
    const int keep = dup(fileno(stdout));
    dup2(fileno(saved), fileno(stdout));
    const parsed r = parse(args);
    std::fflush(stdout);
    dup2(keep, fileno(stdout));
    close(keep);
    EXPECT_EQ(r.status, 0);
  }
  std::rewind(saved);
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, saved)) > 0) text.append(buf, n);
  std::fclose(saved);
  return text;
}

// Every option that takes a value, of the run and of merge, and the
// positionals, refuse an empty value with exit status 2 and a message
// that names them; nothing is left as if the option were not given.
TEST(Options, EmptyValuesAreRefused) {
  const std::set<std::string> run_options = options_with_values(help_text({"--help"}));
  const std::set<std::string> merge_options = options_with_values(help_text({"merge", "--help"}));
  EXPECT_TRUE(run_options.count("--from-history") && run_options.count("--save-history") &&
              run_options.count("--threads") && run_options.count("--genome-layout"))
      << "the options were not found in --help";
  EXPECT_GE(run_options.size(), 9u);
  EXPECT_EQ(merge_options, std::set<std::string>{"--outdir"});
  for (const std::string& name : run_options) {
    SCOPED_TRACE(name);
    const parsed r = parse({name, "", "param.par"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.message.rfind("quillmere: " + name + ": the value is empty", 0), 0u) << r.message;
    // --name= with nothing after it is refused as well (CLI11 would take
    // the next word as the value).
    const parsed bare = parse({name + "=", "param.par"});
    EXPECT_EQ(bare.status, 2);
    EXPECT_EQ(bare.message.rfind("quillmere: " + name + ": the value is empty", 0), 0u) << bare.message;
  }
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"merge", "--outdir", "", "rep-1"}, {"merge", "--outdir=", "rep-1"}}) {
    const parsed merge_outdir = parse(args);
    EXPECT_EQ(merge_outdir.status, 2);
    EXPECT_NE(merge_outdir.message.find("--outdir: the value is empty"), std::string::npos) << merge_outdir.message;
  }
  const parsed file = parse({""});
  EXPECT_EQ(file.status, 2);
  EXPECT_NE(file.message.find("PARAMETER_FILE: the value is empty"), std::string::npos) << file.message;
  const parsed folder = parse({"merge", "rep-1", ""});
  EXPECT_EQ(folder.status, 2);
  EXPECT_NE(folder.message.find("FOLDER: the value is empty"), std::string::npos) << folder.message;
  // The same options with values go on to the run.
  const parsed given = parse({"--outdir", "out", "--save-history", "h.qmh", "param.par"});
  EXPECT_FALSE(given.status.has_value()) << given.message;
  EXPECT_EQ(given.options.outdir, "out");
  EXPECT_EQ(given.options.save_history, "h.qmh");
  EXPECT_EQ(given.options.parafile, "param.par");
  // merge --compare: a flag, the two schemes are the folders.
  const parsed compare = parse({"merge", "--compare", "--outdir", "cmp", "scheme-a", "scheme-b"});
  EXPECT_FALSE(compare.status.has_value()) << compare.message;
  EXPECT_TRUE(compare.options.merge);
  EXPECT_TRUE(compare.options.merge_compare);
  EXPECT_EQ(compare.options.merge_folders, (std::vector<std::string>{"scheme-a", "scheme-b"}));
  EXPECT_FALSE(parse({"merge", "rep-1", "rep-2"}).options.merge_compare);
}

// Numbers are decimal: leading zeros and a sign are decimal text; other
// bases, exponents, blanks and trailing text are not numbers; a number
// outside the option's range names the range.
TEST(Options, NumbersAreDecimal) {
  struct accepted_case {
    std::vector<std::string> args;
    int threads;
    std::optional<int32_t> seed;
    int64_t replicate, max_memory_mb;
    int gblup;
  };
  const accepted_case accepted[] = {
      {{"--threads", "010"}, 10, std::nullopt, 0, 0, 3},  // ten, not eight
      {{"--threads", "+7", "--seed", "0000123"}, 7, 123, 0, 0, 3},
      {{"--threads", "1024", "--seed", "2147483646"}, 1024, 2147483646, 0, 0, 3},
      {{"--threads=1", "--seed=1", "--replicate=2147483645"}, 1, 1, 2147483645, 0, 3},
      {{"--max-memory", "08", "--gblup-generations", "09", "--replicate", "0"}, 0, std::nullopt, 0, 8, 9},
  };
  for (const accepted_case& c : accepted) {
    std::vector<std::string> args = c.args;
    args.push_back("param.par");
    const parsed r = parse(args);
    SCOPED_TRACE(args[1]);
    ASSERT_FALSE(r.status.has_value()) << r.message;
    if (c.threads != 0) EXPECT_EQ(r.options.threads, c.threads);
    EXPECT_EQ(r.options.seed, c.seed);
    EXPECT_EQ(r.options.replicate, c.replicate);
    EXPECT_EQ(r.options.max_memory_mb, c.max_memory_mb);
    EXPECT_EQ(r.options.gblup_generations, c.gblup);
  }
  for (const char* name : {"--threads", "--seed", "--replicate", "--max-memory", "--gblup-generations"}) {
    for (const char* text : {"0x10", "0X10", "0b11", "0o7", "1e1", "4.0", "4x", " 4", "4 ", "abc", "+", "\xd9\xa4"}) {
      SCOPED_TRACE(std::string(name) + " " + text);
      const parsed r = parse({name, text, "param.par"});
      EXPECT_EQ(r.status, 2);
      EXPECT_NE(r.message.find(std::string(name) + ": a whole number in decimal digits is expected, not \"" + text +
                               "\""),
                std::string::npos)
          << r.message;
    }
  }
  const std::pair<std::vector<std::string>, const char*> outside[] = {
      {{"--threads", "0"}, "--threads: 0 is not in the range 1..1024"},
      {{"--threads", "1025"}, "--threads: 1025 is not in the range 1..1024"},
      {{"--threads", "-1"}, "--threads: -1 is not in the range 1..1024"},
      {{"--threads", "99999999999999999999"}, "--threads: 99999999999999999999 is not in the range 1..1024"},
      {{"--seed", "2147483647"}, "--seed: 2147483647 is not in the range 1..2147483646"},
      {{"--seed", "0"}, "--seed: 0 is not in the range 1..2147483646"},
      {{"--replicate", "2147483646"}, "--replicate: 2147483646 is not in the range 0..2147483645"},
      {{"--max-memory", "1073741825"}, "--max-memory: 1073741825 is not in the range 1..1073741824"},
      {{"--gblup-generations", "1001"}, "--gblup-generations: 1001 is not in the range 1..1000"},
  };
  for (const auto& [args, says] : outside) {
    std::vector<std::string> a = args;
    a.push_back("param.par");
    const parsed r = parse(a);
    EXPECT_EQ(r.status, 2) << says;
    EXPECT_NE(r.message.find(says), std::string::npos) << r.message;
  }
}

}  // namespace

namespace {

// The options of the files for other tools: the QTL options imply their
// format, the alleles and the .fam parents take one of their words, and
// nucleotide alleles without a file to carry them are refused.
TEST(Options, GenotypeFileOptions) {
  const parsed plain = parse({"param.par"});
  EXPECT_FALSE(plain.status.has_value());
  EXPECT_EQ(plain.options.alleles, "AB");
  EXPECT_EQ(plain.options.fam_parents, "fileset");
  EXPECT_FALSE(plain.options.vcf || plain.options.vcf_qtl || plain.options.plink);

  const parsed qtl = parse({"--vcf-qtl", "--alleles", "nucleotide", "--fam-parents", "all", "param.par"});
  EXPECT_FALSE(qtl.status.has_value()) << qtl.message;
  EXPECT_TRUE(qtl.options.vcf && qtl.options.vcf_qtl);
  EXPECT_FALSE(qtl.options.plink);
  EXPECT_EQ(qtl.options.alleles, "nucleotide");
  EXPECT_EQ(qtl.options.fam_parents, "all");
  EXPECT_FALSE(parse({"--plink", "--alleles=nucleotide", "param.par"}).status.has_value());

  const parsed alone = parse({"--alleles", "nucleotide", "param.par"});
  EXPECT_EQ(alone.status, 2);
  EXPECT_NE(alone.message.find("--alleles nucleotide names the alleles of the PLINK and VCF files, and neither is "
                               "written: give --plink or --vcf as well."),
            std::string::npos)
      << alone.message;
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--plink", "--alleles", "ACGT", "p.par"},
                                               {"--plink", "--alleles", "ab", "p.par"},
                                               {"--plink", "--fam-parents", "none", "p.par"}}) {
    const parsed r = parse(args);
    EXPECT_EQ(r.status, 2) << args[2];
    EXPECT_NE(r.message.find(args[1]), std::string::npos) << r.message;
    EXPECT_NE(r.message.find(args[2]), std::string::npos) << r.message;
  }
}

}  // namespace

namespace {

std::string documentation() {
  std::string all;
  std::FILE* f = popen("cat '" QM_SOURCE_DIR "/README.md' '" QM_SOURCE_DIR "'/docs/*.md", "r");
  if (!f) return all;
  char buf[1 << 16];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) all.append(buf, n);
  pclose(f);
  return all;
}

// Every option that --help lists, of the run and of each subcommand, is
// described in README.md or docs/*.md.
TEST(Options, EveryOptionOfHelpIsDocumented) {
  const std::string docs = documentation();
  ASSERT_GT(docs.size(), 10000u);
  std::set<std::string> names;
  static const std::regex option(R"((^|[\s,\[])(--[a-z][a-z-]*))");
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--help"}, {"merge", "--help"},
                                               {"convert", "--help"}}) {
    const std::string help = help_text(args);
    for (auto it = std::sregex_iterator(help.begin(), help.end(), option); it != std::sregex_iterator(); ++it)
      names.insert((*it)[2]);
  }
  EXPECT_GE(names.size(), 20u);
  for (const char* known : {"--alleles", "--vcf-qtl", "--fam-parents", "--outdir", "--compare", "--output"})
    EXPECT_TRUE(names.count(known)) << known << " not found in --help";
  // The name as a whole word: --vcf is not found in --vcf-qtl.
  auto mentioned = [&docs](const std::string& name) {
    auto word = [](char c) { return (c >= 'a' && c <= 'z') || c == '-'; };
    for (size_t at = docs.find(name); at != std::string::npos; at = docs.find(name, at + 1)) {
      const size_t end = at + name.size();
      if ((at == 0 || !word(docs[at - 1])) && (end == docs.size() || !word(docs[end]))) return true;
    }
    return false;
  };
  for (const std::string& name : names) EXPECT_TRUE(mentioned(name)) << name << " is not described in README.md or docs/*.md";
  EXPECT_FALSE(mentioned("--vcf-qtl-extra"));
  EXPECT_FALSE(mentioned("--plink-q"));
}

// A misspelt option is named, with the nearest option when one is near;
// --replicate takes a range K-L; --files and --generations name what they
// cannot read.
TEST(Options, TyposRangesAndChoicesOfOutput) {
  const std::pair<std::vector<std::string>, const char*> said[] = {
      {{"--outdri", "out"}, "quillmere: unknown option --outdri; did you mean --outdir?"},
      {{"--thread", "2"}, "unknown option --thread; did you mean --threads?"},
      {{"--plinkqtl"}, "unknown option --plinkqtl; did you mean --plink-qtl?"},
      {{"--ovewrite"}, "unknown option --ovewrite; did you mean --overwrite?"},
      {{"--generation=last"}, "unknown option --generation; did you mean --generations?"},
      {{"--zebra"}, "unknown option --zebra\n"},
      {{"--replicate", "1..3"}, "--replicate: a whole number in decimal digits is expected, not \"1..3\" "
                                "(replicates K to L are given as a range K-L, such as 1-10)"},
      {{"--replicate", "5-2"}, "the range 5-2 ends before it starts"},
      {{"--replicate", "0-2"}, "a range of replicates starts at 1"},
      {{"--replicate", "1-2147483646"}, "2147483646 is not in the range 0..2147483645"},
      {{"--replicate", "1-3", "--outdir", "x"}, "runs each replicate in its own folder rep-K: leave out --outdir"},
      {{"--files", "haplotypes,bv"}, "--files: \"bv\" is not a kind of file; the kinds are haplotypes, values, ebv, "
                                     "plink, vcf, summary, report (or all)"},
      {{"--generations", "every:0"}, "--generations: \"every:0\": every:N takes a whole number N of at least 1"},
      {{"--generations", "1,x-3"}, "--generations: \"x-3\" in \"1,x-3\" is not a generation or a range of them"},
      {{"--max-disk", "0"}, "--max-disk: 0 is not in the range"},
  };
  for (const auto& [args, says] : said) {
    std::vector<std::string> a = args;
    a.push_back("param.par");
    const parsed r = parse(a);
    EXPECT_EQ(r.status, 2) << says;
    EXPECT_NE(r.message.find(says), std::string::npos) << r.message;
  }
  // The merge and convert commands have options of their own.
  EXPECT_NE(parse({"merge", "--compar", "a", "b"}).message.find("did you mean --compare?"), std::string::npos);
  EXPECT_FALSE(parse({"merge", "--compare", "a", "b"}).status.has_value());
  EXPECT_FALSE(parse({"convert", "--output", "x.toml", "a.par"}).status.has_value());

  const parsed range = parse({"--replicate", "3-12", "param.par"});
  ASSERT_FALSE(range.status.has_value()) << range.message;
  EXPECT_EQ(range.options.replicate, 3);
  EXPECT_EQ(range.options.replicate_last, 12);
  const parsed one = parse({"--replicate", "7", "param.par"});
  EXPECT_EQ(one.options.replicate, 7);
  EXPECT_EQ(one.options.replicate_last, 0);
  EXPECT_EQ(one.options.outdir, "rep-7");

  // The kinds: the default set, --plink and --vcf added to it or to --files.
  const parsed plain = parse({"param.par"});
  EXPECT_EQ(plain.options.output.kinds_text(), "haplotypes,values,ebv,summary,report");
  EXPECT_TRUE(plain.options.output.generations.all());
  const parsed with = parse({"--files", "summary,plink", "--vcf", "--generations", "last", "param.par"});
  ASSERT_FALSE(with.status.has_value()) << with.message;
  EXPECT_EQ(with.options.output.kinds_text(), "plink,vcf,summary");
  EXPECT_TRUE(with.options.plink && with.options.vcf);
  EXPECT_EQ(parse({"--files", "all", "param.par"}).options.output.kinds.size(), qm::output_kinds().size());
}

// The nearest option: a swap of two neighbouring letters counts one edit;
// nothing is suggested for a word far from every name.
TEST(Options, NearestOptionName) {
  const std::vector<std::string> names = {"--outdir", "--overwrite", "--threads", "--seed", "--files"};
  EXPECT_EQ(qm::nearest_option("--outdri", names), "--outdir");
  EXPECT_EQ(qm::nearest_option("--seeds", names), "--seed");
  EXPECT_EQ(qm::nearest_option("--file", names), "--files");
  EXPECT_EQ(qm::nearest_option("--outdirectory", names), "");
  EXPECT_EQ(qm::nearest_option("--xyz", names), "");
}

}  // namespace
