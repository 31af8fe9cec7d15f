// Meiosis: the offspring generation from the pedigree, with recombination and
// mutation, and the allele bookkeeping of the historical generations.
//
// Every gamete walks each chromosome drawing exactly U = 3 + 4 (nmpc - 1)
// uniforms: the start strand (two), marker 1 (one), then per interval the
// left crossover, the candidate locus, the right crossover and the next
// marker. Since the count is fixed, the stream position of every gamete is
// known in advance: its states are computed directly (several at once,
// each a fixed jump apart), compared with the integer thresholds of their
// positions (u < x exactly when the state is below the threshold of x), and
// the chromosome is copied segment by segment between crossovers. Mutants
// are numbered afterwards in haplotype order.
#pragma once
#include <cstdint>
#include <vector>

#include "population/genome_map.hpp"
#include "population/population.hpp"
#include "random/stream.hpp"

namespace qm {

// The thresholds of every uniform of a gamete, chromosome by chromosome.
struct meiosis_plan {
  int nchr = 0, nmpc = 0, u = 0, upad = 0;  // uniforms per chromosome, padded to a multiple of 8
  bool same_rows = false;                   // every chromosome has the same thresholds
  std::vector<uint32_t> thr;                // nchr x upad (one row when same_rows)
  uint32_t jump_u = 1;                      // 16807^u mod (2^31 - 1)
};
void build_plan(const genome_map& map, double mutm, double mutq, meiosis_plan& plan);

// The event bits of one chromosome: bit i of bits (upad / 64 + 1 words) is
// set when the i-th state after st is below thr[i] (thr holds upad + 8
// entries). vector: the vector kernel where the processor has one; otherwise
// one state at a time.
void event_bits(uint32_t st, const uint32_t* thr, int upad, uint64_t* bits, bool vector);

// A locus that mutated in a gamete; its allele number is given afterwards.
struct mutant {
  int32_t h;      // offspring haplotype column
  int32_t locus;  // marker or candidate locus (offset from 0)
  int8_t marker;  // 1 marker, 0 candidate locus
};

// The offspring haplotypes while they are made.
struct offspring_buffers {
  haplotype_matrix markers, candidates;
};

// Gametes for offspring haplotype columns h0..h1 (inclusive) from stream
// state st (the state before the first uniform of h0); returns the state
// after them. Mutated loci are written as 0 and listed in order.
uint32_t gametes(const population& parents, const std::vector<parent_pair>& offspring, const meiosis_plan& plan,
                 int32_t h0, int32_t h1, uint32_t st, offspring_buffers& out, std::vector<mutant>& mutants);

// The offspring generation of the pedigree given: its haplotypes replace
// those of the population, and the pedigree becomes the population's. The
// mutation rates are those of the generation (0 when mutation is off).
void make_offspring(population& pop, std::vector<parent_pair> offspring, const genome_map& map, double mutm,
                    double mutq, offspring_buffers& buffers, random_stream& rng, int nthreads);

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
