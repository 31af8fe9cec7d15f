// Meiosis: the offspring generation from the pedigree, with recombination and
// mutation, and the allele bookkeeping of the historical generations.
//
// Every gamete walks each chromosome drawing exactly 3 + 4 (nmpc - 1)
// uniforms: start strand (two), marker 1 (one), then per interval the left
// crossover, the candidate locus, the right crossover and the next marker.
// A uniform u is compared with x as its state against the integer threshold
// of x, which gives the same answer without forming u.
#pragma once
#include <cstdint>
#include <vector>

#include "run/state.hpp"

namespace qm {

// Integer thresholds of the map (2 x nqloc, like recf), fixed for a run.
struct maptable {
  std::vector<uint32_t> t;  // t[2(k-1)] left, t[2(k-1)+1] right of locus k
};
void build_maptable(const popstate& p, maptable& m);

// A locus that mutated in a gamete; its allele number is given afterwards,
// in haplotype order.
struct mutant {
  int32_t h;      // offspring haplotype
  int32_t locus;  // marker or candidate locus number
  int8_t marker;  // 1 marker, 0 candidate locus
};

// Gametes for haplotypes h0..h1 (inclusive) starting from stream state st;
// returns the state after them. Mutated loci are written as 0 and listed.
uint32_t gametes(popstate& p, const maptable& m, uint32_t tmm, uint32_t tmq, int32_t h0, int32_t h1,
                 uint32_t st, std::vector<mutant>& out);

// Offspring genotypes of the generation described by ped; replaces mtype and qtype.
void genotype(popstate& p);

// Bookkeeping of the allele numbers (next and top) of every locus from the
// alleles of the current generation.
void bookkeeping(arr2<int16_t>& alle, const arr2<int8_t>& geno);

}  // namespace qm
