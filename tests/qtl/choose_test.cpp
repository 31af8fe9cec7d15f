#include "qtl/choose.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "base/messages.hpp"
#include "qtl/genetic_parameters.hpp"
#include "support.hpp"

namespace {

// 40 individuals (80 haplotypes) and 40 candidate loci, all fixed for allele 1.
struct setup {
  qmtest::tempdir td;
  qmtest::console_capture cc;
  qmtest::run_setup s;
  qm::population& pop;
  explicit setup(const std::string& par) : s(par), pop(s.st.pop) {
    std::fill(pop.candidate_alleles.top.begin(), pop.candidate_alleles.top.end(), int16_t{1});
  }
  // Allele 2 on c haplotypes of locus l (1-based), spread over the population.
  void segregate(int l, int c) {
    pop.candidate_alleles.top[l - 1] = 2;
    for (int k = 0; k < c; ++k) pop.candidates.at(l - 1, (k * 7 + l) % 80) = 2;
  }
  qm::trait_architecture choose() { return qm::choose_qtl(s.params, pop, s.st.rng); }
};

// Additive variance of trait t: sum of effect^2 * 2p(1 - p), p counted afresh.
double additive_variance(const qm::population& pop, const qm::trait_architecture& a, int t) {
  double v = 0.0;
  for (int q = 1; q <= a.nqtl(); ++q) {
    int c = 0;
    for (int h = 0; h < 80; ++h) c += pop.candidates.at(a.qtl_locus[q - 1] - 1, h) == 1;
    const double f = c / 80.0;
    v += a.effect(q, t) * a.effect(q, t) * 2.0 * f * (1.0 - f);
  }
  return v;
}

}  // namespace

TEST(GetqtlTest, RecodesSegregatingLociAndTakesThemAll) {
  setup f(qmtest::set_record(qmtest::small_par(), 14, "0 3 1.0 1.0"));
  qm::population& pop = f.pop;
  // Locus 5: alleles 1, 2, 3 at frequencies 0.2, 0.45, 0.35.
  pop.candidate_alleles.top[4] = 3;
  for (int h = 1; h <= 80; ++h) pop.candidates.at(4, h - 1) = h <= 16 ? 1 : h <= 52 ? 2 : 3;
  // Locus 6: every haplotype carries allele 2.
  pop.candidate_alleles.top[5] = 2;
  for (int h = 1; h <= 80; ++h) pop.candidates.at(5, h - 1) = 2;
  // Locus 9: alleles 1 and 2 at 0.625 and 0.375, a tie broken towards allele 2.
  for (int h = 1; h <= 30; ++h) pop.candidates.at(8, h - 1) = 2;
  pop.candidate_alleles.top[8] = 2;
  f.segregate(31, 12);

  ASSERT_TRUE(qm::msg_open_log("log.txt"));
  const qm::trait_architecture a = f.choose();
  qm::msg_close_log();

  for (int h = 1; h <= 80; ++h) {
    EXPECT_EQ(pop.candidates.at(4, h - 1), h > 16 && h <= 52 ? 1 : 2) << h;
    EXPECT_EQ(pop.candidates.at(5, h - 1), 2) << h;
    EXPECT_EQ(pop.candidates.at(8, h - 1), h <= 30 ? 1 : 2) << h;
  }
  EXPECT_FLOAT_EQ(qm::qtl_weight(pop.candidates, 5), 0.495f);
  EXPECT_FLOAT_EQ(qm::qtl_weight(pop.candidates, 9), 0.46875f);
  ASSERT_EQ(a.nqtl(), 3);
  EXPECT_EQ(a.ntrait, 1);
  std::vector<int> ids(a.qtl_locus.begin(), a.qtl_locus.end());
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<int>{5, 9, 31}));
  // The text padded to 19 characters, then the count in 5.
  const std::string line = std::string("Total QTL number =") + " " + "    3" + "\n";
  EXPECT_NE(f.cc.text().find(" " + line), std::string::npos) << f.cc.text();
  EXPECT_NE(qmtest::read_file("log.txt").find(line), std::string::npos);
  // One trait: residual variance 1/h2 - 1 and no factor notes.
  ASSERT_EQ(a.residual_covariance.size(), 1u);
  EXPECT_FLOAT_EQ(a.residual_covariance[0], 1.0f / 0.3f - 1.0f);
  EXPECT_FALSE(qmtest::file_exists("Genetic_paramenters.out"));  // written by an observer, not here
}

