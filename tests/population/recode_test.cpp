// Recoding every locus to two alleles, and the allele counts behind it.
#include <gtest/gtest.h>

#include <vector>

#include "population/recode.hpp"

namespace {

using rows = std::vector<std::vector<int>>;

// Recodes loci given as rows of alleles (one row per locus) with their tops.
rows recode(const rows& loci, const std::vector<int>& top, int threads = 1) {
  const int n = static_cast<int>(loci.size()), nh = static_cast<int>(loci[0].size());
  qm::haplotype_matrix geno;
  qm::allele_registry alle;
  geno.resize(n, nh);
  alle.reset(n);
  for (int l = 0; l < n; ++l) {
    for (int h = 0; h < nh; ++h) geno.at(l, h) = static_cast<int8_t>(loci[l][h]);
    alle.next[l] = 99;
    alle.top[l] = static_cast<int16_t>(top[l]);
  }
  qm::recode_to_two_alleles(geno, alle, threads);
  rows out(n, std::vector<int>(nh));
  for (int l = 0; l < n; ++l)
    for (int h = 0; h < nh; ++h) out[l][h] = geno.at(l, h);
  return out;
}

TEST(Recodem, AlleleNearestOneHalfBecomesOne) {
  // 2 and 3 both at 1/4 from one half: the higher number wins.
  EXPECT_EQ(recode({{1, 1, 1, 1, 2, 2, 3, 3}}, {3}), (rows{{2, 2, 2, 2, 2, 2, 1, 1}}));
  // f(2) = 0.4, f(3) = 0.2.
  EXPECT_EQ(recode({{1, 1, 1, 1, 1, 1, 2, 3, 3, 3}}, {3}), (rows{{2, 2, 2, 2, 2, 2, 2, 1, 1, 1}}));

  const rows got = recode({{1, 1, 1, 1},    // no mutation ever: allele 2 absent, chosen, all 2
                           {2, 2, 2, 2},    // 2 fixed: chosen, all 1
                           {2, 2, 2, 2},    // 2 fixed but 3 (absent) ties at 0.5 and wins: all 2
                           {1, 3, 3, 4},    // 2 absent, f(3) = 0, f(4) = 0.25: 3 chosen
                           {5, 2, 2, 2}},   // top 4: 5 is never a candidate, f(2) = 0.25 wins over 0.5
                          {2, 2, 3, 4, 4});
  EXPECT_EQ(got, (rows{{2, 2, 2, 2}, {1, 1, 1, 1}, {2, 2, 2, 2}, {2, 1, 1, 2}, {2, 1, 1, 1}}));
}

TEST(Recodem, SameCodesOnAnyThreadCount) {
  // Many loci with several alleles each: every locus ends with alleles 1
  // and 2 only, and the result does not depend on the thread count.
  rows loci(3000, std::vector<int>(20));
  std::vector<int> top(3000);
  for (int l = 0; l < 3000; ++l) {
    top[l] = 2 + l % 6;
    for (int h = 0; h < 20; ++h) loci[l][h] = 1 + (h * (l % 7 + 1) + l) % (top[l]);
  }
  const rows one = recode(loci, top, 1), three = recode(loci, top, 3);
  EXPECT_EQ(one, three);
  for (const auto& r : one)
    for (int a : r) ASSERT_TRUE(a == 1 || a == 2);
}

TEST(CountAlleles, CountsPerLocusAndAllele) {
  qm::haplotype_matrix geno;
  geno.resize(6, 9);
  for (int l = 1; l <= 6; ++l)
    for (int h = 1; h <= 9; ++h) geno.at(l - 1, h - 1) = static_cast<int8_t>(1 + (l * h) % 5);
  std::vector<uint32_t> counts;
  qm::count_alleles(geno, 1, 4, counts);  // loci 2..5
  ASSERT_EQ(counts.size(), 4u * 128);
  for (int l = 2; l <= 5; ++l) {
    for (int a = 0; a < 128; ++a) {
      uint32_t n = 0;
      for (int h = 1; h <= 9; ++h) n += geno.at(l - 1, h - 1) == a;
      EXPECT_EQ(counts[(l - 2) * 128 + a], n) << l << "," << a;
    }
  }
}

TEST(CountAlleles, NearestHalf) {
  // 8 haplotypes: allele 2 at 0.25, 3 at 0.75, 4 absent; 2 and 3 tie at
  // 0.25 from one half and the higher number wins; from 4 on only 4 is a choice.
  uint32_t c[128] = {};
  c[2] = 2, c[3] = 6;
  EXPECT_EQ(qm::nearest_half(c, 2, 4, 8), 3);
  EXPECT_EQ(qm::nearest_half(c, 4, 4, 8), 4);
  c[2] = 3, c[3] = 5;  // 0.375 against 0.625: still a tie
  EXPECT_EQ(qm::nearest_half(c, 1, 3, 8), 3);
  c[2] = 4, c[3] = 3;  // 2 at exactly one half
  EXPECT_EQ(qm::nearest_half(c, 1, 3, 8), 2);
  EXPECT_EQ(qm::nearest_half(c, 1, 200, 8), 2);  // numbers from 128 on count 0
}

}  // namespace
