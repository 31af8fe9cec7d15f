// The estimate of the bytes a run writes, against the files runs of several
// shapes leave: within 10 % in all and for each kind of file that is not
// tiny, and the per-generation files of a kind exactly as many as the
// estimate counts.
#include "output/size_estimate.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <string>

#include "base/messages.hpp"
#include "config/options.hpp"
#include "config/parameters.hpp"
#include "support.hpp"

namespace fs = std::filesystem;

namespace {

// The kind of a file of the folder, as the estimate names them.
std::string kind_of(const std::string& n) {
  if (n.find("TYPE.out") != std::string::npos) return "haplotypes";
  if (n.find("EBV.out") != std::string::npos) return "ebv";
  if (n.find("BV.out") != std::string::npos) return "values";
  if (n.find("geno.b") != std::string::npos || n.find("geno.fam") != std::string::npos) return "plink";
  if (n.find("vcf") != std::string::npos) return "vcf";
  if (n == "summary.csv" || n == "ld_decay.csv") return "summary";
  if (n == "report.html") return "report";
  if (n.starts_with("genome.fa")) return "reference";
  return "run-wide";
}

TEST(SizeEstimate, WithinTenPercentOfWhatRunsWrite) {
  struct shape {
    const char* what;
    std::map<int, const char*> records;
    std::string args;
    std::string scheme = {};  // a scheme file in place of the small classic file
  };
  const std::string index_scheme = R"(seed = 5
[traits]
heritability = [0.3, 0.4, 0.2]
genetic_correlations = [0.2, 0.1, -0.3]
residual_correlations = [0.1, 0.0, 0.2]
recorded_on = ["both", "females", "both"]
[genome]
markers_per_chromosome = 60
chromosomes = 3
length_morgan = 1.0
marker_mutation_rate = 1e-2
candidate_qtl_mutation_rate = 1e-2
[qtl]
count = 20
[[stage]]
sires = 50
dams = 50
animals = 100
generations = 50
[[stage]]
sires = 10
dams = 20
animals = 300
generations = 1
[[stage]]
sires = 10
dams = 20
animals = 300
generations = 4
selection = "index"
[stage.index]
criterion = "pedigree_blup"
weights = [1.0, 0.5, 2.0]
)";
  const std::vector<shape> shapes = {
      {"many markers, few animals", {{10, "200 5 0"}, {14, "0 40 1.0 1.0"}}, ""},
      {"many animals, PLINK with the QTL", {{10, "30 3 0"}, {22, "30 300 600 1"}, {26, "30 300 600 4"}},
       "--files values,plink,summary --plink-qtl"},
      {"two traits, every other generation", {{2, "2 0 0.2 0"}, {4, "0.3"}, {6, "0.5"}, {8, "0.3 0.4"}, {10, "60 4 0"},
                                              {26, "10 20 40 8"}},
       "--generations every:2"},
      {"pedigree BLUP, a random map, long identifiers",
       {{10, "50 4 1"}, {18, "10 20 40 100"}, {22, "10 20 400 1"}, {24, "0 0 3"}, {26, "10 20 400 5"}, {28, "0 2 3"}},
       ""},
      {"genomic BLUP, last generation only", {{10, "80 4 0"}, {22, "10 20 200 1"}, {24, "0 0 4"}, {26, "10 20 200 3"},
                                              {28, "0 2 4"}},
       "--files haplotypes,ebv,plink --generations last"},
      {"every parent in the .fam", {{10, "30 3 0"}, {22, "30 300 600 1"}, {26, "30 300 600 2"}},
       "--files plink --fam-parents all"},
      {"nucleotide alleles: the reference genome.fa", {}, "--files plink --alleles nucleotide"},
      {"an index on three traits' pedigree BLUP: EBV files with a column per trait", {}, "--files values,ebv",
       index_scheme},
  };
  for (const shape& s : shapes) {
    SCOPED_TRACE(s.what);
    qmtest::tempdir td;
    std::string par = qmtest::small_par();
    for (const auto& [n, line] : s.records) par = qmtest::set_record(par, n, line);
    qmtest::write_file("param.par", s.scheme.empty() ? par : s.scheme);
    ASSERT_EQ(qmtest::run_program("--threads 1 --outdir out " + s.args + " param.par"), 0)
        << qmtest::read_file("stdout.txt") << qmtest::read_file("stderr.txt");
    std::map<std::string, int64_t> written;
    std::map<std::string, int64_t> files;
    int64_t total = 0;
    for (const auto& e : fs::directory_iterator("out")) {
      const std::string n = e.path().filename().string();
      const int64_t size = static_cast<int64_t>(fs::file_size(e.path()));
      written[kind_of(n)] += size;
      total += size;
      if (n[0] >= '0' && n[0] <= '9' && n.find(".fam") == std::string::npos && n.find(".bim") == std::string::npos &&
          n.find(".csi") == std::string::npos && n.find("QTYPE") == std::string::npos)
        ++files[kind_of(n)];
    }
    qm::run_options o;
    {
      std::vector<std::string> w = {"quillmere"};
      std::string cur;
      for (char c : s.args + " param.par ") {
        if (c != ' ') cur += c;
        else if (!cur.empty()) w.push_back(cur), cur.clear();
      }
      std::vector<char*> argv;
      for (std::string& x : w) argv.push_back(x.data());
      ASSERT_FALSE(qm::parse_options(static_cast<int>(argv.size()), argv.data(), o).has_value());
    }
    qm::run_parameters p;
    p.parafile = "param.par";
    p.threads = 1;
    {
      qmtest::console_capture quiet;
      qm::read_parameters(p);
    }
    const qm::size_estimate e = qm::estimate_file_sizes(p, o.output);
    EXPECT_NEAR(static_cast<double>(e.total), static_cast<double>(total), 0.10 * static_cast<double>(total));
    for (const auto& [kind, k] : e.kinds) {
      if (kind != "summary" && kind != "report") {
        EXPECT_EQ(k.generations, files[kind]) << kind;
      }
      // Kinds of more than 20 kB, each within 10 %.
      if (written[kind] > 20000) {
        EXPECT_NEAR(static_cast<double>(k.total), static_cast<double>(written[kind]),
                    0.10 * static_cast<double>(written[kind]))
            << kind;
      }
    }
    if (written.count("reference"))
      EXPECT_NEAR(static_cast<double>(e.reference), static_cast<double>(written["reference"]),
                  0.10 * static_cast<double>(written["reference"]));
    else
      EXPECT_EQ(e.reference, 0);
    for (const auto& [kind, bytes] : written)
      if (kind != "run-wide" && kind != "reference") {
        EXPECT_TRUE(e.kinds.count(kind)) << kind << " written but not estimated";
      }
  }
}

