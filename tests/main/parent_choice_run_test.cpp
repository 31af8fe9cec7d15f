// Choosing and pairing parents through the program: optimum contribution
// selection keeps its rate of inbreeding and beats truncation at the same
// rate, minimum-coancestry mating, the mating rules over whole runs, and
// overlapping generations; every setting gives the same bytes on any number
// of threads. Relationships in the checks are recomputed here from the
// pedigree the run writes (BV.out), by the tabular method.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <numeric>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support.hpp"

namespace fs = std::filesystem;

namespace {

constexpr int64_t idmult = 10000;  // identifiers g * 10000 + i in runs of fewer than 10000 animals

// One trait (h2 0.3), 50 historical generations of 200 animals, the QTL
// choice (stage 2, one generation) and `generations` more (stage 3); `choice`
// holds the selection and mating keys and tables of stages 2 and 3.
std::string scheme(int seed, const std::string& choice, int generations = 10, int sires = 10, int dams = 100,
                   int animals = 200) {
  std::ostringstream s;
  s << "seed = " << seed << R"(
[traits]
heritability = [0.3]
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
animals = 200
generations = 50
)";
  for (int g : {1, generations}) {
    s << "[[stage]]\nsires = " << sires << "\ndams = " << dams << "\nanimals = " << animals
      << "\ngenerations = " << g << "\n"
      << choice << "\n";
  }
  return s.str();
}

// Runs a scheme in a folder of its own; the exit status and the console.
int run(const std::string& dir, const std::string& name, const std::string& text, const std::string& options = "") {
  return qmtest::run_scheme_in(dir, name, text, options);
}

std::map<std::string, std::vector<double>> run_scheme(const std::string& dir, const std::string& name,
                                                      const std::string& text, const std::string& options = "") {
  EXPECT_EQ(run(dir, name, text, options), 0) << qmtest::read_file(dir + "/" + name + ".out");
  return qmtest::summary_columns(dir + "/" + name + "/summary.csv");
}

// The pedigree of a run's result files: every animal of BV.out with its
// parents (identifiers), in file order.
struct animal {
  int64_t id, sire, dam;
};
std::vector<std::vector<animal>> pedigree_of(const std::string& folder) {
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
      animal x{};
      ls >> x.id >> x.sire >> x.dam;
      a.push_back(x);
    }
    gens.push_back(std::move(a));
  }
  return gens;
}

// Additive relationships of a pedigree by the tabular method, the animals of
// the first generation unrelated founders.
class tabular {
 public:
  explicit tabular(const std::vector<std::vector<animal>>& gens) {
    for (const auto& g : gens)
      for (const animal& a : g) {
        const size_t k = ids_.size();
        index_[a.id] = k;
        ids_.push_back(a.id);
        const bool founder = &g == &gens.front();
        const long s = founder ? -1 : static_cast<long>(index_.at(a.sire));
        const long d = founder ? -1 : static_cast<long>(index_.at(a.dam));
        for (auto& row : a_) row.push_back(0.0);
        a_.emplace_back(k + 1, 0.0);
        for (size_t j = 0; j < k; ++j) {
          const double v = ((s >= 0 ? a_[static_cast<size_t>(s)][j] : 0.0) + (d >= 0 ? a_[static_cast<size_t>(d)][j] : 0.0)) / 2.0;
          a_[k][j] = a_[j][k] = v;
        }
        a_[k][k] = 1.0 + (s >= 0 && d >= 0 ? a_[static_cast<size_t>(s)][static_cast<size_t>(d)] / 2.0 : 0.0);
      }
  }
  double coancestry(int64_t x, int64_t y) const { return a_[index_.at(x)][index_.at(y)] / 2.0; }

 private:
  std::map<int64_t, size_t> index_;
  std::vector<int64_t> ids_;
  std::vector<std::vector<double>> a_;
};

// The realised rate of inbreeding: 1 - exp(b), b the slope of ln(1 - F) on the generation.
double realised_delta_f(const std::vector<double>& f) {
  const size_t n = f.size();
  double sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (size_t t = 0; t < n; ++t) {
    const double y = std::log(1.0 - f[t]);
    sx += t;
    sy += y;
    sxx += double(t) * t;
    sxy += t * y;
  }
  const double b = (n * sxy - sx * sy) / (n * sxx - sx * sx);
  return 1.0 - std::exp(b);
}

std::string ocs(double delta_f, const std::string& more = "") {
  std::ostringstream s;
  s << "selection = \"tbv\"\n[stage.contributions]\nmethod = \"ocs\"\ndelta_f = " << delta_f << "\n" << more;
  return s.str();
}

}  // namespace

