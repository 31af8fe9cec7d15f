// The animal model: Mrode's worked example, dense solves of the same
// equations, threads, and warm starts.
#include "ebv/animal_model.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "base/messages.hpp"
#include "pedigree/inbreeding.hpp"
#include "pedigree/random_pedigree.hpp"
#include "support.hpp"

namespace {

struct data {
  std::vector<int32_t> animal, level;
  std::vector<double> y;
  int32_t nlevels = 1;
  qm::animal_records rec() const { return {animal, y, level, nlevels}; }
};

// The mixed-model equations built densely from the tabular A, solved directly.
Eigen::VectorXd dense_solution(const qmtest::pedigree& p, const data& d, double lambda) {
  const int n = p.size(), k = d.nlevels, dim = k + n;
  Eigen::MatrixXd c = Eigen::MatrixXd::Zero(dim, dim);
  Eigen::VectorXd rhs = Eigen::VectorXd::Zero(dim);
  for (size_t r = 0; r < d.y.size(); ++r) {
    const int l = d.level.empty() ? 0 : d.level[r], a = k + d.animal[r] - 1;
    c(l, l) += 1.0;
    c(l, a) += 1.0;
    c(a, l) += 1.0;
    c(a, a) += 1.0;
    rhs(l) += d.y[r];
    rhs(a) += d.y[r];
  }
  c.bottomRightCorner(n, n) += lambda * qmtest::tabular_a(p).inverse();
  return c.ldlt().solve(rhs);
}

qm::sym_csr ainv_of(const qmtest::pedigree& p) {
  return qm::ainverse(p.sire, p.dam, qm::inbreeding(p.sire, p.dam));
}

// Records on a pedigree: true values down the pedigree, h2 = 0.3; about one
// animal in five without a record, one in ten with two.
data simulate(const qmtest::pedigree& p, int32_t nlevels, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> nd;
  const std::vector<double> f = qm::inbreeding(p.sire, p.dam);
  std::vector<double> a(static_cast<size_t>(p.size()));
  data d;
  d.nlevels = nlevels;
  for (int32_t k = 0; k < p.size(); ++k) {
    const int32_t s = p.sire[static_cast<size_t>(k)], m = p.dam[static_cast<size_t>(k)];
    const double fs = s ? f[static_cast<size_t>(s) - 1] : -1.0, fd = m ? f[static_cast<size_t>(m) - 1] : -1.0;
    const double pa = 0.5 * ((s ? a[static_cast<size_t>(s) - 1] : 0.0) + (m ? a[static_cast<size_t>(m) - 1] : 0.0));
    a[static_cast<size_t>(k)] = pa + std::sqrt(0.3 * (0.5 - 0.25 * (fs + fd))) * nd(rng);
    const uint32_t u = rng() % 10;
    for (uint32_t r = 0; r < (u < 2 ? 0u : u == 9 ? 2u : 1u); ++r) {
      const int32_t l = static_cast<int32_t>(rng() % static_cast<uint32_t>(nlevels));
      d.animal.push_back(k + 1);
      d.level.push_back(l);
      d.y.push_back(10.0 + l + a[static_cast<size_t>(k)] + std::sqrt(0.7) * nd(rng));
    }
  }
  return d;
}

}  // namespace

// Mrode, Linear Models for the Prediction of Animal Breeding Values, example
// 3.1: sex as fixed effect, sigma_a^2 = 20, sigma_e^2 = 40.
TEST(AnimalModelTest, MrodeExample3_1) {
  qmtest::pedigree p;
  for (const auto& [s, d] : std::vector<std::pair<int, int>>{{0, 0}, {0, 0}, {0, 0}, {1, 0}, {3, 2}, {1, 2}, {4, 5}, {3, 6}})
    p.add(s, d);
  data d;
  d.nlevels = 2;  // 0 male, 1 female
  d.animal = {4, 5, 6, 7, 8};
  d.level = {0, 1, 1, 0, 0};
  d.y = {4.5, 2.9, 3.9, 3.5, 5.0};
  const double lambda = 40.0 / 20.0;
  const qm::animal_model_solution s = qm::solve_animal_model(ainv_of(p), lambda, d.rec(), {}, qm::pcg_options{});
  EXPECT_TRUE(s.stats.converged);
  EXPECT_LT(s.stats.true_rel_residual, 1e-9);
  // Males, females, animals 1..8, to the three decimals printed. The male
  // effect (4.35850) lies on the rounding edge of its third decimal.
  const std::vector<double> published = {4.359, 3.404, 0.098, -0.019, -0.041, -0.009, -0.186, 0.177, -0.249, 0.183};
  ASSERT_EQ(s.x.size(), published.size());
  for (size_t k = 0; k < published.size(); ++k) EXPECT_NEAR(s.x[k], published[k], 0.0005 + 1e-12) << "unknown " << k;
  const Eigen::VectorXd direct = dense_solution(p, d, lambda);
  for (size_t k = 0; k < published.size(); ++k) EXPECT_NEAR(s.x[k], direct(static_cast<int>(k)), 1e-6);
  EXPECT_EQ(s.fixed().size(), 2u);
  EXPECT_EQ(s.ebv()[7], s.x[9]);
}

