// Recoding to two alleles at the end of the historical stage, and the
// allele counts it shares with the QTL choice. Loci are offsets from 0.
#pragma once
#include <cstdint>
#include <functional>
#include <vector>

#include "population/population.hpp"

namespace qm {

// counts[(l - l0) * 128 + a]: haplotypes carrying allele a at locus l, for
// loci l0..l1 (inclusive) of geno; alleles are taken modulo 128.
void count_alleles(const haplotype_matrix& geno, int l0, int l1, std::vector<uint32_t>& counts);

// The allele of from..top whose frequency among nh haplotypes is nearest one
// half (|0.5 - count/nh| in single precision), the higher number on a tie.
// counts[a] is the count of allele a (alleles from 128 on count 0).
int nearest_half(const uint32_t* counts, int from, int top, int32_t nh);

// Recodes every locus of geno to two alleles: code[l] = pick(l, counts of
// locus l); where it is not 0, the allele code[l] becomes 1 and every other
// allele 2. Blocks of loci are counted on up to nthreads threads. Returns
// the codes.
std::vector<int8_t> recode_loci(haplotype_matrix& geno, int nthreads,
                                const std::function<int(int, const uint32_t*)>& pick);

// At every locus the allele of 2..top (the highest number in use) whose
// frequency is nearest one half (the higher number on a tie) becomes 1, all
// others 2.
void recode_to_two_alleles(haplotype_matrix& geno, const allele_registry& alleles, int nthreads = 1);

}  // namespace qm
