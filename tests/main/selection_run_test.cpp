// Selection on an index and on sex-limited records through the program:
// what the schemes promise, over several seeds.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cmath>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support.hpp"

namespace fs = std::filesystem;

namespace {

// A two-trait scheme (rg -0.4): 50 historical generations, the QTL choice,
// then `generations` of selection; `selection` holds the selection key of
// stages 2 and 3 and the tables that go with it.
std::string two_traits(int seed, const std::string& selection, const std::string& traits_extra = "",
                       int generations = 6) {
  std::ostringstream s;
  s << "seed = " << seed << R"(
[traits]
heritability = [0.3, 0.3]
genetic_correlations = [[1.0, -0.4], [-0.4, 1.0]]
residual_correlations = [[1.0, 0.0], [0.0, 1.0]]
)" << traits_extra << R"(
[genome]
markers_per_chromosome = 200
chromosomes = 2
length_morgan = 1.0
marker_mutation_rate = 1e-3
candidate_qtl_mutation_rate = 1e-3
[qtl]
count = 100
[[stage]]
sires = 100
dams = 100
animals = 400
generations = 50
[[stage]]
sires = 20
dams = 100
animals = 400
generations = 1
)" << selection << R"(
[[stage]]
sires = 20
dams = 100
animals = 400
generations = )" << generations << "\n"
    << selection << "\n";
  return s.str();
}

// Runs a scheme in a folder of its own and returns its summary.csv.
std::map<std::string, std::vector<double>> run_scheme(const std::string& dir, const std::string& name,
                                                      const std::string& text) {
  EXPECT_EQ(qmtest::run_scheme_in(dir, name, text), 0) << qmtest::read_file(dir + "/" + name + ".out");
  return qmtest::summary_columns(dir + "/" + name + "/summary.csv");
}

// The gain in the aggregate genotype H = w1 a1 + w2 a2 from the first row of
// stage 2 to the last row.
double gain_in_h(const std::map<std::string, std::vector<double>>& s, double w1, double w2) {
  const std::vector<double>&a = s.at("tbv_mean_1"), &b = s.at("tbv_mean_2");
  return w1 * (a.back() - a.front()) + w2 * (b.back() - b.front());
}

}  // namespace

// Two traits at genetic correlation -0.4: an index on both true values with
// weights (1, 1) raises H = a1 + a2 more than selection on trait 1 alone,
// which drags trait 2 down; the classic result, in each of 5 seeds.
TEST(IndexSelection, AnIndexGainsMoreInTheBreedingGoalThanOneTrait) {
  qmtest::tempdir dir;
  const std::string index = "selection = \"index\"\n[stage.index]\ncriterion = \"tbv\"\nweights = [1.0, 1.0]\n";
  for (int seed : {11, 12, 13, 14, 15}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const auto on_index = run_scheme(dir.path, "index" + std::to_string(seed), two_traits(seed, index));
    const auto on_trait1 = run_scheme(dir.path, "tbv" + std::to_string(seed), two_traits(seed, "selection = \"tbv\""));
    ASSERT_EQ(on_index.at("tbv_mean_1").size(), 7u);
    // The same base: the two runs differ only from their first selection on.
    EXPECT_EQ(on_index.at("tbv_mean_1").front(), on_trait1.at("tbv_mean_1").front());
    EXPECT_GT(gain_in_h(on_index, 1, 1), gain_in_h(on_trait1, 1, 1));
    // Selection on trait 1 alone gains more in trait 1 (what the index gives up).
    EXPECT_GT(on_trait1.at("tbv_mean_1").back(), on_index.at("tbv_mean_1").back());
  }
}

// A trait recorded on females only: the males' records of it are missing
// (NaN in BV.out, the column still numeric), and since every residual is
// still drawn, nothing else of the run changes.
TEST(SexLimitedTraits, MissingRecordsChangeNothingElse) {
  qmtest::tempdir dir;
  const std::string index = "selection = \"index\"\n[stage.index]\ncriterion = \"tbv\"\nweights = [1.0, 1.0]\n";
  run_scheme(dir.path, "all", two_traits(21, index, "", 2));
  const auto limited = run_scheme(dir.path, "females", two_traits(21, index, "recorded_on = [\"both\", \"females\"]\n", 2));
  for (const char* f : {"MTYPE.out", "QTYPE.out"})
    EXPECT_EQ(qmtest::read_file(dir.path + "/all/03" + f), qmtest::read_file(dir.path + "/females/03" + f)) << f;
  std::istringstream a(qmtest::read_file(dir.path + "/all/03BV.out")), b(qmtest::read_file(dir.path + "/females/03BV.out"));
  std::string la, lb;
  int males = 0, lines = 0;
  while (std::getline(a, la) && std::getline(b, lb)) {
    if (lines++ == 0) {
      EXPECT_EQ(la, lb);  // the heading
      continue;
    }
    std::istringstream fa(la), fb(lb);
    std::vector<std::string> xa, xb;
    for (std::string w; fa >> w;) xa.push_back(w);
    for (std::string w; fb >> w;) xb.push_back(w);
    ASSERT_EQ(xa.size(), 9u);
    ASSERT_EQ(xb.size(), 9u);
    EXPECT_EQ(la.size(), lb.size());  // the layout is kept
    const bool male = xa[3] == "1";
    for (size_t k = 0; k < 8; ++k) EXPECT_EQ(xa[k], xb[k]) << la;
    if (male) {
      ++males;
      EXPECT_EQ(xb[8], "NaN");
      EXPECT_TRUE(std::isnan(std::strtod(xb[8].c_str(), nullptr)));  // numeric for strtod, R and pandas
    } else {
      EXPECT_EQ(xa[8], xb[8]);
    }
  }
  EXPECT_EQ(males, 200);
  // The summary's phenotype mean of trait 2 is over the females' records only.
  EXPECT_FALSE(std::isnan(limited.at("phe_mean_2").back()));
}

// Trait 2 recorded on females only, selected for through an index (weights
// 0 and 1): males have no record of it, so an index of their own phenotypes
// ranks them on trait 1 alone, while multi-trait pedigree BLUP gives them the
// records of their dams and sisters. BLUP improves trait 2 faster, in each
// of 5 seeds.
TEST(SexLimitedTraits, PedigreeBlupOfAllTraitsBeatsAPhenotypeIndex) {
  qmtest::tempdir dir;
  const std::string females = "recorded_on = [\"both\", \"females\"]\n";
  const auto index_on = [](const std::string& criterion) {
    return "selection = \"index\"\n[stage.index]\ncriterion = \"" + criterion + "\"\nweights = [0.0, 1.0]\n";
  };
  for (int seed : {31, 32, 33, 34, 35}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const auto blup = run_scheme(dir.path, "blup" + std::to_string(seed), two_traits(seed, index_on("pedigree_blup"), females));
    const auto own = run_scheme(dir.path, "own" + std::to_string(seed), two_traits(seed, index_on("phenotype"), females));
    ASSERT_EQ(blup.at("tbv_mean_2").size(), 7u);
    EXPECT_GT(gain_in_h(blup, 0, 1), gain_in_h(own, 0, 1));
  }
}
