// "Genetic_paramenters.out": the realised additive covariance and
// correlation matrices of the scaled effects in the generation where the
// QTL were chosen, the residual covariance and correlation matrices, and
// the heritabilities.
#pragma once
#include <vector>

#include "base/output_folder.hpp"
#include "config/parameters.hpp"
#include "population/population.hpp"
#include "qtl/architecture.hpp"

namespace qm {

// The matrices of the file (ntrait x ntrait, column-major, single precision).
struct realised_parameters {
  int ntrait = 0;
  std::vector<float> additive_cov, additive_cor, residual_cov, residual_cor;
};
realised_parameters realised_genetic_parameters(const run_parameters& p, const trait_architecture& a,
                                                const haplotype_matrix& candidates);

void write_genetic_parameters(const output_folder& folder, const run_parameters& p, const trait_architecture& a,
                              const haplotype_matrix& candidates);

}  // namespace qm
