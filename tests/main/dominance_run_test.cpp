// Dominance through the program, against population genetics: in closed
// lines mated at random the mean genotypic value falls with the pedigree
// inbreeding by -2 sum d p q (base frequencies), and the cross of two lines
// apart by drift lies above the mean of its parental lines by
// sum d (p1 - p2)^2, or by nothing when the degrees of dominance average
// zero. Every expectation is computed here from the files of the run: the
// effects of QMAP.out, the QTL genotypes of QTYPE.out, the pedigree and the
// genotypic values of BV.out.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "support.hpp"

namespace fs = std::filesystem;

namespace {

constexpr int64_t idmult = 10000;

int run(const std::string& dir, const std::string& name, const std::string& text) {
  return qmtest::run_scheme_in(dir, name, text);
}

// `lines` lines mated at random within themselves (random selection of
// `sires` and `dams` of `animals` each), founded in the QTL-choice generation
// and run for `generations` more without mutation; `extra` adds lines.
std::string closed_lines(int seed, const std::string& dominance, int lines, int animals, int sires, int dams,
                         int generations, const std::string& extra_lines = "", const std::string& extra_names = "") {
  std::ostringstream s;
  s << "seed = " << seed << "\n[traits]\nheritability = [0.3]\ndominance = " << dominance << R"(
[genome]
markers_per_chromosome = 200
chromosomes = 2
length_morgan = 1.0
marker_mutation_rate = 1e-3
candidate_qtl_mutation_rate = 1e-3
[qtl]
count = 100
)";
  std::string names;
  for (int k = 1; k <= lines; ++k) {
    s << "[[line]]\nname = \"L" << k << "\"\nanimals = " << animals << "\nsires = " << sires << "\ndams = " << dams
      << "\n";
    names += std::string(k > 1 ? ", " : "") + "\"L" + std::to_string(k) + "\"";
  }
  s << extra_lines;
  s << "[[stage]]\nsires = 100\ndams = 100\nanimals = 200\ngenerations = 100\n";
  s << "[[stage]]\nlines = [" << names << "]\ngenerations = 1\nmutation = false\n";
  s << "[[stage]]\nlines = [" << names << extra_names << "]\ngenerations = " << generations << "\n";
  return s.str();
}

struct animal {
  int64_t id = 0, sire = 0, dam = 0;
  double gv = 0;
  std::string line;
};

std::string two_digits(int g) { return (g < 10 ? "0" : "") + std::to_string(g); }

// BV.out of generation g (with dominance: ID Sire Dam Sex Bred TBV Phe GV Line).
std::vector<animal> values_of(const std::string& folder, int g) {
  std::istringstream in(qmtest::read_file(folder + "/" + two_digits(g) + "BV.out"));
  std::string text;
  std::getline(in, text);
  std::vector<animal> out;
  while (std::getline(in, text)) {
    std::istringstream ls(text);
    animal a;
    int sex = 0, bred = 0;
    double tbv = 0, phe = 0;
    ls >> a.id >> a.sire >> a.dam >> sex >> bred >> tbv >> phe >> a.gv >> a.line;
    out.push_back(a);
  }
  return out;
}

// The additive and dominance effects of every QTL (QMAP.out: locus, a, d).
void effects_of(const std::string& folder, std::vector<double>& a, std::vector<double>& d) {
  std::istringstream in(qmtest::read_file(folder + "/QMAP.out"));
  int nchr = 0, nmpc = 0, nqtl = 0;
  in >> nchr >> nmpc >> nqtl;
  a.assign(static_cast<size_t>(nqtl), 0.0);
  d.assign(static_cast<size_t>(nqtl), 0.0);
  for (int q = 0; q < nqtl; ++q) {
    int locus = 0;
    in >> locus >> a[static_cast<size_t>(q)] >> d[static_cast<size_t>(q)];
  }
}

// The frequency of allele 2 (the one the effect a adds) at every QTL among
// the haplotypes of generation g's animals for which `take` is true.
template <class Take>
std::vector<double> frequencies(const std::string& folder, int g, size_t nqtl, Take take) {
  std::istringstream in(qmtest::read_file(folder + "/" + two_digits(g) + "QTYPE.out"));
  std::vector<double> count(nqtl, 0.0);
  double haplotypes = 0;
  std::string text;
  while (std::getline(in, text)) {
    std::istringstream ls(text);
    std::string first;
    int64_t id = 0;
    ls >> first >> id;
    if (!take(id)) continue;
    for (size_t q = 0; q < nqtl; ++q) {
      int allele = 0;
      ls >> allele;
      count[q] += allele == 2;
    }
    haplotypes += 1;
  }
  for (double& c : count) c /= haplotypes;
  return count;
}

