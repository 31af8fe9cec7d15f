// The genetic architecture, fixed once in stage 2: the segregating candidate
// loci are recoded to two alleles, nqtl of them are drawn as QTL, their
// effects drawn with the requested correlations and scaled so that the
// additive variance of trait t is 1 (one trait) or t (several traits).
#pragma once
#include "run/state.hpp"

namespace qm {

void choose_qtl(popstate& p);

// Frequency of allele 1 at candidate locus l in the current generation and
// the weight 2p(1 - p), both in single precision.
float qtl_weight(const popstate& p, int l);

}  // namespace qm
