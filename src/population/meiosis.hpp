// Meiosis: the offspring generation from the pedigree, with recombination and
// mutation, and the allele bookkeeping of the historical generations.
//
// Every gamete walks each chromosome drawing exactly U = 3 + 4 (nmpc - 1)
// uniforms: the start strand (two), marker 1 (one), then per interval the
// left crossover, the candidate locus, the right crossover and the next
// marker. Since the count is fixed, the stream position of every gamete is
// known in advance. The vector kernel cuts a chromosome's U positions into
// 16 consecutive blocks and walks them side by side, one state of each block
// per step (a multiplication by 16807 in every lane), comparing each state
// with the integer threshold of its position (u < x exactly when the state
// is below the threshold of x). The few positions below their threshold are
// listed in order, and the chromosome is copied segment by segment between
// crossovers, in batches of 8 gametes, into rows that the allele bookkeeping
// tallies and that go to the haplotype matrix past the caches. Mutants are
// numbered afterwards in haplotype order.
#pragma once
#include <cstdint>
#include <vector>

#include "population/genome_map.hpp"
#include "population/population.hpp"
#include "random/stream.hpp"

namespace qm {

// The thresholds of every uniform of a gamete, chromosome by chromosome,
// plainly and in the block layout of the vector kernel.
struct meiosis_plan {
  static constexpr int blocks = 16;
  int nchr = 0, nmpc = 0, u = 0;  // u: uniforms per chromosome
  bool same_rows = false;         // every chromosome has the same thresholds
  std::vector<uint32_t> thr;      // nchr x u (one row when same_rows)
  uint32_t jump_u = 1;            // 16807^u mod (2^31 - 1)
  // Block b of a chromosome holds positions b * steps .. b * steps + steps - 1
  // (steps: a multiple of 4). lanes: per row, for each step k the 16
  // thresholds of positions b * steps + k; 0 (never fires) past u and at
  // positions 0 and 1, the start strand, which the kernel draws apart.
  // pair_max: per row, for every four steps, the largest threshold of their
  // even steps and that of their odd steps.
  int steps = 0;
  std::vector<uint32_t> lanes, pair_max;
  uint32_t block_jump[blocks] = {};  // 16807^(b * steps)
  alignas(32) uint64_t lane_jump[blocks] = {};  // the same in the order of the kernel's registers
  const uint32_t* row(int c) const { return thr.data() + (same_rows ? 0 : static_cast<size_t>(c) * u); }
  const uint32_t* lane_row(int c) const {
    return lanes.data() + (same_rows ? 0 : static_cast<size_t>(c) * steps * blocks);
  }
  const uint32_t* pair_max_row(int c) const { return pair_max.data() + (same_rows ? 0 : static_cast<size_t>(c) * steps / 2); }
};
void build_plan(const genome_map& map, double mutm, double mutq, meiosis_plan& plan);
// The block layout (steps, lanes, pair_max, block_jump, lane_jump) from
// nchr, u, same_rows and thr.
void lay_out_blocks(meiosis_plan& plan);

// The positions of one chromosome whose state is below their threshold.
struct event_list {
  std::vector<int32_t> pos;    // in increasing order; count entries are valid
  std::vector<uint64_t> hits;  // the kernel's steps with a hit: step << 16 | block mask
  int count = 0;
  void fit(const meiosis_plan& plan);
};

// The events of chromosome c (0-based) of a gamete whose states follow st.
// vector: the vector kernel where the processor has one; otherwise one state
// at a time (the same list).
void find_events(const meiosis_plan& plan, int c, uint32_t st, event_list& out, bool vector = true);

// Tests: false makes the engine use its plain loops everywhere, as on a
// processor without AVX2 (events one state at a time, tallies byte by
// byte, plain stores); true (the default) uses the vector kernels where the
// processor has them.
void use_vector_kernels(bool on);

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

// What one thread needs while it makes gametes: the events of two
// chromosomes, the chromosomes of a batch of gametes, the stream jumps
// within a batch, the parental cache lines asked for, the cache lines to
// store, and the mutants of the batch per gamete. Each starts a cache line
// of its own: the scratch of two threads side by side in one vector would
// otherwise share one, which both write.
struct alignas(64) meiosis_scratch {
  event_list events[2];
  std::vector<int8_t> rows;
  int rows_stride = 0;  // the layout rows was set up for (its padding is -1)
  std::vector<uint32_t> jump;
  std::vector<const int8_t*> lines;
  struct span {  // n bytes (whole cache lines of dst) to store
    int8_t* dst;
    const int8_t* src;
    int n;
  };
  std::vector<span> puts;
  std::vector<std::vector<mutant>> pending;
};

// The offspring haplotypes while they are made, the tallies that the
// bookkeeping gathers on the way, the scratch (one per thread), and the plan
// of the generation, built again only when the map or the rates change (a
// 64-bit hash of the recombination fractions and the rates tells).
struct offspring_buffers {
  haplotype_matrix markers, candidates;
  std::vector<allele_tally> marker_tally, candidate_tally;
  std::vector<meiosis_scratch> scratch;
  const meiosis_plan& plan_for(const genome_map& map, double mutm, double mutq);

 private:
  meiosis_plan plan_;
  bool plan_built_ = false;
  uint64_t plan_key_ = 0;
};

// The offspring generation of the pedigree given: its haplotypes replace
// those of the population, and the pedigree becomes the population's. The
// mutation rates are those of the generation (0 when mutation is off).
// bookkeeping: also what allele_bookkeeping does afterwards, with the
// carried sets gathered while the haplotypes are copied (the same result).
void make_offspring(population& pop, std::vector<parent_pair> offspring, const genome_map& map, double mutm,
                    double mutq, offspring_buffers& buffers, random_stream& rng, int nthreads,
                    bool bookkeeping = false);

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
