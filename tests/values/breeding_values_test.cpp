#include "values/breeding_values.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "support.hpp"

namespace {

// 40 individuals, three QTL at candidate loci 5, 12 and 30. Individual 1 is
// homozygous for allele 1 at every QTL, 2 heterozygous, 3 homozygous for 2;
// the others carry a mixture.
void population(qm::popstate& p, const std::string& par) {
  qmtest::load_par(p, par);
  for (int l = 1; l <= p.nqloc; ++l)
    for (int h = 1; h <= p.nhap; ++h) p.qtype(l, h) = static_cast<int8_t>(1 + (l * 3 + h * 5) % 7 % 2);
  p.tqtl = 3;
  p.qtlid.alloc(3);
  p.qtlid(1) = 5;
  p.qtlid(2) = 12;
  p.qtlid(3) = 30;
  p.qeff.alloc(3, p.ntrait);
  const double e[3] = {0.5, -1.25, 2.0};
  for (int t = 1; t <= p.ntrait; ++t)
    for (int q = 1; q <= 3; ++q) p.qeff(q, t) = e[q - 1] * t;
  for (int q = 1; q <= 3; ++q) {
    const int l = p.qtlid(q);
    p.qtype(l, 1) = p.qtype(l, 2) = 1;
    p.qtype(l, 3) = 2;
    p.qtype(l, 4) = 1;
    p.qtype(l, 5) = p.qtype(l, 6) = 2;
  }
}

// Sum over the QTL of (count of allele 2 - 1) * effect.
double reference_value(const qm::popstate& p, int i, int t) {
  double g = 0.0;
  for (int q = 1; q <= p.tqtl; ++q) {
    const int l = p.qtlid(q);
    g += ((p.qtype(l, 2 * i - 1) == 2) + (p.qtype(l, 2 * i) == 2) - 1) * p.qeff(q, t);
  }
  return g;
}

uint32_t advanced(uint32_t state, uint64_t uniforms) { return qm::mulmod31(state, qm::jump_multiplier(uniforms)); }

}  // namespace

TEST(BreedingTest, OneTrait) {
  qmtest::tempdir td;
  qmtest::console_capture cc;
  qm::popstate p;
  population(p, qmtest::small_par());  // h2 = 0.3
  EXPECT_EQ(qm::genotypic_value(p, 1, 1), -1.25f);
  EXPECT_EQ(qm::genotypic_value(p, 2, 1), 0.0f);
  EXPECT_EQ(qm::genotypic_value(p, 3, 1), 1.25f);

  qm::random_stream r = p.rng;
  qm::compute_values(p);
  ASSERT_EQ(p.bv.n1, 40);
  const float s = std::sqrt(1.0f / 0.3f - 1.0f);
  for (int i = 1; i <= 40; ++i) {
    const double g = reference_value(p, i, 1);
    EXPECT_EQ(p.bv(i, 1, 1), g) << i;
    const float z = static_cast<float>(qm::standard_normal(r));
    EXPECT_EQ(p.bv(i, 2, 1), static_cast<double>(static_cast<float>(g) + z * s)) << i;
  }
  EXPECT_EQ(p.rng.state, r.state);

  // h2 = 1: the phenotype is the breeding value, two uniforms still drawn each.
  qm::popstate p1;
  population(p1, qmtest::set_record(qmtest::small_par(), 8, "1.0"));
  const uint32_t before = static_cast<uint32_t>(p1.rng.state);
  qm::compute_values(p1);
  for (int i = 1; i <= 40; ++i) EXPECT_EQ(p1.bv(i, 2, 1), reference_value(p1, i, 1)) << i;
  EXPECT_EQ(static_cast<uint32_t>(p1.rng.state), advanced(before, 2 * 40));
}

TEST(BreedingTest, TwoTraits) {
  qmtest::tempdir td;
  qmtest::console_capture cc;
  std::string par = qmtest::set_record(qmtest::small_par(), 2, "2 0 0.2 0");
  par = qmtest::set_record(par, 4, "0.3");
  par = qmtest::set_record(par, 6, "0.2");
  par = qmtest::set_record(par, 8, "0.3 0.4");
  qm::popstate p;
  population(p, par);
  p.rescov.alloc(2, 2);
  p.rescov(1, 1) = 1.0f;
  p.rescov(2, 2) = 2.0f;
  p.rescov(1, 2) = p.rescov(2, 1) = 0.3f;
  const uint32_t before = static_cast<uint32_t>(p.rng.state);
  qm::random_stream r = p.rng;
  qm::compute_values(p);
  EXPECT_EQ(p.bv(1, 1, 2), -2.5);
  EXPECT_EQ(p.bv(2, 1, 2), 0.0);
  for (int i = 1; i <= 40; ++i) {
    float e[2];
    qm::multivariate_normal(r, p.rescov.data(), 2, e);
    for (int t = 1; t <= 2; ++t) {
      const double g = reference_value(p, i, t);
      EXPECT_EQ(p.bv(i, 1, t), g) << i << " " << t;
      EXPECT_EQ(p.bv(i, 2, t), static_cast<double>(static_cast<float>(g) + e[t - 1])) << i << " " << t;
    }
  }
  EXPECT_EQ(static_cast<uint32_t>(p.rng.state), advanced(before, 40 * 102));
}
