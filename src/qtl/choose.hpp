// The genetic architecture, fixed once in stage 2: the segregating candidate
// loci are recoded to two alleles, nqtl of them are drawn as QTL, their
// effects drawn with the requested correlations and scaled so that the
// additive variance of trait t is 1 (one trait) or t (several traits); the
// residual covariance follows from the heritabilities.
#pragma once
#include "config/parameters.hpp"
#include "population/population.hpp"
#include "qtl/architecture.hpp"
#include "random/stream.hpp"

namespace qm {

trait_architecture choose_qtl(const run_parameters& p, population& pop, random_stream& rng);

// The dominance effects ([traits] dominance), once the additive effects are
// scaled: for every trait t, then every QTL q in order, the degree of
// dominance delta = mean_t + sd_t z (z one standard normal of the stream) and
// d = delta |a|. Without the key nothing is drawn and a.dominance stays empty.
void draw_dominance(const run_parameters& p, trait_architecture& a, random_stream& rng);

// Frequency of allele 1 at candidate locus l (1-based number) in the
// current generation and the weight 2p(1 - p), both in single precision.
float qtl_weight(const haplotype_matrix& candidates, int l);

// The additive variance that trait t is scaled to: 1 with one trait, t with several.
float target_variance(const run_parameters& p, int t);

}  // namespace qm
