// A^-1 by Henderson's rules with inbreeding against the dense inverse of the
// tabular relationship matrix.
#include "ebv/ainverse.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "pedigree/inbreeding.hpp"
#include "pedigree/random_pedigree.hpp"

namespace {

qm::sym_csr ainv_of(const qmtest::pedigree& p) {
  return qm::ainverse(p.sire, p.dam, qm::inbreeding(p.sire, p.dam));
}

Eigen::MatrixXd dense(const qm::sym_csr& a) {
  Eigen::MatrixXd d = Eigen::MatrixXd::Zero(a.n, a.n);
  for (int32_t r = 0; r < a.n; ++r)
    for (int64_t t = a.rowptr[static_cast<size_t>(r)]; t < a.rowptr[static_cast<size_t>(r) + 1]; ++t)
      d(r, a.col[static_cast<size_t>(t)]) = a.val[static_cast<size_t>(t)];
  return d;
}

// Columns strictly ascending in every row, and the pattern and values symmetric.
void expect_well_formed(const qm::sym_csr& a) {
  ASSERT_EQ(a.rowptr.size(), static_cast<size_t>(a.n) + 1);
  for (int32_t r = 0; r < a.n; ++r)
    for (int64_t t = a.rowptr[static_cast<size_t>(r)]; t < a.rowptr[static_cast<size_t>(r) + 1]; ++t) {
      const int32_t c = a.col[static_cast<size_t>(t)];
      if (t > a.rowptr[static_cast<size_t>(r)]) {
        ASSERT_LT(a.col[static_cast<size_t>(t) - 1], c);
      }
      ASSERT_EQ(a.at(c, r), a.val[static_cast<size_t>(t)]);
    }
}

void expect_inverse(const qmtest::pedigree& p, double tol) {
  const qm::sym_csr ai = ainv_of(p);
  expect_well_formed(ai);
  const Eigen::MatrixXd want = qmtest::tabular_a(p).inverse();
  const Eigen::MatrixXd got = dense(ai);
  EXPECT_LT((got - want).cwiseAbs().maxCoeff(), tol);
}

}  // namespace

TEST(AinverseTest, SmallInbredPedigree) {
  qmtest::pedigree p;
  p.add(0, 0);    // 1
  p.add(0, 0);    // 2
  p.add(0, 0);    // 3
  p.add(1, 2);    // 4
  p.add(1, 2);    // 5 full sib of 4
  p.add(1, 3);    // 6 half sib of 4 and 5
  p.add(4, 5);    // 7 full-sib mating, F = 0.25
  p.add(4, 6);    // 8 half-sib mating, F = 0.125
  p.add(7, 0);    // 9 dam unknown
  p.add(0, 8);    // 10 sire unknown
  p.add(7, 8);    // 11 both parents inbred
  p.add(11, 7);   // 12 offspring x parent
  p.add(9, 10);   // 13
  p.add(12, 11);  // 14
  const std::vector<double> f = qm::inbreeding(p.sire, p.dam);
  EXPECT_DOUBLE_EQ(f[6], 0.25);
  EXPECT_DOUBLE_EQ(f[7], 0.125);
  expect_inverse(p, 1e-10);
  // Henderson's rules by hand for two entries: animal 14 (parents 12 and 11)
  // is the only offspring of 12 and has no offspring itself.
  const qm::sym_csr ai = ainv_of(p);
  const double b14 = 1.0 / (0.5 - 0.25 * (f[11] + f[10]));
  EXPECT_DOUBLE_EQ(ai.at(13, 13), b14);
  EXPECT_DOUBLE_EQ(ai.at(13, 11), -0.5 * b14);
  EXPECT_EQ(ai.at(13, 0), 0.0);
}

TEST(AinverseTest, RandomInbredPedigree) {
  expect_inverse(qmtest::random_pedigree(250, 6, 15, 3), 1e-8);
  expect_inverse(qmtest::random_pedigree(250, 20, 60, 4), 1e-8);
}

TEST(AinverseTest, AppendedBatchesEqualOneBatch) {
  const qmtest::pedigree p = qmtest::random_pedigree(500, 10, 30, 9);
  const std::vector<double> f = qm::inbreeding(p.sire, p.dam);
  const qm::sym_csr whole = qm::ainverse(p.sire, p.dam, f);
  qm::sym_csr a;
  for (size_t end : {size_t{1}, size_t{60}, size_t{61}, size_t{250}, size_t{499}, size_t{500}}) {
    qm::ainverse_append(a, std::span<const int32_t>(p.sire.data(), end), std::span<const int32_t>(p.dam.data(), end),
                        std::span<const double>(f.data(), end));
    ASSERT_EQ(a.n, static_cast<int32_t>(end));
  }
  EXPECT_EQ(a.rowptr, whole.rowptr);
  EXPECT_EQ(a.col, whole.col);
  EXPECT_EQ(a.val, whole.val);  // the same bits
}
