#include "population/haplotype_bits.hpp"

#include <bit>
#include <cstring>

namespace qm {

int64_t pack_haplotype(const int8_t* alleles, int64_t nloci, uint64_t* words) {
  const int64_t nw = haplotype_words(nloci);
  for (int64_t w = 0; w < nw; ++w) {
    const int64_t l0 = 64 * w;
    const int n = static_cast<int>(nloci - l0 < 64 ? nloci - l0 : 64);
    uint64_t bits = 0, bad = 0;
    if (n == 64) {
      // Eight loci at a time: allele - 1 in every byte (0 or 1; the lowest
      // byte holding anything else leaves a bit above bit 0 of its byte),
      // then bit 0 of byte k moved to bit k: the product with
      // 0x0102040810204080 puts byte k's bit at bit 56 + k, without carries.
      for (int k = 0; k < 8; ++k) {
        uint64_t x;
        std::memcpy(&x, alleles + l0 + 8 * k, 8);
        if constexpr (std::endian::native != std::endian::little) x = __builtin_bswap64(x);
        const uint64_t y = x - 0x0101010101010101ull;
        bad |= y & 0xFEFEFEFEFEFEFEFEull;
        bits |= ((y * 0x0102040810204080ull) >> 56) << (8 * k);
      }
    } else {
      for (int i = 0; i < n; ++i) {
        // 1 -> 0, 2 -> 1; anything else leaves a bit above bit 0 in a.
        const uint8_t a = static_cast<uint8_t>(alleles[l0 + i] - 1);
        bad |= static_cast<uint8_t>(a & 0xFE);
        bits |= static_cast<uint64_t>(a & 1u) << i;
      }
    }
    if (bad) {
      for (int i = 0; i < n; ++i)
        if (alleles[l0 + i] != 1 && alleles[l0 + i] != 2) return l0 + i;
    }
    words[w] = bits;
  }
  return -1;
}

namespace {

// The eight alleles of every byte of bits, as eight bytes in memory order.
struct byte_alleles {
  uint8_t a[256][8];
  byte_alleles() {
    for (int b = 0; b < 256; ++b)
      for (int i = 0; i < 8; ++i) a[b][i] = static_cast<uint8_t>(1 + ((b >> i) & 1));
  }
};
const byte_alleles expand;

}  // namespace

void unpack_haplotype_range(const uint64_t* words, int64_t l0, int64_t l1, int8_t* alleles) {
  int64_t l = l0;
  // the loci before the first whole byte of bits, then eight at a time
  for (; l < l1 && (l & 7); ++l) *alleles++ = static_cast<int8_t>(1 + ((words[l >> 6] >> (l & 63)) & 1u));
  for (; l + 8 <= l1; l += 8) {
    std::memcpy(alleles, expand.a[(words[l >> 6] >> (l & 63)) & 0xFF], 8);
    alleles += 8;
  }
  for (; l < l1; ++l) *alleles++ = static_cast<int8_t>(1 + ((words[l >> 6] >> (l & 63)) & 1u));
}

}  // namespace qm
