#include "population/recode.hpp"

#include <algorithm>
#include <cmath>

#include "base/threads.hpp"

namespace qm {

void count_alleles(const haplotype_matrix& geno, int l0, int l1, std::vector<uint32_t>& counts) {
  const size_t n = l1 >= l0 ? static_cast<size_t>(l1 - l0 + 1) : 0;
  counts.assign(n * 128, 0);
  if (geno.packed()) {
    // Alleles 2 are the set bits; the rest are 1.
    uint32_t* c = counts.data();
    for (int h = 0; h < geno.haplotypes() && n; ++h) {
      const uint64_t* r = geno.row(h);
      for (int w = l0 >> 6; w <= (l1 >> 6); ++w) {
        uint64_t bits = r[w];
        if (64 * w < l0) bits &= ~uint64_t{0} << (l0 - 64 * w);
        if (64 * w + 63 > l1) bits &= ~uint64_t{0} >> (64 * w + 63 - l1);
        for (; bits; bits &= bits - 1) ++c[static_cast<size_t>(64 * w + __builtin_ctzll(bits) - l0) * 128 + 2];
      }
    }
    const uint32_t nh = static_cast<uint32_t>(geno.haplotypes());
    for (size_t l = 0; l < n; ++l) c[l * 128 + 1] = nh - c[l * 128 + 2];
    return;
  }
  for (int h = 0; h < geno.haplotypes(); ++h) {
    const int8_t* g = geno.column(h) + l0;
    uint32_t* c = counts.data();
    for (size_t l = 0; l < n; ++l) ++c[l * 128 + (static_cast<uint8_t>(g[l]) & 127u)];
  }
}

int nearest_half(const uint32_t* counts, int from, int top, int32_t nh) {
  float best = 1.0f;
  int chosen = 0;
  for (int a = from; a <= top; ++a) {
    const uint32_t cnt = a < 128 ? counts[a] : 0;
    const float f = std::fabs(0.5f - static_cast<float>(cnt) / static_cast<float>(nh));
    if (f <= best) {
      best = f;
      chosen = a;
    }
  }
  return chosen;
}

std::vector<int8_t> recode_loci(haplotype_matrix& geno, int nthreads,
                                const std::function<int(int, const uint32_t*)>& pick) {
  constexpr int block = 512;  // loci per part: their counts stay in cache
  const int n = geno.loci();
  std::vector<int8_t> code(static_cast<size_t>(n), 0);
  // One table of counts per thread (256 kB), not one per part: a new table
  // is 64 pages touched for the first time.
  std::vector<std::vector<uint32_t>> tables(static_cast<size_t>(std::max(1, nthreads)));
  run_parallel_on(nthreads, (n + block - 1) / block, [&](int k, int t) {
    const int l0 = k * block, l1 = std::min(n, l0 + block) - 1;
    std::vector<uint32_t>& counts = tables[static_cast<size_t>(t)];
    count_alleles(geno, l0, l1, counts);
    for (int l = l0; l <= l1; ++l)
      code[static_cast<size_t>(l)] = static_cast<int8_t>(pick(l, counts.data() + static_cast<size_t>(l - l0) * 128));
  });
  if (geno.packed()) {
    // Allele 1 stays where code 1 is chosen; code 2 swaps the alleles; a
    // code of an allele no haplotype carries makes every allele 2.
    const size_t words = geno.words();
    std::vector<uint64_t> flip(words, 0), set(words, 0);
    for (int l = 0; l < n; ++l) {
      const int8_t c = code[static_cast<size_t>(l)];
      const uint64_t bit = uint64_t{1} << (l & 63);
      if (c == 2) flip[static_cast<size_t>(l >> 6)] |= bit;
      else if (c != 0 && c != 1) set[static_cast<size_t>(l >> 6)] |= bit;
    }
    run_parallel_ranges(nthreads, geno.haplotypes(), [&](int64_t a, int64_t b) {
      for (int32_t h = static_cast<int32_t>(a); h < b; ++h) {
        uint64_t* r = geno.row(h);
        for (size_t w = 0; w < words; ++w) r[w] = (r[w] ^ flip[w]) | set[w];
      }
    });
    return code;
  }
  run_parallel_ranges(nthreads, geno.haplotypes(), [&](int64_t a, int64_t b) {
    for (int32_t h = static_cast<int32_t>(a); h < b; ++h) {
      int8_t* g = geno.column(h);
      for (int l = 0; l < n; ++l) {
        const int8_t c = code[static_cast<size_t>(l)];
        if (c != 0) g[l] = g[l] == c ? 1 : 2;
      }
    }
  });
  return code;
}

void recode_to_two_alleles(haplotype_matrix& geno, const allele_registry& alleles, int nthreads) {
  const int32_t nh = geno.haplotypes();
  recode_loci(geno, nthreads, [&](int l, const uint32_t* c) { return nearest_half(c, 2, alleles.top[static_cast<size_t>(l)], nh); });
}

}  // namespace qm
