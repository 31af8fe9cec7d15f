#include "population/snp_chip.hpp"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <numeric>
#include <string>

#include "base/invariant_error.hpp"
#include "base/messages.hpp"
#include "base/threads.hpp"

namespace qm {

namespace {

__extension__ typedef __int128 wide;

// Free places of a row of items, found from either side: the first free item
// at or after i, the last free item at or before i (path halving).
class free_items {
 public:
  explicit free_items(int32_t n) : right_(static_cast<size_t>(n) + 1), left_(static_cast<size_t>(n) + 1) {
    std::iota(right_.begin(), right_.end(), 0);  // right_[n] = n: none
    std::iota(left_.begin(), left_.end(), 0);    // left_[i + 1] = i + 1 for item i; left_[0]: none
  }
  // The first free item >= i, or n when none.
  int32_t at_or_after(int32_t i) {
    while (right_[static_cast<size_t>(i)] != i) {
      right_[static_cast<size_t>(i)] = right_[static_cast<size_t>(right_[static_cast<size_t>(i)])];
      i = right_[static_cast<size_t>(i)];
    }
    return i;
  }
  // The last free item <= i, or -1 when none.
  int32_t at_or_before(int32_t i) {
    int32_t j = i + 1;
    while (left_[static_cast<size_t>(j)] != j) {
      left_[static_cast<size_t>(j)] = left_[static_cast<size_t>(left_[static_cast<size_t>(j)])];
      j = left_[static_cast<size_t>(j)];
    }
    return j - 1;
  }
  void take(int32_t i) {
    right_[static_cast<size_t>(i)] = i + 1;
    left_[static_cast<size_t>(i) + 1] = i;
  }

 private:
  std::vector<int32_t> right_, left_;
};

std::string number_text(double v) {
  char b[32];
  std::snprintf(b, sizeof b, "%g", v);
  return b;
}

}  // namespace

std::vector<double> minor_allele_frequencies(const haplotype_matrix& m, int threads) {
  const int32_t nloci = m.loci(), nhap = m.haplotypes();
  std::vector<int32_t> twos(static_cast<size_t>(nloci), 0);
  if (m.packed()) {
    // Whole words of loci per part: the set bits of each row are the copies of allele 2.
    run_parallel_ranges(threads < 1 ? 1 : threads, static_cast<int64_t>(m.words()), [&](int64_t a, int64_t b) {
      for (int32_t h = 0; h < nhap; ++h) {
        const uint64_t* row = m.row(h);
        for (int64_t w = a; w < b; ++w)
          for (uint64_t x = row[w]; x != 0; x &= x - 1)
            ++twos[static_cast<size_t>(64 * w + std::countr_zero(x))];
      }
    });
  } else {
    run_parallel_ranges(threads < 1 ? 1 : threads, nloci, [&](int64_t a, int64_t b) {
      for (int32_t h = 0; h < nhap; ++h) {
        const int8_t* col = m.column(h);
        for (int64_t l = a; l < b; ++l) twos[static_cast<size_t>(l)] += col[l] == 2;
      }
    });
  }
  std::vector<double> maf(static_cast<size_t>(nloci), 0.0);
  if (nhap == 0) return maf;
  for (size_t l = 0; l < maf.size(); ++l) {
    const int32_t minor = std::min(twos[l], nhap - twos[l]);
    maf[l] = static_cast<double>(minor) / static_cast<double>(nhap);
  }
  return maf;
}

std::vector<int32_t> chip_shares(std::span<const int64_t> lengths, std::span<const int32_t> eligible, int32_t n) {
  const size_t nchr = lengths.size();
  std::vector<int32_t> share(nchr, 0);
  std::vector<char> limited(nchr, 0);
  int64_t left = n;
  std::vector<size_t> open;
  std::vector<wide> remainder(nchr, 0);
  for (;;) {
    open.clear();
    wide total = 0;
    for (size_t c = 0; c < nchr; ++c)
      if (!limited[c]) {
        open.push_back(c);
        total += lengths[c];
      }
    if (open.empty() || left <= 0) {
      for (size_t c : open) share[c] = 0;
      break;
    }
    const bool equal = total == 0;
    if (equal) total = static_cast<wide>(open.size());
    int64_t given = 0;
    for (size_t c : open) {
      const wide quota = static_cast<wide>(left) * (equal ? 1 : lengths[c]);
      share[c] = static_cast<int32_t>(quota / total);
      remainder[c] = quota % total;
      given += share[c];
    }
    // The rest one each to the largest remainders, ties to the lower chromosome.
    std::vector<size_t> order = open;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return remainder[a] > remainder[b]; });
    for (int64_t k = 0; k < left - given; ++k) share[order[static_cast<size_t>(k)]] += 1;
    bool any = false;
    for (size_t c : open)
      if (share[c] > eligible[c]) {
        share[c] = eligible[c];
        limited[c] = 1;
        left -= eligible[c];
        any = true;
      }
    if (!any) break;
  }
  return share;
}