// Over 10 generations of optimum contributions the realised rate of
// inbreeding (pedigree F of the run's summary, regressed as ln(1 - F)) is
// within 30 % of the target, for 0.5 % and 1 %, in each of 5 seeds; the
// achieved coancestry never passes its limit.
TEST(OptimumContributions, KeepsTheRateOfInbreedingItIsGiven) {
  qmtest::tempdir dir;
  for (double target : {0.005, 0.01}) {
    for (int seed : {41, 42, 43, 44, 45}) {
      SCOPED_TRACE("delta_f " + std::to_string(target) + ", seed " + std::to_string(seed));
      const std::string name = "ocs" + std::to_string(int(target * 1000)) + "_" + std::to_string(seed);
      const auto s = run_scheme(dir.path, name, scheme(seed, ocs(target)));
      ASSERT_EQ(s.at("f_pedigree").size(), 11u);
      const double realised = realised_delta_f(s.at("f_pedigree"));
      EXPECT_NEAR(realised, target, 0.3 * target);
      for (size_t k = 0; k + 1 < s.at("ocs_coancestry").size(); ++k)
        EXPECT_LE(s.at("ocs_coancestry")[k], s.at("ocs_limit")[k] * (1 + 1e-12));
    }
  }
}

// The classic result: at the rate of inbreeding that truncation selection
// of 10 sires brings, optimum contributions gain more, in each of 5 seeds.
TEST(OptimumContributions, GainsMoreThanTruncationAtTheSameRateOfInbreeding) {
  qmtest::tempdir dir;
  for (int seed : {51, 52, 53, 54, 55}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const auto t = run_scheme(dir.path, "trunc" + std::to_string(seed), scheme(seed, "selection = \"tbv\""));
    const double rate = realised_delta_f(t.at("f_pedigree"));
    ASSERT_GT(rate, 0.0);
    const auto o = run_scheme(dir.path, "ocs" + std::to_string(seed), scheme(seed, ocs(rate)));
    const double gain_t = t.at("tbv_mean_1").back() - t.at("tbv_mean_1").front();
    const double gain_o = o.at("tbv_mean_1").back() - o.at("tbv_mean_1").front();
    EXPECT_GT(gain_o, gain_t) << "rate of truncation " << rate << ", of OCS " << realised_delta_f(o.at("f_pedigree"));
  }
}

// Minimum-coancestry mating: in every generation the mean coancestry of the
// mates (recomputed from the pedigree) is at most what pairing the same
// parents with the same numbers of matings at random gives on average, and
// the offspring are less inbred at the end than under random mating.
TEST(MinimumCoancestryMating, MatesLessRelatedThanAtRandom) {
  qmtest::tempdir dir;
  for (int seed : {61, 62}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const std::string name = "minco" + std::to_string(seed);
    const auto m = run_scheme(dir.path, name, scheme(seed, "selection = \"tbv\"\nmating = \"min_coancestry\""));
    const auto r = run_scheme(dir.path, "random" + std::to_string(seed), scheme(seed, "selection = \"tbv\"\nmating = \"random\""));
    const auto gens = pedigree_of(dir.path + "/" + name);
    ASSERT_EQ(gens.size(), 11u);
    const tabular a(gens);
    for (size_t g = 1; g < gens.size(); ++g) {
      // Offspring per parent and the pairs, as families.
      std::map<int64_t, double> of_sire, of_dam;
      std::map<std::pair<int64_t, int64_t>, double> pairs;
      for (const animal& x : gens[g]) {
        of_sire[x.sire] += 1;
        of_dam[x.dam] += 1;
        pairs[{x.sire, x.dam}] += 1;
      }
      const double n = static_cast<double>(gens[g].size());
      double mates = 0, at_random = 0;
      for (const auto& [p, k] : pairs) mates += k * a.coancestry(p.first, p.second);
      for (const auto& [s, ks] : of_sire)
        for (const auto& [d, kd] : of_dam) at_random += ks * kd / n * a.coancestry(s, d);
      EXPECT_LE(mates / n, at_random / n + 1e-12) << "generation " << g;
    }
    EXPECT_LT(m.at("f_pedigree").back(), r.at("f_pedigree").back());
  }
}