TEST(GetqtlTest, TooFewSegregatingLociStop) {
  {
    setup f(qmtest::set_record(qmtest::small_par(), 14, "0 3 1.0 1.0"));
    EXPECT_THROW(f.choose(), qm::run_stop);
    EXPECT_NE(f.cc.text().find(" No QTL generated! Task failed!\n"), std::string::npos);
  }
  setup f(qmtest::set_record(qmtest::small_par(), 14, "0 3 1.0 1.0"));
  f.segregate(4, 10);
  f.segregate(17, 40);
  EXPECT_THROW(f.choose(), qm::run_stop);
  EXPECT_NE(f.cc.text().find(" tqtl litter than qtlp1\n"), std::string::npos);
}

TEST(GetqtlTest, UniformOfOneChoosesTheLastCandidate) {
  setup f(qmtest::set_record(qmtest::small_par(), 14, "0 1 1.0 1.0"));
  f.segregate(4, 10);
  f.segregate(11, 20);
  f.segregate(27, 30);
  // The state before 2147483600: the next uniform is exactly 1.0.
  const uint32_t s = qm::mulmod31(2147483600u, qm::jump_multiplier(2147483645ull));
  ASSERT_EQ(qm::next_state(s), 2147483600u);
  f.s.st.rng.state = static_cast<int32_t>(s);
  EXPECT_EQ(f.choose().qtl_locus, std::vector<int32_t>{27});
}

TEST(GetqtlTest, EffectsScaledToTargetVariances) {
  const std::string par = qmtest::set_record(qmtest::small_par(), 14, "0 30 1.0 1.0");
  std::string three = qmtest::set_record(par, 2, "3 0 0.2 0");
  three = qmtest::set_record(three, 4, "0.5 0.5 0.5");
  three = qmtest::set_record(three, 6, "0.1 0.2 0.3");
  three = qmtest::set_record(three, 8, "0.5 0.5 0.5");
  std::string two = qmtest::set_record(par, 2, "2 0 0.2 1");
  two = qmtest::set_record(two, 4, "0");
  two = qmtest::set_record(two, 6, "0.2");
  two = qmtest::set_record(two, 8, "0.5 0.5");
  for (const std::string& text : {par, three, two}) {
    setup f(text);
    for (int l = 1; l <= 40; ++l) f.segregate(l, 2 * l - 1);
    const qm::trait_architecture a = f.choose();
    const int n = f.s.params.ntrait;
    ASSERT_EQ(a.nqtl(), 30);
    for (int t = 1; t <= n; ++t) {
      const double target = n == 1 ? 1.0 : t;
      EXPECT_NEAR(additive_variance(f.pop, a, t), target, 1e-5 * target) << "ntrait " << n << " trait " << t;
    }
    if (n == 1) continue;
    // Residual variances (1/h2 - 1) * t = t with h2 0.5; covariances
    // sqrt(t u) * rerr of the pair; the factor reproduces the matrix.
    auto rc = [&](int i, int j) { return a.residual_covariance[(i - 1) + (j - 1) * n]; };
    for (int t = 1; t <= n; ++t) EXPECT_FLOAT_EQ(rc(t, t), static_cast<float>(t));
    EXPECT_FLOAT_EQ(rc(1, 2), static_cast<float>(std::sqrt(2.0) * (n == 2 ? 0.2 : 0.1)));
    EXPECT_EQ(rc(2, 1), rc(1, 2));
    if (n == 3) {
      EXPECT_FLOAT_EQ(rc(3, 1), static_cast<float>(std::sqrt(3.0) * 0.2));
      EXPECT_FLOAT_EQ(rc(2, 3), static_cast<float>(std::sqrt(6.0) * 0.3));
    }
    for (int i = 1; i <= n; ++i)
      for (int j = 1; j <= i; ++j) {
        double v = 0.0;
        for (int k = 1; k <= j; ++k) v += a.residual_factor[(i - 1) + (k - 1) * n] * a.residual_factor[(j - 1) + (k - 1) * n];
        EXPECT_NEAR(v, rc(i, j), 1e-5) << i << "," << j;
      }
    if (n == 2) {  // no QTL affects both traits: covariance and correlation exactly 0
      qm::write_genetic_parameters(qm::output_folder{}, f.s.params, a, f.pop.candidates);
      EXPECT_NE(qmtest::read_file("Genetic_paramenters.out")
                    .find("matrix:\n      1.0000000\t      0.0000000\t\n      0.0000000\t      2.0000000\t\n"
                          "Realized Additive Correlation matrix:\n      1.0000000\t      0.0000000\t\n"),
                std::string::npos);
    }
  }
}

