#include "population/meiosis_packed.hpp"

#include "base/messages.hpp"
#include "population/haplotype_bits.hpp"
#include "population/meiosis.hpp"
#include "random/stream_parts.hpp"

namespace qm {

namespace {

// Gametes for the offspring haplotypes of one part in the packed layout:
// each chromosome's segments between crossovers are copied bit for bit (the
// offspring's loci are the parent's, so a segment keeps its bit offsets).
// Mutation is off in this layout; a mutation event would be a fault.
void gametes_packed(const offspring_job& job, haplotype_part part, event_list& ev) {
  const population& parents = job.pop;
  const meiosis_plan& plan = job.plan;
  haplotype_matrix &markers = job.buffers.markers, &candidates = job.buffers.candidates;
  const int nchr = plan.nchr, nmpc = plan.nmpc, gaps = nmpc - 1;
  ev.fit(plan);
  const size_t mwords = markers.words(), qwords = candidates.words();
  uint32_t st = part.st;
  bool mutated = false;
  for (int32_t h = part.h0; h <= part.h1; ++h) {
    const parent_pair& pp = job.offspring[static_cast<size_t>(h / 2)];
    const int32_t par = (h & 1) ? pp.dam : pp.sire;
    const uint64_t* pm[2] = {parents.markers.row(2 * par - 2), parents.markers.row(2 * par - 1)};
    const uint64_t* pq[2] = {parents.candidates.row(2 * par - 2), parents.candidates.row(2 * par - 1)};
    uint64_t* om = markers.row(h);
    uint64_t* oq = candidates.row(h);
    if (mwords) om[mwords - 1] = 0;  // the bits past the last locus stay 0
    if (qwords) oq[qwords - 1] = 0;
    for (int c = 0; c < nchr; ++c) {
      find_events(plan, c, st, ev);
      st = mulmod31(st, plan.jump_u);
      const int64_t mb = static_cast<int64_t>(c) * nmpc, qb = static_cast<int64_t>(c) * gaps;
      walk_chromosome(
          ev, nmpc,
          [&](unsigned s, int m0, int m1, int q0, int q1) {
            copy_bits(om, pm[s], mb + m0, mb + m1);
            copy_bits(oq, pq[s], qb + q0, qb + q1);
          },
          [&](int, int) { mutated = true; });
    }
  }
  if (mutated) stop("A locus mutated after the recoding to two alleles, where mutation is off.");
}

}  // namespace

void offspring_in_bits(const offspring_job& job) {
  offspring_buffers& buffers = job.buffers;
  const int32_t nhap = job.haplotypes();
  buffers.markers.resize_packed(job.rates.map.nmark(), nhap, job.nthreads);
  buffers.candidates.resize_packed(job.rates.map.nqloc(), nhap, job.nthreads);
  run_stream_parts_on(job.nthreads, nhap, job.parts, job.per_hap, job.rng,
                      [&](int, int64_t a, int64_t b, uint32_t st, int t) {
                        const haplotype_part part{static_cast<int32_t>(a), static_cast<int32_t>(b - 1), st};
                        gametes_packed(job, part, buffers.scratch[static_cast<size_t>(t)].events[0]);
                      });
  job.pop.marker_alleles.carried_valid = job.pop.candidate_alleles.carried_valid = false;
}

}  // namespace qm
