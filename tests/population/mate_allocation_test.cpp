// Mate allocation: the exact minimum-cost pairing of sires and dams with
// given numbers of matings, its report of parents that cannot be mated, and
// the random pairing under the same rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

#include "base/messages.hpp"
#include "population/mate_allocation.hpp"
#include "random/stream.hpp"
#include "support.hpp"

namespace {

struct problem {
  int32_t ns = 0, nd = 0;
  std::vector<int32_t> a, b;
  std::vector<double> cost;
  std::vector<uint8_t> allowed;
  qm::mating_problem view() const { return {a, b, cost, allowed}; }
  bool ok(int32_t i, int32_t j) const { return allowed.empty() || allowed[static_cast<size_t>(i) * nd + j] != 0; }
  double f(int32_t i, int32_t j) const { return cost.empty() ? 0.0 : cost[static_cast<size_t>(i) * nd + j]; }
};

// m matings spread at random over n parents (some may get none).
std::vector<int32_t> spread(std::mt19937& g, int32_t n, int32_t m) {
  std::vector<int32_t> v(static_cast<size_t>(n), 0);
  for (int32_t k = 0; k < m; ++k) ++v[g() % static_cast<uint32_t>(n)];
  return v;
}

double unit(std::mt19937& g) { return static_cast<double>(g()) / 4294967296.0; }

// A random problem: costs in 0..0.25 or small integers (many ties), each
// pair forbidden with probability forbid; with keep_feasible, the pairs of
// one random pairing of the slots stay allowed.
problem random_problem(std::mt19937& g, int32_t ns, int32_t nd, int32_t m, double forbid, bool integer_costs,
                       bool keep_feasible = false) {
  problem p;
  p.ns = ns;
  p.nd = nd;
  p.a = spread(g, ns, m);
  p.b = spread(g, nd, m);
  const size_t pairs = static_cast<size_t>(ns) * nd;
  p.cost.resize(pairs);
  for (double& c : p.cost) c = integer_costs ? static_cast<double>(g() % 4) : 0.25 * unit(g);
  if (forbid > 0) {
    p.allowed.resize(pairs);
    for (uint8_t& x : p.allowed) x = unit(g) < forbid ? 0 : 1;
    if (keep_feasible) {
      std::vector<int32_t> dam_slot;
      for (int32_t j = 0; j < nd; ++j) dam_slot.insert(dam_slot.end(), static_cast<size_t>(p.b[j]), j);
      std::shuffle(dam_slot.begin(), dam_slot.end(), g);
      size_t k = 0;
      for (int32_t i = 0; i < ns; ++i)
        for (int32_t n = 0; n < p.a[i]; ++n) p.allowed[static_cast<size_t>(i) * nd + dam_slot[k++]] = 1;
    }
  }
  return p;
}

// The allocation as a table x[i*D+j]; fails the test on a malformed list.
std::vector<int32_t> table_of(const problem& p, const qm::mating_allocation& r) {
  std::vector<int32_t> x(static_cast<size_t>(p.ns) * p.nd, 0);
  for (size_t k = 0; k < r.matings.size(); ++k) {
    const auto [i, j] = r.matings[k];
    EXPECT_TRUE(i >= 0 && i < p.ns && j >= 0 && j < p.nd) << "pair " << k;
    if (k > 0) {
      EXPECT_LE(r.matings[k - 1], r.matings[k]) << "order at " << k;
    }
    if (i >= 0 && i < p.ns && j >= 0 && j < p.nd) ++x[static_cast<size_t>(i) * p.nd + j];
  }
  return x;
}

// Every rule of a complete allocation: the numbers of matings, no pair that
// is not allowed, pairs sorted, the total the sum of the costs.
void expect_legal(const problem& p, const qm::mating_allocation& r) {
  ASSERT_TRUE(r.complete);
  const std::vector<int32_t> x = table_of(p, r);
  double total = 0;
  for (int32_t i = 0; i < p.ns; ++i) {
    int32_t row = 0;
    for (int32_t j = 0; j < p.nd; ++j) {
      const int32_t n = x[static_cast<size_t>(i) * p.nd + j];
      row += n;
      if (n > 0) {
        EXPECT_TRUE(p.ok(i, j)) << "forbidden pair " << i << "," << j << " used";
      }
      total += n * p.f(i, j);
    }
    EXPECT_EQ(row, p.a[i]) << "sire " << i;
  }
  for (int32_t j = 0; j < p.nd; ++j) {
    int32_t col = 0;
    for (int32_t i = 0; i < p.ns; ++i) col += x[static_cast<size_t>(i) * p.nd + j];
    EXPECT_EQ(col, p.b[j]) << "dam " << j;
  }
  EXPECT_NEAR(r.total_cost, total, 1e-9);
}

// Exhaustive search: every assignment of the dam slots to the sire slots
// (distinct permutations of the dam slot list). The minimum total cost, or
// NaN when no assignment keeps to the allowed pairs.
double brute_minimum(const problem& p) {
  std::vector<int32_t> sire_slot, dam_slot;
  for (int32_t i = 0; i < p.ns; ++i) sire_slot.insert(sire_slot.end(), static_cast<size_t>(p.a[i]), i);
  for (int32_t j = 0; j < p.nd; ++j) dam_slot.insert(dam_slot.end(), static_cast<size_t>(p.b[j]), j);
  double best = std::numeric_limits<double>::quiet_NaN();
  do {
    double c = 0;
    bool legal = true;
    for (size_t k = 0; k < sire_slot.size() && legal; ++k) {
      legal = p.ok(sire_slot[k], dam_slot[k]);
      c += p.f(sire_slot[k], dam_slot[k]);
    }
    if (legal && !(c >= best)) best = c;
  } while (std::next_permutation(dam_slot.begin(), dam_slot.end()));
  return best;
}

// Whether sires 0..last can all have their matings with dams that have at
// most b_j each (depth-first search over the sire slots).
bool sires_fit(const problem& p, int32_t last) {
  std::vector<int32_t> slot;
  for (int32_t i = 0; i <= last; ++i) slot.insert(slot.end(), static_cast<size_t>(p.a[i]), i);
  std::vector<int32_t> room = p.b;
  auto place = [&](auto&& self, size_t k) -> bool {
    if (k == slot.size()) return true;
    for (int32_t j = 0; j < p.nd; ++j)
      if (room[j] > 0 && p.ok(slot[k], j)) {
        --room[j];
        const bool fits = self(self, k + 1);
        ++room[j];
        if (fits) return true;
      }
    return false;
  };
  return place(place, 0);
}

// The parent an infeasible problem should name, from the definitions.
std::pair<bool, int32_t> expected_unmatched(const problem& p) {
  for (int32_t i = 0; i < p.ns; ++i) {
    int32_t room = 0;
    for (int32_t j = 0; j < p.nd; ++j)
      if (p.ok(i, j)) room += p.b[j];
    if (room < p.a[i]) return {true, i};
  }
  for (int32_t j = 0; j < p.nd; ++j) {
    int32_t room = 0;
    for (int32_t i = 0; i < p.ns; ++i)
      if (p.ok(i, j)) room += p.a[i];
    if (room < p.b[j]) return {false, j};
  }
  for (int32_t i = 0; i < p.ns; ++i)
    if (!sires_fit(p, i)) return {true, i};
  return {true, -1};
}

// An allocation is of minimum cost exactly when its residual graph has no
// cycle of negative cost (sire -> dam on every allowed pair at f, dam ->
// sire at -f where the pair has matings). Bellman-Ford from every node.
bool has_negative_cycle(const problem& p, const std::vector<int32_t>& x) {
  struct arc {
    int32_t from, to;
    double w;
  };
  std::vector<arc> arcs;
  for (int32_t i = 0; i < p.ns; ++i)
    for (int32_t j = 0; j < p.nd; ++j) {
      if (!p.ok(i, j)) continue;
      arcs.push_back({i, p.ns + j, p.f(i, j)});
      if (x[static_cast<size_t>(i) * p.nd + j] > 0) arcs.push_back({p.ns + j, i, -p.f(i, j)});
    }
  const int32_t n = p.ns + p.nd;
  std::vector<double> d(static_cast<size_t>(n), 0.0);
  for (int32_t round = 0; round <= n; ++round) {
    bool changed = false;
    for (const arc& e : arcs)
      if (d[e.from] + e.w < d[e.to] - 1e-9) {
        d[e.to] = d[e.from] + e.w;
        changed = true;
      }
    if (!changed) return false;
  }
  return true;
}

TEST(MateAllocation, SmallCasesMatchExhaustiveSearch) {
  std::mt19937 g(20261209u);
  int feasible = 0, infeasible = 0, by_dam = 0, by_prefix = 0;
  for (int trial = 0; trial < 6000; ++trial) {
    const int32_t ns = 1 + static_cast<int32_t>(g() % 4), nd = 1 + static_cast<int32_t>(g() % 5);
    const int32_t m = 1 + static_cast<int32_t>(g() % 8);
    const double forbid = trial % 4 == 0 ? 0.0 : 0.15 * (trial % 4);
    problem p = random_problem(g, ns, nd, m, forbid, trial % 2 == 1);
    if (trial % 5 == 4) {  // one mating each and many pairs forbidden: sets of parents that crowd
      const int32_t n = 2 + static_cast<int32_t>(g() % 6);
      p = random_problem(g, n, n, n, 0.55, trial % 2 == 1);
      p.a.assign(static_cast<size_t>(n), 1);
      p.b.assign(static_cast<size_t>(n), 1);
    }
    SCOPED_TRACE("trial " + std::to_string(trial));
    const qm::mating_allocation r = qm::allocate_matings(p.view());
    const double best = brute_minimum(p);
    if (std::isnan(best)) {
      ++infeasible;
      EXPECT_FALSE(r.complete);
      EXPECT_TRUE(r.matings.empty());
      const auto [sire, who] = expected_unmatched(p);
      EXPECT_EQ(r.unmatched_is_sire, sire);
      EXPECT_EQ(r.unmatched, who);
      if (!sire) ++by_dam;
      bool single = false;  // a sire that fails on its own, not only with those before it
      if (sire) {
        int32_t room = 0;
        for (int32_t j = 0; j < p.nd; ++j)
          if (p.ok(who, j)) room += p.b[j];
        single = room < p.a[who];
      }
      if (sire && !single) ++by_prefix;
    } else {
      ++feasible;
      expect_legal(p, r);
      EXPECT_NEAR(r.total_cost, best, 1e-12);
      EXPECT_EQ(r.unmatched, -1);
    }
  }
  // The draws reach every kind of outcome.
  std::printf("%d feasible, %d not: %d named a dam, %d a sire with room on its own\n", feasible, infeasible, by_dam,
              by_prefix);
  EXPECT_GT(feasible, 2000);
  EXPECT_GT(infeasible, 200);
  EXPECT_GT(by_dam, 20);
  EXPECT_GT(by_prefix, 20);
}

TEST(MateAllocation, TextbookAssignment) {
  // 3 x 3 assignment: the minimum, 15, takes (0,0), (1,2), (2,1).
  problem p;
  p.ns = p.nd = 3;
  p.a = {1, 1, 1};
  p.b = {1, 1, 1};
  p.cost = {8, 4, 7, 5, 2, 3, 9, 4, 8};
  const qm::mating_allocation r = qm::allocate_matings(p.view());
  expect_legal(p, r);
  EXPECT_EQ(r.total_cost, 15.0);
  EXPECT_EQ(r.matings, (std::vector<std::pair<int32_t, int32_t>>{{0, 0}, {1, 2}, {2, 1}}));
}

TEST(MateAllocation, KnownOptimaOfBlockCosts) {
  // 10 sires with 5 matings, 10 dams with 5: the diagonal costs 0, every
  // other pair 0.25 or more, so all matings of sire i go to dam i.
  {
    std::mt19937 g(7u);
    problem p;
    p.ns = p.nd = 10;
    p.a.assign(10, 5);
    p.b.assign(10, 5);
    p.cost.resize(100);
    for (int32_t i = 0; i < 10; ++i)
      for (int32_t j = 0; j < 10; ++j) p.cost[static_cast<size_t>(i) * 10 + j] = i == j ? 0.0 : 0.25 + 0.25 * unit(g);
    const qm::mating_allocation r = qm::allocate_matings(p.view());
    expect_legal(p, r);
    EXPECT_EQ(r.total_cost, 0.0);
    for (const auto& [i, j] : r.matings) EXPECT_EQ(i, j);
  }
  // 5 sires with 10 matings each over 50 dams with one: sire i's own block
  // of 10 dams costs 0.01 a pair, the rest 0.2 to 0.25; the diagonal block
  // is forbidden for the next sire over, which makes no difference.
  {
    std::mt19937 g(8u);
    problem p;
    p.ns = 5;
    p.nd = 50;
    p.a.assign(5, 10);
    p.b.assign(50, 1);
    p.cost.resize(250);
    p.allowed.assign(250, 1);
    for (int32_t i = 0; i < 5; ++i)
      for (int32_t j = 0; j < 50; ++j) {
        p.cost[static_cast<size_t>(i) * 50 + j] = j / 10 == i ? 0.01 : 0.2 + 0.05 * unit(g);
        if (j / 10 == (i + 1) % 5) p.allowed[static_cast<size_t>(i) * 50 + j] = 0;
      }
    const qm::mating_allocation r = qm::allocate_matings(p.view());
    expect_legal(p, r);
    EXPECT_NEAR(r.total_cost, 0.5, 1e-12);
    for (const auto& [i, j] : r.matings) EXPECT_EQ(j / 10, i);
  }
  // The diagonal forbidden (a parent with itself's family), the next dam
  // over free: the cyclic shift is the one allocation of cost 0.
  {
    problem p;
    p.ns = p.nd = 40;
    p.a.assign(40, 3);
    p.b.assign(40, 3);
    p.cost.assign(1600, 0.125);
    p.allowed.assign(1600, 1);
    for (int32_t i = 0; i < 40; ++i) {
      p.allowed[static_cast<size_t>(i) * 40 + i] = 0;
      p.cost[static_cast<size_t>(i) * 40 + (i + 1) % 40] = 0.0;
    }
    const qm::mating_allocation r = qm::allocate_matings(p.view());
    expect_legal(p, r);
    EXPECT_EQ(r.total_cost, 0.0);
    for (const auto& [i, j] : r.matings) EXPECT_EQ(j, (i + 1) % 40);
  }
}

TEST(MateAllocation, LargerCasesAreOptimalAndLegal) {
  std::mt19937 g(99u);
  const struct {
    int32_t ns, nd, m;
    double forbid;
  } cases[] = {{30, 30, 30, 0.0}, {30, 30, 30, 0.5}, {8, 60, 60, 0.1}, {20, 20, 200, 0.3},
               {60, 60, 240, 0.0}, {12, 40, 120, 0.6}, {1, 25, 40, 0.0}, {25, 1, 40, 0.0}};
  for (const auto& c : cases) {
    for (int integer_costs = 0; integer_costs <= 1; ++integer_costs) {
      const problem p = random_problem(g, c.ns, c.nd, c.m, c.forbid, integer_costs == 1, true);
      SCOPED_TRACE(std::to_string(c.ns) + " sires, " + std::to_string(c.nd) + " dams, " + std::to_string(c.m) +
                   " matings, forbidden " + std::to_string(c.forbid));
      const qm::mating_allocation r = qm::allocate_matings(p.view());
      expect_legal(p, r);
      EXPECT_FALSE(has_negative_cycle(p, table_of(p, r)));
      // No random legal allocation is cheaper: random pairings of the slots
      // (kept when they are legal) and the random mode with many seeds.
      std::vector<int32_t> sire_slot, dam_slot;
      for (int32_t i = 0; i < p.ns; ++i) sire_slot.insert(sire_slot.end(), static_cast<size_t>(p.a[i]), i);
      for (int32_t j = 0; j < p.nd; ++j) dam_slot.insert(dam_slot.end(), static_cast<size_t>(p.b[j]), j);
      int legal = 0;
      for (int k = 0; k < 300; ++k) {
        std::shuffle(dam_slot.begin(), dam_slot.end(), g);
        double cost = 0;
        bool ok = true;
        for (size_t s = 0; s < sire_slot.size() && ok; ++s) {
          ok = p.ok(sire_slot[s], dam_slot[s]);
          cost += p.f(sire_slot[s], dam_slot[s]);
        }
        if (!ok) continue;
        ++legal;
        EXPECT_LE(r.total_cost, cost + 1e-12);
      }
      if (c.forbid == 0.0) {
        EXPECT_EQ(legal, 300);
      }
      for (int32_t seed = 1; seed <= 40; ++seed) {
        qm::random_stream rng;
        qm::start_stream(rng, seed * 7919);
        const qm::mating_allocation other = qm::allocate_matings_at_random(p.view(), rng);
        expect_legal(p, other);
        EXPECT_LE(r.total_cost, other.total_cost + 1e-12);
      }
    }
  }
}

TEST(MateAllocation, DefaultsAndEdgeCases) {
  // No costs and no forbidden pairs: any allocation with the right numbers.
  problem p;
  p.ns = 3;
  p.nd = 4;
  p.a = {4, 0, 2};
  p.b = {1, 2, 0, 3};
  qm::mating_allocation r = qm::allocate_matings(p.view());
  expect_legal(p, r);
  EXPECT_EQ(r.total_cost, 0.0);
  EXPECT_EQ(r.matings.size(), 6u);
  // No parents, or none with matings.
  problem none;
  r = qm::allocate_matings(none.view());
  EXPECT_TRUE(r.complete);
  EXPECT_TRUE(r.matings.empty());
  problem idle;
  idle.ns = 2;
  idle.nd = 2;
  idle.a = {0, 0};
  idle.b = {0, 0};
  idle.allowed = {0, 0, 0, 0};
  r = qm::allocate_matings(idle.view());
  EXPECT_TRUE(r.complete);
  EXPECT_TRUE(r.matings.empty());
  // One sire takes every dam; one dam every sire.
  problem one;
  one.ns = 1;
  one.nd = 3;
  one.a = {6};
  one.b = {1, 2, 3};
  r = qm::allocate_matings(one.view());
  EXPECT_EQ(r.matings, (std::vector<std::pair<int32_t, int32_t>>{{0, 0}, {0, 1}, {0, 1}, {0, 2}, {0, 2}, {0, 2}}));
}

TEST(MateAllocation, ReportsTheParentThatCannotBeMated) {
  // A dam whose every sire is forbidden.
  problem p;
  p.ns = 3;
  p.nd = 3;
  p.a = {1, 1, 1};
  p.b = {1, 1, 1};
  p.allowed = {1, 1, 0, 1, 1, 0, 1, 1, 0};
  qm::mating_allocation r = qm::allocate_matings(p.view());
  EXPECT_FALSE(r.complete);
  EXPECT_FALSE(r.unmatched_is_sire);
  EXPECT_EQ(r.unmatched, 2);
  // A sire with more matings than its allowed dams have (found before the dam).
  p.a = {1, 2, 0};
  p.allowed = {1, 1, 1, 1, 0, 0, 1, 1, 0};
  r = qm::allocate_matings(p.view());
  EXPECT_FALSE(r.complete);
  EXPECT_TRUE(r.unmatched_is_sire);
  EXPECT_EQ(r.unmatched, 1);
  // Each parent has room on its own, but sires 0 and 1 share the one dam.
  p.a = {1, 1, 1};
  p.allowed = {1, 0, 0, 1, 0, 0, 1, 1, 1};
  r = qm::allocate_matings(p.view());
  EXPECT_FALSE(r.complete);
  EXPECT_TRUE(r.unmatched_is_sire);
  EXPECT_EQ(r.unmatched, 1);
  EXPECT_TRUE(r.matings.empty());
}

TEST(MateAllocation, MalformedProblemsStop) {
  qmtest::console_capture con;
  problem p;
  p.ns = 2;
  p.nd = 2;
  p.a = {1, 1};
  p.b = {2, 1};  // 2 sire matings, 3 dam matings
  EXPECT_THROW(qm::allocate_matings(p.view()), qm::run_stop);
  p.b = {-1, 3};
  EXPECT_THROW(qm::allocate_matings(p.view()), qm::run_stop);
  p.b = {1, 1};
  p.cost = {0.1, 0.2, 0.3};
  EXPECT_THROW(qm::allocate_matings(p.view()), qm::run_stop);
  p.cost = {0.1, std::numeric_limits<double>::quiet_NaN(), 0.3, 0.4};
  EXPECT_THROW(qm::allocate_matings(p.view()), qm::run_stop);
  p.allowed = {1, 0, 1};
  EXPECT_THROW(qm::allocate_matings(p.view()), qm::run_stop);
  // A cost that is not a number is fine on a pair that is not allowed; the
  // random mode stops on the same problems before it draws.
  p.allowed = {1, 0, 0, 1};
  const qm::mating_allocation r = qm::allocate_matings(p.view());
  EXPECT_EQ(r.matings, (std::vector<std::pair<int32_t, int32_t>>{{0, 0}, {1, 1}}));
  p.a = {1, 2};
  qm::random_stream rng;
  qm::start_stream(rng, 12345);
  EXPECT_THROW(qm::allocate_matings_at_random(p.view(), rng), qm::run_stop);
  EXPECT_EQ(rng.state, 12345);
  const std::string text = con.text();
  EXPECT_NE(text.find("make the two sums equal"), std::string::npos) << text;
  EXPECT_NE(text.find("not a finite number"), std::string::npos) << text;
}

TEST(MateAllocation, DeterministicAndRandomModeReproducible) {
  std::mt19937 g(4242u);
  const problem p = random_problem(g, 40, 70, 280, 0.15, true, true);  // integer costs: many equal optima
  const qm::mating_allocation r1 = qm::allocate_matings(p.view()), r2 = qm::allocate_matings(p.view());
  expect_legal(p, r1);
  EXPECT_EQ(r1.matings, r2.matings);
  EXPECT_EQ(r1.total_cost, r2.total_cost);

  // The random mode: S*D uniforms in row-major order, then the minimum for them.
  qm::random_stream s1, s2, s3, ref;
  qm::start_stream(s1, 777);
  qm::start_stream(s2, 777);
  qm::start_stream(s3, 778);
  qm::start_stream(ref, 777);
  const qm::mating_allocation a1 = qm::allocate_matings_at_random(p.view(), s1);
  const qm::mating_allocation a2 = qm::allocate_matings_at_random(p.view(), s2);
  const qm::mating_allocation a3 = qm::allocate_matings_at_random(p.view(), s3);
  expect_legal(p, a1);
  expect_legal(p, a3);
  EXPECT_EQ(a1.matings, a2.matings);
  EXPECT_EQ(s1.state, s2.state);
  EXPECT_NE(a1.matings, a3.matings);
  problem drawn = p;
  for (double& c : drawn.cost) c = qm::next_uniform(ref);
  EXPECT_EQ(ref.state, s1.state);  // exactly S*D draws
  const qm::mating_allocation by_hand = qm::allocate_matings(drawn.view());
  EXPECT_EQ(by_hand.matings, a1.matings);
  // total_cost of the random mode is over the problem's own costs.
  double total = 0;
  for (const auto& [i, j] : a1.matings) total += p.f(i, j);
  EXPECT_EQ(a1.total_cost, total);
  // The random pairings of one problem spread over the pairs: with 40
  // seeds, every allowed pair of a 4 x 4 problem with one mating each is used.
  problem small;
  small.ns = small.nd = 4;
  small.a.assign(4, 1);
  small.b.assign(4, 1);
  small.allowed.assign(16, 1);
  small.allowed[5] = 0;
  std::vector<int> used(16, 0);
  for (int32_t seed = 1; seed <= 40; ++seed) {
    qm::random_stream rng;
    qm::start_stream(rng, seed);
    for (const auto& [i, j] : qm::allocate_matings_at_random(small.view(), rng).matings) ++used[static_cast<size_t>(i) * 4 + j];
  }
  for (int k = 0; k < 16; ++k) {
    if (k == 5)
      EXPECT_EQ(used[k], 0);
    else
      EXPECT_GT(used[k], 0) << "pair " << k;
  }
}

}  // namespace
