#include "values/threshold.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "support.hpp"

namespace {

// One trait, n individuals with the given true breeding values.
struct one_trait {
  qm::run_parameters p;
  qm::population pop;
  qm::trait_architecture a;
  one_trait(float h2, float incid, const std::vector<double>& tbv) {
    p.ntrait = a.ntrait = 1;
    p.thresh = 1;
    p.incid = incid;
    p.h2 = {h2};
    pop.nind = static_cast<int32_t>(tbv.size());
    pop.tbv = tbv;
    pop.phenotype.assign(tbv.size(), 0.0);
  }
  void fix() { qm::fix_threshold(p, a, pop); }
};

float mean_of(const std::vector<double>& v) {
  double s = 0.0;
  for (double x : v) s += x;
  return static_cast<float>(s / static_cast<double>(v.size()));
}

// Inverse of std::erfc by bisection (erfc decreases strictly).
double erfc_inverse(double y) {
  double lo = -10.0, hi = 10.0;
  for (int k = 0; k < 200; ++k) {
    const double mid = 0.5 * (lo + hi);
    (std::erfc(mid) > y ? lo : hi) = mid;
  }
  return 0.5 * (lo + hi);
}

// A small normal generator for test data (64-bit LCG, Box-Muller).
struct normals {
  uint64_t s = 88172645463325252ull;
  double unif() {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return (static_cast<double>(s >> 11) + 0.5) / 9007199254740992.0;
  }
  double next() { return std::sqrt(-2.0 * std::log(unif())) * std::cos(6.283185307179586 * unif()); }
};

TEST(Threshold, ErfcinvAgainstDoubleInverse) {
  EXPECT_EQ(qm::erfcinv(1.0f), 0.0f);
  for (float y : {0.02f, 0.04f, 0.1f, 0.4f, 0.7f, 1.3f, 1.6f, 1.9f, 1.96f, 1.98f}) {
    const double want = erfc_inverse(static_cast<double>(y));
    EXPECT_NEAR(qm::erfcinv(y), want, 1e-6 * std::fabs(want)) << "y = " << y;
  }
  EXPECT_EQ(qm::erfcinv(0.0f), std::numeric_limits<float>::infinity());
  EXPECT_EQ(qm::erfcinv(2.0f), -std::numeric_limits<float>::infinity());
  EXPECT_TRUE(std::isnan(qm::erfcinv(-1.0f)));
  EXPECT_TRUE(std::isnan(qm::erfcinv(3.0f)));
}

TEST(Threshold, ErfcCodyThreeRanges) {
  // |x| <= 0.46875, 0.46875 < |x| <= 4, and |x| > 4 where erfc is 0 or 2.
  for (float x : {0.0f, 0.1f, -0.3f, 0.46875f, -0.46875f, 0.5f, -0.8f, 1.0f, 2.0f, -2.5f, 3.5f, 4.0f}) {
    const double want = std::erfc(static_cast<double>(x));
    EXPECT_NEAR(qm::erfc_cody(x), want, 1e-6 * want) << "x = " << x;
  }
  EXPECT_EQ(qm::erfc_cody(4.5f), 0.0f);
  EXPECT_EQ(qm::erfc_cody(-5.0f), 2.0f);
}

TEST(Threshold, ThresholdAroundTheMean) {
  qmtest::console_capture con;
  const std::vector<double> tbv = {0.8, -0.3, 1.7, 0.25, 0.05, 2.1};
  const float m = mean_of(tbv);
  {
    one_trait f(0.3f, 0.5f, tbv);
    f.fix();
    EXPECT_EQ(f.a.threshold, m);
  }
  {
    one_trait f(0.25f, 0.2f, tbv);
    f.fix();
    // sqrt(1/h2) * sqrt(2) * erfcinv(2 incid) below the mean: the 20% point
    // of a normal with variance 4 (z = 0.8416212).
    EXPECT_NEAR(f.a.threshold, m - 1.6832424, 1e-6);
    // The console line carries the value.
    const std::string out = con.text();
    const size_t at = out.rfind(" Threshold value=");
    ASSERT_NE(at, std::string::npos) << out;
    const float shown = std::strtof(out.c_str() + at + 17, nullptr);
    EXPECT_NEAR(shown, f.a.threshold, 1e-6);
  }
}

TEST(Threshold, ClassifyTraitOne) {
  qm::population pop;
  qm::trait_architecture a;
  a.ntrait = 3;
  pop.nind = 4;
  a.threshold = 0.3f;  // not exact in binary: the comparison uses the widened value
  pop.tbv.assign(12, 0.0);
  pop.phenotype.assign(12, 0.0);
  const double t = static_cast<double>(a.threshold);
  const double pheno[4] = {t, std::nextafter(t, -1.0), std::nan(""), 7.5};
  for (int i = 1; i <= 4; ++i) {
    pop.tbv_of(i, 1) = 0.5 * i;
    pop.phenotype_of(i, 1) = pheno[i - 1];
    pop.phenotype_of(i, 2) = -2.0 * i;
    pop.phenotype_of(i, 3) = 0.125 * i;
  }
  qm::classify_threshold_trait(a, pop);
  const double want[4] = {1.0, 0.0, 1.0, 1.0};
  for (int i = 1; i <= 4; ++i) {
    EXPECT_EQ(pop.phenotype_of(i, 1), want[i - 1]) << "individual " << i;
    EXPECT_EQ(pop.tbv_of(i, 1), 0.5 * i);
    EXPECT_EQ(pop.phenotype_of(i, 2), -2.0 * i);
    EXPECT_EQ(pop.phenotype_of(i, 3), 0.125 * i);
  }
}

TEST(Threshold, IncidenceOfALargeGeneration) {
  qmtest::console_capture con;
  // Breeding values with variance 1 around 3, residual variance 1/h2 - 1.
  const int n = 20000;
  const float h2 = 0.25f;
  normals g;
  std::vector<double> tbv(n), pheno(n);
  for (int i = 0; i < n; ++i) {
    tbv[i] = 3.0 + g.next();
    pheno[i] = tbv[i] + std::sqrt(1.0 / h2 - 1.0) * g.next();
  }
  one_trait f(h2, 0.2f, tbv);
  f.pop.phenotype = pheno;
  f.fix();
  int below = 0, zeros = 0;
  for (int i = 1; i <= n; ++i) {
    below += pheno[static_cast<size_t>(i - 1)] < static_cast<double>(f.a.threshold);
    zeros += f.pop.phenotype_of(i, 1) == 0.0;
  }
  EXPECT_NEAR(static_cast<double>(below) / n, 0.2, 0.02);
  EXPECT_EQ(zeros, below);
}

}  // namespace
