#include "qtl/report.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "support.hpp"

namespace {

// Two QTL (candidate loci 2 and 3) on four haplotypes with given effects.
void architecture(qm::popstate& p, int ntrait, std::initializer_list<double> effects) {
  p.ntrait = ntrait;
  p.nhap = 4;
  p.tqtl = 2;
  p.qtype.alloc(3, 4);
  const int8_t alleles[3][4] = {{1, 1, 1, 1}, {1, 2, 2, 1}, {2, 1, 1, 2}};  // p = 0.5 at both QTL
  for (int l = 1; l <= 3; ++l)
    for (int h = 1; h <= 4; ++h) p.qtype(l, h) = alleles[l - 1][h - 1];
  p.qtlid.alloc(2);
  p.qtlid(1) = 2;
  p.qtlid(2) = 3;
  p.qeff.alloc(2, ntrait);
  auto e = effects.begin();
  for (int t = 1; t <= ntrait; ++t)
    for (int q = 1; q <= 2; ++q) p.qeff(q, t) = *e++;
  p.h2.alloc(ntrait);
  p.rerr.alloc(ntrait * (ntrait - 1) / 2);
}

}  // namespace

TEST(ReportTest, OneTrait) {
  qmtest::tempdir td;
  qm::popstate p;
  architecture(p, 1, {0.8, -1.2});
  p.h2(1) = 0.25f;
  qm::genetic_report(p);
  EXPECT_EQ(p.rescov(1, 1), 3.0f);
  EXPECT_EQ(qmtest::read_file("Genetic_paramenters.out"),
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
}

TEST(ReportTest, TwoTraits) {
  qmtest::tempdir td;
  qm::popstate p;
  // Weights 2p(1 - p) = 0.5: covariance 0.5 * (1 * 1.5 + 1 * 0.5) = 1, correlation 1 / sqrt(2).
  architecture(p, 2, {1.0, 1.0, 1.5, 0.5});
  p.h2(1) = 0.5f;
  p.h2(2) = 0.5f;
  p.rerr(1) = 0.2f;
  qm::genetic_report(p);
  EXPECT_FLOAT_EQ(p.rescov(1, 1), 1.0f);
  EXPECT_FLOAT_EQ(p.rescov(2, 2), 2.0f);
  EXPECT_FLOAT_EQ(p.rescov(1, 2), static_cast<float>(0.2 * std::sqrt(2.0)));
  EXPECT_EQ(p.rescov(2, 1), p.rescov(1, 2));
  EXPECT_EQ(qmtest::read_file("Genetic_paramenters.out"),
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

TEST(ReportTest, ThreeTraitsPairOrder) {
  qmtest::tempdir td;
  qm::popstate p;
  architecture(p, 3, {1, 0, 0, 1, 1, 1});
  for (int t = 1; t <= 3; ++t) p.h2(t) = 0.5f;
  p.rerr(1) = 0.1f;  // pairs (1,2), (1,3), (2,3)
  p.rerr(2) = 0.2f;
  p.rerr(3) = 0.3f;
  qm::genetic_report(p);
  const std::string f = qmtest::read_file("Genetic_paramenters.out");
  EXPECT_EQ(std::count(f.begin(), f.end(), '\n'), 4 * (3 + 1) + 2);
  EXPECT_EQ(f.substr(0, f.find('\n')), "\ttrait01\ttrait02\ttrait03\t");
  // Residual variances (1/h2 - 1) * t = t; covariances sqrt(t u) * rerr of the pair.
  EXPECT_EQ(p.rescov(3, 3), 3.0f);
  EXPECT_FLOAT_EQ(p.rescov(1, 2), static_cast<float>(std::sqrt(2.0) * 0.1));
  EXPECT_FLOAT_EQ(p.rescov(3, 1), static_cast<float>(std::sqrt(3.0) * 0.2));
  EXPECT_FLOAT_EQ(p.rescov(2, 3), static_cast<float>(std::sqrt(6.0) * 0.3));
  // gcov(1,3) = 0.5 * (1 * 1 + 0 * 1) = 0.5; gcor(1,3) = 0.5 / sqrt(3).
  EXPECT_NE(f.find("Realized Additive Correlation matrix:\n      1.0000000\t      0.0000000\t      0.2886751\t\n"),
            std::string::npos);
}
