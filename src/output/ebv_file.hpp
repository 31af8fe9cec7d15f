// "ggEBV.out": the estimated breeding values of trait 1 of every generation
// that writes result files and selected on them (seltype 3 or 4). A header
// line, then per animal its identifier (as in ggBV.out), its EBV and the
// iterations of the solve that gave it.
#pragma once
#include <cstdint>
#include <memory>

#include "base/output_folder.hpp"
#include "config/parameters.hpp"
#include "ebv/evaluation.hpp"
#include "run/observer.hpp"

namespace qm {

std::unique_ptr<generation_observer> make_ebv_file(const output_folder& folder);

// Writes ggEBV.out for generation g (files numbering) from the last estimate.
void write_ebv_file(const output_folder& folder, const run_parameters& p, const ebv_evaluation& e, int64_t g);

}  // namespace qm