// Pedigree inbreeding of every animal of generations 1..G of one line, the
// animals of generation 1 unrelated founders (tabular method).
std::map<int64_t, double> inbreeding_of(const std::vector<std::vector<animal>>& gens) {
  std::vector<int64_t> ids;
  std::map<int64_t, size_t> index;
  std::vector<std::vector<double>> A;
  std::map<int64_t, double> f;
  for (size_t g = 0; g < gens.size(); ++g)
    for (const animal& x : gens[g]) {
      const size_t k = ids.size();
      const bool founder = g == 0;
      const long s = founder ? -1 : static_cast<long>(index.at(x.sire));
      const long m = founder ? -1 : static_cast<long>(index.at(x.dam));
      for (auto& row : A) row.push_back(0.0);
      A.emplace_back(k + 1, 0.0);
      for (size_t j = 0; j < k; ++j) {
        const double v = ((s >= 0 ? A[static_cast<size_t>(s)][j] : 0.0) + (m >= 0 ? A[static_cast<size_t>(m)][j] : 0.0)) / 2;
        A[k][j] = A[j][k] = v;
      }
      const double fx = s >= 0 && m >= 0 ? A[static_cast<size_t>(s)][static_cast<size_t>(m)] / 2 : 0.0;
      A[k][k] = 1.0 + fx;
      f[x.id] = fx;
      index[x.id] = k;
      ids.push_back(x.id);
    }
  return f;
}

double mean_of(const std::vector<double>& v) { return std::accumulate(v.begin(), v.end(), 0.0) / v.size(); }
double se_of(const std::vector<double>& v) {
  const double m = mean_of(v);
  double ss = 0;
  for (double x : v) ss += (x - m) * (x - m);
  return std::sqrt(ss / (v.size() - 1) / v.size());
}

}  // namespace

TEST(DominanceRun, InbreedingDepressionFollowsTheDominanceOfTheBase) {
  qmtest::tempdir dir;
  constexpr int lines = 16, generations = 14;
  std::vector<double> ratio;
  for (int seed = 1; seed <= 10; ++seed) {
    const std::string name = "id" + std::to_string(seed);
    ASSERT_EQ(run(dir.path, name, closed_lines(300 + seed, "{ mean = 1.0, sd = 0.2 }", lines, 40, 4, 4, generations)), 0)
        << qmtest::read_file(dir.path + "/" + name + ".out");
    const std::string folder = dir.path + "/" + name;
    std::vector<double> a, d;
    effects_of(folder, a, d);
    const std::vector<double> p0 = frequencies(folder, 1, a.size(), [](int64_t) { return true; });
    double expected = 0;
    for (size_t q = 0; q < a.size(); ++q) expected += -2.0 * d[q] * p0[q] * (1.0 - p0[q]);
    // Mean genotypic value and mean F of every line in every generation.
    std::vector<std::vector<animal>> all;
    for (int g = 1; g <= generations + 1; ++g) all.push_back(values_of(folder, g));
    std::vector<double> xs, ys;
    for (int k = 1; k <= lines; ++k) {
      const std::string line = "L" + std::to_string(k);
      std::vector<std::vector<animal>> gens;
      for (const auto& gen : all) {
        gens.emplace_back();
        for (const animal& x : gen)
          if (x.line == line) gens.back().push_back(x);
      }
      const std::map<int64_t, double> f = inbreeding_of(gens);
      for (const auto& gen : gens) {
        double gv = 0, fm = 0;
        for (const animal& x : gen) {
          gv += x.gv / gen.size();
          fm += f.at(x.id) / gen.size();
        }
        xs.push_back(fm);
        ys.push_back(gv);
      }
    }
    const double mx = mean_of(xs), my = mean_of(ys);
    double sxy = 0, sxx = 0;
    for (size_t i = 0; i < xs.size(); ++i) {
      sxy += (xs[i] - mx) * (ys[i] - my);
      sxx += (xs[i] - mx) * (xs[i] - mx);
    }
    ASSERT_GT(mx, 0.15);  // the lines did become inbred
    ASSERT_LT(expected, 0.0);
    ratio.push_back(sxy / sxx / expected);
    std::fprintf(stderr, "seed %d slope %.4f expected %.4f mean F %.3f\n", seed, sxy / sxx, expected, mx);
  }
  // The realised slope over the expected one: 1 within sampling error.
  const double m = mean_of(ratio), se = se_of(ratio);
  EXPECT_LT(se, 0.15);
  EXPECT_NEAR(m, 1.0, 3 * se + 0.05) << "mean ratio " << m << ", SE " << se;
}

