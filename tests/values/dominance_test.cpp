#include "values/dominance.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "base/invariant_error.hpp"
#include "support.hpp"
#include "values/breeding_values.hpp"

namespace {

// The breeding values of the three genotypes of a QTL found the long way:
// the least-squares regression of the genotypic value on the copies of
// allele 2, weighted by the Hardy-Weinberg frequencies q^2, 2pq, p^2. The
// fitted values are the breeding values (with the mean), the residuals the
// dominance deviations.
void regression_values(double a, double d, double p, double bv[3]) {
  const double q = 1.0 - p;
  const double w[3] = {q * q, 2 * p * q, p * p};
  const double g[3] = {-a, d, a};
  double sw = 0, sx = 0, sxx = 0, sy = 0, sxy = 0;
  for (int n = 0; n <= 2; ++n) {
    sw += w[n];
    sx += w[n] * n;
    sxx += w[n] * n * n;
    sy += w[n] * g[n];
    sxy += w[n] * n * g[n];
  }
  const double slope = (sw * sxy - sx * sy) / (sw * sxx - sx * sx);
  const double intercept = (sy - slope * sx) / sw;
  for (int n = 0; n <= 2; ++n) bv[n] = intercept + slope * n;
}

// 24 animals, 9 candidate loci; QTL at loci 2, 5, 7 and 9 with hand-picked
// genotypes (allele 2 on haplotypes chosen by a rule that gives every QTL
// its own frequency, and some animals of every genotype).
struct small_generation {
  qmtest::tempdir td;
  qmtest::console_capture cc;
  qmtest::run_setup s;
  qm::population& pop;
  qm::trait_architecture a;
  explicit small_generation(const std::string& par, int threads = 1) : s(par, threads), pop(s.st.pop) {
    pop.nind = 24;
    pop.candidates.resize(9, 48);
    for (int l = 0; l < 9; ++l)
      for (int h = 0; h < 48; ++h) pop.candidates.at(l, h) = static_cast<int8_t>(1 + ((h * (l + 2) + l) % 7 < l % 4 + 2));
    const int n = s.params.ntrait;
    a.ntrait = n;
    a.qtl_locus = {5, 2, 9, 7};
    a.effects.assign(4 * static_cast<size_t>(n), 0.0);
    a.dominance.assign(4 * static_cast<size_t>(n), 0.0);
    const double e[4] = {0.5, -1.25, 2.0, 0.75};
    const double dd[4] = {0.3, 0.9, -0.4, 1.6};  // partial, near complete, negative, overdominance
    for (int t = 1; t <= n; ++t)
      for (int q = 0; q < 4; ++q) {
        a.effects[static_cast<size_t>(t - 1) * 4 + q] = e[q] * t;
        a.dominance[static_cast<size_t>(t - 1) * 4 + q] = dd[q] / t;
      }
  }
  void residual(std::initializer_list<float> cov) {
    a.residual_covariance = cov;
    const int n = a.ntrait;
    a.residual_factor.assign(static_cast<size_t>(n) * n, 0.0f);
    qm::cholesky_factor_semidefinite(a.residual_covariance.data(), n, a.residual_factor.data());
  }
  // Copies of allele 2 of animal i at QTL q, read from the bytes.
  int copies(const qm::haplotype_matrix& m, int i, int q) const {
    const int l = a.qtl_locus[q - 1] - 1;
    return (m.allele(l, 2 * i - 2) == 2) + (m.allele(l, 2 * i - 1) == 2);
  }
  void compute() { qm::compute_values(s.params, a, pop, s.st.rng); }
};

// Expected genotypic and breeding values of every animal and trait, the
// frequencies counted within the blocks [first, last] given.
struct expected_values {
  std::vector<double> gv, bv;  // index (t - 1) * nind + i - 1
};
expected_values expected(const small_generation& g, const std::vector<std::pair<int, int>>& blocks) {
  const int n = g.a.ntrait, nind = g.pop.nind;
  expected_values x;
  x.gv.assign(static_cast<size_t>(n) * nind, 0.0);
  x.bv.assign(static_cast<size_t>(n) * nind, 0.0);
  for (const auto& [first, last] : blocks)
    for (int q = 1; q <= g.a.nqtl(); ++q) {
      int c = 0;
      for (int i = first; i <= last; ++i) c += g.copies(g.pop.candidates, i, q);
      const double p = c / (2.0 * (last - first + 1));
      for (int t = 1; t <= n; ++t) {
        const double a = g.a.effect(q, t), d = g.a.dominance_effect(q, t);
        double bv[3];
        regression_values(a, d, p, bv);
        for (int i = first; i <= last; ++i) {
          const int k = g.copies(g.pop.candidates, i, q);
          x.gv[static_cast<size_t>(t - 1) * nind + i - 1] += k == 0 ? -a : k == 1 ? d : a;
          x.bv[static_cast<size_t>(t - 1) * nind + i - 1] += bv[k];
        }
      }
    }
  return x;
}

void expect_values(const small_generation& g, const expected_values& x, const std::string& what) {
  ASSERT_EQ(g.pop.genotypic.size(), x.gv.size()) << what;
  ASSERT_EQ(g.pop.tbv.size(), x.bv.size()) << what;
  for (size_t k = 0; k < x.gv.size(); ++k) {
    EXPECT_NEAR(g.pop.genotypic[k], x.gv[k], 1e-9) << what << " " << k;
    EXPECT_NEAR(g.pop.tbv[k], x.bv[k], 1e-9) << what << " " << k;
    // the dominance deviation D = GV - TBV
    EXPECT_NEAR(g.pop.genotypic[k] - g.pop.tbv[k], x.gv[k] - x.bv[k], 1e-9) << what << " " << k;
  }
}

std::string two_trait_par() {
  std::string par = qmtest::set_record(qmtest::small_par(), 2, "2 0 0.2 0");
  par = qmtest::set_record(par, 4, "0.3");
  par = qmtest::set_record(par, 6, "0.2");
  return qmtest::set_record(par, 8, "0.3 0.4");
}

uint32_t advanced(uint32_t state, uint64_t uniforms) { return qm::mulmod31(state, qm::jump_multiplier(uniforms)); }

}  // namespace

