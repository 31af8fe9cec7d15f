// The multi-trait animal model: dense solves of the same equations with
// missing records, uncorrelated traits as separate single-trait solves,
// threads, the block preconditioner against Jacobi, and warm starts.
#include "ebv/multi_trait_model.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "base/messages.hpp"
#include "ebv/animal_model.hpp"
#include "pedigree/inbreeding.hpp"
#include "pedigree/random_pedigree.hpp"
#include "support.hpp"

namespace {

constexpr double missing = std::numeric_limits<double>::quiet_NaN();

struct data {
  int32_t traits = 1;
  std::vector<int32_t> animal;
  std::vector<double> y;
  qm::trait_records rec() const { return {traits, animal, y}; }
};

qm::sym_csr ainv_of(const qmtest::pedigree& p) {
  return qm::ainverse(p.sire, p.dam, qm::inbreeding(p.sire, p.dam));
}

Eigen::MatrixXd as_matrix(const std::vector<double>& m, int t) { return Eigen::Map<const Eigen::MatrixXd>(m.data(), t, t); }

// True values a ~ N(0, A (x) G0) down the pedigree (Mendelian sampling
// scaled by the inbreeding of the parents), records mu_t + a + e with
// e ~ N(0, R0). pattern(k) gives the recorded traits of animal k + 1 as a
// bit mask (0: no row at all).
template <class Pattern>
data simulate(const qmtest::pedigree& p, const std::vector<double>& g0, const std::vector<double>& r0, uint32_t seed,
              Pattern pattern) {
  const int t = static_cast<int>(std::lround(std::sqrt(static_cast<double>(g0.size()))));
  std::mt19937 rng(seed);
  std::normal_distribution<double> nd;
  const Eigen::MatrixXd lg = as_matrix(g0, t).llt().matrixL(), lr = as_matrix(r0, t).llt().matrixL();
  const std::vector<double> f = qm::inbreeding(p.sire, p.dam);
  Eigen::MatrixXd a(t, p.size());
  data d;
  d.traits = t;
  for (int32_t k = 0; k < p.size(); ++k) {
    const int32_t s = p.sire[static_cast<size_t>(k)], m = p.dam[static_cast<size_t>(k)];
    const double fs = s ? f[static_cast<size_t>(s) - 1] : -1.0, fd = m ? f[static_cast<size_t>(m) - 1] : -1.0;
    Eigen::VectorXd z(t), w(t);
    for (int i = 0; i < t; ++i) z(i) = nd(rng), w(i) = nd(rng);
    Eigen::VectorXd pa = Eigen::VectorXd::Zero(t);
    if (s) pa += 0.5 * a.col(s - 1);
    if (m) pa += 0.5 * a.col(m - 1);
    a.col(k) = pa + std::sqrt(0.5 - 0.25 * (fs + fd)) * (lg * z);
    const unsigned mask = pattern(k);
    if (mask == 0) continue;
    const Eigen::VectorXd e = lr * w;
    d.animal.push_back(k + 1);
    for (int i = 0; i < t; ++i) d.y.push_back((mask >> i) & 1u ? 5.0 * (i + 1) + a(i, k) + e(i) : missing);
  }
  return d;
}

// The mixed-model equations written out densely from the tabular A and the
// definition of R_i (R0 restricted to the recorded traits), solved directly.
Eigen::VectorXd dense_solution(const qmtest::pedigree& p, const data& d, const std::vector<double>& g0,
                               const std::vector<double>& r0) {
  const int t = d.traits, n = p.size(), dim = t * (n + 1);
  Eigen::MatrixXd c = Eigen::MatrixXd::Zero(dim, dim);
  Eigen::VectorXd rhs = Eigen::VectorXd::Zero(dim);
  const Eigen::MatrixXd r = as_matrix(r0, t);
  for (size_t row = 0; row < d.animal.size(); ++row) {
    std::vector<int> s;
    for (int i = 0; i < t; ++i)
      if (!std::isnan(d.y[row * static_cast<size_t>(t) + static_cast<size_t>(i)])) s.push_back(i);
    if (s.empty()) continue;
    const int k = static_cast<int>(s.size());
    Eigen::MatrixXd sub(k, k);
    Eigen::VectorXd ys(k);
    for (int i = 0; i < k; ++i) {
      ys(i) = d.y[row * static_cast<size_t>(t) + static_cast<size_t>(s[static_cast<size_t>(i)])];
      for (int j = 0; j < k; ++j) sub(i, j) = r(s[static_cast<size_t>(i)], s[static_cast<size_t>(j)]);
    }
    // Incidence of the record vector: rows of the recorded traits, onto mu and a_i.
    Eigen::MatrixXd z = Eigen::MatrixXd::Zero(k, dim);
    const int base = t * d.animal[row];
    for (int i = 0; i < k; ++i) {
      z(i, s[static_cast<size_t>(i)]) = 1.0;
      z(i, base + s[static_cast<size_t>(i)]) = 1.0;
    }
    const Eigen::MatrixXd ri = sub.inverse();
    c += z.transpose() * ri * z;
    rhs += z.transpose() * ri * ys;
  }
  const Eigen::MatrixXd ainv = qmtest::tabular_a(p).inverse();
  const Eigen::MatrixXd ginv = as_matrix(g0, t).inverse();
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) c.block(t * (i + 1), t * (j + 1), t, t) += ainv(i, j) * ginv;
  return c.ldlt().solve(rhs);
}

