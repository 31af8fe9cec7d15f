// "QMAP.out" (the QTL in the order drawn, with their effects: the additive
// effect on every trait, then, with dominance, the dominance effect on every
// trait) and
// "MMAP.out" (marker names and numbers).
#pragma once
#include "base/output_folder.hpp"
#include "config/parameters.hpp"
#include "qtl/architecture.hpp"

namespace qm {

void write_map_files(const output_folder& folder, const run_parameters& p, const trait_architecture& a);

}  // namespace qm
