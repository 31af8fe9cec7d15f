// Mating designs: nested, random without sib matings, random.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <vector>

#include "base/invariant_error.hpp"
#include "base/messages.hpp"
#include "population/mating.hpp"
#include "support.hpp"

namespace {

struct fixture {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  qmtest::run_setup s{qmtest::small_par()};  // nind 40, every animal its own sire and dam
  qm::population& p = s.st.pop;
  qm::random_stream& rng = s.st.rng;
  std::vector<qm::parent_pair> o;  // the offspring of the last mating
  // Sires 1, 3, 5, ... and dams 2, 4, 6, ...
  void lists(int nsire, int ndam) {
    p.sires.assign(nsire, 0);
    p.dams.assign(ndam, 0);
    for (int k = 1; k <= nsire; ++k) p.sires[k - 1] = 2 * k - 1;
    for (int k = 1; k <= ndam; ++k) p.dams[k - 1] = 2 * k;
  }
  void mate(int design, int noff) { o = qm::mate_parents(p, design, noff, rng); }
  int sire(int k) const { return o[k - 1].sire; }
  int dam(int k) const { return o[k - 1].dam; }
  int count(const std::string& what) {
    const std::string t = con.text();
    int n = 0;
    for (size_t at = t.find(what); at != std::string::npos; at = t.find(what, at + 1)) ++n;
    return n;
  }
};

TEST(RandMate, NestedDesignFamilies) {
  fixture f;
  f.lists(10, 50);
  qm::random_stream ref = f.rng;
  f.mate(0, 100);  // dps 5, litter 2
  EXPECT_EQ(f.con.text(), "");
  ASSERT_EQ(f.o.size(), 100u);
  std::vector<char> taken(51, 0);
  for (int i = 1; i <= 10; ++i) {
    for (int j = 0; j < 5; ++j) {
      int d;  // reference dam draw: redrawn until an unused dam turns up
      do d = 1 + static_cast<int>(50.0 * qm::next_uniform(ref));
      while (taken[d]);
      taken[d] = 1;
      for (int k = 10 * (i - 1) + 2 * j + 1; k <= 10 * (i - 1) + 2 * j + 2; ++k) {
        EXPECT_EQ(f.sire(k), 2 * i - 1);
        EXPECT_EQ(f.dam(k), 2 * d);
      }
    }
  }
  EXPECT_EQ(ref.state, f.rng.state);  // so every dam was used once
  EXPECT_EQ(f.p.nind, 40);            // the current generation is left as it is

  // 10 offspring of 4 dams and 2 sires: litter 3, the last family gets 1.
  f.lists(2, 4);
  f.mate(0, 10);
  EXPECT_EQ(f.count("litter size may not be equal for different families."), 1);
  std::vector<int> sizes;
  for (int k = 1; k <= 10; ++k) {
    if (k == 1 || f.dam(k) != f.dam(k - 1)) sizes.push_back(0);
    ++sizes.back();
    EXPECT_EQ(f.sire(k), k <= 6 ? 1 : 3);
  }
  EXPECT_EQ(sizes, (std::vector<int>{3, 3, 3, 1}));
}

TEST(RandMate, MoreSiresThanDamsStops) {
  for (int design = 0; design <= 2; ++design) {
    fixture f;
    f.lists(5, 4);
    EXPECT_THROW(f.mate(design, 40), qm::run_stop);
    EXPECT_EQ(f.count("No. sire larger than dam. Program cannot run."), 1) << design;
  }
}

TEST(RandMate, RandomDesignOneSire) {
  fixture f;
  f.lists(1, 5);
  qm::random_stream ref = f.rng;
  f.mate(2, 20);
  EXPECT_EQ(f.con.text(), "");
  for (int k = 1; k <= 20; ++k) {
    qm::next_uniform(ref);  // the sire draw
    EXPECT_EQ(f.sire(k), 1);
    EXPECT_EQ(f.dam(k), 2 * (1 + static_cast<int>(5.0 * qm::next_uniform(ref))));
  }
  EXPECT_EQ(ref.state, f.rng.state);
}

TEST(RandMate, AvoidsSibMatingsWithinCaps) {
  fixture f;
  // Parents in four paternal groups of 10 and five maternal groups of 8,
  // crossed, so that sharing a dam and sharing a sire are separate tests.
  for (int i = 1; i <= 40; ++i) f.p.parents[i - 1] = {1 + 2 * ((i - 1) / 10), 2 + 2 * ((i - 1) % 5)};
  auto sire_of = [&](int i) { return f.p.parents[i - 1].sire; };
  auto dam_of = [&](int i) { return f.p.parents[i - 1].dam; };
  for (int nsire : {20, 10, 5}) {
    f.lists(nsire, 20);
    for (int k = 1; k <= nsire; ++k) f.p.sires[k - 1] = 2 * k * (20 / nsire) - 1;  // spread over the groups
    f.mate(1, 30);  // litter 2, dps 20 / nsire
    std::map<int, int> sons, daughters;
    for (int k = 1; k <= 30; ++k) {
      const int s = f.sire(k), d = f.dam(k);
      EXPECT_NE(sire_of(s), sire_of(d)) << "paternal sibs mated: " << s << " x " << d;
      EXPECT_NE(dam_of(s), dam_of(d)) << "maternal sibs mated: " << s << " x " << d;
      ++sons[s];
      ++daughters[d];
    }
    for (auto [d, n] : daughters) EXPECT_LE(n, 2) << d;
    for (auto [s, n] : sons) EXPECT_LE(n, (20 / nsire) * 2) << s;
  }
}

TEST(RandMate, UnavoidableSibMatingStopsAfterThousandWarnings) {
  fixture f;
  for (int i = 1; i <= 40; ++i) f.p.parents[i - 1].sire = 99;  // all of them paternal half sibs
  f.lists(3, 3);
  const int32_t seed0 = f.rng.state;
  EXPECT_THROW(f.mate(1, 6), qm::run_stop);
  EXPECT_EQ(f.count("Sib mate may not be avoided."), 1000);
  EXPECT_EQ(f.count("Sib mate cannot be avoided. Program cannot run."), 1);
  // Every attempt: one sire draw and 100 refused dam draws.
  EXPECT_EQ(static_cast<uint32_t>(f.rng.state), qm::mulmod31(static_cast<uint32_t>(seed0), qm::jump_multiplier(1000ull * 101)));
}

TEST(RandMate, UniformOfOneStaysInTheList) {
  for (int design = 0; design <= 2; ++design) {
    fixture f;
    f.lists(3, 6);
    f.rng.state = static_cast<int32_t>(qm::mulmod31(2147483600u, qm::jump_multiplier(qm::rmod - 2)));  // next u = 1.0
    qm::random_stream probe = f.rng;
    ASSERT_EQ(qm::next_uniform(probe), 1.0);
    f.mate(design, 12);
    for (int k = 1; k <= 12; ++k) {
      EXPECT_TRUE(f.sire(k) >= 1 && f.sire(k) <= 5);
      EXPECT_TRUE(f.dam(k) >= 2 && f.dam(k) <= 12);
    }
    // The first draw picks the last entry of its list (a dam in design 0, a sire otherwise).
    EXPECT_EQ(design == 0 ? f.dam(1) : f.sire(1), design == 0 ? 12 : 5);
  }
}

// The message of the invariant_error of verify_mating ("" when none).
std::string mating_fault(const qm::population& p, const std::vector<qm::parent_pair>& o) {
  try {
    qm::verify_mating(p, o);
  } catch (const qm::invariant_error& e) {
    return e.what();
  }
  return "";
}

TEST(VerifyMating, EveryDesignPassesAndForeignParentsAreCaught) {
  for (int design = 0; design <= 2; ++design) {
    fixture f;
    // Sires 3, 7, 11, ... and dams 4, 8, 12, ...: every other animal of each
    // sex is not selected.
    f.lists(5, 10);
    for (int32_t& s : f.p.sires) s = 2 * s + 1;
    for (int32_t& d : f.p.dams) d *= 2;
    f.mate(design, 40);
    EXPECT_EQ(mating_fault(f.p, f.o), "") << design;
  }
  fixture f;
  f.lists(5, 10);
  for (int32_t& s : f.p.sires) s = 2 * s + 1;
  for (int32_t& d : f.p.dams) d *= 2;
  f.mate(2, 40);
  std::vector<qm::parent_pair> o = f.o;
  // A male, but not a selected one; a dam of the sire list's sex.
  o[6].sire = 1;
  EXPECT_EQ(mating_fault(f.p, o), "offspring 7 has sire 1, who is not in the sire list");
  o = f.o;
  o[39].dam = 2;
  EXPECT_EQ(mating_fault(f.p, o), "offspring 40 has dam 2, who is not in the dam list");
  // Parents outside the generation, or of the wrong sex (verify_parents).
  o = f.o;
  o[0].sire = 41;
  EXPECT_EQ(mating_fault(f.p, o), "animal 1 has sire 41, outside the generation before (1..40)");
  o = f.o;
  o[2].dam = 3;
  EXPECT_EQ(mating_fault(f.p, o), "animal 3 has dam 3, a male");
}

}  // namespace