TEST(AnimalModelTest, DenseSolveOfInbredPedigree) {
  const qmtest::pedigree p = qmtest::random_pedigree(300, 10, 25, 21);
  for (const int32_t nlevels : {1, 3}) {
    const data d = simulate(p, nlevels, 8);
    const double lambda = qm::lambda_from_h2(0.3);
    const qm::animal_model_solution s = qm::solve_animal_model(ainv_of(p), lambda, d.rec(), {}, qm::pcg_options{});
    EXPECT_TRUE(s.stats.converged);
    const Eigen::VectorXd direct = dense_solution(p, d, lambda);
    for (size_t k = 0; k < s.x.size(); ++k) ASSERT_NEAR(s.x[k], direct(static_cast<int>(k)), 1e-6) << nlevels << " " << k;
  }
}

TEST(AnimalModelTest, SameBitsForAnyThreadCount) {
  const qmtest::pedigree p = qmtest::generations(6, 2000, 4);  // 3 blocks of animals
  const data d = simulate(p, 2, 5);
  const qm::sym_csr ai = ainv_of(p);
  std::vector<double> first;
  int iters = 0;
  for (const int th : {1, 2, 3}) {
    qm::pcg_options opt;
    opt.threads = th;
    const qm::animal_model_solution s = qm::solve_animal_model(ai, qm::lambda_from_h2(0.3), d.rec(), {}, opt);
    EXPECT_TRUE(s.stats.converged);
    if (th == 1) {
      first = s.x;
      iters = s.stats.iterations;
    } else {
      EXPECT_EQ(s.stats.iterations, iters);
      EXPECT_EQ(s.x, first) << th << " threads";
    }
  }
}

TEST(AnimalModelTest, WarmStartFromPreviousGeneration) {
  // Five generations solved, then a sixth added with its records.
  const qmtest::pedigree p = qmtest::generations(6, 1000, 6);
  const data all = simulate(p, 1, 7);
  const int32_t old = 5000;
  data before;
  for (size_t r = 0; r < all.y.size(); ++r)
    if (all.animal[r] <= old) before.animal.push_back(all.animal[r]), before.level.push_back(0), before.y.push_back(all.y[r]);
  const qmtest::pedigree q{std::vector<int32_t>(p.sire.begin(), p.sire.begin() + old),
                           std::vector<int32_t>(p.dam.begin(), p.dam.begin() + old)};
  const double lambda = qm::lambda_from_h2(0.3);
  const qm::animal_model_solution prev = qm::solve_animal_model(ainv_of(q), lambda, before.rec(), {}, {});
  ASSERT_TRUE(prev.stats.converged);

  const qm::sym_csr ai = ainv_of(p);
  const qm::animal_model_solution cold = qm::solve_animal_model(ai, lambda, all.rec(), {}, {});
  const std::vector<double> start = qm::extend_start(prev.x, 1, p.sire, p.dam);
  const qm::animal_model_solution warm = qm::solve_animal_model(ai, lambda, all.rec(), start, {});
  const qm::animal_model_solution padded = qm::solve_animal_model(ai, lambda, all.rec(), prev.x, {});
  for (const auto* s : {&cold, &warm, &padded}) EXPECT_TRUE(s->stats.converged);
  EXPECT_LT(warm.stats.iterations, cold.stats.iterations);
  EXPECT_LT(padded.stats.iterations, cold.stats.iterations);
  for (size_t k = 0; k < cold.x.size(); ++k) {
    ASSERT_NEAR(warm.x[k], cold.x[k], 1e-6) << k;
    ASSERT_NEAR(padded.x[k], cold.x[k], 1e-6) << k;
  }
  // The parent average of a new animal is the start it was given.
  const int32_t k = old + 10;
  const int32_t s = p.sire[static_cast<size_t>(k) - 1], d = p.dam[static_cast<size_t>(k) - 1];
  EXPECT_EQ(start[static_cast<size_t>(k)], 0.5 * (prev.x[static_cast<size_t>(s)] + prev.x[static_cast<size_t>(d)]));
}

TEST(AnimalModelTest, RejectsEquationsWithoutInformation) {
  qmtest::console_capture cc;
  qmtest::pedigree p;
  p.add(0, 0);
  p.add(0, 0);
  p.add(1, 2);
  const qm::sym_csr ai = ainv_of(p);
  data d;
  d.nlevels = 2;
  d.animal = {3};
  d.level = {0};
  d.y = {1.0};
  EXPECT_THROW(qm::solve_animal_model(ai, 1.0, d.rec(), {}, {}), qm::run_stop);  // level 1 without record
  d.nlevels = 1;
  d.animal = {4};
  EXPECT_THROW(qm::solve_animal_model(ai, 1.0, d.rec(), {}, {}), qm::run_stop);  // no animal 4
  d.animal = {3};
  EXPECT_THROW(qm::solve_animal_model(ai, 0.0, d.rec(), {}, {}), qm::run_stop);
  EXPECT_THROW(qm::lambda_from_h2(1.0), qm::run_stop);
}
