// Lines through the program: every animal's parents come from its own line
// (a cross's from its sire and dam lines) and are among the best of their
// line, PLINK's family names the line, and a run with lines and dominance
// gives the same bytes on any number of threads. The checks read the
// pedigree and the values the run writes (BV.out).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support.hpp"

namespace fs = std::filesystem;

namespace {

constexpr int64_t idmult = 10000;
constexpr int per_line = 100;  // animals of every line

// Lines A and B (5 sires and 20 dams of 100 animals each) and their cross AB,
// after 50 historical generations: stage 2 (the QTL choice) runs A and B,
// stage 3 runs A, B and AB for `generations` generations.
std::string lines_scheme(int seed, int generations, const std::string& traits = "",
                         const std::string& selection = "tbv") {
  std::ostringstream s;
  s << "seed = " << seed << "\n[traits]\nheritability = [0.3]\n" << traits << R"(
[genome]
markers_per_chromosome = 200
chromosomes = 2
length_morgan = 1.0
marker_mutation_rate = 1e-3
candidate_qtl_mutation_rate = 1e-3
[qtl]
count = 100
[[line]]
name = "A"
animals = 100
sires = 5
dams = 20
[[line]]
name = "B"
animals = 100
sires = 5
dams = 20
[[line]]
name = "AB"
mating = "cross"
sire_line = "A"
dam_line = "B"
animals = 100
[[stage]]
sires = 100
dams = 100
animals = 200
generations = 50
[[stage]]
lines = ["A", "B"]
generations = 1
selection = ")" << selection << R"("
[[stage]]
lines = ["A", "B", "AB"]
selection = ")" << selection << "\"\ngenerations = " << generations << "\n";
  return s.str();
}

int run(const std::string& dir, const std::string& name, const std::string& text, const std::string& options = "") {
  return qmtest::run_scheme_in(dir, name, text, options);
}

struct animal {
  int64_t id = 0, sire = 0, dam = 0;
  int sex = 0;
  double tbv = 0;
};

// Every generation's BV.out of a folder (01BV.out, 02BV.out, ...).
std::vector<std::vector<animal>> generations_of(const std::string& folder) {
  std::vector<std::vector<animal>> gens;
  for (int g = 1;; ++g) {
    const std::string f = folder + "/" + (g < 10 ? "0" : "") + std::to_string(g) + "BV.out";
    if (!fs::exists(f)) break;
    std::istringstream in(qmtest::read_file(f));
    std::string line;
    std::getline(in, line);
    std::vector<animal> a;
    while (std::getline(in, line)) {
      std::istringstream ls(line);
      animal x;
      int bred = 0;
      ls >> x.id >> x.sire >> x.dam >> x.sex >> bred >> x.tbv;
      a.push_back(x);
    }
    gens.push_back(std::move(a));
  }
  return gens;
}

// The block (0: A, 1: B, 2: AB) of an animal number within its generation.
int block_of(int64_t id) { return static_cast<int>((id % idmult - 1) / per_line); }

}  // namespace

