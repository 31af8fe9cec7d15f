// The selection index: Smith-Hazel weights and the index of a generation.
#include "values/selection_index.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "base/messages.hpp"
#include "support.hpp"

namespace {

const double missing = std::numeric_limits<double>::quiet_NaN();

// r(I, H) of an index b on phenotypes with covariance P, for the goal H = w'a.
double accuracy(const std::vector<double>& b, const std::vector<double>& P, const std::vector<double>& G,
                const std::vector<double>& w) {
  const int n = static_cast<int>(w.size());
  double bGw = 0, bPb = 0, wGw = 0;
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      bGw += b[i] * G[i + j * n] * w[j];
      bPb += b[i] * P[i + j * n] * b[j];
      wGw += w[i] * G[i + j * n] * w[j];
    }
  return bGw / std::sqrt(bPb * wGw);
}

}  // namespace

// The normal equations P b = G w of the index (Hazel 1943), solved by hand.
TEST(SmithHazel, SolvesTheNormalEquations) {
  // Two traits: P = [[4, 1], [1, 9]], G = [[1, 0.5], [0.5, 4]], R = P - G, w = (2, 1).
  // G w = (2.5, 5), det P = 35, so by Cramer's rule b1 = (9 * 2.5 - 1 * 5) / 35 = 0.5
  // and b2 = (4 * 5 - 1 * 2.5) / 35 = 0.5.
  const std::vector<double> G = {1, 0.5, 0.5, 4}, R = {3, 0.5, 0.5, 5}, w = {2, 1};
  const std::vector<double> b = qm::smith_hazel_weights(G, R, w, std::vector<char>{1, 1});
  EXPECT_NEAR(b[0], 0.5, 1e-12);
  EXPECT_NEAR(b[1], 0.5, 1e-12);
  // Trait 2 not recorded: b1 = (G w)_1 / P_11 = 2.5 / 4; trait 2 gets no weight.
  const std::vector<double> one = qm::smith_hazel_weights(G, R, w, std::vector<char>{1, 0});
  EXPECT_NEAR(one[0], 0.625, 1e-12);
  EXPECT_EQ(one[1], 0.0);
  // Nothing recorded: no weights at all.
  EXPECT_EQ(qm::smith_hazel_weights(G, R, w, std::vector<char>{0, 0}), (std::vector<double>{0, 0}));
  // One trait on its own phenotype: b = h2 w (selection on the own performance).
  const std::vector<double> single = qm::smith_hazel_weights(std::vector<double>{0.3}, std::vector<double>{0.7},
                                                             std::vector<double>{2.0}, std::vector<char>{1});
  EXPECT_NEAR(single[0], 0.6, 1e-12);
}

// The Smith-Hazel index is the linear predictor of H with the highest
// correlation: no other weights do better (a theory result, checked on
// perturbations of a three-trait case).
TEST(SmithHazel, MaximisesTheAccuracyOfTheIndex) {
  const std::vector<double> G = {1.0, -0.4, 0.2, -0.4, 2.0, 0.3, 0.2, 0.3, 0.5};
  const std::vector<double> R = {2.0, 0.5, 0.1, 0.5, 3.0, -0.2, 0.1, -0.2, 1.5};
  std::vector<double> P(9);
  for (int i = 0; i < 9; ++i) P[i] = G[i] + R[i];
  const std::vector<double> w = {1.0, 1.0, -0.5};
  const std::vector<double> b = qm::smith_hazel_weights(G, R, w, std::vector<char>{1, 1, 1});
  const double best = accuracy(b, P, G, w);
  for (int k = 0; k < 3; ++k)
    for (double d : {-0.2, -0.01, 0.01, 0.2}) {
      std::vector<double> other = b;
      other[k] += d;
      EXPECT_LT(accuracy(other, P, G, w), best) << "trait " << k << " changed by " << d;
    }
  // A matrix that is not a covariance matrix stops with what to check.
  qmtest::console_capture quiet;
  const std::vector<double> bad_r = {-3, 0, 0, -3};
  EXPECT_THROW(qm::smith_hazel_weights(std::vector<double>{1, 0, 0, 1}, bad_r, std::vector<double>{1, 1},
                                       std::vector<char>{1, 1}),
               qm::run_stop);
}

TEST(SelectionIndex, IndexOfAGeneration) {
  qm::run_parameters p;
  p.ntrait = 2;
  p.recorded_on = {qm::recorded_sex::both, qm::recorded_sex::females};
  qm::trait_architecture a;
  a.base_genetic_covariance = {1, 0.5, 0.5, 4};
  a.base_residual_covariance = {3, 0.5, 0.5, 5};
  qm::population pop;
  pop.nind = 4;
  pop.tbv = {1, 2, 3, 4, 10, 20, 30, 40};  // trait 1 of animals 1..4, then trait 2
  pop.phenotype = {1, 3, 5, 7, missing, 2, missing, 6};  // males (odd) lack trait 2
  qm::selection_index on_tbv{qm::selection_criterion::true_value, {2.0, 1.0}};
  std::vector<double> out;
  qm::index_of_values(p, on_tbv, a, pop, out);
  EXPECT_EQ(out, (std::vector<double>{12, 24, 36, 48}));

  // Own phenotypes as deviations from the generation's mean record (trait
  // 1: 4, trait 2: 4 over the females); females use b = (0.5, 0.5), males
  // b1 = 0.625 (see SolvesTheNormalEquations).
  qm::selection_index on_phenotype{qm::selection_criterion::phenotype, {2.0, 1.0}};
  qm::index_of_values(p, on_phenotype, a, pop, out);
  ASSERT_EQ(out.size(), 4u);
  EXPECT_NEAR(out[0], 0.625 * (1 - 4), 1e-12);
  EXPECT_NEAR(out[1], 0.5 * (3 - 4) + 0.5 * (2 - 4), 1e-12);
  EXPECT_NEAR(out[2], 0.625 * (5 - 4), 1e-12);
  EXPECT_NEAR(out[3], 0.5 * (7 - 4) + 0.5 * (6 - 4), 1e-12);
}
