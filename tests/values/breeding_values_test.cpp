#include "base/messages.hpp"
#include "values/breeding_values.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "support.hpp"

namespace {

// 40 individuals, three QTL at candidate loci 5, 12 and 30. Individual 1 is
// homozygous for allele 1 at every QTL, 2 heterozygous, 3 homozygous for 2;
// the others carry a mixture.
struct generation {
  qmtest::tempdir td;
  qmtest::console_capture cc;
  qmtest::run_setup s;
  qm::population& pop;
  qm::trait_architecture a;
  explicit generation(const std::string& par, int threads = 1) : s(par, threads), pop(s.st.pop) {
    for (int l = 1; l <= 40; ++l)
      for (int h = 1; h <= 80; ++h) pop.candidates.at(l - 1, h - 1) = static_cast<int8_t>(1 + (l * 3 + h * 5) % 7 % 2);
    const int n = s.params.ntrait;
    a.ntrait = n;
    a.qtl_locus = {5, 12, 30};
    a.effects.assign(3 * static_cast<size_t>(n), 0.0);
    const double e[3] = {0.5, -1.25, 2.0};
    for (int t = 1; t <= n; ++t)
      for (int q = 1; q <= 3; ++q) a.effect(q, t) = e[q - 1] * t;
    for (int l : a.qtl_locus) {
      pop.candidates.at(l - 1, 0) = pop.candidates.at(l - 1, 1) = 1;
      pop.candidates.at(l - 1, 2) = 2;
      pop.candidates.at(l - 1, 3) = 1;
      pop.candidates.at(l - 1, 4) = pop.candidates.at(l - 1, 5) = 2;
    }
  }
  void residual(std::initializer_list<float> cov) {
    a.residual_covariance = cov;
    const int n = a.ntrait;
    a.residual_factor.assign(static_cast<size_t>(n) * n, 0.0f);
    qm::cholesky_factor_semidefinite(a.residual_covariance.data(), n, a.residual_factor.data());
  }
  void compute() { qm::compute_values(s.params, a, pop, s.st.rng); }
};

// Sum over the QTL of (count of allele 2 - 1) * effect.
double reference_value(const generation& g, int i, int t) {
  double v = 0.0;
  for (int q = 1; q <= g.a.nqtl(); ++q) {
    const int l = g.a.qtl_locus[q - 1] - 1;
    v += ((g.pop.candidates.at(l, 2 * i - 2) == 2) + (g.pop.candidates.at(l, 2 * i - 1) == 2) - 1) * g.a.effect(q, t);
  }
  return v;
}

uint32_t advanced(uint32_t state, uint64_t uniforms) { return qm::mulmod31(state, qm::jump_multiplier(uniforms)); }

std::string two_trait_par() {
  std::string par = qmtest::set_record(qmtest::small_par(), 2, "2 0 0.2 0");
  par = qmtest::set_record(par, 4, "0.3");
  par = qmtest::set_record(par, 6, "0.2");
  return qmtest::set_record(par, 8, "0.3 0.4");
}

}  // namespace

TEST(BreedingTest, OneTrait) {
  generation g(qmtest::small_par());  // h2 = 0.3
  EXPECT_EQ(qm::genotypic_value(g.pop.candidates, g.a, 1, 1), -1.25f);
  EXPECT_EQ(qm::genotypic_value(g.pop.candidates, g.a, 2, 1), 0.0f);
  EXPECT_EQ(qm::genotypic_value(g.pop.candidates, g.a, 3, 1), 1.25f);

  qm::random_stream r = g.s.st.rng;
  g.compute();
  ASSERT_EQ(g.pop.tbv.size(), 40u);
  ASSERT_EQ(g.pop.phenotype.size(), 40u);
  const float sd = std::sqrt(1.0f / 0.3f - 1.0f);
  for (int i = 1; i <= 40; ++i) {
    const double v = reference_value(g, i, 1);
    EXPECT_EQ(g.pop.tbv_of(i, 1), v) << i;
    const float z = static_cast<float>(qm::standard_normal(r));
    EXPECT_EQ(g.pop.phenotype_of(i, 1), static_cast<double>(static_cast<float>(v) + z * sd)) << i;
  }
  EXPECT_EQ(g.s.st.rng.state, r.state);

  // h2 = 1: the phenotype is the breeding value, two uniforms still drawn each.
  generation g1(qmtest::set_record(qmtest::small_par(), 8, "1.0"));
  const uint32_t before = static_cast<uint32_t>(g1.s.st.rng.state);
  g1.compute();
  for (int i = 1; i <= 40; ++i) EXPECT_EQ(g1.pop.phenotype_of(i, 1), reference_value(g1, i, 1)) << i;
  EXPECT_EQ(static_cast<uint32_t>(g1.s.st.rng.state), advanced(before, 2 * 40));
}

