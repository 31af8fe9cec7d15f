// Conjugate gradients against a dense solve. (The same bits for any number of
// threads are shown by the animal-model and SNP-BLUP tests, whose systems span
// several blocks.)
#include "ebv/pcg.hpp"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <random>
#include <vector>

TEST(PcgTest, DenseSystem) {
  std::mt19937 rng(7);
  std::normal_distribution<double> nd;
  const int n = 60;
  Eigen::MatrixXd b(n, n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) b(i, j) = nd(rng);
  Eigen::MatrixXd a = b * b.transpose() / n + Eigen::MatrixXd::Identity(n, n);
  for (int i = 0; i < n; ++i) a(i, i) *= 1.0 + i;  // a spread diagonal for the preconditioner
  Eigen::VectorXd rhs(n);
  for (int i = 0; i < n; ++i) rhs(i) = nd(rng);
  const Eigen::VectorXd want = a.ldlt().solve(rhs);
  const auto apply = [&](const double* v, double* q) {
    Eigen::Map<Eigen::VectorXd>(q, n) = a * Eigen::Map<const Eigen::VectorXd>(v, n);
  };
  std::vector<double> diag(n), r(rhs.data(), rhs.data() + n), x(n, 0.0);
  for (int i = 0; i < n; ++i) diag[static_cast<size_t>(i)] = a(i, i);
  const qm::pcg_result res = qm::pcg_solve(apply, diag, r, x, qm::pcg_options{});
  EXPECT_TRUE(res.converged);
  EXPECT_LT(res.rel_residual, 1e-10);
  EXPECT_LT(res.true_rel_residual, 1e-9);
  EXPECT_LE(res.iterations, n + 20);
  for (int i = 0; i < n; ++i) EXPECT_NEAR(x[static_cast<size_t>(i)], want(i), 1e-9);

  // Started at the solution it stops at once; a zero right-hand side gives zero.
  const qm::pcg_result again = qm::pcg_solve(apply, diag, r, x, qm::pcg_options{});
  EXPECT_EQ(again.iterations, 0);
  std::vector<double> zero(n, 0.0), y(n, 1.0);
  qm::pcg_solve(apply, diag, zero, y, qm::pcg_options{});
  EXPECT_EQ(y, zero);
}
