// Inbreeding coefficients: hand-made pedigrees with known values, the
// diagonal of the tabular relationship matrix, appended batches.
#include "pedigree/inbreeding.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "base/messages.hpp"
#include "pedigree/random_pedigree.hpp"
#include "support.hpp"

namespace {

std::vector<double> f_of(const qmtest::pedigree& p) { return qm::inbreeding(p.sire, p.dam); }

}  // namespace

TEST(InbreedingTest, KnownCoefficients) {
  // Two generations of full-sib mating: 0.25, then 0.375.
  qmtest::pedigree fs;
  fs.add(0, 0);  // 1
  fs.add(0, 0);  // 2
  fs.add(1, 2);  // 3
  fs.add(1, 2);  // 4 full sib of 3
  fs.add(3, 4);  // 5
  fs.add(3, 4);  // 6 full sib of 5
  fs.add(5, 6);  // 7
  fs.add(3, 4);  // 8 full sib of 5 and 6, not next to them
  fs.add(7, 0);  // 9 one parent unknown
  const std::vector<double> f = f_of(fs);
  const std::vector<double> want = {0, 0, 0, 0, 0.25, 0.25, 0.375, 0.25, 0};
  for (size_t k = 0; k < want.size(); ++k) EXPECT_DOUBLE_EQ(f[k], want[k]) << "animal " << k + 1;

  // Half sibs: 0.125; parent and offspring: 0.25.
  qmtest::pedigree hs;
  hs.add(0, 0);  // 1 sire
  hs.add(0, 0);  // 2
  hs.add(0, 0);  // 3
  hs.add(1, 2);  // 4
  hs.add(1, 3);  // 5 half sib of 4
  hs.add(4, 5);  // 6
  hs.add(1, 4);  // 7 sire x daughter
  hs.add(0, 6);  // 8
  const std::vector<double> h = f_of(hs);
  EXPECT_DOUBLE_EQ(h[5], 0.125);
  EXPECT_DOUBLE_EQ(h[6], 0.25);
  EXPECT_DOUBLE_EQ(h[7], 0.0);
  for (int k : {0, 1, 2, 3, 4}) EXPECT_EQ(h[static_cast<size_t>(k)], 0.0);
}

TEST(InbreedingTest, DiagonalOfTabularRelationships) {
  // A few hundred animals in a small closed population: F = a_ii - 1.
  for (const uint32_t seed : {11u, 12u}) {
    const qmtest::pedigree p = qmtest::random_pedigree(400, 8, 20, seed);
    const std::vector<double> f = f_of(p);
    const Eigen::MatrixXd a = qmtest::tabular_a(p);
    double fmax = 0.0;
    for (int32_t k = 0; k < p.size(); ++k) {
      EXPECT_NEAR(f[static_cast<size_t>(k)], a(k, k) - 1.0, 1e-12) << "animal " << k + 1;
      fmax = std::max(fmax, f[static_cast<size_t>(k)]);
    }
    EXPECT_GT(fmax, 0.3);  // the population is well inbred
  }
}

TEST(InbreedingTest, AppendedBatchesEqualOneBatch) {
  const qmtest::pedigree p = qmtest::random_pedigree(600, 10, 40, 5);
  const std::vector<double> whole = f_of(p);
  // One append at several points, and a chain of appended generations.
  for (const size_t cut : {size_t{0}, size_t{1}, size_t{10}, size_t{299}, size_t{599}, size_t{600}}) {
    std::vector<double> f(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
    qm::inbreeding_append(p.sire, p.dam, f);
    ASSERT_EQ(f.size(), whole.size());
    for (size_t k = 0; k < f.size(); ++k) ASSERT_EQ(f[k], whole[k]) << "cut " << cut << " animal " << k + 1;
  }
  std::vector<double> f;
  for (size_t end = 50; end <= 600; end += 50) {
    const std::span<const int32_t> s(p.sire.data(), end), d(p.dam.data(), end);
    qm::inbreeding_append(s, d, f);
  }
  EXPECT_EQ(f, whole);
  // The old values are left alone: a changed old value stays as given.
  std::vector<double> g(whole.begin(), whole.begin() + 300);
  g[0] = 0.5;
  qm::inbreeding_append(p.sire, p.dam, g);
  EXPECT_EQ(g[0], 0.5);
}

TEST(InbreedingTest, RejectsUnorderedPedigree) {
  qmtest::console_capture cc;
  qmtest::pedigree p;
  p.add(0, 0);
  p.add(3, 1);  // sire after its offspring
  p.add(0, 0);
  EXPECT_THROW(f_of(p), qm::run_stop);
  qmtest::pedigree self;
  self.add(0, 0);
  self.add(2, 1);  // its own sire
  EXPECT_THROW(f_of(self), qm::run_stop);
  std::vector<double> toolong(5, 0.0);
  EXPECT_THROW(qm::inbreeding_append(self.sire, self.dam, toolong), qm::run_stop);
}