// The closed forms of the class values against the weighted regression,
// and the textbook properties: mean M under Hardy-Weinberg, d = 0 additive.
TEST(DominanceTest, ClassValuesAreFalconers) {
  for (double p : {0.0, 0.1, 0.37, 0.5, 0.9, 1.0})
    for (double a : {0.0, 1.0, -0.6})
      for (double d : {0.0, 0.4, -1.3}) {
        qm::genotype_class_value v[3];
        qm::genotype_class_values(a, d, p, v);
        EXPECT_EQ(v[0].genotypic, -a);
        EXPECT_EQ(v[1].genotypic, d);
        EXPECT_EQ(v[2].genotypic, a);
        const double q = 1 - p;
        const double hw[3] = {q * q, 2 * p * q, p * p};
        double mean_g = 0, mean_bv = 0, cov_bv_dev = 0;
        for (int n = 0; n <= 2; ++n) {
          mean_g += hw[n] * v[n].genotypic;
          mean_bv += hw[n] * v[n].breeding;
        }
        for (int n = 0; n <= 2; ++n) cov_bv_dev += hw[n] * (v[n].breeding - mean_bv) * (v[n].genotypic - v[n].breeding);
        // Breeding values average to the population mean; D is uncorrelated with them.
        EXPECT_NEAR(mean_bv, mean_g, 1e-12) << p << " " << a << " " << d;
        EXPECT_NEAR(cov_bv_dev, 0.0, 1e-12) << p << " " << a << " " << d;
        if (p > 0 && p < 1) {
          double r[3];
          regression_values(a, d, p, r);
          for (int n = 0; n <= 2; ++n) EXPECT_NEAR(v[n].breeding, r[n], 1e-12) << p << " " << a << " " << d << " " << n;
        }
        if (d == 0) {
          for (int n = 0; n <= 2; ++n) EXPECT_NEAR(v[n].breeding, a * (n - 1), 1e-15) << p << " " << a << " " << n;
        }
      }
}

