// The offspring generation in the packed layout (one bit per allele, two
// alleles per locus): the segments between crossovers copied bit for bit.
#pragma once
#include <cstdint>
#include <vector>

#include "population/meiosis_events.hpp"
#include "population/population.hpp"

namespace qm {

struct offspring_buffers;
struct meiosis_scratch;

// Gametes for offspring haplotypes h0..h1 (inclusive) in the packed layout,
// from stream state st (the state before the first uniform of h0).
void gametes_packed(const population& parents, const std::vector<parent_pair>& offspring, const meiosis_plan& plan,
                    int32_t h0, int32_t h1, uint32_t st, offspring_buffers& out, meiosis_scratch& sc);

}  // namespace qm