// The avoid rules hold over whole runs, with parents kept from earlier
// generations (so that parents and offspring could meet), under optimum
// contributions and under truncation.
TEST(MatingRules, RelativesAreNeverMated) {
  qmtest::tempdir dir;
  const std::string rules =
      "[stage.mating_rules]\navoid = [\"full_sibs\", \"half_sibs\", \"parent_offspring\"]\n"
      "[stage.ages]\nsire_generations = 3\ndam_generations = 2\n";
  int runs = 0;
  for (const std::string& choice : {"selection = \"tbv\"\n" + rules, ocs(0.02, rules)}) {
    const std::string name = "rules" + std::to_string(runs++);
    run_scheme(dir.path, name, scheme(71, choice, 8, 5, 50));
    const auto gens = pedigree_of(dir.path + "/" + name);
    ASSERT_EQ(gens.size(), 9u);
    std::map<int64_t, animal> all;
    for (const auto& g : gens)
      for (const animal& x : g) all[x.id] = x;
    int checked = 0;
    for (size_t g = 2; g < gens.size(); ++g)
      for (const animal& x : gens[g]) {
        const animal& s = all.at(x.sire);
        const animal& d = all.at(x.dam);
        const bool same_sire = s.sire == d.sire, same_dam = s.dam == d.dam;
        EXPECT_FALSE(same_sire || same_dam) << x.id << ": mates " << s.id << " and " << d.id << " are sibs";
        EXPECT_FALSE(d.sire == s.id || s.dam == d.id) << x.id << ": parent and offspring mated";
        ++checked;
      }
    EXPECT_EQ(checked, 7 * 200);
  }
}

// A rule no pairing can keep stops the run and names the animal: one sire
// and one dam of unbounded contributions make the next generation one
// family of full sibs, which may then not be mated.
TEST(MatingRules, AnImpossibleRuleStopsWithTheAnimal) {
  qmtest::tempdir dir;
  std::ostringstream s;
  s << scheme(81, ocs(0.99), 2);
  s << "[stage.mating_rules]\navoid = [\"full_sibs\"]\n";
  EXPECT_NE(run(dir.path, "impossible", s.str()), 0);
  const std::string out = qmtest::read_file(dir.path + "/impossible.out");
  EXPECT_NE(out.find("could not be mated"), std::string::npos) << out;
  // The second generation of stage 3 (file generation 3) is mated from one family of generation 2.
  EXPECT_NE(out.find("of generation 2)"), std::string::npos) << out;
  EXPECT_FALSE(fs::exists(dir.path + "/impossible/03BV.out"));
}

// Overlapping generations: with sire_generations = 3 sires of one, two and
// three generations back become parents, none older, while every dam is of
// the generation before; summary.csv gives the mean ages. With 1 and 1 every
// file is as without the table.
TEST(OverlappingGenerations, SiresServeUpToTheirAgeLimit) {
  qmtest::tempdir dir;
  const std::string ages = "[stage.ages]\nsire_generations = 3\n";
  const auto s = run_scheme(dir.path, "ages", scheme(91, "selection = \"tbv\"\n" + ages, 8, 10, 100));
  const auto gens = pedigree_of(dir.path + "/ages");
  ASSERT_EQ(gens.size(), 9u);
  std::set<int64_t> sire_ages;
  for (size_t g = 1; g < gens.size(); ++g) {
    const int64_t born = static_cast<int64_t>(g + 1);  // file generation of the animals of gens[g]
    double sum = 0;
    for (const animal& x : gens[g]) {
      const int64_t sire_age = born - x.sire / idmult, dam_age = born - x.dam / idmult;
      EXPECT_GE(sire_age, 1);
      EXPECT_LE(sire_age, 3);
      EXPECT_EQ(dam_age, 1);
      sire_ages.insert(sire_age);
      sum += sire_age;
    }
    EXPECT_NEAR(s.at("sire_age_mean")[g], sum / gens[g].size(), 1e-9) << "generation " << g;
  }
  EXPECT_EQ(sire_ages, (std::set<int64_t>{1, 2, 3}));
  EXPECT_GT(s.at("generation_interval").back(), 1.0);

  run_scheme(dir.path, "plain", scheme(92, "selection = \"tbv\"\nmating = \"nested\"", 3, 10, 100));
  run_scheme(dir.path, "ones",
             scheme(92, "selection = \"tbv\"\nmating = \"nested\"\n[stage.ages]\nsire_generations = 1\n"
                        "dam_generations = 1\n", 3, 10, 100));
  int compared = 0;
  for (const auto& e : fs::directory_iterator(dir.path + "/plain")) {
    const std::string n = e.path().filename().string();
    if (n == "log.txt" || n == "run.json" || n == "report.html") continue;
    EXPECT_EQ(qmtest::read_file(e.path().string()), qmtest::read_file(dir.path + "/ones/" + n)) << n;
    ++compared;
  }
  EXPECT_GT(compared, 10);
}

