// The results of the scheme from numbers worked out by hand, and the
// theory results they must reproduce.
#include "stats/scheme_results.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

const double na = std::nan("");

TEST(SchemeResults, SelectionDifferentialAndIntensityByHand) {
  // Males 1, 3, 5 score 1, 3, 8 (mean 4, sd sqrt(13)); females 2, 4, 6
  // score 2, 2, 5 (mean 3, sd sqrt(3)).
  const std::vector<double> c = {1, 2, 3, 2, 8, 5};
  const std::vector<int32_t> sires = {5}, dams = {2, 6};
  const qm::selection_result r = qm::selection_of(c, sires, dams, 3);
  EXPECT_DOUBLE_EQ(r.sel_diff_sires, 4.0);
  EXPECT_DOUBLE_EQ(r.intensity_sires, 4.0 / std::sqrt(13.0));
  EXPECT_DOUBLE_EQ(r.sel_diff_dams, 0.5);
  EXPECT_DOUBLE_EQ(r.intensity_dams, 0.5 / std::sqrt(3.0));
  // Seven animals: male 7 is no candidate (as many of each sex as the
  // smaller sex has), whatever its score.
  const std::vector<double> c7 = {1, 2, 3, 2, 8, 5, 1000};
  const qm::selection_result r7 = qm::selection_of(c7, sires, dams, 3);
  EXPECT_DOUBLE_EQ(r7.sel_diff_sires, 4.0);
  // Every candidate selected: no differential; a criterion that does not vary: no intensity.
  const std::vector<int32_t> all_sires = {1, 3, 5};
  EXPECT_DOUBLE_EQ(qm::selection_of(c, all_sires, dams, 3).sel_diff_sires, 0.0);
  const std::vector<double> flat(6, 2.0);
  EXPECT_TRUE(std::isnan(qm::selection_of(flat, sires, dams, 3).intensity_sires));
  // Parents kept from earlier generations are numbered past the generation
  // (7, 9, ...): they are left out of its differential, and a list of kept
  // parents only has none.
  const std::vector<int32_t> with_kept = {5, 9}, only_kept = {7, 9};
  EXPECT_DOUBLE_EQ(qm::selection_of(c, with_kept, dams, 3).sel_diff_sires, 4.0);
  EXPECT_TRUE(std::isnan(qm::selection_of(c, only_kept, dams, 3).sel_diff_sires));
}

TEST(SchemeResults, CorrelationAndParentsUsed) {
  const std::vector<double> x = {1, 2, 3, 4}, y = {2, 4, 6, 8.5}, z = {4, 3, 2, 1}, k = {1, 1, 1, 1};
  // By hand: sxy = 10.75, sxx = 5, syy = 23.1875.
  EXPECT_NEAR(qm::correlation(x, y), 10.75 / std::sqrt(5 * 23.1875), 1e-15);
  EXPECT_DOUBLE_EQ(qm::correlation(x, z), -1.0);
  EXPECT_TRUE(std::isnan(qm::correlation(x, k)));
  EXPECT_TRUE(std::isnan(qm::correlation(std::vector<double>{1}, std::vector<double>{2})));

  // Sires 1, 3 and dams 2, 4, 6: sire 1 has three offspring, dam 4 two.
  const std::vector<qm::parent_pair> p = {{1, 2}, {1, 4}, {3, 4}, {1, 6}};
  std::vector<int32_t> scratch = {7, 7};  // whatever the caller left in it
  const qm::parent_use u = qm::parent_use_of(p, scratch);
  EXPECT_EQ(u.sires, 2);
  EXPECT_EQ(u.dams, 3);
  EXPECT_EQ(u.max_per_sire, 3);
  EXPECT_EQ(u.max_per_dam, 2);
}

TEST(SchemeResults, InbreedingRateAndNeFromTheoryCurves) {
  EXPECT_DOUBLE_EQ(qm::inbreeding_rate(0.1, 0.0), 0.1);
  EXPECT_DOUBLE_EQ(qm::inbreeding_rate(0.19, 0.1), 0.09 / 0.9);
  EXPECT_TRUE(std::isnan(qm::inbreeding_rate(0.1, na)));
  EXPECT_TRUE(std::isnan(qm::inbreeding_rate(1.0, 1.0)));
  EXPECT_DOUBLE_EQ(qm::effective_size(0.01), 50.0);
  EXPECT_TRUE(std::isnan(qm::effective_size(0.0)));
  EXPECT_TRUE(std::isnan(qm::effective_size(-0.01)));

  // F(t) = 1 - (1 - dF)^t of an ideal population of Ne = 40: the regression
  // of ln(1 - F) gives dF back, whatever the start and with NA rows left out.
  const double df = 1.0 / 80;
  std::vector<double> g, f;
  for (int t = 3; t <= 22; ++t) {
    g.push_back(t);
    f.push_back(1 - std::pow(1 - df, t - 1));
  }
  f[4] = na;
  EXPECT_NEAR(qm::inbreeding_rate_by_regression(g, f), df, 1e-14);
  EXPECT_NEAR(qm::effective_size(qm::inbreeding_rate_by_regression(g, f)), 40.0, 1e-9);
  // Falling inbreeding: a negative rate and no Ne; one point: nothing.
  EXPECT_LT(qm::inbreeding_rate_by_regression(std::vector<double>{1, 2}, std::vector<double>{0.2, 0.1}), 0.0);
  EXPECT_TRUE(std::isnan(qm::inbreeding_rate_by_regression(std::vector<double>{1}, std::vector<double>{0.2})));
}

