// True breeding values and phenotypes of the current generation from the
// QTL genotypes (additive code -1, 0, +1 per QTL) and random residuals; with
// dominance effects the values of values/dominance.hpp.
#pragma once
#include "config/parameters.hpp"
#include "population/population.hpp"
#include "qtl/architecture.hpp"
#include "random/stream.hpp"

namespace qm {

void compute_values(const run_parameters& p, const trait_architecture& a, population& pop, random_stream& rng);

// Records the animals do not have (a trait recorded on one sex, [traits]
// recorded_on) become NaN: missing, not zero. Called after the values and the
// threshold classes are made, so the draws are those of a run that records
// every trait, and nothing else changes.
void hide_unrecorded_phenotypes(const run_parameters& p, population& pop);

// Genotypic value of animal i (1-based) for trait t: the sum over the QTL of
// the additive code times the effect, kept in single precision.
float genotypic_value(const haplotype_matrix& candidates, const trait_architecture& a, int i, int t);

}  // namespace qm
