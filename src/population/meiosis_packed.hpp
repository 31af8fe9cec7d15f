// The offspring generation in the packed layout (one bit per allele, two
// alleles per locus): the segments between crossovers copied bit for bit.
#pragma once

namespace qm {

struct offspring_job;

// The offspring haplotypes in the packed layout. Mutation is off in this
// layout, and the allele numbers need no bookkeeping: the carried sets of
// the parents no longer hold.
void offspring_in_bits(const offspring_job& job);

}  // namespace qm
