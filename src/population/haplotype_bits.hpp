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

// The alleles (1 or 2) of a packed row; bits past nloci are not read.
void unpack_haplotype(const uint64_t* words, int64_t nloci, int8_t* alleles);

}  // namespace qm
