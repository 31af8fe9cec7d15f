// The files a run declares are the files it leaves. For a spread of option
// sets the program is run, and the names that the registered observers plan
// for the same command line and parameter file are compared with the files
// found in the output folder afterwards: not one more, not one fewer. The
// shapes of the names that the observers declare tell a run's files from a
// user's own, and drive the warning about files of an earlier run.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "base/messages.hpp"
#include "config/options.hpp"
#include "config/parameters.hpp"
#include "main/observers.hpp"
#include "support.hpp"

namespace fs = std::filesystem;

namespace {

int run(const std::string& args) { return qmtest::run_program(args); }

std::vector<std::string> words(const std::string& args) {
  std::vector<std::string> w{"quillmere"};
  std::string cur;
  for (char c : args + " ") {
    if (c != ' ') {
      cur += c;
    } else if (!cur.empty()) {
      w.push_back(cur);
      cur.clear();
    }
  }
  return w;
}

// The options of a command line, as the program parses them.
qm::run_options options_of(const std::string& args) {
  std::vector<std::string> w = words(args);
  std::vector<char*> argv;
  for (std::string& s : w) argv.push_back(s.data());
  qm::run_options o;
  EXPECT_FALSE(qm::parse_options(static_cast<int>(argv.size()), argv.data(), o).has_value()) << args;
  return o;
}

// The files the registered observers plan for a run with these options.
std::set<std::string> planned(const std::string& args) {
  const qm::run_options o = options_of(args);
  qm::run_parameters p;
  p.parafile = o.parafile;
  p.threads = o.threads;
  qmtest::console_capture quiet;
  qm::read_parameters(p);
  return qm::registered_observers(o).files_of(p).planned.names;
}

std::set<std::string> present(const std::string& folder, const std::set<std::string>& besides = {}) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) {
    const std::string n = e.path().filename().string();
    if (!besides.count(n)) names.insert(n);
  }
  return names;
}

struct option_set {
  const char* what;
  std::string par;
  std::string args;    // before the parameter file
  std::string folder;  // where the run's files go
};

std::string small(std::initializer_list<std::pair<int, const char*>> records) {
  std::string par = qmtest::small_par();
  for (const auto& [n, line] : records) par = qmtest::set_record(par, n, line);
  return par;
}

TEST(FilePlan, EveryRunLeavesExactlyThePlannedFiles) {
  const std::vector<option_set> sets = {
      {"classic, in the working folder", small({}), "", "."},
      {"PLINK with the QTL, and VCF", small({}), "--outdir out --plink --plink-qtl --vcf", "out"},
      {"EBV selection: pedigree BLUP in stage 2, genomic BLUP in stage 3", small({{24, "0 0 3"}, {28, "0 2 4"}}),
       "--outdir out", "out"},
      {"a saved history in the output folder, a random map", small({{10, "11 4 1"}}),
       "--outdir out --save-history out/stage1.qmh", "out"},
      {"replicate 2 in its own folder, with historical summary rows", small({}), "--replicate 2 --history-summary",
       "rep-2"},
      {"stage 1 only", small({{16, "1 0 12345"}}), "--outdir out", "out"},
      {"nucleotide alleles: genome.fa and its indexes once, the QTL in the VCF",
       small({}), "--outdir out --plink --vcf-qtl --alleles nucleotide", "out"},
      {"nucleotide alleles in a run of stage 1 only: no genotype files, no genome.fa", small({{16, "1 0 12345"}}),
       "--outdir out --vcf --alleles nucleotide", "out"},
      {"stage-2 files numbered among those of stage 3", small({{22, "10 20 40 3"}, {26, "10 20 40 3"}}),
       "--outdir out --vcf", "out"},
  };
  for (const option_set& s : sets) {
    SCOPED_TRACE(s.what);
    qmtest::tempdir td;
    qmtest::write_file("param.par", s.par);
    fs::create_directory("out");  // the folder of the history must exist before the run
    const std::string args = s.args + " param.par";
    ASSERT_EQ(run(args), 0) << qmtest::read_file("stdout.txt") << qmtest::read_file("stderr.txt");
    const std::set<std::string> own = {"param.par", "stdout.txt", "stderr.txt", "out"};
    const std::set<std::string> plan = planned(args);
    EXPECT_EQ(present(s.folder, s.folder == "." ? own : std::set<std::string>{}), plan);
    EXPECT_TRUE(plan.count("log.txt") && plan.count("run.json") && plan.count("summary.csv"));
  }
}