TEST(LinesRun, ParentsComeFromTheirLinesAndAreTheBestOfThem) {
  qmtest::tempdir dir;
  ASSERT_EQ(run(dir.path, "l", lines_scheme(11, 4)), 0) << qmtest::read_file(dir.path + "/l.out");
  const auto gens = generations_of(dir.path + "/l");
  ASSERT_EQ(gens.size(), 5u);
  ASSERT_EQ(gens[0].size(), 200u);  // A and B
  for (size_t g = 1; g < gens.size(); ++g) {
    SCOPED_TRACE("generation " + std::to_string(g + 1));
    ASSERT_EQ(gens[g].size(), 300u);  // A, B and AB
    const std::vector<animal>& parents = gens[g - 1];
    // The best 5 males and 20 females of lines A and B by true breeding value.
    std::map<int, std::set<int64_t>> best_sires, best_dams;
    for (int line = 0; line < 2; ++line)
      for (int sex = 1; sex <= 2; ++sex) {
        std::vector<animal> c;
        for (const animal& a : parents)
          if (block_of(a.id) == line && a.sex == sex) c.push_back(a);
        std::sort(c.begin(), c.end(), [](const animal& x, const animal& y) { return x.tbv > y.tbv; });
        const size_t want = sex == 1 ? 5 : 20;
        ASSERT_GT(c.size(), want);
        ASSERT_GT(c[want - 1].tbv, c[want].tbv);  // no tie at the cut
        for (size_t k = 0; k < want; ++k) (sex == 1 ? best_sires : best_dams)[line].insert(c[k].id);
      }
    std::map<int, std::set<int64_t>> sires_used, dams_used;
    for (const animal& a : gens[g]) {
      const int line = block_of(a.id);
      const int sire_line = line == 2 ? 0 : line, dam_line = line == 2 ? 1 : line;
      EXPECT_EQ(a.sire / idmult, a.id / idmult - 1);
      EXPECT_TRUE(best_sires[sire_line].count(a.sire)) << a.id << " has sire " << a.sire;
      EXPECT_TRUE(best_dams[dam_line].count(a.dam)) << a.id << " has dam " << a.dam;
      sires_used[line].insert(a.sire);
      dams_used[line].insert(a.dam);
    }
    // The crossbreds are not bred from.
    for (const animal& a : gens[g]) {
      EXPECT_NE(block_of(a.sire), 2);
      EXPECT_NE(block_of(a.dam), 2);
    }
    // Random mating within 100 offspring uses most of the 5 sires of a line.
    EXPECT_GE(sires_used[0].size(), 4u);
    EXPECT_GE(sires_used[2].size(), 4u);
  }
}

TEST(LinesRun, SameBytesOnAnyThreadsAndFamiliesInPlink) {
  qmtest::tempdir dir;
  const std::string text = lines_scheme(23, 3, "dominance = { mean = 0.4, sd = 0.3 }\n");
  ASSERT_EQ(run(dir.path, "t1", text, "--threads 1 --plink"), 0) << qmtest::read_file(dir.path + "/t1.out");
  ASSERT_EQ(run(dir.path, "t2", text, "--threads 2 --plink"), 0) << qmtest::read_file(dir.path + "/t2.out");
  ASSERT_EQ(run(dir.path, "b2", text, "--threads 2 --plink --genome-layout bytes"), 0)
      << qmtest::read_file(dir.path + "/b2.out");
  int compared = 0;
  for (const auto& e : fs::directory_iterator(dir.path + "/t1")) {
    const std::string n = e.path().filename().string();
    if (n == "log.txt" || n == "run.json" || n == "report.html") continue;
    const std::string one = qmtest::read_file(e.path().string());
    EXPECT_EQ(one, qmtest::read_file(dir.path + "/t2/" + n)) << n;
    EXPECT_EQ(one, qmtest::read_file(dir.path + "/b2/" + n)) << n << " (bytes layout)";
    ++compared;
  }
  EXPECT_GT(compared, 12);
  // The family of every animal of a .fam is its line.
  std::istringstream fam(qmtest::read_file(dir.path + "/t1/03geno.fam"));
  std::string line;
  int n = 0;
  while (std::getline(fam, line)) {
    std::istringstream ls(line);
    std::string family;
    int64_t id = 0;
    ls >> family >> id;
    EXPECT_EQ(family, std::vector<std::string>({"A", "B", "AB"})[static_cast<size_t>(block_of(id))]) << line;
    ++n;
  }
  EXPECT_EQ(n, 300);
}

TEST(LinesRun, ALineMayRankOnItsOwnCriterion) {
  // Line B selects at random while the stage selects on TBV: over the run,
  // line A's mean TBV climbs above line B's.
  qmtest::tempdir dir;
  std::string text = lines_scheme(31, 6);
  const std::string b = "name = \"B\"\nanimals = 100\n";
  text.replace(text.find(b), b.size(), b + "selection = \"random\"\n");
  ASSERT_EQ(run(dir.path, "own", text), 0) << qmtest::read_file(dir.path + "/own.out");
  const auto gens = generations_of(dir.path + "/own");
  double mean[2] = {0, 0};
  for (const animal& a : gens.back())
    if (block_of(a.id) < 2) mean[block_of(a.id)] += a.tbv / per_line;
  EXPECT_GT(mean[0] - mean[1], 1.0);
}
