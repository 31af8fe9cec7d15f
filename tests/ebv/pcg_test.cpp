// Conjugate gradients, with the diagonal or inverted blocks as
// preconditioner, against a dense solve. (The same bits for any number of
// threads are shown by the animal-model and SNP-BLUP tests, whose systems span
// several blocks.)
#include "ebv/pcg.hpp"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <random>
#include <vector>

#include "base/messages.hpp"
#include "support.hpp"

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

TEST(PcgTest, BlockPreconditioner) {
  // A system of 3 x 3 blocks coupled strongly within a block, weakly
  // between blocks: the inverted blocks against the diagonal alone.
  std::mt19937 rng(11);
  std::normal_distribution<double> nd;
  const int size = 3, groups = 40, n = size * groups;
  Eigen::MatrixXd a = Eigen::MatrixXd::Zero(n, n);
  for (int g = 0; g < groups; ++g) {
    Eigen::MatrixXd b(size, size);
    for (int i = 0; i < size; ++i)
      for (int j = 0; j < size; ++j) b(i, j) = nd(rng);
    a.block(size * g, size * g, size, size) = b * b.transpose() + 0.05 * Eigen::MatrixXd::Identity(size, size);
  }
  Eigen::MatrixXd c(n, n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) c(i, j) = 0.02 * nd(rng);
  a += c * c.transpose();
  Eigen::VectorXd rhs(n);
  for (int i = 0; i < n; ++i) rhs(i) = nd(rng);
  const Eigen::VectorXd want = a.ldlt().solve(rhs);
  const auto apply = [&](const double* v, double* q) {
    Eigen::Map<Eigen::VectorXd>(q, n) = a * Eigen::Map<const Eigen::VectorXd>(v, n);
  };
  std::vector<double> blocks, diag(n);
  for (int g = 0; g < groups; ++g)
    for (int j = 0; j < size; ++j)
      for (int i = 0; i < size; ++i) blocks.push_back(a(size * g + i, size * g + j));
  for (int i = 0; i < n; ++i) diag[static_cast<size_t>(i)] = a(i, i);
  const qm::block_diagonal m = qm::invert_blocks(blocks, size, "group", 1);
  // Each inverse is the dense inverse of its block.
  for (int g = 0; g < groups; ++g) {
    const Eigen::MatrixXd inv = a.block(size * g, size * g, size, size).inverse();
    for (int j = 0; j < size; ++j)
      for (int i = 0; i < size; ++i)
        EXPECT_NEAR(m.inv[static_cast<size_t>(g * size * size + j * size + i)], inv(i, j), 1e-9 * (1.0 + std::abs(inv(i, j))));
  }
  std::vector<double> r(rhs.data(), rhs.data() + n), x(n, 0.0), xd(n, 0.0);
  const qm::pcg_result blk = qm::pcg_solve_blocks(apply, m, r, x, qm::pcg_options{});
  const qm::pcg_result jac = qm::pcg_solve(apply, diag, r, xd, qm::pcg_options{});
  EXPECT_TRUE(blk.converged);
  EXPECT_LT(blk.true_rel_residual, 1e-9);
  for (int i = 0; i < n; ++i) EXPECT_NEAR(x[static_cast<size_t>(i)], want(i), 1e-8 * (1.0 + std::abs(want(i))));
  EXPECT_LT(blk.iterations, jac.iterations);

  // Size-1 blocks of 1 / diag: the Jacobi iteration, to rounding.
  std::vector<double> ones(diag), xj(n, 0.0);
  const qm::block_diagonal d = qm::invert_blocks(ones, 1, "unknown", 1);
  const qm::pcg_result as_jacobi = qm::pcg_solve_blocks(apply, d, r, xj, qm::pcg_options{});
  EXPECT_NEAR(as_jacobi.iterations, jac.iterations, 1);
  // A block that is not positive definite is named.
  blocks[0] = -1.0;
  qmtest::console_capture cc;
  EXPECT_THROW(qm::invert_blocks(blocks, size, "group", 1), qm::run_stop);
}
