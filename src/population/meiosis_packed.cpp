#include "population/meiosis_packed.hpp"

#include "base/messages.hpp"
#include "population/haplotype_bits.hpp"
#include "population/meiosis.hpp"

namespace qm {

// Gametes for offspring haplotypes h0..h1 (inclusive) in the packed layout,
// from stream state st (the state before the first uniform of h0): each
// chromosome's segments between crossovers are copied bit for bit (the
// offspring's loci are the parent's, so a segment keeps its bit offsets).
// Mutation is off in this layout; a mutation event would be a fault.
void gametes_packed(const population& parents, const std::vector<parent_pair>& offspring, const meiosis_plan& plan,
                    int32_t h0, int32_t h1, uint32_t st, offspring_buffers& out, meiosis_scratch& sc) {
  const int nchr = plan.nchr, nmpc = plan.nmpc, gaps = nmpc - 1;
  event_list& ev = sc.events[0];
  ev.fit(plan);
  const size_t mwords = out.markers.words(), qwords = out.candidates.words();
  bool mutated = false;
  for (int32_t h = h0; h <= h1; ++h) {
    const parent_pair& pp = offspring[static_cast<size_t>(h / 2)];
    const int32_t par = (h & 1) ? pp.dam : pp.sire;
    const uint64_t* pm[2] = {parents.markers.row(2 * par - 2), parents.markers.row(2 * par - 1)};
    const uint64_t* pq[2] = {parents.candidates.row(2 * par - 2), parents.candidates.row(2 * par - 1)};
    uint64_t* om = out.markers.row(h);
    uint64_t* oq = out.candidates.row(h);
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

}  // namespace qm