// GV, TBV and D of every animal against the values recomputed here, in both
// layouts, with one population and with two lines; the residuals are the
// draws of a run without dominance.
TEST(DominanceTest, ValuesOfASmallGenerationInBothLayouts) {
  for (bool packed : {false, true})
    for (bool lines : {false, true}) {
      const std::string what = std::string(packed ? "packed" : "bytes") + (lines ? " lines" : "");
      small_generation g(qmtest::small_par());
      if (lines) {
        g.pop.lines.resize(2);
        g.pop.lines[0].first = 1;
        g.pop.lines[0].animals = 10;
        g.pop.lines[1].first = 11;
        g.pop.lines[1].animals = 14;
      }
      const expected_values x = lines ? expected(g, {{1, 10}, {11, 24}}) : expected(g, {{1, 24}});
      if (packed) qm::pack_haplotypes(g.pop.candidates);
      ASSERT_EQ(g.pop.candidates.packed(), packed);
      qm::random_stream r = g.s.st.rng;
      g.compute();
      expect_values(g, x, what);
      const float sd = std::sqrt(1.0f / 0.3f - 1.0f);
      for (int i = 1; i <= 24; ++i) {
        const float z = static_cast<float>(qm::standard_normal(r));
        EXPECT_EQ(g.pop.phenotype_of(i, 1), g.pop.genotypic[static_cast<size_t>(i - 1)] + static_cast<double>(z * sd))
            << what << " " << i;
      }
      EXPECT_EQ(g.s.st.rng.state, r.state) << what;
    }
}

// The frequencies really are those of each line: the same animals as one
// population give other breeding values (the genotypic values stay).
TEST(DominanceTest, LinesChangeBreedingValuesNotGenotypicValues) {
  small_generation one(qmtest::small_par()), two(qmtest::small_par());
  two.pop.lines.resize(2);
  two.pop.lines[0].animals = 10;
  two.pop.lines[1].first = 11;
  two.pop.lines[1].animals = 14;
  one.compute();
  two.compute();
  EXPECT_EQ(one.pop.genotypic, two.pop.genotypic);
  int differ = 0;
  for (int i = 1; i <= 24; ++i) differ += std::fabs(one.pop.tbv_of(i, 1) - two.pop.tbv_of(i, 1)) > 1e-6;
  EXPECT_GT(differ, 12);
  // Blocks that do not cover the generation in order are a fault of the caller.
  two.pop.lines[1].first = 12;
  EXPECT_THROW(two.compute(), qm::invariant_error);
  two.pop.lines[1].first = 11;
  two.pop.lines[1].animals = 13;
  EXPECT_THROW(two.compute(), qm::invariant_error);
}

// Two traits: each its own effects and tables; the residuals are the
// multivariate draws of the additive run, 102 uniforms per animal.
TEST(DominanceTest, TwoTraitsKeepTheResidualDraws) {
  for (bool packed : {false, true}) {
    small_generation g(two_trait_par());
    g.residual({1.0f, 0.3f, 0.3f, 2.0f});
    const expected_values x = expected(g, {{1, 24}});
    if (packed) qm::pack_haplotypes(g.pop.candidates);
    const uint32_t before = static_cast<uint32_t>(g.s.st.rng.state);
    qm::random_stream r = g.s.st.rng;
    g.compute();
    expect_values(g, x, packed ? "packed" : "bytes");
    for (int i = 1; i <= 24; ++i) {
      float e[2];
      qm::multivariate_normal(r, g.a.residual_covariance.data(), 2, e);
      for (int t = 1; t <= 2; ++t)
        EXPECT_EQ(g.pop.phenotype_of(i, t),
                  g.pop.genotypic[static_cast<size_t>(t - 1) * 24 + i - 1] + static_cast<double>(e[t - 1]))
            << i << " " << t;
    }
    EXPECT_EQ(static_cast<uint32_t>(g.s.st.rng.state), advanced(before, 24 * 102));
  }
}

TEST(DominanceTest, SameValuesOnAnyThreadCount) {
  for (const std::string& par : {qmtest::small_par(), two_trait_par()})
    for (bool packed : {false, true}) {
      small_generation one(par, 1), three(par, 3);
      for (small_generation* g : {&one, &three}) {
        if (g->a.ntrait == 2) g->residual({1.0f, 0.3f, 0.3f, 2.0f});
        g->pop.lines.resize(3);
        g->pop.lines[0].animals = 7;  // odd sizes: parts cross the lines
        g->pop.lines[1].first = 8;
        g->pop.lines[1].animals = 9;
        g->pop.lines[2].first = 17;
        g->pop.lines[2].animals = 8;
        if (packed) qm::pack_haplotypes(g->pop.candidates);
        g->compute();
      }
      EXPECT_EQ(one.pop.tbv, three.pop.tbv);
      EXPECT_EQ(one.pop.genotypic, three.pop.genotypic);
      EXPECT_EQ(one.pop.phenotype, three.pop.phenotype);
      EXPECT_EQ(one.s.st.rng.state, three.s.st.rng.state);
    }
}