// The dominance effects: for every trait, then every QTL in order, delta =
// mean + sd z from the run's stream and d = delta |a|; replayed here from
// a copy of the stream. Over many QTL delta has the given mean and SD.
TEST(GetqtlTest, DominanceEffectsDrawnAfterTheScaling) {
  qmtest::tempdir td;
  qmtest::console_capture cc;
  qmtest::run_setup s(qmtest::small_par());
  s.params.ntrait = 2;
  s.params.dominance = {{0.3, 0.2}, {-0.1, 0.5}};
  constexpr int nq = 5000;
  qm::trait_architecture a;
  a.ntrait = 2;
  a.qtl_locus.resize(nq);
  a.effects.resize(2 * nq);
  for (int k = 0; k < 2 * nq; ++k) a.effects[k] = (k % 3 == 0 ? -1.0 : 1.0) * (0.01 + 0.37 * (k % 11));
  qm::random_stream replay = s.st.rng;
  qm::draw_dominance(s.params, a, s.st.rng);
  ASSERT_EQ(a.dominance.size(), 2u * nq);
  for (int t = 1; t <= 2; ++t) {
    const double mean = t == 1 ? 0.3 : -0.1, sd = t == 1 ? 0.2 : 0.5;
    double sum = 0, sum2 = 0;
    for (int q = 1; q <= nq; ++q) {
      const double z = qm::standard_normal(replay);
      EXPECT_EQ(a.dominance_effect(q, t), (mean + sd * z) * std::fabs(a.effect(q, t))) << t << " " << q;
      const double delta = a.dominance_effect(q, t) / std::fabs(a.effect(q, t));
      sum += delta;
      sum2 += delta * delta;
    }
    const double m = sum / nq, v = sum2 / nq - m * m;
    // 4 standard errors: sd / sqrt(n) for the mean, sd^2 sqrt(2 / n) for the variance
    EXPECT_NEAR(m, mean, 4 * sd / std::sqrt(nq)) << t;
    EXPECT_NEAR(v, sd * sd, 4 * sd * sd * std::sqrt(2.0 / nq)) << t;
  }
  EXPECT_EQ(s.st.rng.state, replay.state);

  // Without the key nothing is drawn.
  qm::trait_architecture b = a;
  b.dominance.clear();
  s.params.dominance.clear();
  const int32_t before = s.st.rng.state;
  qm::draw_dominance(s.params, b, s.st.rng);
  EXPECT_TRUE(b.dominance.empty());
  EXPECT_EQ(s.st.rng.state, before);
}

// In the QTL choice: the same QTL and scaled effects with and without the
// key; with it, d = delta |a| of the scaled effects, two uniforms per QTL
// after what the choice draws without it.
TEST(GetqtlTest, DominanceInTheQtlChoice) {
  const std::string par = qmtest::set_record(qmtest::small_par(), 14, "0 30 1.0 1.0");
  setup without(par), with(par);
  with.s.params.dominance = {{0.5, 0.25}};
  for (setup* f : {&without, &with})
    for (int l = 1; l <= 40; ++l) f->segregate(l, 2 * l - 1);
  const qm::trait_architecture a0 = without.choose();
  const qm::trait_architecture a1 = with.choose();
  EXPECT_TRUE(a0.dominance.empty());
  EXPECT_EQ(a1.qtl_locus, a0.qtl_locus);
  EXPECT_EQ(a1.effects, a0.effects);
  EXPECT_NEAR(additive_variance(with.pop, a1, 1), 1.0, 1e-5);  // scaled as without dominance
  ASSERT_EQ(a1.dominance.size(), 30u);
  qm::random_stream replay = without.s.st.rng;
  for (int q = 1; q <= 30; ++q)
    EXPECT_EQ(a1.dominance_effect(q, 1), (0.5 + 0.25 * qm::standard_normal(replay)) * std::fabs(a1.effect(q, 1))) << q;
  EXPECT_EQ(with.s.st.rng.state, replay.state);
  EXPECT_EQ(static_cast<uint32_t>(with.s.st.rng.state),
            qm::mulmod31(static_cast<uint32_t>(without.s.st.rng.state), qm::jump_multiplier(60)));

  // mean 0, sd 0: every d is 0
  setup zero(par);
  zero.s.params.dominance = {{0.0, 0.0}};
  for (int l = 1; l <= 40; ++l) zero.segregate(l, 2 * l - 1);
  const qm::trait_architecture az = zero.choose();
  ASSERT_EQ(az.dominance.size(), 30u);
  for (double d : az.dominance) EXPECT_EQ(d, 0.0);
}
