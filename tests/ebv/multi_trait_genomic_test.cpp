// Multi-trait SNP-BLUP: a dense solve of the same equations with missing
// records, uncorrelated traits as separate single-trait solves, threads, the
// block preconditioner against Jacobi, and the GEBVs of candidates.
#include "ebv/multi_trait_genomic.hpp"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "base/messages.hpp"
#include "support.hpp"

namespace {

constexpr double missing = std::numeric_limits<double>::quiet_NaN();

struct sample {
  int64_t n = 0, m = 0;
  int t = 1;
  std::vector<uint8_t> x;  // n x m dosages, row-major
  std::vector<double> y;   // n x t records, NaN missing
};

Eigen::MatrixXd as_matrix(const std::vector<double>& m, int t) { return Eigen::Map<const Eigen::MatrixXd>(m.data(), t, t); }

// Dosages from per-marker frequencies (one marker monomorphic), records of
// t traits from 15 causal markers with correlated effects plus correlated
// noise; pattern(i) gives the recorded traits of animal i as a bit mask.
template <class Pattern>
sample make_sample(int64_t n, int64_t m, const std::vector<double>& g0, const std::vector<double>& r0, uint32_t seed,
                   Pattern pattern) {
  const int t = static_cast<int>(std::lround(std::sqrt(static_cast<double>(g0.size()))));
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::normal_distribution<double> nd;
  std::vector<double> p(static_cast<size_t>(m));
  for (auto& v : p) v = 0.05 + 0.9 * u(rng);
  p[2] = 1.0;
  sample s{n, m, t, std::vector<uint8_t>(static_cast<size_t>(n * m)), {}};
  for (int64_t i = 0; i < n; ++i)
    for (int64_t j = 0; j < m; ++j)
      s.x[static_cast<size_t>(i * m + j)] =
          static_cast<uint8_t>((u(rng) < p[static_cast<size_t>(j)]) + (u(rng) < p[static_cast<size_t>(j)]));
  const Eigen::MatrixXd lg = as_matrix(g0, t).llt().matrixL(), lr = as_matrix(r0, t).llt().matrixL();
  Eigen::MatrixXd eff = Eigen::MatrixXd::Zero(t, m);
  for (int q = 0; q < 15; ++q) {
    Eigen::VectorXd z(t);
    for (int c = 0; c < t; ++c) z(c) = nd(rng);
    eff.col(rng() % static_cast<uint32_t>(m)) = 0.3 * (lg * z);
  }
  for (int64_t i = 0; i < n; ++i) {
    Eigen::VectorXd g = Eigen::VectorXd::Zero(t), w(t);
    for (int64_t j = 0; j < m; ++j) g += s.x[static_cast<size_t>(i * m + j)] * eff.col(j);
    for (int c = 0; c < t; ++c) w(c) = nd(rng);
    const Eigen::VectorXd e = lr * w;
    const unsigned mask = pattern(i);
    for (int c = 0; c < t; ++c) s.y.push_back((mask >> c) & 1u ? 3.0 * (c + 1) + g(c) + e(c) : missing);
  }
  return s;
}

std::vector<double> centres(const sample& s) {
  std::vector<double> c(static_cast<size_t>(s.m), 0.0);
  for (int64_t j = 0; j < s.m; ++j) {
    for (int64_t i = 0; i < s.n; ++i) c[static_cast<size_t>(j)] += s.x[static_cast<size_t>(i * s.m + j)];
    c[static_cast<size_t>(j)] /= static_cast<double>(s.n);
  }
  return c;
}

// The equations written out densely: for each animal the incidence of its
// recorded traits on mu and on every marker effect, R_i = R0 restricted.
Eigen::VectorXd dense_solution(const sample& s, const std::vector<double>& c, const std::vector<double>& g0,
                               const std::vector<double>& r0) {
  const int t = s.t, m = static_cast<int>(s.m), dim = t * (m + 1);
  const Eigen::MatrixXd r = as_matrix(r0, t);
  double k = 0.0;
  for (const double v : c) k += 2.0 * (v / 2.0) * (1.0 - v / 2.0);
  Eigen::MatrixXd lhs = Eigen::MatrixXd::Zero(dim, dim);
  Eigen::VectorXd rhs = Eigen::VectorXd::Zero(dim);
  for (int64_t i = 0; i < s.n; ++i) {
    std::vector<int> rec;
    for (int q = 0; q < t; ++q)
      if (!std::isnan(s.y[static_cast<size_t>(i * t + q)])) rec.push_back(q);
    if (rec.empty()) continue;
    const int nr = static_cast<int>(rec.size());
    Eigen::MatrixXd x = Eigen::MatrixXd::Zero(nr, dim), sub(nr, nr);
    Eigen::VectorXd yi(nr);
    for (int a = 0; a < nr; ++a) {
      const int q = rec[static_cast<size_t>(a)];
      yi(a) = s.y[static_cast<size_t>(i * t + q)];
      x(a, q) = 1.0;
      for (int j = 0; j < m; ++j) x(a, t * (j + 1) + q) = s.x[static_cast<size_t>(i * s.m + j)] - c[static_cast<size_t>(j)];
      for (int b = 0; b < nr; ++b) sub(a, b) = r(q, rec[static_cast<size_t>(b)]);
    }
    const Eigen::MatrixXd ri = sub.inverse();
    lhs += x.transpose() * ri * x;
    rhs += x.transpose() * ri * yi;
  }
  const Eigen::MatrixXd pen = k * as_matrix(g0, t).inverse();
  for (int j = 0; j < m; ++j) lhs.block(t * (j + 1), t * (j + 1), t, t) += pen;
  return lhs.ldlt().solve(rhs);
}

const std::vector<double> g3 = {1.0, 0.5, -0.3, 0.5, 2.0, 0.4, -0.3, 0.4, 0.8};
const std::vector<double> r3 = {2.0, 0.9, 0.2, 0.9, 3.0, -0.6, 0.2, -0.6, 1.5};

}  // namespace

