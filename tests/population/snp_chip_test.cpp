// The choice of a SNP chip: frequencies in both layouts against counts made
// from the alleles written in, the shares of the chromosomes on cases worked
// by hand, the nearest-free-marker rule against a brute-force search, the
// whole choice against frequencies recomputed from the haplotypes, and the
// stop of a run that has too few markers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "base/messages.hpp"
#include "population/snp_chip.hpp"
#include "support.hpp"

namespace {

// A two-allele matrix of nloci x nhap from the alleles given (a[h][l]).
qm::haplotype_matrix matrix_of(const std::vector<std::vector<int8_t>>& a, bool packed) {
  qm::haplotype_matrix m;
  const int32_t nhap = static_cast<int32_t>(a.size()), nloci = static_cast<int32_t>(a[0].size());
  m.resize(nloci, nhap);
  for (int32_t h = 0; h < nhap; ++h)
    for (int32_t l = 0; l < nloci; ++l) m.at(l, h) = a[static_cast<size_t>(h)][static_cast<size_t>(l)];
  if (packed) qm::pack_haplotypes(m);
  return m;
}

// Haplotypes whose allele-2 frequency differs from locus to locus (some fixed).
std::vector<std::vector<int8_t>> random_alleles(int32_t nhap, int32_t nloci, uint32_t seed) {
  std::mt19937 g(seed);
  std::vector<double> q(static_cast<size_t>(nloci));
  for (auto& x : q) {
    const int kind = static_cast<int>(g() % 5);
    x = kind == 0 ? 0.0 : kind == 1 ? 1.0 : std::uniform_real_distribution<double>(0, 1)(g);
  }
  std::vector<std::vector<int8_t>> a(static_cast<size_t>(nhap), std::vector<int8_t>(static_cast<size_t>(nloci)));
  for (auto& row : a)
    for (int32_t l = 0; l < nloci; ++l)
      row[static_cast<size_t>(l)] = std::uniform_real_distribution<double>(0, 1)(g) < q[static_cast<size_t>(l)] ? 2 : 1;
  return a;
}

double maf_of(const std::vector<std::vector<int8_t>>& a, int32_t l) {
  int twos = 0;
  for (const auto& row : a) twos += row[static_cast<size_t>(l)] == 2;
  const int n = static_cast<int>(a.size());
  return static_cast<double>(std::min(twos, n - twos)) / static_cast<double>(n);
}

TEST(SnpChip, FrequenciesInBothLayoutsAreTheCountsOfTheAlleles) {
  // 150 loci: more than two words of bits, the last one partly used.
  const auto a = random_alleles(38, 150, 7);
  for (bool packed : {false, true})
    for (int threads : {1, 3}) {
      const std::vector<double> f = qm::minor_allele_frequencies(matrix_of(a, packed), threads);
      ASSERT_EQ(f.size(), 150u);
      for (int32_t l = 0; l < 150; ++l) EXPECT_EQ(f[static_cast<size_t>(l)], maf_of(a, l)) << "locus " << l;
    }
}

TEST(SnpChip, SharesFollowLengthsByLargestRemainderAndPassOnWhatAChromosomeCannotTake) {
  const std::vector<int32_t> plenty(3, 1000);
  // Equal lengths: 10 / 3 = 3 each, the one left to the lowest chromosome.
  EXPECT_EQ(qm::chip_shares(std::vector<int64_t>{5, 5, 5}, plenty, 10), (std::vector<int32_t>{4, 3, 3}));
  // Lengths 1 : 2 : 3 of 7: quotas 7/6, 14/6, 21/6: whole parts 1, 2, 3 and the
  // one left to the largest remainder (3/6, chromosome 3).
  EXPECT_EQ(qm::chip_shares(std::vector<int64_t>{100, 200, 300}, plenty, 7), (std::vector<int32_t>{1, 2, 4}));
  // Every length 0: equal shares.
  EXPECT_EQ(qm::chip_shares(std::vector<int64_t>{0, 0}, plenty, 5), (std::vector<int32_t>{3, 2}));
  // Chromosome 1 has one eligible marker of a share of 4: the 9 left are
  // shared by chromosomes 2 and 3, 4.5 each, the tie to chromosome 2.
  EXPECT_EQ(qm::chip_shares(std::vector<int64_t>{5, 5, 5}, std::vector<int32_t>{1, 100, 100}, 10),
            (std::vector<int32_t>{1, 5, 4}));
  // Two limited in one round: lengths 4 : 4 : 1 : 1 of 20 give 8, 8, 2, 2;
  // chromosomes 1 and 2 keep their 3 and 6, the 11 left go 5.5 each to 3 and 4.
  EXPECT_EQ(qm::chip_shares(std::vector<int64_t>{4, 4, 1, 1}, std::vector<int32_t>{3, 6, 50, 50}, 20),
            (std::vector<int32_t>{3, 6, 6, 5}));
  // Limits in two rounds: chromosome 1 keeps 3 of its 8; the 17 left give
  // 17 x 4/6 = 11.33, 2.83, 2.83: 11, 2, 2 and the two left to the larger
  // remainders (chromosomes 3 and 4): 11, 3, 3; chromosome 2 keeps its 9, and
  // the 8 left go 4 each to chromosomes 3 and 4.
  EXPECT_EQ(qm::chip_shares(std::vector<int64_t>{4, 4, 1, 1}, std::vector<int32_t>{3, 9, 50, 50}, 20),
            (std::vector<int32_t>{3, 9, 4, 4}));
  // Exactly as many eligible markers as asked: all of them.
  EXPECT_EQ(qm::chip_shares(std::vector<int64_t>{9, 1}, std::vector<int32_t>{2, 3}, 5), (std::vector<int32_t>{2, 3}));

  // Random cases: the sum, the limits, and unlimited chromosomes within one of
  // their exact quota of what the limited ones left.
  std::mt19937 g(11);
  for (int rep = 0; rep < 500; ++rep) {
    const size_t nchr = 1 + g() % 6;
    std::vector<int64_t> len(nchr);
    std::vector<int32_t> el(nchr);
    for (size_t c = 0; c < nchr; ++c) {
      len[c] = 1 + static_cast<int64_t>(g() % 1000000);
      el[c] = static_cast<int32_t>(g() % 60);
    }
    const int32_t total = std::accumulate(el.begin(), el.end(), 0);
    if (total == 0) continue;
    const int32_t n = 1 + static_cast<int32_t>(g() % static_cast<uint32_t>(total));
    const std::vector<int32_t> s = qm::chip_shares(len, el, n);
    ASSERT_EQ(std::accumulate(s.begin(), s.end(), 0), n);
    int64_t open_len = 0;
    int32_t open_n = n;
    for (size_t c = 0; c < nchr; ++c) {
      ASSERT_GE(s[c], 0);
      ASSERT_LE(s[c], el[c]);
      if (s[c] == el[c]) open_n -= s[c];
      else open_len += len[c];
    }
    for (size_t c = 0; c < nchr; ++c)
      if (s[c] < el[c]) {
        const double quota = static_cast<double>(open_n) * static_cast<double>(len[c]) / static_cast<double>(open_len);
        EXPECT_LT(std::abs(s[c] - quota), 1.0 + 1e-9) << "case " << rep << " chromosome " << c + 1;
      }
  }
}

// The nearest-free rule spelled out: each target in turn scans every marker.
std::vector<int32_t> spread_brute_force(const std::vector<int64_t>& pos, int64_t length, int32_t k) {
  std::vector<char> taken(pos.size(), 0);
  std::vector<int32_t> out;
  for (int32_t i = 0; i < k; ++i) {
    // target (2i + 1) L / 2k; distances times 2k, exact in long double for these sizes
    const long double target = static_cast<long double>(2 * i + 1) * static_cast<long double>(length);
    int32_t best = -1;
    long double best_d = 0;
    for (size_t j = 0; j < pos.size(); ++j) {
      if (taken[j]) continue;
      const long double d = std::abs(2.0L * k * static_cast<long double>(pos[j]) - target);
      if (best < 0 || d < best_d) {
        best = static_cast<int32_t>(j);
        best_d = d;
      }
    }
    taken[static_cast<size_t>(best)] = 1;
    out.push_back(best);
  }
  std::sort(out.begin(), out.end());
  return out;
}

TEST(SnpChip, SpreadTakesTheNearestFreeMarkerOfEachTargetAsABruteForceSearchDoes) {
  // By hand: markers at 0, 10, 20, ..., 100 on a chromosome of 100, k = 4:
  // targets 12.5, 37.5, 62.5, 87.5 take 10, 40, 60, 90.
  std::vector<int64_t> even;
  for (int64_t x = 0; x <= 100; x += 10) even.push_back(x);
  EXPECT_EQ(qm::spread_on_chromosome(even, 100, 4), (std::vector<int32_t>{1, 4, 6, 9}));
  // A target half-way between two markers takes the lower; a marker taken is
  // passed over: targets 25 and 75 of [0, 50, 50, 100] with k = 2 take 0 and
  // 50 (the first of the two at 50).
  EXPECT_EQ(qm::spread_on_chromosome(std::vector<int64_t>{0, 50, 50, 100}, 100, 2), (std::vector<int32_t>{0, 1}));
  // Every marker when k is their number.
  EXPECT_EQ(qm::spread_on_chromosome(std::vector<int64_t>{3, 3, 3}, 10, 3), (std::vector<int32_t>{0, 1, 2}));

  std::mt19937 g(3);
  for (int rep = 0; rep < 3000; ++rep) {
    const int32_t e = 1 + static_cast<int32_t>(g() % 30);
    const int64_t length = static_cast<int64_t>(g() % 200);
    std::vector<int64_t> pos(static_cast<size_t>(e));
    // few distinct positions in some cases, so that markers share them
    const int64_t span = rep % 3 == 0 ? std::max<int64_t>(1, length / 20) : length + 1;
    for (auto& p : pos) p = static_cast<int64_t>(g() % static_cast<uint64_t>(span)) * (length + 1) / span;
    std::sort(pos.begin(), pos.end());
    const int32_t k = 1 + static_cast<int32_t>(g() % static_cast<uint32_t>(e));
    ASSERT_EQ(qm::spread_on_chromosome(pos, length, k), spread_brute_force(pos, length, k))
        << "case " << rep << ": " << e << " markers, k " << k << ", length " << length;
  }
}

// A map of nchr chromosomes of nmpc evenly spaced markers (chromosome c of
// length c x 10^6 base pairs when unequal).
qm::genome_map even_map(int32_t nchr, int32_t nmpc, bool unequal) {
  qm::genome_map m;
  m.nchr = nchr;
  m.nmpc = nmpc;
  for (int32_t c = 1; c <= nchr; ++c) {
    const int64_t len = unequal ? c * int64_t{1000000} : int64_t{1000000};
    for (int32_t j = 0; j < nmpc; ++j) m.markers.push_back({c, 0.0, len * j / (nmpc - 1)});
  }
  return m;
}

TEST(SnpChip, ChosenMarkersReachMinMafAndFollowTheSharesAndTheSpread) {
  const qm::genome_map map = even_map(3, 60, true);
  const auto a = random_alleles(50, map.nmark(), 5);
  for (bool packed : {false, true}) {
    const std::vector<double> maf = qm::minor_allele_frequencies(matrix_of(a, packed), 2);
    int32_t eligible = 0;
    const std::vector<int32_t> chip = qm::choose_chip_markers(map, maf, 0.1, 40, eligible);
    // eligible recounted from the alleles
    int32_t expected_eligible = 0;
    std::vector<std::vector<int32_t>> per(3);
    std::vector<std::vector<int64_t>> pos(3);
    for (int32_t l = 0; l < map.nmark(); ++l)
      if (maf_of(a, l) >= 0.1) {
        ++expected_eligible;
        const size_t c = static_cast<size_t>(map.markers[static_cast<size_t>(l)].chromosome - 1);
        per[c].push_back(l);
        pos[c].push_back(map.markers[static_cast<size_t>(l)].base_pair);
      }
    ASSERT_EQ(eligible, expected_eligible);
    ASSERT_GE(eligible, 40);
    ASSERT_EQ(chip.size(), 40u);
    EXPECT_TRUE(std::is_sorted(chip.begin(), chip.end()));
    for (int32_t l : chip) EXPECT_GE(maf_of(a, l), 0.1) << "marker " << l + 1;
    // per chromosome: the shares of lengths 1 : 2 : 3, each spread by the brute-force rule
    const std::vector<int32_t> share = qm::chip_shares(
        std::vector<int64_t>{1000000, 2000000, 3000000},
        std::vector<int32_t>{static_cast<int32_t>(per[0].size()), static_cast<int32_t>(per[1].size()),
                             static_cast<int32_t>(per[2].size())},
        40);
    std::vector<int32_t> expected;
    for (size_t c = 0; c < 3; ++c)
      for (int32_t j : spread_brute_force(pos[c], static_cast<int64_t>(c + 1) * 1000000, share[c]))
        expected.push_back(per[c][static_cast<size_t>(j)]);
    EXPECT_EQ(chip, expected);
  }
  // Monomorphic markers never qualify, also with min_maf 0.
  std::vector<double> maf(static_cast<size_t>(map.nmark()), 0.0);
  maf[5] = maf[70] = 0.25;
  int32_t eligible = 0;
  EXPECT_EQ(qm::choose_chip_markers(map, maf, 0.0, 2, eligible), (std::vector<int32_t>{5, 70}));
  EXPECT_EQ(eligible, 2);
  EXPECT_TRUE(qm::choose_chip_markers(map, maf, 0.0, 3, eligible).empty());
}

TEST(SnpChip, TooFewEligibleMarkersStopWithTheNumbersAndWhatToChange) {
  const qm::genome_map map = even_map(2, 10, false);
  std::vector<std::vector<int8_t>> a(20, std::vector<int8_t>(20, 1));
  // markers 1..6: 2, 4, ..., 12 copies of allele 2 of 20 (maf 0.1 .. 0.4); marker 7: one copy
  for (int32_t l = 0; l < 6; ++l)
    for (int32_t h = 0; h < 2 * (l + 1); ++h) a[static_cast<size_t>(h)][static_cast<size_t>(l)] = 2;
  a[0][6] = 2;
  qm::run_parameters p;
  p.chip_markers = 6;
  p.chip_min_maf = 0.15;  // markers 2..6 reach it
  qmtest::console_capture console;
  std::string message;
  try {
    qm::choose_snp_chip(p, map, matrix_of(a, true));
  } catch (const qm::run_stop& e) {
    message = e.what();
  }
  EXPECT_NE(message.find("needs 6 markers"), std::string::npos) << message;
  EXPECT_NE(message.find("at least 0.15"), std::string::npos) << message;
  EXPECT_NE(message.find("5 of the 20 markers reach it (7 segregate)"), std::string::npos) << message;
  for (const char* change : {"more historical generations", "mutation rate", "more markers", "lower min_maf"})
    EXPECT_NE(message.find(change), std::string::npos) << change;

  p.chip_markers = 5;
  const qm::snp_chip chip = qm::choose_snp_chip(p, map, matrix_of(a, false));
  EXPECT_EQ(chip.markers, (std::vector<int32_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(chip.maf, (std::vector<double>{0.2, 0.3, 0.4, 0.5, 0.4}));
  p.chip_markers = 0;
  EXPECT_FALSE(qm::choose_snp_chip(p, map, matrix_of(a, false)).defined());
}

TEST(SnpChip, VerifyFindsEveryDamage) {
  qm::snp_chip good;
  good.markers = {1, 4, 9};
  good.maf = {0.1, 0.5, 0.25};
  EXPECT_EQ(qmtest::invariant_fault([&] { qm::verify(good, 10, 0.1); }), "");
  auto damaged = [&](auto change) {
    qm::snp_chip c = good;
    change(c);
    return qmtest::invariant_fault([&] { qm::verify(c, 10, 0.1); });
  };
  EXPECT_NE(damaged([](qm::snp_chip& c) { c.maf.pop_back(); }).find("3 markers but 2 frequencies"), std::string::npos);
  EXPECT_NE(damaged([](qm::snp_chip& c) { c.markers[2] = 10; }).find("marker 11 of a map of 10"), std::string::npos);
  EXPECT_NE(damaged([](qm::snp_chip& c) { c.markers[1] = 1; }).find("marker 2 after marker 2"), std::string::npos);
  EXPECT_NE(damaged([](qm::snp_chip& c) { c.maf[0] = 0.05; }).find("marker 2 at a minor-allele frequency of 0.05"),
            std::string::npos);
  EXPECT_NE(damaged([](qm::snp_chip& c) { c.maf[1] = 0.6; }).find("0.6"), std::string::npos);
}

}  // namespace