// d = 0 on every QTL: the breeding value is the additive sum of x a.
TEST(DominanceTest, NoDominanceGivesTheAdditiveValue) {
  small_generation g(two_trait_par());
  g.residual({1.0f, 0.3f, 0.3f, 2.0f});
  std::fill(g.a.dominance.begin(), g.a.dominance.end(), 0.0);
  g.compute();
  for (int t = 1; t <= 2; ++t)
    for (int i = 1; i <= 24; ++i) {
      double v = 0.0;
      for (int q = 1; q <= 4; ++q) v += (g.copies(g.pop.candidates, i, q) - 1) * g.a.effect(q, t);
      EXPECT_NEAR(g.pop.tbv_of(i, t), v, 1e-12) << i << " " << t;
      EXPECT_NEAR(g.pop.genotypic[static_cast<size_t>(t - 1) * 24 + i - 1], v, 1e-12) << i << " " << t;
    }
}

// A large random-mating population with known allele frequencies (Hardy-
// Weinberg and linkage equilibrium, drawn here): the variance of the
// breeding values is sum 2pq alpha^2, that of the dominance deviations
// sum (2pqd)^2 (Falconer and Mackay, eqs 8.3 and 8.5), and the two are
// uncorrelated. N = 40000 animals; the tolerance is 4 standard errors of
// each sample variance, estimated from the sample's own fourth moment
// ((m4 - m2^2) / N), which is about 1.5% of the variance here.
TEST(DominanceTest, VariancesOfARandomMatingPopulation) {
  qmtest::tempdir td;
  qmtest::console_capture cc;
  qmtest::run_setup s(qmtest::small_par());
  constexpr int N = 40000, K = 60;
  qm::population pop;
  pop.nind = N;
  pop.candidates.resize(K, 2 * N);
  std::mt19937_64 gen(20240611);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::vector<double> p(K), a(K), d(K);
  qm::trait_architecture arch;
  arch.ntrait = 1;
  for (int k = 0; k < K; ++k) {
    p[k] = 0.05 + 0.9 * u(gen);
    a[k] = 0.2 + u(gen);
    d[k] = a[k] * (-0.5 + 2.0 * u(gen));
    arch.qtl_locus.push_back(k + 1);
  }
  arch.effects = a;
  arch.dominance = d;
  for (int h = 0; h < 2 * N; ++h)
    for (int k = 0; k < K; ++k) pop.candidates.at(k, h) = static_cast<int8_t>(u(gen) < p[k] ? 2 : 1);
  qm::pack_haplotypes(pop.candidates);
  qm::compute_values(s.params, arch, pop, s.st.rng);

  double va = 0, vd = 0;
  for (int k = 0; k < K; ++k) {
    const double q = 1 - p[k], alpha = a[k] + d[k] * (q - p[k]);
    va += 2 * p[k] * q * alpha * alpha;
    vd += (2 * p[k] * q * d[k]) * (2 * p[k] * q * d[k]);
  }
  auto moments = [&](auto value, double& m2, double& m4) {
    double mean = 0;
    for (int i = 0; i < N; ++i) mean += value(i);
    mean /= N;
    m2 = m4 = 0;
    for (int i = 0; i < N; ++i) {
      const double e = value(i) - mean;
      m2 += e * e;
      m4 += e * e * e * e;
    }
    m2 /= N;
    m4 /= N;
  };
  double bv2, bv4, dd2, dd4;
  moments([&](int i) { return pop.tbv[i]; }, bv2, bv4);
  moments([&](int i) { return pop.genotypic[i] - pop.tbv[i]; }, dd2, dd4);
  const double se_va = std::sqrt((bv4 - bv2 * bv2) / N), se_vd = std::sqrt((dd4 - dd2 * dd2) / N);
  EXPECT_NEAR(bv2, va, 4 * se_va) << "Va " << va << " se " << se_va;
  EXPECT_NEAR(dd2, vd, 4 * se_vd) << "Vd " << vd << " se " << se_vd;
  EXPECT_GT(vd, 20 * se_vd);  // a test that could tell a missing dominance part
  double cov = 0, mb = 0, md = 0;
  for (int i = 0; i < N; ++i) {
    mb += pop.tbv[i];
    md += pop.genotypic[i] - pop.tbv[i];
  }
  mb /= N;
  md /= N;
  for (int i = 0; i < N; ++i) cov += (pop.tbv[i] - mb) * (pop.genotypic[i] - pop.tbv[i] - md);
  cov /= N;
  EXPECT_NEAR(cov, 0.0, 4 * std::sqrt(bv2 * dd2 / N));
}