TEST(FilePlan, DeclaredShapesTellARunsFilesFromAUsersOwn) {
  // The shapes do not depend on the options: a folder that holds an earlier
  // run's PLINK files is recognised by a run without --plink as well.
  const qm::run_files shapes = qm::registered_observers(options_of("p.par")).name_patterns();
  for (const char* mine : {"log.txt", "run.json", "summary.csv", "summary.csv.part", "report.html", "ld_decay.csv",
                           "QMAP.out", "MMAP.out", "Genetic_paramenters.out", "mposition.out", "00MTYPE.out",
                           "05QTYPE.out", "123BV.out", "04EBV.out", "02geno.bed", "02geno.bim", "02geno.fam",
                           "11geno.vcf.gz", "11geno.vcf.gz.csi", "05MTYPE.out.tmp", "run.json.tmp", "genome.fa",
                           "genome.fa.fai", "genome.fa.gzi", "genome.fa.tmp"})
    EXPECT_TRUE(shapes.is_run_file(mine)) << mine;
  for (const char* theirs : {"slurm-4242.out", "nohup.out", "scheme.out", "cattlegeno.bed", "wholegeno.vcf.gz",
                             "5MTYPE.out", "05MTYPE.outx", "x05BV.out", "notes.tmp", "param.par", "log.txt.bak",
                             "replicates.csv", ".tmp", "MTYPE.out", "genome.fasta", "cattle.fa", "03genome.fa"})
    EXPECT_FALSE(shapes.is_run_file(theirs)) << theirs;

  // Every name a run plans has a declared shape, so a later run recognises it.
  qmtest::tempdir td;
  qmtest::write_file("param.par", small({{10, "11 4 1"}, {24, "0 0 3"}}));
  const std::string args = "--outdir out --plink --vcf --alleles nucleotide param.par";
  for (const std::string& n : planned(args)) EXPECT_TRUE(shapes.is_run_file(n)) << n;
}

TEST(FilePlan, ClassicRunWarnsOfAnEarlierRunsFilesItWillNotReplace) {
  qmtest::tempdir td;
  qmtest::write_file("param.par", qmtest::small_par());
  // An earlier run's files, some of which this run writes again, and a user's own.
  for (const char* f : {"03BV.out", "07BV.out", "09geno.bed", "02MTYPE.out.tmp", "summary.csv.part", "nohup.out",
                        "slurm-7.out"})
    qmtest::write_file(f, "earlier\n");
  ASSERT_EQ(run("param.par"), 0) << qmtest::read_file("stderr.txt");
  EXPECT_NE(qmtest::read_file("log.txt").find(
                "Warning: files of an earlier run in this folder will not be replaced by this run: 07BV.out, "
                "09geno.bed. Move them away, or run with --outdir."),
            std::string::npos)
      << qmtest::read_file("log.txt");
  EXPECT_NE(qmtest::read_file("03BV.out"), "earlier\n");
  EXPECT_FALSE(qmtest::file_exists("summary.csv.part"));  // written again, and renamed
  EXPECT_EQ(qmtest::read_file("nohup.out"), "earlier\n");
}

}  // namespace