TEST(SizeEstimate, ByteText) {
  EXPECT_EQ(qm::byte_text(999), "999 B");
  EXPECT_EQ(qm::byte_text(1000), "1.00 kB");
  EXPECT_EQ(qm::byte_text(45400), "45.4 kB");
  EXPECT_EQ(qm::byte_text(2'510'000'000), "2.51 GB");
  EXPECT_EQ(qm::byte_text(123'456'789), "123 MB");
}

}  // namespace

// With a SNP chip the PLINK files hold its markers (every marker with
// --all-markers): the estimate of each within 10 % of what the run writes.
TEST(SizeEstimate, PlinkFilesOfAChipRunCountTheChipsMarkers) {
  qmtest::tempdir td;
  qmtest::write_file(
      "chip.toml",
      "title = \"chip\"\nseed = 8642\n[traits]\nheritability = [0.4]\n"
      "[genome]\nchromosomes = 4\nmarkers_per_chromosome = 300\nlength_morgan = 1.0\nmap = \"even\"\n"
      "marker_mutation_rate = 1e-3\ncandidate_qtl_mutation_rate = 1e-3\n[qtl]\ncount = 20\ndistribution = \"normal\"\n"
      "[chip]\nmarkers = 200\nmin_maf = 0.05\n"
      "[[stage]]\nsires = 100\ndams = 100\nanimals = 200\ngenerations = 100\nmating = \"random\"\nselection = \"random\"\n"
      "[[stage]]\nsires = 100\ndams = 100\nanimals = 200\ngenerations = 1\nmating = \"random\"\nselection = \"random\"\n");
  std::map<std::string, int64_t> estimated;
  for (const std::string& args : {std::string("--files plink"), std::string("--files plink --all-markers")}) {
    SCOPED_TRACE(args);
    const std::string out = args.find("all") == std::string::npos ? "chip" : "all";
    ASSERT_EQ(qmtest::run_program("--quiet --outdir " + out + " " + args + " chip.toml"), 0)
        << qmtest::read_file("stderr.txt");
    int64_t written = 0;
    for (const auto& e : fs::directory_iterator(out))
      if (kind_of(e.path().filename().string()) == "plink") written += static_cast<int64_t>(fs::file_size(e.path()));
    qm::run_options o;
    std::vector<std::string> w = {"quillmere", "--files", "plink", "chip.toml"};
    if (out == "all") w.insert(w.begin() + 1, "--all-markers");
    std::vector<char*> argv;
    for (std::string& x : w) argv.push_back(x.data());
    ASSERT_FALSE(qm::parse_options(static_cast<int>(argv.size()), argv.data(), o).has_value());
    qm::run_parameters p;
    p.parafile = "chip.toml";
    p.threads = 1;
    {
      qmtest::console_capture quiet;
      qm::read_parameters(p);
    }
    ASSERT_EQ(p.chip_markers, 200);
    estimated[out] = qm::estimate_file_sizes(p, o.output).kinds.at("plink").total;
    EXPECT_NEAR(static_cast<double>(estimated[out]), static_cast<double>(written), 0.10 * static_cast<double>(written));
  }
  // the .bed rows alone differ by 1000 of 1200 markers of 50 bytes
  EXPECT_GT(estimated["all"] - estimated["chip"], 1000 * 50);
}
