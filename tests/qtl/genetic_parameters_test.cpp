#include "qtl/genetic_parameters.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "support.hpp"

namespace {

// Two QTL (candidate loci 2 and 3) on four haplotypes with given effects;
// residual covariance (1/h2 - 1) t on the diagonal and sqrt(t u) rerr off it.
struct architecture {
  qm::run_parameters p;
  qm::trait_architecture a;
  qm::haplotype_matrix candidates;
  architecture(int ntrait, std::initializer_list<double> effects, std::initializer_list<float> h2,
               std::initializer_list<float> rerr = {}) {
    p.ntrait = a.ntrait = ntrait;
    p.h2 = h2;
    p.rerr = rerr;
    candidates.resize(3, 4);
    const int8_t alleles[3][4] = {{1, 1, 1, 1}, {1, 2, 2, 1}, {2, 1, 1, 2}};  // p = 0.5 at both QTL
    for (int l = 0; l < 3; ++l)
      for (int h = 0; h < 4; ++h) candidates.at(l, h) = alleles[l][h];
    a.qtl_locus = {2, 3};
    a.effects = effects;
    const int n = ntrait;
    a.residual_covariance.assign(static_cast<size_t>(n) * n, 0.0f);
    auto rc = [&](int i, int j) -> float& { return a.residual_covariance[(i - 1) + (j - 1) * n]; };
    for (int t = 1; t <= n; ++t) rc(t, t) = (1.0f / p.h2[t - 1] - 1.0f) * (n == 1 ? 1.0f : static_cast<float>(t));
    int k = 0;
    for (int i = 1; i < n; ++i)
      for (int j = i + 1; j <= n; ++j) rc(i, j) = rc(j, i) = std::sqrt(rc(i, i) * rc(j, j)) * p.rerr[k++];
  }
  std::string write() {
    qm::write_genetic_parameters(qm::output_folder{}, p, a, candidates);
    return qmtest::read_file("Genetic_paramenters.out");
  }
};

}  // namespace

TEST(GeneticParameters, OneTrait) {
  qmtest::tempdir td;
  architecture f(1, {0.8, -1.2}, {0.25f});
  EXPECT_EQ(f.write(),
            "\ttrait01\t\n"
            "Realized Additive Covariance matrix:\n"
            "      1.0000000\t\n"
            "Realized Additive Correlation matrix:\n"
            "      1.0000000\t\n"
            "Residual Covariance matrix:\n"
            "      3.0000000\t\n"
            "Residual Correlation matrix:\n"
            "      1.0000000\t\n"
            "h2:\t      0.2500000\t\n");
  EXPECT_FALSE(qmtest::file_exists("Genetic_paramenters.out.tmp"));
}

TEST(GeneticParameters, TwoTraits) {
  qmtest::tempdir td;
  // Weights 2p(1 - p) = 0.5: covariance 0.5 * (1 * 1.5 + 1 * 0.5) = 1, correlation 1 / sqrt(2).
  architecture f(2, {1.0, 1.0, 1.5, 0.5}, {0.5f, 0.5f}, {0.2f});
  EXPECT_EQ(f.write(),
            "\ttrait01\ttrait02\t\n"
            "Realized Additive Covariance matrix:\n"
            "      1.0000000\t      1.0000000\t\n"
            "      1.0000000\t      2.0000000\t\n"
            "Realized Additive Correlation matrix:\n"
            "      1.0000000\t      0.7071068\t\n"
            "      0.7071068\t      1.0000000\t\n"
            "Residual Covariance matrix:\n"
            "      1.0000000\t      0.2828427\t\n"
            "      0.2828427\t      2.0000000\t\n"
            "Residual Correlation matrix:\n"
            "      1.0000000\t      0.2000000\t\n"
            "      0.2000000\t      1.0000000\t\n"
            "h2:\t      0.5000000\t      0.5000000\t\n");
}

TEST(GeneticParameters, ThreeTraitsPairOrder) {
  qmtest::tempdir td;
  // Pairs (1,2), (1,3), (2,3) of the residual correlations.
  architecture f(3, {1, 0, 0, 1, 1, 1}, {0.5f, 0.5f, 0.5f}, {0.1f, 0.2f, 0.3f});
  const std::string t = f.write();
  EXPECT_EQ(std::count(t.begin(), t.end(), '\n'), 4 * (3 + 1) + 2);
  EXPECT_EQ(t.substr(0, t.find('\n')), "\ttrait01\ttrait02\ttrait03\t");
  // gcov(1,3) = 0.5 * (1 * 1 + 0 * 1) = 0.5; gcor(1,3) = 0.5 / sqrt(3).
  EXPECT_NE(t.find("Realized Additive Correlation matrix:\n      1.0000000\t      0.0000000\t      0.2886751\t\n"),
            std::string::npos);
  EXPECT_NE(t.find("Residual Correlation matrix:\n      1.0000000\t      0.1000000\t      0.2000000\t\n"
                   "      0.1000000\t      1.0000000\t      0.3000000\t\n"),
            std::string::npos);
  // sqrt(3) * 0.2 = 0.3464102 in row 3, column 1.
  EXPECT_NE(t.find("Residual Covariance matrix:\n      1.0000000\t      0.1414214\t      0.3464102\t\n"),
            std::string::npos) << t;
}
