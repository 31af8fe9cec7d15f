// Mating: the pedigree of the next generation from the lists sireid and
// damid. Designs: 0 nested (dps dams per sire, litter offspring per dam),
// 1 random without half- or full-sib matings, 2 random with replacement.
#pragma once
#include "run/state.hpp"

namespace qm {

void mate_parents(popstate& p, int32_t matetype, int32_t noff);

}  // namespace qm
