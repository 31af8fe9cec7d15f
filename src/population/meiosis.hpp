// Meiosis: the offspring generation from the pedigree, with recombination and
// mutation, and the allele bookkeeping of the historical generations.
//
// The pieces: meiosis_events.hpp finds the events of every chromosome of a
// gamete (start strand, crossovers, mutations) from the random stream;
// meiosis_bytes.hpp copies the gametes one byte per allele, with mutation
// and the allele bookkeeping; meiosis_packed.hpp copies them one bit per
// allele. This header keeps what they share (the rates and buffers of a
// generation, the scratch of a thread, the generation and the part that the
// copies take) and the entry that makes a generation.
#pragma once
#include <cstdint>
#include <vector>

#include "population/genome_map.hpp"
#include "population/meiosis_bytes.hpp"
#include "population/meiosis_events.hpp"
#include "population/population.hpp"
#include "random/stream.hpp"

namespace qm {

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
  std::vector<line_span> puts;
  std::vector<std::vector<mutant>> pending;
};

// What the gametes of a generation follow: the recombination fractions of
// the map, and the mutation rates of the generation per marker and per
// candidate locus (0 when mutation is off).
struct meiosis_rates {
  const genome_map& map;
  double mutm = 0.0, mutq = 0.0;
};

// The offspring haplotypes while they are made, the tallies that the
// bookkeeping gathers on the way, the scratch (one per thread), and the plan
// of the generation, built again only when the map or the rates change (a
// 64-bit hash of the recombination fractions and the rates tells).
struct offspring_buffers {
  haplotype_matrix markers, candidates;
  std::vector<allele_tally> marker_tally, candidate_tally;
  std::vector<meiosis_scratch> scratch;
  const meiosis_plan& plan_for(const meiosis_rates& rates);

 private:
  meiosis_plan plan_;
  bool plan_built_ = false;
  uint64_t plan_key_ = 0;
};

// The offspring generation of the pedigree given: its haplotypes replace
// those of the population, and the pedigree becomes the population's.
// bookkeeping: also what allele_bookkeeping does afterwards, with the
// carried sets gathered while the haplotypes are copied (the same result).
void make_offspring(population& pop, std::vector<parent_pair> offspring, const meiosis_rates& rates,
                    offspring_buffers& buffers, random_stream& rng, int nthreads, bool bookkeeping = false);

// A generation while its haplotypes are made, as the copies of both layouts
// take it: the parents (the population, whose haplotypes are read and whose
// allele numbers the mutants follow), the offspring's pedigree, the rates and
// their plan, the buffers, and the cut of the offspring haplotypes into
// parts of consecutive haplotypes, each drawn from its own stream position.
struct offspring_job {
  population& pop;
  const std::vector<parent_pair>& offspring;
  const meiosis_rates& rates;
  const meiosis_plan& plan;
  offspring_buffers& buffers;
  random_stream& rng;
  int nthreads = 1;
  int parts = 1;          // parts of consecutive haplotypes
  int used = 1;           // threads that make them (each with its scratch and tallies)
  uint64_t per_hap = 0;   // uniforms drawn for one haplotype
  int32_t haplotypes() const { return 2 * static_cast<int32_t>(offspring.size()); }
};

// One part: offspring haplotype columns h0..h1 (inclusive), and the stream
// state before the first uniform of h0.
struct haplotype_part {
  int32_t h0, h1;
  uint32_t st;
};

}  // namespace qm
