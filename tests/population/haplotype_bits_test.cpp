// One bit per locus: the layout (locus 64w + i is bit i of word w, allele 2
// a set bit, the bits past the last locus clear) written out by hand for
// rows across word boundaries, the round trip, and alleles that a two-allele
// row cannot hold.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "population/haplotype_bits.hpp"

namespace {

TEST(HaplotypeBits, LayoutAcrossWordBoundaries) {
  // 130 loci: allele 2 at loci 0, 63, 64, 100 and 129, allele 1 elsewhere.
  std::vector<int8_t> row(130, 1);
  for (int l : {0, 63, 64, 100, 129}) row[static_cast<size_t>(l)] = 2;
  ASSERT_EQ(qm::haplotype_words(130), 3);
  std::vector<uint64_t> w(3, ~uint64_t{0});
  EXPECT_EQ(qm::pack_haplotype(row.data(), 130, w.data()), -1);
  EXPECT_EQ(w[0], (uint64_t{1} << 0) | (uint64_t{1} << 63));
  EXPECT_EQ(w[1], (uint64_t{1} << 0) | (uint64_t{1} << 36));
  EXPECT_EQ(w[2], uint64_t{1} << 1);  // locus 129 = 2 * 64 + 1; bits 2..63 padding, clear

  std::vector<int8_t> back(130, 0);
  qm::unpack_haplotype(w.data(), 130, back.data());
  EXPECT_EQ(back, row);
}

TEST(HaplotypeBits, RoundTripForEveryRowLength) {
  std::mt19937 gen(7);
  for (int64_t n : {1, 2, 63, 64, 65, 127, 128, 129, 1000}) {
    std::vector<int8_t> row(static_cast<size_t>(n));
    for (int8_t& a : row) a = static_cast<int8_t>(1 + (gen() & 1));
    std::vector<uint64_t> w(static_cast<size_t>(qm::haplotype_words(n)));
    ASSERT_EQ(qm::pack_haplotype(row.data(), n, w.data()), -1) << n;
    // Padding bits of the last word are clear.
    const int used = static_cast<int>(n % 64);
    if (used) {
      EXPECT_EQ(w.back() >> used, 0u) << n;
    }
    std::vector<int8_t> back(static_cast<size_t>(n), 0);
    qm::unpack_haplotype(w.data(), n, back.data());
    EXPECT_EQ(back, row) << n;
  }
  EXPECT_EQ(qm::haplotype_words(0), 0);
}

TEST(HaplotypeBits, AnAlleleOtherThanOneOrTwoIsFound) {
  for (int8_t bad : {int8_t{0}, int8_t{3}, int8_t{-1}, int8_t{127}}) {
    std::vector<int8_t> row(200, 2);
    row[150] = bad;
    row[170] = bad;
    std::vector<uint64_t> w(4);
    EXPECT_EQ(qm::pack_haplotype(row.data(), 200, w.data()), 150) << int(bad);
  }
}

}  // namespace