TEST(MultiTraitGenomicTest, DenseSolveWithMissingRecords) {
  // Every pattern of three traits, a row without any record among them.
  const sample s = make_sample(150, 45, g3, r3, 4, [](int64_t i) { return static_cast<unsigned>(i % 8); });
  const qm::packed_genotypes g = qm::pack_genotypes(s.x.data(), s.n, s.m);
  const std::vector<double> c = centres(s);
  const Eigen::VectorXd want = dense_solution(s, c, g3, r3);
  for (const qm::block_choice pre : {qm::block_choice::blocks, qm::block_choice::diagonal}) {
    const qm::multi_trait_snp_solution sol = qm::multi_trait_snp_blup(g, s.y, 3, c, g3, r3, {}, {}, pre);
    EXPECT_TRUE(sol.stats.converged);
    ASSERT_EQ(sol.x.size(), static_cast<size_t>(want.size()));
    for (size_t k = 0; k < sol.x.size(); ++k)
      ASSERT_NEAR(sol.x[k], want(static_cast<int>(k)), 1e-6 * (1.0 + std::abs(want(static_cast<int>(k))))) << k;
  }
  // Trait 2 recorded on every other animal only (one sex).
  const sample h = make_sample(120, 30, g3, r3, 5, [](int64_t i) { return i % 2 ? 5u : 7u; });
  const qm::packed_genotypes gh = qm::pack_genotypes(h.x.data(), h.n, h.m);
  const std::vector<double> ch = centres(h);
  const Eigen::VectorXd want2 = dense_solution(h, ch, g3, r3);
  const qm::multi_trait_snp_solution s2 = qm::multi_trait_snp_blup(gh, h.y, 3, ch, g3, r3, {}, {});
  for (size_t k = 0; k < s2.x.size(); ++k)
    ASSERT_NEAR(s2.x[k], want2(static_cast<int>(k)), 1e-6 * (1.0 + std::abs(want2(static_cast<int>(k))))) << k;

  // GEBVs of other animals: their centred dosages times the effects.
  const sample cand = make_sample(9, 30, g3, r3, 6, [](int64_t) { return 7u; });
  const qm::packed_genotypes gc = qm::pack_genotypes(cand.x.data(), cand.n, cand.m, false);
  const std::vector<double> gebv = qm::multi_trait_gebv(gc, s2, 1);
  for (int t = 0; t < 3; ++t)
    for (int64_t i = 0; i < cand.n; ++i) {
      double v = 0.0;
      for (int64_t j = 0; j < cand.m; ++j)
        v += (cand.x[static_cast<size_t>(i * cand.m + j)] - ch[static_cast<size_t>(j)]) * want2(3 * static_cast<int>(j + 1) + t);
      EXPECT_NEAR(gebv[static_cast<size_t>(t * cand.n + i)], v, 1e-6);
    }
}