TEST(BreedingTest, TwoTraits) {
  generation g(two_trait_par());
  g.residual({1.0f, 0.3f, 0.3f, 2.0f});
  const uint32_t before = static_cast<uint32_t>(g.s.st.rng.state);
  qm::random_stream r = g.s.st.rng;
  g.compute();
  EXPECT_EQ(g.pop.tbv_of(1, 2), -2.5);
  EXPECT_EQ(g.pop.tbv_of(2, 2), 0.0);
  for (int i = 1; i <= 40; ++i) {
    float e[2];
    qm::multivariate_normal(r, g.a.residual_covariance.data(), 2, e);
    for (int t = 1; t <= 2; ++t) {
      const double v = reference_value(g, i, t);
      EXPECT_EQ(g.pop.tbv_of(i, t), v) << i << " " << t;
      EXPECT_EQ(g.pop.phenotype_of(i, t), static_cast<double>(static_cast<float>(v) + e[t - 1])) << i << " " << t;
    }
  }
  EXPECT_EQ(static_cast<uint32_t>(g.s.st.rng.state), advanced(before, 40 * 102));
  EXPECT_EQ(g.cc.text(), "");
}

TEST(BreedingTest, SameValuesOnAnyThreadCount) {
  for (const std::string& par : {qmtest::small_par(), two_trait_par()}) {
    generation one(par, 1), three(par, 3);
    for (generation* g : {&one, &three}) {
      if (g->a.ntrait == 2) g->residual({1.0f, 0.3f, 0.3f, 2.0f});
      g->compute();
    }
    EXPECT_EQ(one.pop.tbv, three.pop.tbv);
    EXPECT_EQ(one.pop.phenotype, three.pop.phenotype);
    EXPECT_EQ(one.s.st.rng.state, three.s.st.rng.state);
  }
}

// A trait without residual (h2 = 1): the factor has a zero column, the
// phenotype equals the breeding value, and nothing is reported.
TEST(BreedingTest, TraitWithoutResidualHasPhenotypeEqualToValue) {
  generation g(two_trait_par());
  g.residual({1.0f, 0.0f, 0.0f, 0.0f});
  g.compute();
  EXPECT_EQ(g.cc.text(), "");
  for (int i = 1; i <= g.pop.nind; ++i) {
    EXPECT_EQ(g.pop.phenotype_of(i, 2), g.pop.tbv_of(i, 2)) << i;
    EXPECT_TRUE(std::isfinite(g.pop.phenotype_of(i, 1))) << i;
  }
  // Trait 1 still has its residual: some phenotypes differ from the values.
  int differ = 0;
  for (int i = 1; i <= g.pop.nind; ++i) differ += g.pop.phenotype_of(i, 1) != g.pop.tbv_of(i, 1);
  EXPECT_GT(differ, g.pop.nind / 2);
}

// A value that is not a finite number never reaches a file: the run stops.
TEST(BreedingTest, NonFiniteValuesStop) {
  generation g(two_trait_par());
  g.residual({1.0f, 0.0f, 0.0f, 1.0f});
  g.a.effect(1, 2) = std::numeric_limits<double>::infinity();
  EXPECT_THROW(g.compute(), qm::run_stop);
  EXPECT_NE(g.cc.text().find("is not a finite number"), std::string::npos) << g.cc.text();
}
