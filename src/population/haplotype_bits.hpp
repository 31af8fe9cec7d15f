// One haplotype row at one bit per locus: locus l (0-based) is bit l % 64 of
// word l / 64, set for allele 2 and clear for allele 1; bits past the last
// locus of the row are clear. This is the layout of the haplotypes in a
// history file (see docs/history_format.md), and the one a packed
// haplotype matrix keeps in memory, so that rows pass between the two
// word for word.
#pragma once
#include <cstdint>

namespace qm {

// Words needed for a row of nloci loci.
inline int64_t haplotype_words(int64_t nloci) { return (nloci + 63) / 64; }

// Packs alleles[0..nloci) (each 1 or 2) into haplotype_words(nloci) words.
// Returns -1 when every allele is 1 or 2, otherwise the first locus that
// holds another value (the words are then incomplete).
int64_t pack_haplotype(const int8_t* alleles, int64_t nloci, uint64_t* words);

// Loci l0..l1-1 of a packed row as alleles 1 and 2 into alleles[0..l1-l0).
void unpack_haplotype_range(const uint64_t* words, int64_t l0, int64_t l1, int8_t* alleles);

// The alleles (1 or 2) of a packed row; bits past nloci are not read.
inline void unpack_haplotype(const uint64_t* words, int64_t nloci, int8_t* alleles) {
  unpack_haplotype_range(words, 0, nloci, alleles);
}

// Loci l0..l1-1 of row src into the same loci of row dst, whole words in the
// middle and masked at the ends; the other bits of dst stay as they are.
inline void copy_bits(uint64_t* dst, const uint64_t* src, int64_t l0, int64_t l1) {
  if (l0 >= l1) return;
  const int64_t w0 = l0 >> 6, w1 = (l1 - 1) >> 6;
  const uint64_t first = ~uint64_t{0} << (l0 & 63);
  const uint64_t last = ~uint64_t{0} >> (63 - ((l1 - 1) & 63));
  if (w0 == w1) {
    const uint64_t m = first & last;
    dst[w0] = (dst[w0] & ~m) | (src[w0] & m);
    return;
  }
  dst[w0] = (dst[w0] & ~first) | (src[w0] & first);
  for (int64_t w = w0 + 1; w < w1; ++w) dst[w] = src[w];
  dst[w1] = (dst[w1] & ~last) | (src[w1] & last);
}

}  // namespace qm
