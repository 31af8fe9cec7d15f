// Selection of the parents of the next generation, and its heapsort.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <utility>
#include <vector>

#include "base/messages.hpp"
#include "support.hpp"
#include "values/selection.hpp"

namespace {

struct fixture {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  qmtest::run_setup s;
  qm::population& p;
  explicit fixture(int nind)
      : s(qmtest::set_record(qmtest::small_par(), 18, "3 3 " + std::to_string(nind) + " 30")), p(s.st.pop) {
    p.tbv.assign(nind, 0.0);
    p.phenotype.assign(nind, 0.0);
  }
  void select(qm::selection_criterion c, int nsire, int ndam) { qm::select_parents(p, c, nsire, ndam, s.st.rng); }
  int32_t state() const { return s.st.rng.state; }
};

using crit = qm::selection_criterion;

TEST(Select, TruncationOnTraitOne) {
  fixture f(20);  // nhalf 10
  qm::population& p = f.p;
  for (int i = 1; i <= 20; ++i) {
    p.tbv_of(i, 1) = std::sin(1.7 * i);
    p.phenotype_of(i, 1) = std::cos(2.3 * i);
  }
  for (crit c : {crit::true_value, crit::phenotype}) {
    const int32_t seed0 = f.state();
    f.select(c, 3, 3);
    EXPECT_EQ(f.state(), seed0);  // truncation draws nothing
    for (int first = 1; first <= 2; ++first) {
      std::vector<std::pair<double, int>> v;
      for (int i = first; i <= 20; i += 2) v.push_back({c == crit::true_value ? p.tbv_of(i, 1) : p.phenotype_of(i, 1), i});
      std::sort(v.rbegin(), v.rend());
      const std::vector<int32_t> want = {v[0].second, v[1].second, v[2].second};
      EXPECT_EQ(first == 1 ? p.sires : p.dams, want) << "criterion " << static_cast<int>(c);
    }
  }
}

TEST(Select, TruncationWithTiedScores) {
  // Scores with many ties: every chosen animal scores at least as high as
  // every animal of its sex left out, and the list runs from best to worst.
  fixture f(40);
  qm::population& p = f.p;
  for (int i = 1; i <= 40; ++i) p.tbv_of(i, 1) = (i * 7) % 4 * 0.5;
  f.select(crit::true_value, 7, 9);
  for (int first = 1; first <= 2; ++first) {
    const std::vector<int32_t>& chosen = first == 1 ? p.sires : p.dams;
    ASSERT_EQ(chosen.size(), first == 1 ? 7u : 9u);
    const std::set<int32_t> in(chosen.begin(), chosen.end());
    EXPECT_EQ(in.size(), chosen.size());
    double worst_in = 1e9, best_out = -1e9;
    for (size_t k = 0; k < chosen.size(); ++k) {
      EXPECT_EQ(chosen[k] % 2, first % 2);
      worst_in = std::min(worst_in, p.tbv_of(chosen[k], 1));
      if (k > 0) {
        EXPECT_GE(p.tbv_of(chosen[k - 1], 1), p.tbv_of(chosen[k], 1));
      }
    }
    for (int i = first; i <= 40; i += 2)
      if (!in.count(i)) best_out = std::max(best_out, p.tbv_of(i, 1));
    EXPECT_GE(worst_in, best_out);
  }

  // Without values (stage 1) every score is 0: distinct animals of the right sex, no draws.
  fixture g(8);
  g.p.tbv.clear();
  const int32_t seed0 = g.state();
  g.select(crit::true_value, 3, 3);
  EXPECT_EQ(g.state(), seed0);
  EXPECT_EQ(std::set<int32_t>(g.p.sires.begin(), g.p.sires.end()).size(), 3u);
  EXPECT_EQ(std::set<int32_t>(g.p.dams.begin(), g.p.dams.end()).size(), 3u);
  for (int32_t a : g.p.sires) EXPECT_TRUE(a % 2 == 1 && a <= 8);
  for (int32_t a : g.p.dams) EXPECT_TRUE(a % 2 == 0 && a <= 8);
}

// Seltype 3 and 4 truncate on the EBVs they are given, through the same
// single-precision sort as the true values: the same numbers as true values
// or as EBVs give the same parents, ties (values equal once rounded to
// float) included.
TEST(Select, TruncationOnEstimatedBreedingValues) {
  fixture f(40);
  qm::population& p = f.p;
  std::vector<double> ebv(40);
  for (int i = 1; i <= 40; ++i) {
    ebv[i - 1] = std::sin(0.9 * i) + (i % 3 == 0 ? 1e-12 * i : 0.0);  // some differ beyond float precision
    if (i % 7 == 0) ebv[i - 1] = 0.5;                                  // and some are equal
    p.tbv_of(i, 1) = -ebv[i - 1];                                      // neither TBV nor phenotype is used
    p.phenotype_of(i, 1) = std::cos(3.1 * i);
  }
  for (crit c : {crit::pedigree_ebv, crit::genomic_ebv}) {
    const int32_t seed0 = f.state();
    EXPECT_THROW(f.select(c, 5, 6), qm::run_stop);  // without estimates
    EXPECT_EQ(f.state(), seed0);
    qm::select_parents(p, c, 5, 6, f.s.st.rng, ebv);
    EXPECT_EQ(f.state(), seed0);
    const std::vector<int32_t> sires = p.sires, dams = p.dams;
    for (int first = 1; first <= 2; ++first) {
      const std::vector<int32_t>& chosen = first == 1 ? sires : dams;
      double worst_in = 1e9, best_out = -1e9;
      std::set<int32_t> in(chosen.begin(), chosen.end());
      for (int32_t a : chosen) worst_in = std::min(worst_in, ebv[a - 1]);
      for (int i = first; i <= 40; i += 2)
        if (!in.count(i)) best_out = std::max(best_out, ebv[i - 1]);
      EXPECT_GE(worst_in, best_out);
    }
    for (int i = 1; i <= 40; ++i) p.tbv_of(i, 1) = ebv[i - 1];
    f.select(crit::true_value, 5, 6);
    EXPECT_EQ(p.sires, sires);
    EXPECT_EQ(p.dams, dams);
    for (int i = 1; i <= 40; ++i) p.tbv_of(i, 1) = -ebv[i - 1];
  }
  // Estimates of another generation size stop the run.
  ebv.pop_back();
  EXPECT_THROW(qm::select_parents(p, crit::pedigree_ebv, 5, 6, f.s.st.rng, ebv), qm::run_stop);
  EXPECT_NE(f.con.text().find("seltype 3 and 4 need the estimates"), std::string::npos);
}

TEST(Select, KeepingEveryAnimal) {
  fixture f(20);
  qm::population& p = f.p;
  for (crit c : {crit::random, crit::true_value}) {
    const int32_t seed0 = f.state();
    f.select(c, 10, 10);
    EXPECT_EQ(f.state(), seed0);
    EXPECT_EQ(p.sires, (std::vector<int32_t>{1, 3, 5, 7, 9, 11, 13, 15, 17, 19}));
    EXPECT_EQ(p.dams, (std::vector<int32_t>{2, 4, 6, 8, 10, 12, 14, 16, 18, 20}));
  }
  // nind 7: three of each sex; 7 is never a candidate, even with the best value.
  p.nind = 7;
  p.tbv.assign(7, 0.0);
  p.tbv_of(7, 1) = 100.0;
  f.select(crit::true_value, 3, 3);
  EXPECT_EQ(p.sires, (std::vector<int32_t>{1, 3, 5}));
  EXPECT_EQ(p.dams, (std::vector<int32_t>{2, 4, 6}));
}

TEST(Select, ParameterErrors) {
  fixture f(40);
  EXPECT_EQ(qm::stage_block{.seltype = 7}.criterion(), crit::unknown);
  EXPECT_EQ(qm::stage_block{.seltype = -1}.criterion(), crit::unknown);
  EXPECT_EQ(qm::stage_block{.seltype = 3}.criterion(), crit::pedigree_ebv);
  EXPECT_EQ(qm::stage_block{.seltype = 4}.criterion(), crit::genomic_ebv);
  // Code 5 is the index only where the stage defines one (a classic block cannot).
  EXPECT_EQ(qm::stage_block{.seltype = 5}.criterion(), crit::unknown);
  qm::stage_block with_index{.seltype = 5};
  with_index.index.criterion = crit::pedigree_ebv;
  EXPECT_EQ(with_index.criterion(), crit::index);
  EXPECT_EQ(with_index.evaluated(), crit::pedigree_ebv);
  EXPECT_THROW(f.select(crit::random, 2, 10), qm::run_stop);
  EXPECT_THROW(f.select(crit::random, 10, 21), qm::run_stop);  // more dams than females
  EXPECT_THROW(f.select(crit::unknown, 2, 10), qm::run_stop);  // code 1 comes first
  const std::string text = f.con.text();
  EXPECT_EQ(text.find("code 2"), std::string::npos);
  const std::string c1 = "Parameter error in select_module! code 1";
  EXPECT_NE(text.find(c1, text.find(c1, text.find(c1) + 1) + 1), std::string::npos);  // three times

  EXPECT_THROW(f.select(crit::unknown, 4, 5), qm::run_stop);
  EXPECT_NE(f.con.text().find("Parameter Error in select_module! code 2"), std::string::npos);
}

TEST(Select, RandomDrawsWithoutReplacement) {
  fixture f(40);  // nhalf 20
  qm::population& p = f.p;
  qm::random_stream ref = f.s.st.rng;
  f.select(crit::random, 5, 7);
  // Reference: sires first, then dams, redrawing animals already taken.
  for (int first = 1; first <= 2; ++first) {
    std::set<int> taken;
    std::vector<int32_t> want;
    while (static_cast<int>(want.size()) < (first == 1 ? 5 : 7)) {
      const int k = 1 + static_cast<int>(20.0 * qm::next_uniform(ref));
      if (taken.insert(k).second) want.push_back(2 * k - 2 + first);
    }
    EXPECT_EQ(first == 1 ? p.sires : p.dams, want);
  }
  EXPECT_EQ(f.state(), ref.state);

  // A uniform of exactly 1.0 picks the last male, not one beyond.
  f.s.st.rng.state = static_cast<int32_t>(qm::mulmod31(2147483600u, qm::jump_multiplier(qm::rmod - 2)));
  qm::random_stream probe = f.s.st.rng;
  ASSERT_EQ(qm::next_uniform(probe), 1.0);
  f.select(crit::random, 19, 19);
  EXPECT_EQ(p.sires[0], 39);
  for (int i = 0; i < 19; ++i) {
    EXPECT_TRUE(p.sires[i] % 2 == 1 && p.sires[i] <= 39);
    EXPECT_TRUE(p.dams[i] % 2 == 0 && p.dams[i] <= 40);
  }
}

TEST(Heapsort, AscendingPermutationWithTies) {
  qm::random_stream r;
  r.state = 4711;
  for (int n : {0, 1, 2, 3, 4, 7, 200, 1001}) {
    for (int range : {0, 1, 30, 100000}) {  // 0: every score equal
      std::vector<float> ra(n);
      std::vector<int32_t> rb(n);
      std::multiset<std::pair<float, int>> before;
      for (int i = 0; i < n; ++i) {
        ra[i] = static_cast<float>(qm::uniform_int(r, 0, range)) - 10.0f;
        rb[i] = i + 1;
        before.insert({ra[i], rb[i]});
      }
      qm::heapsort_by_score(n, ra.data(), rb.data());
      std::multiset<std::pair<float, int>> after;
      for (int i = 0; i < n; ++i) {
        after.insert({ra[i], rb[i]});  // every number stays with its score
        if (i > 0) {
          ASSERT_LE(ra[i - 1], ra[i]) << "n " << n << " range " << range;
        }
      }
      EXPECT_EQ(before, after) << "n " << n << " range " << range;
    }
  }
}

}  // namespace