// Every new setting at once gives the same files on one thread and two (and
// kept parents in either layout of the haplotypes).
TEST(ParentChoice, SameBytesOnAnyNumberOfThreads) {
  qmtest::tempdir dir;
  // The mating key belongs to the [[stage]] table: before the subtables.
  const std::string choice = "mating = \"min_coancestry\"\n" +
                             ocs(0.01,
                                 "[stage.mating_rules]\navoid = [\"full_sibs\"]\nmax_matings_per_sire = 20\n"
                                 "[stage.ages]\nsire_generations = 2\ndam_generations = 2\n");
  // Genomic selection with genomic relationships (VanRaden's G on every marker).
  const std::string genomic = "mating = \"min_coancestry\"\nselection = \"genomic_blup\"\n"
                              "[stage.contributions]\nmethod = \"ocs\"\ndelta_f = 0.01\nrelationship = \"genomic\"\n";
  // Genomic selection with sires kept for three generations (ranked on GEBVs from their genotypes).
  const std::string kept = "selection = \"genomic_blup\"\n[stage.ages]\nsire_generations = 3\n";
  for (const auto& [name, text] : {std::pair{std::string("pedigree"), choice}, std::pair{std::string("genomic"), genomic},
                                   std::pair{std::string("kept"), kept}}) {
    SCOPED_TRACE(name);
    const auto one = run_scheme(dir.path, name + "1", scheme(101, text, 4), "--threads 1");
    // Two threads, and (kept haplotypes copied in the other layout) one byte per allele.
    run_scheme(dir.path, name + "2", scheme(101, text, 4),
               name == "kept" ? "--threads 2 --genome-layout bytes" : "--threads 2");
    if (name == "kept") {
      ASSERT_EQ(one.at("sire_age_mean").size(), 5u);
      EXPECT_GT(*std::max_element(one.at("sire_age_mean").begin(), one.at("sire_age_mean").end()), 1.0);
    } else {
      ASSERT_EQ(one.at("ocs_coancestry").size(), 5u);
      for (size_t k = 0; k < 5; ++k) EXPECT_LE(one.at("ocs_coancestry")[k], one.at("ocs_limit")[k] * (1 + 1e-12));
    }
    int compared = 0;
    for (const auto& e : fs::directory_iterator(dir.path + "/" + name + "1")) {
      const std::string n = e.path().filename().string();
      if (n == "log.txt" || n == "run.json" || n == "report.html") continue;
      EXPECT_EQ(qmtest::read_file(e.path().string()), qmtest::read_file(dir.path + "/" + name + "2/" + n)) << n;
      ++compared;
    }
    EXPECT_GT(compared, 10);
  }
}

// A stage of the classic designs after one of optimum contributions (or of
// kept parents) pairs the parents it is handed, whatever their numbers, and
// from its own selection on mates as the design says: the nested design's
// rules on the numbers of sires and dams do not apply to the lists it is handed.
TEST(ParentChoice, AClassicStageFollowsOptimumContributions) {
  qmtest::tempdir dir;
  for (const std::string& before : {ocs(0.01), std::string("selection = \"tbv\"\n[stage.ages]\nsire_generations = 3\n")}) {
    SCOPED_TRACE(before);
    const std::string text = scheme(111, before, 3) +
                             "[[stage]]\nsires = 10\ndams = 100\nanimals = 200\ngenerations = 2\n"
                             "selection = \"tbv\"\nmating = \"random\"\n";
    const std::string name = "classic" + std::to_string(before.size());
    const auto s = run_scheme(dir.path, name, text);
    ASSERT_EQ(s.at("n_sires").size(), 6u);
    const auto gens = pedigree_of(dir.path + "/" + name);
    ASSERT_EQ(gens.size(), 6u);
    // The first generation of the stage is paired by allocation: every
    // mating a family of two. The second is mated by the design itself,
    // random pairs for every animal from the 10 sires and 100 dams of the
    // generation before: families of other sizes.
    for (size_t g : {4u, 5u}) {
      std::map<std::pair<int64_t, int64_t>, int> per_pair;
      for (const animal& x : gens[g]) {
        if (g == 5) {
          EXPECT_EQ(x.sire / idmult, 5) << x.id;  // no kept sire any more
        }
        ++per_pair[{x.sire, x.dam}];
      }
      bool families_of_two = true;
      for (const auto& [pair, n] : per_pair) families_of_two = families_of_two && n % 2 == 0;
      EXPECT_EQ(families_of_two, g == 4) << "generation " << g + 1;
    }
    EXPECT_EQ(s.at("n_sires").back(), 10);
    // The columns of optimum contributions are NA where the selection was by truncation.
    if (before.find("ocs") != std::string::npos) {
      EXPECT_FALSE(std::isnan(s.at("ocs_value")[3]));
      EXPECT_TRUE(std::isnan(s.at("ocs_value")[4]) && std::isnan(s.at("ocs_value")[5]));
    }
  }
}
