// "ggEBV.out": the estimated breeding values of every generation that
// writes result files and selected on them. For seltype 3 or 4 (trait 1): a
// header line, then per animal its identifier (as in ggBV.out), its EBV and
// the iterations of the solve that gave it. For an index over
// pedigree_blup or genomic_blup: per animal its identifier, the EBV of
// every trait from the multi-trait evaluation (EBV_1 .. EBV_T), the index
// sum_t w_t EBV_t of the stage's weights, and the iterations.
#pragma once
#include <cstdint>
#include <memory>
#include <span>

#include "base/output_folder.hpp"
#include "config/parameters.hpp"
#include "ebv/evaluation.hpp"
#include "run/observer.hpp"

namespace qm {

std::unique_ptr<generation_observer> make_ebv_file(const output_folder& folder);

// Writes ggEBV.out for generation g (files numbering) from the last estimate.
void write_ebv_file(const output_folder& folder, const run_parameters& p, const ebv_evaluation& e, int64_t g);
// Writes the multi-trait ggEBV.out for generation g, the index with weights.
void write_trait_ebv_file(const output_folder& folder, const run_parameters& p, const ebv_evaluation& e,
                          std::span<const double> weights, int64_t g);

}  // namespace qm
