// The weights of the progress line: each generation's share of the run's
// work, counted as the estimate of --check counts it. Checked against the
// counts themselves: animals and loci scale a generation's weight, the
// files of a generation and genomic BLUP add to it, and the generations
// that --generations leaves without files weigh less.
#include "output/progress.hpp"

#include <gtest/gtest.h>

#include <numeric>

#include "support.hpp"

namespace {

qm::run_parameters scheme(std::initializer_list<std::pair<int, const char*>> records) {
  std::string par = qmtest::small_par();
  for (const auto& [n, line] : records) par = qmtest::set_record(par, n, line);
  qm::run_parameters p;
  qmtest::load_par(p, par);
  return p;
}

TEST(ProgressWeights, FollowTheWorkOfEachGeneration) {
  const qm::output_choice none = [] {
    qm::output_choice c;
    c.kinds.clear();
    return c;
  }();
  // Stage 1: 31 generations of 40 animals (20 with mutation, the recoding,
  // 10 without); stage 2 one of 40 (index 31); stage 3 two of 40 (32, 33).
  const qm::run_parameters base = scheme({});
  const std::vector<double> w = qm::generation_weights(base, none);
  ASSERT_EQ(w.size(), 34u);
  // Stage 3 with four times the animals: its generations weigh four times as much.
  const qm::run_parameters big = scheme({{26, "10 20 160 2"}});
  const std::vector<double> wb = qm::generation_weights(big, none);
  ASSERT_EQ(wb.size(), 34u);
  EXPECT_NEAR(wb[32] / w[32], 4.0, 1e-9);
  EXPECT_NEAR(wb[33] / w[33], 4.0, 1e-9);
  EXPECT_DOUBLE_EQ(wb[10], w[10]);  // stage 1 as it was
  // The generations with mutation (bytes) against those after the recoding (packed).
  EXPECT_GT(w[5], w[25]);
  EXPECT_DOUBLE_EQ(w[21], w[30]);
  // Files add their bytes; only the generations chosen.
  qm::output_choice last;
  std::string why;
  last.generations = *qm::generation_choice::parse("last", why);
  const std::vector<double> wf = qm::generation_weights(base, qm::output_choice{});
  const std::vector<double> wl = qm::generation_weights(base, last);
  EXPECT_GT(wf[31], w[31]);
  EXPECT_GT(wf[33], w[33]);
  EXPECT_DOUBLE_EQ(wf[30], w[30]);  // no files in stage 1
  EXPECT_DOUBLE_EQ(wl[31], w[31]);
  EXPECT_DOUBLE_EQ(wl[33], wf[33]);
  // Genomic BLUP in stage 3: its generations weigh more; the reference grows
  // with the generations evaluated.
  const qm::run_parameters gs = scheme({{28, "0 2 4"}});
  const std::vector<double> wg = qm::generation_weights(gs, none);
  EXPECT_DOUBLE_EQ(wg[31], w[31]);  // stage 2 selects on phenotypes
  EXPECT_GT(wg[32], w[32]);
  EXPECT_GT(wg[33] - w[33], wg[32] - w[32]);
  const double total = std::accumulate(w.begin(), w.end(), 0.0);
  EXPECT_GT(total, 0.0);
}

}  // namespace