// --files and --generations: each choice leaves exactly the files its plan
// names (the run-wide files always among them), every file it writes is
// byte for byte the file of a run that writes everything, and summary.csv
// keeps every generation. run.json records the choice.
TEST(FilePlan, ChosenFilesAreExactlyThoseOfTheChoiceAndIdenticalToAFullRun) {
  qmtest::tempdir td;
  // Pedigree BLUP in stage 3, so that EBV files are written too; generations
  // 1 (stage 2) to 7.
  qmtest::write_file("param.par", small({{26, "10 20 40 6"}, {28, "0 2 3"}}));
  const std::string all = "--files all --plink-qtl --outdir full param.par";
  ASSERT_EQ(run(all), 0) << qmtest::read_file("stderr.txt");
  const std::set<std::string> everything = present("full");
  struct choice {
    std::string args;
    std::set<std::string> per_generation_files;  // the generations expected, as file-name prefixes
  };
  const std::vector<choice> choices = {
      {"--files plink,summary,report", {"01", "02", "03", "04", "05", "06", "07"}},
      {"--files haplotypes --generations last", {"07"}},
      {"--files values,ebv,vcf --generations 1,3-4,last", {"01", "03", "04", "07"}},
      {"--generations every:3", {"03", "06"}},
      {"--files summary --plink --generations 2-2", {"02"}},
  };
  const std::set<std::string> run_wide = {"log.txt", "run.json", "QMAP.out", "MMAP.out", "Genetic_paramenters.out"};
  for (const choice& c : choices) {
    SCOPED_TRACE(c.args);
    fs::remove_all("out");
    const std::string args = c.args + " --outdir out param.par";
    ASSERT_EQ(run(args), 0) << qmtest::read_file("stderr.txt");
    const std::set<std::string> written = present("out");
    EXPECT_EQ(written, planned(args));
    const qm::run_options o = options_of(args);
    for (const std::string& n : run_wide) EXPECT_TRUE(written.count(n)) << n;
    for (const std::string& n : written) {
      // A per-generation file is of a chosen generation and kind.
      if (n[0] >= '0' && n[0] <= '9') {
        EXPECT_TRUE(c.per_generation_files.count(n.substr(0, 2))) << n;
        const bool kind_ok = (n.find("TYPE") != std::string::npos && o.output.wants("haplotypes")) ||
                             (n.find("BV.out") == 2 && o.output.wants("values")) ||
                             (n.find("EBV") != std::string::npos && o.output.wants("ebv")) ||
                             (n.find("geno.b") != std::string::npos && o.output.wants("plink")) ||
                             (n.find("geno.fam") != std::string::npos && o.output.wants("plink")) ||
                             (n.find("vcf") != std::string::npos && o.output.wants("vcf"));
        EXPECT_TRUE(kind_ok) << n;
      }
      if (n == "log.txt" || n == "run.json") continue;
      ASSERT_TRUE(everything.count(n)) << n;
      // The PLINK files of the full run hold the QTL as well.
      if (n.find("geno.b") != std::string::npos) continue;
      EXPECT_EQ(qmtest::read_file("out/" + n), qmtest::read_file("full/" + n)) << n;
    }
    // Every chosen kind of every chosen generation is there.
    for (const std::string& g : c.per_generation_files) {
      EXPECT_TRUE(!o.output.wants("haplotypes") || written.count(g + "MTYPE.out")) << g;
      EXPECT_TRUE(!o.output.wants("plink") || written.count(g + "geno.bed")) << g;
      EXPECT_TRUE(!o.output.wants("vcf") || written.count(g + "geno.vcf.gz")) << g;
      EXPECT_TRUE(!o.output.wants("ebv") || g == "01" || written.count(g + "EBV.out")) << g;  // stage 3 only
    }
    if (o.output.wants("summary")) {
      EXPECT_EQ(qmtest::read_file("out/summary.csv"), qmtest::read_file("full/summary.csv"));
    }
    EXPECT_EQ(written.count("report.html"), o.output.wants("report") ? 1u : 0u);
    const std::string record = qmtest::read_file("out/run.json");
    EXPECT_NE(record.find("\"output_generations\": \"" + o.output.generations.text() + "\""), std::string::npos)
        << record;
    for (const std::string& k : qm::output_kinds())
      EXPECT_EQ(record.find("\"" + k + "\"") != std::string::npos, o.output.wants(k)) << k << record;
  }
  // log.txt is that of the full run: the choice of files leaves the run as it is.
  const auto without_times = [](std::string t) {
    std::string out;
    std::istringstream in(t);
    for (std::string line; std::getline(in, line);)
      // without the time stamps: "dd/mm/yyyy hh:mm:ss" and "hh:mm:ss --> hh:mm:ss"
      if (line.find("-->") == std::string::npos &&
          (line.find(':') == std::string::npos || line.find('/') == std::string::npos))
        out += line + "\n";
    return out;
  };
  EXPECT_EQ(without_times(qmtest::read_file("out/log.txt")), without_times(qmtest::read_file("full/log.txt")));
}