// A summary of stage 2 (generation 1) and stage 3 (generations 2 to 4) with
// NA historical rows before them.
qm::summary_table small_summary(double shift) {
  qm::summary_table t;
  t.header = {"stage", "generation", "tbv_mean_1", "tbv_var_1", "f_pedigree", "f_genomic"};
  t.rows = {{1, 0, na, na, na, na},
            {2, 1, 0.5 + shift, 4, 0, na},
            {3, 2, 1.5 + shift, 3, 0, 0.02},
            {3, 3, 2.0 + shift, 2, 0.1, 0.05},
            {3, 4, 3.5 + shift, 2, 0.19, 0.05}};
  return t;
}

TEST(SchemeResults, DerivedColumnsByHandAndFreeOfTheLevel) {
  qm::summary_table t = small_summary(0);
  qm::derive_scheme_columns(t);
  const auto at = [&](size_t r, const std::string& c) { return t.rows[r][static_cast<size_t>(t.column(c))]; };
  EXPECT_TRUE(std::isnan(at(0, "gain_1")));
  EXPECT_EQ(at(1, "gain_1"), 0.0);
  EXPECT_EQ(at(4, "gain_1"), 3.0);
  EXPECT_EQ(at(4, "gain_sd_1"), 1.5);  // over the base's sd, sqrt(4)
  EXPECT_TRUE(std::isnan(at(1, "response_1")));
  EXPECT_EQ(at(3, "response_1"), 0.5);
  EXPECT_DOUBLE_EQ(at(4, "delta_f_pedigree"), 0.1);
  EXPECT_DOUBLE_EQ(at(4, "ne_pedigree"), 5.0);
  EXPECT_TRUE(std::isnan(at(2, "ne_pedigree")));  // no rise
  EXPECT_EQ(at(4, "delta_f_genomic"), 0.0);
  // Over stage 3 (generations 2 to 4) on its last row only; one row of stage 2: none.
  std::vector<double> g = {2, 3, 4}, f = {0, 0.1, 0.19};
  EXPECT_DOUBLE_EQ(at(4, "delta_f_pedigree_stage"), qm::inbreeding_rate_by_regression(g, f));
  EXPECT_TRUE(std::isnan(at(3, "delta_f_pedigree_stage")));
  EXPECT_TRUE(std::isnan(at(1, "delta_f_pedigree_stage")));

  // Another level of the breeding values changes no derived column.
  qm::summary_table s = small_summary(17.25);
  qm::derive_scheme_columns(s);
  ASSERT_EQ(s.header, t.header);
  for (size_t r = 0; r < t.rows.size(); ++r)
    for (size_t c = 6; c < t.header.size(); ++c) {
      if (std::isnan(t.rows[r][c])) EXPECT_TRUE(std::isnan(s.rows[r][c])) << t.header[c];
      else EXPECT_NEAR(s.rows[r][c], t.rows[r][c], 1e-12) << t.header[c];
    }
}

TEST(SchemeResults, HeadlineOfARun) {
  qm::summary_table t = small_summary(0);
  qm::derive_scheme_columns(t);
  t.header.push_back("accuracy_1");
  t.header.push_back("predicted_response_1");
  const std::vector<double> acc = {na, 0.5, na, 0.7, 0.9}, pred = {na, 0.8, 0.6, 0.4, 9.0};
  for (size_t r = 0; r < t.rows.size(); ++r) {
    t.rows[r].push_back(acc[r]);
    t.rows[r].push_back(pred[r]);
  }
  const std::vector<qm::headline_result> h = qm::headline_of(t);
  const auto value = [&](const std::string& key) {
    for (const qm::headline_result& r : h)
      if (r.key == key) return r.value;
    ADD_FAILURE() << "no " << key;
    return na;
  };
  EXPECT_EQ(value("total_gain_sd_1"), 1.5);
  EXPECT_EQ(value("total_gain_1"), 3.0);
  EXPECT_DOUBLE_EQ(value("accuracy_1"), 0.7);  // the mean of the rows that have it
  // Realised responses 1, 0.5, 1.5 of generations 2 to 4; their predictions
  // from generations 1 to 3 (the last row predicts a generation not made).
  EXPECT_DOUBLE_EQ(value("response_1"), 1.0);
  EXPECT_DOUBLE_EQ(value("predicted_response_1"), 0.6);
  const std::vector<double> g = {1, 2, 3, 4}, f = {0, 0, 0.1, 0.19};
  const double df = qm::inbreeding_rate_by_regression(g, f);
  EXPECT_DOUBLE_EQ(value("delta_f_pedigree"), df);
  EXPECT_DOUBLE_EQ(value("ne_pedigree"), 1 / (2 * df));
  EXPECT_TRUE(std::isnan(value("intensity_sires")));  // no column: NA
}

}  // namespace
