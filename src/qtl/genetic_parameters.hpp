// "Genetic_paramenters.out": the realised additive covariance and
// correlation matrices of the scaled effects in the generation where the
// QTL were chosen, the residual covariance and correlation matrices, and
// the heritabilities.
#pragma once
#include "population/population.hpp"
#include "qtl/architecture.hpp"
#include "run/parameters.hpp"

namespace qm {

void write_genetic_parameters(const run_parameters& p, const trait_architecture& a,
                              const haplotype_matrix& candidates);

}  // namespace qm
