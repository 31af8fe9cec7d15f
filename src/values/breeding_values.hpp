// True breeding values and phenotypes of the current generation from the
// QTL genotypes (additive code -1, 0, +1 per QTL) and random residuals.
#pragma once
#include "run/state.hpp"

namespace qm {

void compute_values(popstate& p);

// Genotype value of individual i for trait t: the sum over the QTL of the
// additive code times the effect, kept in single precision.
float genotypic_value(const popstate& p, int i, int t);

}  // namespace qm
