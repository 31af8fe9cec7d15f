// The offspring generation in the bytes layout (one allele number per byte):
// gametes with mutation, the mutants numbered afterwards in haplotype order,
// and the allele bookkeeping (the carried sets, next and top of every locus).
//
// The chromosomes are copied segment by segment between crossovers, in
// batches of 8 gametes, into rows that the allele bookkeeping tallies and
// that go to the haplotype matrix past the caches.
#pragma once
#include <cstdint>
#include <vector>

#include "population/meiosis_events.hpp"
#include "population/population.hpp"

namespace qm {

// A locus that mutated in a gamete; its allele number is given afterwards.
struct mutant {
  int32_t h;      // offspring haplotype column
  int32_t locus;  // marker or candidate locus (offset from 0)
  int8_t marker;  // 1 marker, 0 candidate locus
};

// Per-locus tallies of the allele numbers of the haplotypes made by one
// thread: bit v of lo (v < 8) or hi (8 <= v < 16), and the largest number.
struct allele_tally {
  std::vector<uint8_t> lo, hi, top;
  void clear(int32_t nloci);
};

struct offspring_job;

// The offspring haplotypes in the bytes layout: gametes with mutation, the
// mutants numbered, and the allele bookkeeping when it is asked for.
void offspring_in_bytes(const offspring_job& job, bool bookkeeping);

// The allele numbers carried at every locus of geno: bit v of the two words
// sets[2l], sets[2l + 1] is set when some haplotype carries v at locus l.
void carried_sets(const haplotype_matrix& geno, std::vector<uint64_t>& sets, int nthreads = 1);

// Bookkeeping of the allele numbers of every locus (next: the smallest lost
// number of 2..hi, or hi + 1; top: the largest carried one) from the sets.
void bookkeeping(allele_registry& alle, const std::vector<uint64_t>& sets);
// The same from the alleles themselves.
void bookkeeping(allele_registry& alle, const haplotype_matrix& geno, int nthreads = 1);

// The bookkeeping of a historical generation: markers, then candidate loci;
// keeps the carried sets for the mutants of the next generation.
void allele_bookkeeping(population& pop, int nthreads);

}  // namespace qm
