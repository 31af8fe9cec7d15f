// The events of a gamete: the integer thresholds of the plan at their
// boundaries, the block kernel against one state at a time, and the walk
// along a chromosome against the uniforms read one position at a time.
#include "population/meiosis_events.hpp"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "support.hpp"

namespace {

using qmtest::set_record;

TEST(MeiosisEvents, ThresholdsOfARunSitAtTheirBoundaries) {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  qmtest::run_setup s(set_record(set_record(qmtest::small_par(), 10, "21 3 1"), 12, "1.0 1.0e-3 2.0e-3"));
  const qm::genome_map& map = s.st.map;
  const qm::run_parameters& p = s.params;
  qm::meiosis_plan plan;
  qm::build_plan(map, p.mutm, p.mutq, plan);
  ASSERT_FALSE(plan.same_rows);  // a random map: every chromosome its own row
  ASSERT_EQ(plan.u, 3 + 4 * 20);
  // u < x must hold exactly for the states below the threshold of x.
  auto check = [](uint32_t t, double x) {
    if (t > 1) {
      EXPECT_LT(static_cast<double>(qm::uniform_of_state(t - 1)), x) << x;
    }
    if (t < qm::rmod) {
      EXPECT_GE(static_cast<double>(qm::uniform_of_state(t)), x) << x;
    }
  };
  const int gaps = p.nmpc - 1;
  for (int c = 0; c < p.nchr; ++c) {
    const uint32_t* t = plan.row(c);
    check(t[0], 0.5);
    check(t[1], 0.5);
    check(t[2], p.mutm);
    for (int j = 0; j < gaps; ++j) {
      const int k = c * gaps + j;
      check(t[3 + 4 * j], map.recomb_left[k]);
      check(t[4 + 4 * j], p.mutq);
      check(t[5 + 4 * j], map.recomb_right[k]);
      check(t[6 + 4 * j], p.mutm);
    }
    // The block layout holds the same thresholds, and 0 past the last
    // position and at the start strand (drawn apart).
    const uint32_t* lanes = plan.lane_row(c);
    ASSERT_GE(plan.steps * qm::meiosis_plan::blocks, plan.u);
    ASSERT_EQ(plan.steps % 4, 0);
    const uint32_t* pmax = plan.pair_max_row(c);
    for (int k = 0; k < plan.steps; ++k)
      for (int b = 0; b < qm::meiosis_plan::blocks; ++b) {
        const int pos = b * plan.steps + k;
        const uint32_t want = pos >= 2 && pos < plan.u ? t[pos] : 0u;
        EXPECT_EQ(lanes[k * qm::meiosis_plan::blocks + b], want) << pos;
        EXPECT_LE(want, pmax[k / 4 * 2 + k % 2]) << pos;
      }
  }
  // An even map has one row for every chromosome.
  qmtest::run_setup even(qmtest::small_par());
  qm::build_plan(even.st.map, 0.0, 0.0, plan);
  EXPECT_TRUE(plan.same_rows);
}

TEST(MeiosisEvents, BlockKernelFindsEveryEventOfThePlainWalk) {
  // Plans of one to three rows with thresholds that fire rarely (as
  // recombination and mutation do: the kernel's quick test must never miss
  // one) or often (every piece of steps redone exactly), and start states
  // among them the last ones before the state 1, whose uniform is 1.0.
  uint32_t seed = 987654321;
  auto next = [&] { return seed = qm::next_state(seed); };
  int checked = 0;
  for (int u : {3, 7, 16, 17, 83, 1003, 40003}) {
    for (int density : {0, 1, 2}) {
      qm::meiosis_plan plan;
      plan.nchr = 3;
      plan.u = u;
      plan.same_rows = density == 1;
      const int rows = plan.same_rows ? 1 : plan.nchr;
      plan.thr.resize(static_cast<size_t>(rows) * u);
      for (uint32_t& t : plan.thr) {
        if (density == 0) t = next() >> 10;                       // about 1 in 1000
        else if (density == 1) t = next() % 7 == 0 ? next() : 0;  // some at any level
        else t = next() | 0x80000000u;                            // 2^31 and above: every state
      }
      qm::lay_out_blocks(plan);
      qm::event_list vec, plain;
      vec.fit(plan);
      plain.fit(plan);
      for (uint32_t st : {uint32_t{1}, uint32_t{2147483583}, uint32_t{2147483646}, next(), next(), next()}) {
        for (int c = 0; c < plan.nchr; ++c) {
          qm::find_events(plan, c, st, vec, true);
          qm::find_events(plan, c, st, plain, false);
          std::vector<int32_t> want;
          uint32_t s = st;
          const uint32_t* t = plan.row(c);
          for (int i = 0; i < u; ++i) {
            s = qm::next_state(s);
            if (s < t[i]) want.push_back(i);
          }
          ASSERT_EQ(std::vector<int32_t>(vec.pos.begin(), vec.pos.begin() + vec.count), want)
              << "u " << u << " density " << density << " start " << st << " row " << c;
          ASSERT_EQ(std::vector<int32_t>(plain.pos.begin(), plain.pos.begin() + plain.count), want);
          checked += static_cast<int>(want.size());
        }
      }
    }
  }
  EXPECT_GT(checked, 100000);
}

// One chromosome read position by position, as the gamete draws them: the
// start strand (0 when position 0 fires, then swapped by position 1), marker
// 1 (mutated by position 2), and per interval j the left crossover (3 + 4j),
// candidate locus j (mutated by 4 + 4j), the right crossover (5 + 4j) and
// marker j + 1 (mutated by 6 + 4j). strand: the strand of every marker, then
// of every candidate locus; mutated: (locus, marker) in the order drawn.
struct plain_walk {
  std::vector<int> strand;
  std::vector<std::pair<int, int>> mutated;
  plain_walk(const std::vector<char>& fires, int nmpc) : strand(2 * nmpc - 1, -1) {
    int s = fires[0] ? 0 : 1;
    if (fires[1]) s ^= 1;
    strand[0] = s;
    if (fires[2]) mutated.push_back({0, 1});
    for (int j = 0; j < nmpc - 1; ++j) {
      if (fires[3 + 4 * j]) s ^= 1;
      strand[nmpc + j] = s;
      if (fires[4 + 4 * j]) mutated.push_back({j, 0});
      if (fires[5 + 4 * j]) s ^= 1;
      strand[j + 1] = s;
      if (fires[6 + 4 * j]) mutated.push_back({j + 1, 1});
    }
  }
};

TEST(MeiosisEvents, WalkGivesEveryLocusTheStrandOfItsPosition) {
  // Chromosomes of 1 to 40 markers with no event, a few, or about half of
  // the positions firing: the segments cover every marker and candidate
  // locus once, in order, each from the strand of the plain reading, and the
  // mutants come in the order drawn.
  std::mt19937 rng(11);
  int segments = 0, mutants = 0;
  for (int nmpc : {1, 2, 3, 7, 40})
    for (int density : {0, 1, 4, 10})
      for (int rep = 0; rep < 50; ++rep) {
        const int u = 3 + 4 * (nmpc - 1);
        std::vector<char> fires(static_cast<size_t>(u), 0);
        qm::event_list ev;
        ev.pos.resize(static_cast<size_t>(u));
        ev.count = 0;
        for (int p = 0; p < u; ++p) {
          fires[static_cast<size_t>(p)] = static_cast<int>(rng() % 20) < density;
          if (fires[static_cast<size_t>(p)]) ev.pos[static_cast<size_t>(ev.count++)] = p;
        }
        const plain_walk want(fires, nmpc);
        std::vector<int> strand(want.strand.size(), -1);
        std::vector<std::pair<int, int>> mutated;
        int mnext = 0, qnext = 0;  // the segments follow each other without gaps
        qm::walk_chromosome(
            ev, nmpc,
            [&](unsigned s, int m0, int m1, int q0, int q1) {
              ASSERT_EQ(m0, mnext);
              ASSERT_EQ(q0, qnext);
              ASSERT_LE(m0, m1);
              ASSERT_LE(q0, q1);
              for (int m = m0; m < m1; ++m) strand[static_cast<size_t>(m)] = static_cast<int>(s);
              for (int q = q0; q < q1; ++q) strand[static_cast<size_t>(nmpc + q)] = static_cast<int>(s);
              mnext = m1;
              qnext = q1;
              ++segments;
            },
            [&](int k, int marker) { mutated.push_back({k, marker}); });
        EXPECT_EQ(mnext, nmpc);
        EXPECT_EQ(qnext, nmpc - 1);
        ASSERT_EQ(strand, want.strand) << "nmpc " << nmpc << " density " << density << " rep " << rep;
        ASSERT_EQ(mutated, want.mutated) << "nmpc " << nmpc << " density " << density << " rep " << rep;
        mutants += static_cast<int>(mutated.size());
      }
  EXPECT_GT(segments, 2000);
  EXPECT_GT(mutants, 500);
}

}  // namespace