TEST(DominanceRun, HeterosisOfACrossIsSumOfDTimesSquaredDifferences) {
  qmtest::tempdir dir;
  const std::string cross = "[[line]]\nname = \"X\"\nmating = \"cross\"\nsire_line = \"L1\"\ndam_line = \"L2\"\nanimals = 200\n";
  for (const std::string dominance : {"{ mean = 1.0, sd = 0.3 }", "{ mean = 0.0, sd = 1.0 }"}) {
    SCOPED_TRACE(dominance);
    const bool directional = dominance.find("1.0, sd = 0.3") != std::string::npos;
    std::vector<double> realised, predicted, difference;
    for (int seed = 1; seed <= 10; ++seed) {
      const std::string name = (directional ? "h" : "z") + std::to_string(seed);
      // Two lines of 200, 20 sires and 20 dams each, apart for 20 generations, crossed in every generation.
      // (Falconer's prediction takes each line in Hardy-Weinberg proportions; with few parents the sires and
      // dams of a line differ, its own animals are then more heterozygous, and the heterosis over them smaller.)
      ASSERT_EQ(run(dir.path, name, closed_lines(500 + seed, dominance, 2, 200, 20, 20, 20, cross, ", \"X\"")), 0)
          << qmtest::read_file(dir.path + "/" + name + ".out");
      const std::string folder = dir.path + "/" + name;
      std::vector<double> a, d;
      effects_of(folder, a, d);
      // The cross against its parental lines in each of the last four
      // generations (the same parents' lines, so the four are averaged).
      double h = 0, expected = 0;
      for (int last = 18; last <= 21; ++last) {
        const std::vector<animal> gen = values_of(folder, last);
        std::map<std::string, double> sum, n;
        std::map<int64_t, std::string> line_of;
        for (const animal& x : gen) {
          sum[x.line] += x.gv;
          n[x.line] += 1;
          line_of[x.id % idmult] = x.line;
        }
        ASSERT_EQ(n["X"], 200);
        const double hg = sum["X"] / n["X"] - (sum["L1"] / n["L1"] + sum["L2"] / n["L2"]) / 2;
        const auto in = [&](const char* line) { return [&, line](int64_t id) { return line_of[id % idmult] == line; }; };
        const std::vector<double> p1 = frequencies(folder, last, a.size(), in("L1"));
        const std::vector<double> p2 = frequencies(folder, last, a.size(), in("L2"));
        double eg = 0;
        for (size_t q = 0; q < a.size(); ++q) eg += d[q] * (p1[q] - p2[q]) * (p1[q] - p2[q]);
        // summary.csv's heterosis columns are these two numbers, on the cross's row.
        const auto rows = qmtest::summary_columns(folder + "/summary.csv");
        if (rows.count("heterosis_1") && rows.count("heterosis_predicted_1")) {
          const std::vector<double>& hs = rows.at("heterosis_1");
          const std::vector<double>& ps = rows.at("heterosis_predicted_1");
          const std::vector<double>& gs = rows.at("generation");
          int found = 0;
          for (size_t r = 0; r < hs.size(); ++r)
            if (gs[r] == last && !std::isnan(hs[r])) {
              EXPECT_NEAR(hs[r], hg, 1e-9 * (1 + std::fabs(hg)));
              EXPECT_NEAR(ps[r], eg, 1e-9 * (1 + std::fabs(eg)));
              ++found;
            }
          EXPECT_EQ(found, 1) << "generation " << last;
        } else {
          ADD_FAILURE() << "summary.csv has no heterosis columns";
        }
        h += hg / 4;
        expected += eg / 4;
      }
      realised.push_back(h);
      predicted.push_back(expected);
      difference.push_back(h - expected);
    }
    const double md = mean_of(difference), se = se_of(difference);
    std::fprintf(stderr, "%s: realised %.4f (SE %.4f), predicted %.4f, difference %.4f (SE %.4f)\n", dominance.c_str(),
                 mean_of(realised), se_of(realised), mean_of(predicted), md, se);
    if (directional) {
      // Clear heterosis, matched by its prediction within sampling error.
      EXPECT_GT(mean_of(predicted), 4 * se);
      EXPECT_NEAR(md, 0.0, 3 * se + 0.02 * mean_of(predicted)) << "realised " << mean_of(realised) << ", predicted "
                                                                << mean_of(predicted) << ", SE " << se;
    } else {
      // Degrees of dominance that average zero: no heterosis within sampling error.
      EXPECT_NEAR(mean_of(realised), 0.0, 3 * se_of(realised));
      EXPECT_NEAR(md, 0.0, 3 * se + 0.02);
    }
  }
}