const std::vector<double> g3 = {1.0, 0.5, -0.3, 0.5, 2.0, 0.4, -0.3, 0.4, 0.8};
const std::vector<double> r3 = {2.0, 0.9, 0.2, 0.9, 3.0, -0.6, 0.2, -0.6, 1.5};

}  // namespace

TEST(MultiTraitModelTest, DenseSolveWithMissingRecords) {
  const qmtest::pedigree p = qmtest::random_pedigree(160, 10, 25, 3);
  // Every pattern of three traits, animals without a row, and a row with no record.
  const data d = simulate(p, g3, r3, 11, [](int32_t k) { return k == 40 ? 8u : static_cast<unsigned>(k % 9) & 7u; });
  const Eigen::VectorXd want = dense_solution(p, d, g3, r3);
  const qm::sym_csr ai = ainv_of(p);
  for (const qm::block_choice pre : {qm::block_choice::blocks, qm::block_choice::diagonal}) {
    const qm::multi_trait_solution s = qm::solve_multi_trait_model(ai, g3, r3, d.rec(), {}, {}, pre);
    EXPECT_TRUE(s.stats.converged);
    ASSERT_EQ(s.x.size(), static_cast<size_t>(want.size()));
    for (size_t k = 0; k < s.x.size(); ++k)
      ASSERT_NEAR(s.x[k], want(static_cast<int>(k)), 1e-6 * (1.0 + std::abs(want(static_cast<int>(k))))) << k;
    EXPECT_EQ(s.ebv(99, 2), s.x[3 * 100 + 2]);
  }
  // Only females recorded for trait 3 (a sex-limited trait): every other animal lacks it.
  const data sl = simulate(p, g3, r3, 12, [](int32_t k) { return k % 2 ? 3u : 7u; });
  const Eigen::VectorXd want2 = dense_solution(p, sl, g3, r3);
  const qm::multi_trait_solution s2 = qm::solve_multi_trait_model(ai, g3, r3, sl.rec(), {}, {});
  for (size_t k = 0; k < s2.x.size(); ++k)
    ASSERT_NEAR(s2.x[k], want2(static_cast<int>(k)), 1e-6 * (1.0 + std::abs(want2(static_cast<int>(k))))) << k;
}

TEST(MultiTraitModelTest, UncorrelatedTraitsAreSeparateSolves) {
  const qmtest::pedigree p = qmtest::random_pedigree(400, 20, 40, 8);
  const std::vector<double> g0 = {0.6, 0.0, 0.0, 2.5}, r0 = {1.4, 0.0, 0.0, 1.5};
  const data d = simulate(p, g0, r0, 5, [](int32_t k) { return k % 7 == 0 ? 0u : 3u; });
  qm::pcg_options tight;
  tight.tol = 1e-13;
  const qm::sym_csr ai = ainv_of(p);
  const qm::multi_trait_solution joint = qm::solve_multi_trait_model(ai, g0, r0, d.rec(), {}, tight);
  EXPECT_TRUE(joint.stats.converged);
  for (int t = 0; t < 2; ++t) {
    std::vector<double> y;
    for (size_t r = 0; r < d.animal.size(); ++r) y.push_back(d.y[2 * r + static_cast<size_t>(t)]);
    const double lambda = r0[static_cast<size_t>(3 * t)] / g0[static_cast<size_t>(3 * t)];
    const qm::animal_model_solution one = qm::solve_animal_model(ai, lambda, {d.animal, y, {}, 1}, {}, tight);
    EXPECT_NEAR(joint.mean(t), one.x[0], 1e-8);
    for (int32_t k = 0; k < p.size(); ++k) ASSERT_NEAR(joint.ebv(k, t), one.ebv()[static_cast<size_t>(k)], 1e-8) << t << " " << k;
  }
}

