// The allele bookkeeping of the bytes layout: next and top of every locus,
// and the carried sets.
#include "population/meiosis_bytes.hpp"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "base/cpu_features.hpp"

namespace {

TEST(Bookkeeping, NextAndTop) {
  struct locus { int a[6], next, top, want_next, want_top; };
  const locus cases[] = {
      {{1, 2, 3, 5, 5, 1}, 6, 5, 4, 5},  // 4 lost: reused as next; top the largest carried
      {{1, 2, 3, 4, 4, 4}, 5, 4, 5, 4},  // 5 not carried: stays next
      {{2, 3, 4, 2, 3, 4}, 4, 4, 5, 5},  // 2..4 all carried: next = top = hi + 1
      {{1, 1, 1, 1, 1, 1}, 2, 2, 2, 2},  // nothing carried: top 2
      {{1, 3, 1, 3, 1, 1}, 4, 3, 2, 3},  // 2 lost
  };
  qm::haplotype_matrix geno;
  qm::allele_registry alle;
  geno.resize(5, 6);
  alle.reset(5);
  for (int l = 0; l < 5; ++l) {
    for (int h = 0; h < 6; ++h) geno.at(l, h) = static_cast<int8_t>(cases[l].a[h]);
    alle.next[l] = static_cast<int16_t>(cases[l].next);
    alle.top[l] = static_cast<int16_t>(cases[l].top);
  }
  qm::bookkeeping(alle, geno, 2);
  for (int l = 0; l < 5; ++l) {
    EXPECT_EQ(alle.next[l], cases[l].want_next) << l;
    EXPECT_EQ(alle.top[l], cases[l].want_top) << l;
  }

  // The carried sets: bit v of the two words of a locus for every allele v carried.
  std::vector<uint64_t> sets;
  qm::carried_sets(geno, sets);
  ASSERT_EQ(sets.size(), 10u);
  EXPECT_EQ(sets[0], (1u << 1) | (1u << 2) | (1u << 3) | (1u << 5));
  EXPECT_EQ(sets[6], 2u);
  for (int l = 0; l < 5; ++l) EXPECT_EQ(sets[2 * l + 1], 0u);

  // Every number 2..127 carried: next = top = 128, held without a stop.
  geno.resize(1, 126);
  alle.reset(1);
  for (int h = 0; h < 126; ++h) geno.at(0, h) = static_cast<int8_t>(h + 2);
  alle.next[0] = 127;
  alle.top[0] = 126;
  qm::bookkeeping(alle, geno);
  EXPECT_EQ(alle.next[0], 128);
  EXPECT_EQ(alle.top[0], 128);
  qm::carried_sets(geno, sets);
  EXPECT_EQ(sets[0], ~uint64_t{0} << 2);
  EXPECT_EQ(sets[1], ~uint64_t{0});
}

TEST(Bookkeeping, NextAndTopFollowTheRuleForAnySet) {
  // Random carried sets (dense and sparse, in both words) and numbers in
  // use up to past 127, against the rule read number by number: next is the
  // smallest of 2..hi (hi = max(next, top)) not carried, top the largest
  // carried one (2 when none); when all are carried both become hi + 1.
  std::mt19937_64 rng(5);
  const int n = 20000;
  qm::allele_registry alle;
  alle.reset(n);
  std::vector<uint64_t> sets(2 * n);
  std::vector<int> want_next(n), want_top(n);
  for (int l = 0; l < n; ++l) {
    const int density = l % 4;
    for (int w = 0; w < 2; ++w) {
      uint64_t x = rng();
      if (density == 0) x &= rng() & rng();  // sparse
      if (density == 3) x = ~(uint64_t{1} << (rng() % 64));  // all but one
      sets[2 * l + w] = x;
    }
    if (l % 97 == 0) sets[2 * l] = sets[2 * l + 1] = ~uint64_t{0};
    alle.next[l] = static_cast<int16_t>(2 + rng() % 128);
    alle.top[l] = static_cast<int16_t>(2 + rng() % 128);
    const int hi = std::max<int>(alle.next[l], alle.top[l]);
    int first = 0, last = 2;
    for (int v = 2; v <= hi; ++v) {
      const bool has = v < 128 && ((sets[2 * l + v / 64] >> (v % 64)) & 1u);
      if (has) last = v;
      else if (first == 0) first = v;
    }
    want_next[l] = first ? first : hi + 1;
    want_top[l] = first ? last : hi + 1;
  }
  qm::bookkeeping(alle, sets);
  for (int l = 0; l < n; ++l) {
    ASSERT_EQ(alle.next[l], want_next[l]) << l;
    ASSERT_EQ(alle.top[l], want_top[l]) << l;
  }
}

TEST(Bookkeeping, CarriedSetsOfManyLociOnAnyThreadCount) {
  // Enough loci for several parts and for the vector path, with allele
  // numbers above 16 at some loci; the vector path and the plain loop.
  qm::haplotype_matrix geno;
  geno.resize(5000, 30);
  for (int h = 0; h < 30; ++h)
    for (int l = 0; l < 5000; ++l) geno.at(l, h) = static_cast<int8_t>(l % 97 == 0 ? 1 + (h * 7 + l) % 120 : 1 + (h + l) % 5);
  std::vector<uint64_t> one, three, plain;
  qm::carried_sets(geno, one, 1);
  qm::carried_sets(geno, three, 3);
  EXPECT_EQ(one, three);
  qm::use_vector_kernels(false);  // the plain loop, as on a processor without AVX2
  qm::carried_sets(geno, plain, 2);
  qm::use_vector_kernels(true);
  EXPECT_EQ(plain, one);
  for (int l = 0; l < 5000; ++l) {
    uint64_t w[2] = {0, 0};
    for (int h = 0; h < 30; ++h) {
      const int v = geno.at(l, h);
      w[v >> 6] |= uint64_t{1} << (v & 63);
    }
    ASSERT_EQ(one[2 * l], w[0]) << l;
    ASSERT_EQ(one[2 * l + 1], w[1]) << l;
  }
}

}  // namespace