TEST(MultiTraitGenomicTest, UncorrelatedTraitsAreSeparateSolves) {
  const std::vector<double> g0 = {0.5, 0.0, 0.0, 1.5}, r0 = {2.0, 0.0, 0.0, 1.0};
  const sample s = make_sample(300, 80, g0, r0, 9, [](int64_t) { return 3u; });
  const qm::packed_genotypes g = qm::pack_genotypes(s.x.data(), s.n, s.m);
  const std::vector<double> c = centres(s);
  qm::pcg_options tight;
  tight.tol = 1e-13;
  const qm::multi_trait_snp_solution joint = qm::multi_trait_snp_blup(g, s.y, 2, c, g0, r0, {}, tight);
  EXPECT_TRUE(joint.stats.converged);
  for (int t = 0; t < 2; ++t) {
    std::vector<double> y;
    for (int64_t i = 0; i < s.n; ++i) y.push_back(s.y[static_cast<size_t>(2 * i + t)]);
    const double lambda = joint.k * r0[static_cast<size_t>(3 * t)] / g0[static_cast<size_t>(3 * t)];
    const qm::snp_blup_solution one = qm::snp_blup_solve(g, y, c, lambda, {}, tight);
    EXPECT_NEAR(joint.mean(t), one.mu, 1e-8);
    for (int64_t j = 0; j < s.m; ++j) ASSERT_NEAR(joint.effect(j, t), one.effects[static_cast<size_t>(j)], 1e-8) << t << " " << j;
  }
}

TEST(MultiTraitGenomicTest, SameBitsForAnyThreadCountAndBlocksBeatJacobi) {
  const std::vector<double> g0 = {1.0, 0.8, 0.8, 1.0}, r0 = {1.0, 0.7, 0.7, 1.5};
  const sample s = make_sample(1100, 700, g0, r0, 3, [](int64_t i) { return i % 2 ? 1u : 3u; });  // several parts
  const qm::packed_genotypes g = qm::pack_genotypes(s.x.data(), s.n, s.m);
  const std::vector<double> c = centres(s);
  qm::pcg_options opt;
  const qm::multi_trait_snp_solution one = qm::multi_trait_snp_blup(g, s.y, 2, c, g0, r0, {}, opt);
  opt.threads = 2;
  const qm::multi_trait_snp_solution two = qm::multi_trait_snp_blup(g, s.y, 2, c, g0, r0, {}, opt);
  EXPECT_TRUE(one.stats.converged);
  EXPECT_EQ(one.stats.iterations, two.stats.iterations);
  EXPECT_EQ(one.x, two.x);
  const qm::multi_trait_snp_solution jacobi =
      qm::multi_trait_snp_blup(g, s.y, 2, c, g0, r0, {}, opt, qm::block_choice::diagonal);
  EXPECT_TRUE(jacobi.stats.converged);
  EXPECT_LE(one.stats.iterations, jacobi.stats.iterations);
  std::printf("SNP-BLUP, 1100 animals x 700 markers, 2 traits: %d iterations with blocks, %d with Jacobi\n",
              one.stats.iterations, jacobi.stats.iterations);
  // A warm start at the solution stops at once.
  const qm::multi_trait_snp_solution again = qm::multi_trait_snp_blup(g, s.y, 2, c, g0, r0, one.x, opt);
  EXPECT_LE(again.stats.iterations, 1);
}

TEST(MultiTraitGenomicTest, RejectsWhatCannotBeSolved) {
  qmtest::console_capture cc;
  const std::vector<double> g0 = {1.0, 0.2, 0.2, 1.0}, r0 = {1.0, 0.0, 0.0, 1.0};
  const sample s = make_sample(20, 10, g0, r0, 1, [](int64_t) { return 1u; });  // trait 2 never recorded
  const qm::packed_genotypes g = qm::pack_genotypes(s.x.data(), s.n, s.m);
  const std::vector<double> c = centres(s);
  EXPECT_THROW(qm::multi_trait_snp_blup(g, s.y, 2, c, g0, r0, {}, {}), qm::run_stop);
  const std::vector<double> few(s.y.begin(), s.y.end() - 1);
  EXPECT_THROW(qm::multi_trait_snp_blup(g, few, 2, c, g0, r0, {}, {}), qm::run_stop);
  const std::vector<double> flat(static_cast<size_t>(s.m), 0.0);
  const sample full = make_sample(20, 10, g0, r0, 1, [](int64_t) { return 3u; });
  EXPECT_THROW(qm::multi_trait_snp_blup(g, full.y, 2, flat, g0, r0, {}, {}), qm::run_stop);  // nothing segregates
}