TEST(MultiTraitModelTest, SameBitsForAnyThreadCountAndBlocksBeatJacobi) {
  const qmtest::pedigree p = qmtest::generations(5, 2000, 9);  // 3 blocks of animals
  const std::vector<double> g0 = {1.0, 0.8, 0.8, 1.0}, r0 = {1.0, 0.7, 0.7, 1.5};  // strongly correlated
  const data d = simulate(p, g0, r0, 4, [](int32_t k) { return k % 2 ? 1u : 3u; });
  const qm::sym_csr ai = ainv_of(p);
  qm::pcg_options opt;
  const qm::multi_trait_solution one = qm::solve_multi_trait_model(ai, g0, r0, d.rec(), {}, opt);
  opt.threads = 2;
  const qm::multi_trait_solution two = qm::solve_multi_trait_model(ai, g0, r0, d.rec(), {}, opt);
  EXPECT_TRUE(one.stats.converged);
  EXPECT_EQ(one.stats.iterations, two.stats.iterations);
  EXPECT_EQ(one.x, two.x);
  const qm::multi_trait_solution jacobi =
      qm::solve_multi_trait_model(ai, g0, r0, d.rec(), {}, opt, qm::block_choice::diagonal);
  EXPECT_TRUE(jacobi.stats.converged);
  EXPECT_LE(one.stats.iterations, jacobi.stats.iterations);
  std::printf("pedigree, 10,000 animals, 2 traits: %d iterations with blocks, %d with Jacobi\n", one.stats.iterations,
              jacobi.stats.iterations);
}

TEST(MultiTraitModelTest, WarmStartByParentAverage) {
  const qmtest::pedigree p = qmtest::generations(6, 800, 6);
  const data all = simulate(p, g3, r3, 7, [](int32_t k) { return k % 3 ? 7u : 5u; });
  const int32_t old = 4000;
  data before;
  before.traits = 3;
  for (size_t r = 0; r < all.animal.size(); ++r)
    if (all.animal[r] <= old) {
      before.animal.push_back(all.animal[r]);
      before.y.insert(before.y.end(), all.y.begin() + static_cast<std::ptrdiff_t>(3 * r),
                      all.y.begin() + static_cast<std::ptrdiff_t>(3 * r + 3));
    }
  const qmtest::pedigree q{std::vector<int32_t>(p.sire.begin(), p.sire.begin() + old),
                           std::vector<int32_t>(p.dam.begin(), p.dam.begin() + old)};
  const qm::multi_trait_solution prev = qm::solve_multi_trait_model(ainv_of(q), g3, r3, before.rec(), {}, {});
  ASSERT_TRUE(prev.stats.converged);
  const qm::sym_csr ai = ainv_of(p);
  const std::vector<double> start = qm::extend_trait_start(prev.x, 3, p.sire, p.dam);
  const qm::multi_trait_solution cold = qm::solve_multi_trait_model(ai, g3, r3, all.rec(), {}, {});
  const qm::multi_trait_solution warm = qm::solve_multi_trait_model(ai, g3, r3, all.rec(), start, {});
  EXPECT_TRUE(warm.stats.converged);
  EXPECT_LT(warm.stats.iterations, cold.stats.iterations);
  for (size_t k = 0; k < cold.x.size(); ++k) ASSERT_NEAR(warm.x[k], cold.x[k], 1e-6) << k;
  const int32_t k = old + 17;  // animal k + 1
  const int32_t s = p.sire[static_cast<size_t>(k)], dm = p.dam[static_cast<size_t>(k)];
  for (int t = 0; t < 3; ++t)
    EXPECT_EQ(start[static_cast<size_t>(3 * (k + 1) + t)],
              0.5 * ((s ? prev.ebv(s - 1, t) : 0.0) + (dm ? prev.ebv(dm - 1, t) : 0.0)));
}

TEST(MultiTraitModelTest, RejectsWhatCannotBeSolved) {
  qmtest::console_capture cc;
  const qmtest::pedigree p = qmtest::random_pedigree(30, 5, 10, 1);
  const qm::sym_csr ai = ainv_of(p);
  const std::vector<double> g0 = {1.0, 0.2, 0.2, 1.0}, r0 = {1.0, 0.0, 0.0, 1.0};
  data d = simulate(p, g0, r0, 1, [](int32_t) { return 1u; });  // trait 2 never recorded
  EXPECT_THROW(qm::solve_multi_trait_model(ai, g0, r0, d.rec(), {}, {}), qm::run_stop);
  d = simulate(p, g0, r0, 1, [](int32_t) { return 3u; });
  const std::vector<double> not_pd = {1.0, 2.0, 2.0, 1.0}, not_sym = {1.0, 0.2, 0.3, 1.0};
  EXPECT_THROW(qm::solve_multi_trait_model(ai, not_pd, r0, d.rec(), {}, {}), qm::run_stop);
  EXPECT_THROW(qm::solve_multi_trait_model(ai, g0, not_sym, d.rec(), {}, {}), qm::run_stop);
  // Halves that differ by rounding only are taken as symmetric (the lower one is read).
  const std::vector<double> rounded = {1.0, 0.2, 0.2 * (1.0 + 1e-14), 1.0};
  EXPECT_EQ(qm::solve_multi_trait_model(ai, rounded, r0, d.rec(), {}, {}).x,
            qm::solve_multi_trait_model(ai, g0, r0, d.rec(), {}, {}).x);
  data twice = d;
  twice.animal[1] = twice.animal[0];
  EXPECT_THROW(qm::solve_multi_trait_model(ai, g0, r0, twice.rec(), {}, {}), qm::run_stop);
}