std::vector<int32_t> spread_on_chromosome(std::span<const int64_t> positions, int64_t length, int32_t k) {
  const int32_t e = static_cast<int32_t>(positions.size());
  std::vector<int32_t> taken;
  if (k <= 0 || e == 0) return taken;
  free_items items(e);
  // In units of 1 / (2k) base pair: target i at (2i + 1) L, marker j at 2k p_j.
  const auto scaled = [&](int32_t j) { return static_cast<wide>(2 * static_cast<int64_t>(k)) * positions[static_cast<size_t>(j)]; };
  for (int32_t i = 0; i < k && i < e; ++i) {
    const wide target = static_cast<wide>(2 * static_cast<int64_t>(i) + 1) * length;
    // The first marker at or after the target.
    int32_t lo = 0, hi = e;
    while (lo < hi) {
      const int32_t mid = lo + (hi - lo) / 2;
      if (scaled(mid) >= target) hi = mid;
      else lo = mid + 1;
    }
    const int32_t right = items.at_or_after(lo);
    const int32_t left = items.at_or_before(lo - 1);
    int32_t pick = right;
    if (left >= 0 && (right == e || target - scaled(left) <= scaled(right) - target)) {
      // The lowest free marker at the position of the left one.
      const int64_t p = positions[static_cast<size_t>(left)];
      const int32_t first = static_cast<int32_t>(std::lower_bound(positions.begin(), positions.end(), p) - positions.begin());
      pick = items.at_or_after(first);
    }
    items.take(pick);
    taken.push_back(pick);
  }
  std::sort(taken.begin(), taken.end());
  return taken;
}

std::vector<int32_t> choose_chip_markers(const genome_map& map, std::span<const double> maf, double min_maf,
                                         int32_t n, int32_t& eligible_count) {
  const size_t nchr = static_cast<size_t>(std::max(0, map.nchr));
  std::vector<std::vector<int32_t>> eligible(nchr);
  std::vector<std::vector<int64_t>> positions(nchr);
  eligible_count = 0;
  for (int32_t l = 0; l < map.nmark(); ++l) {
    const locus_position& pos = map.markers[static_cast<size_t>(l)];
    if (!chip_eligible(maf[static_cast<size_t>(l)], min_maf)) continue;
    const size_t c = static_cast<size_t>(pos.chromosome - 1);
    eligible[c].push_back(l);
    positions[c].push_back(pos.base_pair);
    ++eligible_count;
  }
  std::vector<int32_t> chip;
  if (eligible_count < n || n <= 0) return chip;
  std::vector<int64_t> lengths(nchr);
  std::vector<int32_t> counts(nchr);
  for (size_t c = 0; c < nchr; ++c) {
    lengths[c] = map.chromosome_base_pairs(static_cast<int32_t>(c) + 1);
    counts[c] = static_cast<int32_t>(eligible[c].size());
  }
  const std::vector<int32_t> share = chip_shares(lengths, counts, n);
  chip.reserve(static_cast<size_t>(n));
  for (size_t c = 0; c < nchr; ++c)
    for (int32_t j : spread_on_chromosome(positions[c], lengths[c], share[c]))
      chip.push_back(eligible[c][static_cast<size_t>(j)]);
  return chip;
}

snp_chip choose_snp_chip(const run_parameters& p, const genome_map& map, const haplotype_matrix& markers,
                         int threads) {
  snp_chip chip;
  if (p.chip_markers <= 0) return chip;
  const std::vector<double> maf = minor_allele_frequencies(markers, threads);
  int32_t eligible = 0;
  chip.markers = choose_chip_markers(map, maf, p.chip_min_maf, p.chip_markers, eligible);
  if (eligible < p.chip_markers) {
    int32_t segregating = 0;
    for (double f : maf) segregating += f > 0.0;
    stop("The SNP chip needs " + std::to_string(p.chip_markers) +
         " markers with a minor-allele frequency of at least " + number_text(p.chip_min_maf) +
         " at the start of stage 2, and " + std::to_string(eligible) + " of the " + std::to_string(map.nmark()) +
         " markers reach it (" + std::to_string(segregating) +
         " segregate). Run more historical generations or more animals in them, a higher marker mutation rate or "
         "more markers per chromosome, or ask for fewer chip markers or a lower min_maf in [chip].");
  }
  chip.maf.reserve(chip.markers.size());
  for (int32_t l : chip.markers) chip.maf.push_back(maf[static_cast<size_t>(l)]);
  return chip;
}

void verify(const snp_chip& chip, int32_t nmark, double min_maf) {
  const auto fail = [](const std::string& what) { throw invariant_error("the SNP chip " + what); };
  if (chip.maf.size() != chip.markers.size())
    fail("has " + std::to_string(chip.markers.size()) + " markers but " + std::to_string(chip.maf.size()) +
         " frequencies");
  for (size_t k = 0; k < chip.markers.size(); ++k) {
    const int32_t l = chip.markers[k];
    if (l < 0 || l >= nmark)
      fail("lists marker " + std::to_string(l + 1) + " of a map of " + std::to_string(nmark) + " markers");
    if (k > 0 && l <= chip.markers[k - 1])
      fail("lists marker " + std::to_string(l + 1) + " after marker " + std::to_string(chip.markers[k - 1] + 1));
    const double f = chip.maf[k];
    if (!chip_eligible(f, min_maf) || !(f <= 0.5))
      fail("has marker " + std::to_string(l + 1) + " at a minor-allele frequency of " + number_text(f) +
           " (the chip needs " + number_text(min_maf) + " to 0.5)");
  }
}

}  // namespace qm
