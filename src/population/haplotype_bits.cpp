#include "population/haplotype_bits.hpp"

namespace qm {

int64_t pack_haplotype(const int8_t* alleles, int64_t nloci, uint64_t* words) {
  const int64_t nw = haplotype_words(nloci);
  for (int64_t w = 0; w < nw; ++w) {
    const int64_t l0 = 64 * w;
    const int n = static_cast<int>(nloci - l0 < 64 ? nloci - l0 : 64);
    uint64_t bits = 0;
    uint8_t bad = 0;
    for (int i = 0; i < n; ++i) {
      // 1 -> 0, 2 -> 1; anything else leaves a bit above bit 0 in a.
      const uint8_t a = static_cast<uint8_t>(alleles[l0 + i] - 1);
      bad |= static_cast<uint8_t>(a & 0xFE);
      bits |= static_cast<uint64_t>(a & 1u) << i;
    }
    if (bad) {
      for (int i = 0; i < n; ++i)
        if (alleles[l0 + i] != 1 && alleles[l0 + i] != 2) return l0 + i;
    }
    words[w] = bits;
  }
  return -1;
}

void unpack_haplotype(const uint64_t* words, int64_t nloci, int8_t* alleles) {
  const int64_t nw = haplotype_words(nloci);
  for (int64_t w = 0; w < nw; ++w) {
    const int64_t l0 = 64 * w;
    const int n = static_cast<int>(nloci - l0 < 64 ? nloci - l0 : 64);
    const uint64_t bits = words[w];
    for (int i = 0; i < n; ++i) alleles[l0 + i] = static_cast<int8_t>(1 + ((bits >> i) & 1u));
  }
}

}  // namespace qm
