// Selection of the parents of the next generation, and its heapsort.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <utility>
#include <vector>

#include "run/messages.hpp"
#include "support.hpp"
#include "values/selection.hpp"

namespace {

struct fixture {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  qm::popstate p;
  explicit fixture(int nind) {
    qmtest::load_par(p, qmtest::set_record(qmtest::small_par(), 18, "3 3 " + std::to_string(nind) + " 30"));
  }
};

std::vector<int> list(const qm::arr1<int32_t>& a) { return std::vector<int>(a.data(), a.data() + a.size()); }

TEST(Select, TruncationOnTraitOne) {
  fixture f(20);  // nhalf 10
  qm::popstate& p = f.p;
  for (int i = 1; i <= 20; ++i) {
    p.bv(i, 1, 1) = std::sin(1.7 * i);  // true breeding value
    p.bv(i, 2, 1) = std::cos(2.3 * i);  // phenotype
  }
  for (int crit = 1; crit <= 2; ++crit) {
    const int32_t seed0 = p.rng.state;
    qm::select_parents(p, crit, 3, 3);
    EXPECT_EQ(p.rng.state, seed0);
    for (int first = 1; first <= 2; ++first) {
      std::vector<std::pair<double, int>> v;
      for (int i = first; i <= 20; i += 2) v.push_back({p.bv(i, crit, 1), i});
      std::sort(v.rbegin(), v.rend());
      const std::vector<int> want = {v[0].second, v[1].second, v[2].second};
      EXPECT_EQ(list(first == 1 ? p.sireid : p.damid), want) << "criterion " << crit;
    }
  }
}

TEST(Select, KeepingEveryAnimal) {
  fixture f(20);
  qm::popstate& p = f.p;
  for (int seltype = 0; seltype <= 1; ++seltype) {
    const int32_t seed0 = p.rng.state;
    qm::select_parents(p, seltype, 10, 10);
    EXPECT_EQ(p.rng.state, seed0);
    EXPECT_EQ(list(p.sireid), (std::vector<int>{1, 3, 5, 7, 9, 11, 13, 15, 17, 19}));
    EXPECT_EQ(list(p.damid), (std::vector<int>{2, 4, 6, 8, 10, 12, 14, 16, 18, 20}));
  }
  // nind 7: three of each sex; 7 is never a candidate, even with the best value.
  p.mtype.alloc(p.nmark, 14);
  p.bv(7, 1, 1) = 100.0;
  qm::select_parents(p, 1, 3, 3);
  EXPECT_EQ(list(p.sireid), (std::vector<int>{1, 3, 5}));
  EXPECT_EQ(list(p.damid), (std::vector<int>{2, 4, 6}));
}

TEST(Select, ParameterErrors) {
  fixture f(40);
  qm::popstate& p = f.p;
  EXPECT_THROW(qm::select_parents(p, 0, 2, 10), qm::run_stop);
  EXPECT_THROW(qm::select_parents(p, 0, 10, 21), qm::run_stop);  // more dams than females
  EXPECT_THROW(qm::select_parents(p, 3, 2, 10), qm::run_stop);   // code 1 comes first
  const std::string text = f.con.text();
  EXPECT_EQ(text.find("code 2"), std::string::npos);
  const std::string c1 = "Parameter error in select_module! code 1";
  EXPECT_NE(text.find(c1, text.find(c1, text.find(c1) + 1) + 1), std::string::npos);  // three times

  EXPECT_THROW(qm::select_parents(p, 3, 4, 5), qm::run_stop);
  EXPECT_NE(f.con.text().find("Parameter Error in select_module! code 2"), std::string::npos);
  EXPECT_EQ(p.sireid.size(), 4);
  EXPECT_EQ(p.damid.size(), 5);
}

TEST(Select, RandomDrawsWithoutReplacement) {
  fixture f(40);  // nhalf 20
  qm::popstate& p = f.p;
  qm::random_stream ref = p.rng;
  qm::select_parents(p, 0, 5, 7);
  // Reference: sires first, then dams, redrawing animals already taken.
  for (int first = 1; first <= 2; ++first) {
    std::set<int> taken;
    std::vector<int> want;
    while (static_cast<int>(want.size()) < (first == 1 ? 5 : 7)) {
      const int k = 1 + static_cast<int>(20.0 * qm::next_uniform(ref));
      if (taken.insert(k).second) want.push_back(2 * k - 2 + first);
    }
    EXPECT_EQ(list(first == 1 ? p.sireid : p.damid), want);
  }
  EXPECT_EQ(p.rng.state, ref.state);

  // A uniform of exactly 1.0 picks the last male, not one beyond.
  p.rng.state = static_cast<int32_t>(qm::mulmod31(2147483600u, qm::jump_multiplier(qm::rmod - 2)));
  qm::random_stream probe = p.rng;
  ASSERT_EQ(qm::next_uniform(probe), 1.0);
  qm::select_parents(p, 0, 19, 19);
  EXPECT_EQ(p.sireid(1), 39);
  for (int i = 1; i <= 19; ++i) {
    EXPECT_TRUE(p.sireid(i) % 2 == 1 && p.sireid(i) <= 39);
    EXPECT_TRUE(p.damid(i) % 2 == 0 && p.damid(i) <= 40);
  }
}

TEST(Sort2, AscendingPermutation) {
  qm::random_stream r;
  r.state = 4711;
  std::vector<float> ra(200);
  std::vector<int32_t> rb(200);
  std::multiset<std::pair<float, int>> before;
  for (int i = 0; i < 200; ++i) {
    ra[i] = static_cast<float>(qm::uniform_int(r, 0, 30)) - 10.0f;  // many ties
    rb[i] = i + 1;
    before.insert({ra[i], rb[i]});
  }
  qm::heapsort_by_score(200, ra.data(), rb.data());
  std::multiset<std::pair<float, int>> after;
  for (int i = 0; i < 200; ++i) {
    after.insert({ra[i], rb[i]});
    if (i > 0) {
      EXPECT_LE(ra[i - 1], ra[i]);
    }
  }
  EXPECT_EQ(before, after);
}

TEST(Sort2, PlacesEqualScoresAsTheHeapsortDoes) {
  // Four equal scores, numbers 1 2 3 4, worked through the heapsort:
  //   l = 3, ir = 4.  l = 2: hold 2; j = 4, not x < ra(4): 2 back at 2.
  //   l = 1: hold 1; j = 2, not x < ra(2): 1 back at 1.          1 2 3 4
  //   hold 4, ra(4) = ra(1), ir = 3; j = 2, stop: 4 at 1.        4 2 3 1
  //   hold 3, ra(3) = ra(1), ir = 2; j = 2, stop: 3 at 1.        3 2 4 1
  //   hold 2, ra(2) = ra(1), ir = 1: 2 at 1, done.               2 3 4 1
  float ra[4] = {0, 0, 0, 0};
  int32_t rb[4] = {1, 2, 3, 4};
  qm::heapsort_by_score(4, ra, rb);
  EXPECT_EQ(std::vector<int>(rb, rb + 4), (std::vector<int>{2, 3, 4, 1}));

  // Scores 0 1 1 for numbers 1 2 3: l = 2, ir = 3.
  //   l = 1: hold (0,1); j = 2 (ra(2) < ra(3) fails on the tie); 0 < 1: (1,2) up, j = 4.
  //   (0,1) at 2.                                                 2 1 3
  //   hold (1,3), ra(3) = ra(1), ir = 2; j = 2, not 1 < 0: at 1.  3 1 2
  //   hold (0,1), ra(2) = ra(1), ir = 1: at 1, done.              1 3 2
  float sa[3] = {0, 1, 1};
  int32_t sb[3] = {1, 2, 3};
  qm::heapsort_by_score(3, sa, sb);
  EXPECT_EQ(std::vector<int>(sb, sb + 3), (std::vector<int>{1, 3, 2}));

  // Stage 1 has no breeding values: truncation sorts scores of 0, and the
  // lists are read from the end of the sorted order: ids 1, 4, 3.
  fixture f(8);  // nhalf 4
  qm::select_parents(f.p, 1, 3, 3);
  EXPECT_EQ(list(f.p.sireid), (std::vector<int>{1, 7, 5}));
  EXPECT_EQ(list(f.p.damid), (std::vector<int>{2, 8, 6}));
}

}  // namespace
