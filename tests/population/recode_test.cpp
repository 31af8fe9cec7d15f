// Recoding every locus to two alleles, and the allele counts behind it.
#include <gtest/gtest.h>

#include <vector>

#include "population/recode.hpp"

namespace {

using rows = std::vector<std::vector<int>>;

// Recodes loci given as rows of alleles (one row per locus) with their tops.
rows recode(const rows& loci, const std::vector<int>& top) {
  const int n = static_cast<int>(loci.size()), nh = static_cast<int>(loci[0].size());
  qm::arr2<int8_t> geno;
  qm::arr2<int16_t> alle;
  geno.alloc(n, nh);
  alle.alloc(n, 2);
  for (int l = 1; l <= n; ++l) {
    for (int h = 1; h <= nh; ++h) geno(l, h) = static_cast<int8_t>(loci[l - 1][h - 1]);
    alle(l, 1) = 99;
    alle(l, 2) = static_cast<int16_t>(top[l - 1]);
  }
  qm::recode_to_two_alleles(n, geno, nh, alle);
  rows out(n, std::vector<int>(nh));
  for (int l = 1; l <= n; ++l) {
    for (int h = 1; h <= nh; ++h) out[l - 1][h - 1] = geno(l, h);
    EXPECT_EQ(alle(l, 1), 99);  // the bookkeeping is left alone
    EXPECT_EQ(alle(l, 2), top[l - 1]);
  }
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

TEST(CountAlleles, CountsPerLocusAndAllele) {
  qm::arr2<int8_t> geno;
  geno.alloc(6, 9);
  for (int l = 1; l <= 6; ++l)
    for (int h = 1; h <= 9; ++h) geno(l, h) = static_cast<int8_t>(1 + (l * h) % 5);
  std::vector<uint32_t> counts;
  qm::count_alleles(geno, 2, 5, counts);
  ASSERT_EQ(counts.size(), 4u * 128);
  for (int l = 2; l <= 5; ++l) {
    for (int a = 0; a < 128; ++a) {
      uint32_t n = 0;
      for (int h = 1; h <= 9; ++h) n += geno(l, h) == a;
      EXPECT_EQ(counts[(l - 2) * 128 + a], n) << l << "," << a;
    }
  }
}

}  // namespace
