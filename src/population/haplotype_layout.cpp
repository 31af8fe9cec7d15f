// Conversions between the two layouts of a haplotype matrix: one byte per
// allele, and one bit per allele for loci with the alleles 1 and 2.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "population/population.hpp"
#include "run/messages.hpp"
#include "run/threads.hpp"

namespace qm {

namespace {

// Eight alleles (1 or 2) from the eight bits of a byte, lowest bit first.
struct byte_alleles {
  uint64_t t[256];
  byte_alleles() {
    for (int b = 0; b < 256; ++b) {
      uint64_t v = 0;
      for (int i = 0; i < 8; ++i) v |= static_cast<uint64_t>(1 + ((b >> i) & 1)) << (8 * i);
      t[b] = v;
    }
  }
};
const byte_alleles eight;

}  // namespace

void haplotype_matrix::unpack_bits(const uint64_t* row, int32_t l0, int32_t l1, int8_t* out) {
  int32_t l = l0;
  // the loci before the first whole byte of bits
  for (; l < l1 && (l & 7); ++l) *out++ = static_cast<int8_t>(1 + ((row[l >> 6] >> (l & 63)) & 1u));
  for (; l + 8 <= l1; l += 8) {
    const unsigned b = static_cast<unsigned>((row[l >> 6] >> (l & 63)) & 0xffu);
    std::memcpy(out, &eight.t[b], 8);
    out += 8;
  }
  for (; l < l1; ++l) *out++ = static_cast<int8_t>(1 + ((row[l >> 6] >> (l & 63)) & 1u));
}

void pack_haplotypes(haplotype_matrix& geno, int nthreads) {
  if (geno.packed()) return;
  const int32_t nloci = geno.loci(), nhap = geno.haplotypes();
  haplotype_matrix bits;
  bits.resize_packed(nloci, nhap);
  const size_t words = bits.words();
  std::vector<int32_t> bad(static_cast<size_t>(std::max(1, nhap)), -1);
  run_parallel(nthreads, nhap, [&](int h) {
    const int8_t* g = geno.column(h);
    uint64_t* r = bits.row(h);
    for (size_t w = 0; w < words; ++w) {
      const int32_t l0 = static_cast<int32_t>(64 * w), l1 = std::min(nloci, l0 + 64);
      uint64_t v = 0;
      unsigned odd = 0;
      for (int32_t l = l0; l < l1; ++l) {
        const unsigned a = static_cast<uint8_t>(g[l]) - 1u;  // 0 or 1
        odd |= a;
        v |= static_cast<uint64_t>(a & 1u) << (l - l0);
      }
      r[w] = v;
      if (odd & ~1u) {
        for (int32_t l = l0; l < l1; ++l)
          if (g[l] != 1 && g[l] != 2) {
            bad[static_cast<size_t>(h)] = l;
            break;
          }
      }
    }
  });
  for (int32_t h = 0; h < nhap; ++h)
    if (bad[static_cast<size_t>(h)] >= 0) {
      const int32_t l = bad[static_cast<size_t>(h)];
      stop("Locus " + std::to_string(l + 1) + " of haplotype " + std::to_string(h + 1) + " carries allele " +
           std::to_string(geno.allele(l, h)) + " after the recoding to two alleles; the one-bit layout takes alleles 1 and 2 only.");
    }
  geno.swap(bits);
}

void unpack_haplotypes(haplotype_matrix& geno, int nthreads) {
  if (!geno.packed()) return;
  haplotype_matrix bytes;
  bytes.resize(geno.loci(), geno.haplotypes());
  run_parallel(nthreads, geno.haplotypes(),
               [&](int h) { haplotype_matrix::unpack_bits(geno.row(h), 0, geno.loci(), bytes.column(h)); });
  geno.swap(bytes);
}

}  // namespace qm
