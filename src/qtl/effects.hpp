// Correlated QTL effect draws: effects of every QTL on every trait, drawn
// again until the correlations of the effects between traits lie within
// 0.05 of the requested genetic correlations (at most 10000 draws).
#pragma once
#include "run/state.hpp"

namespace qm {

// Pearson correlation of x(1..n) and y(1..n) in one single-precision pass.
float pearson_correlation(const float* x, const float* y, int n);

// Fills qeff (tqtl x ntrait, allocated) for the chosen QTL.
void draw_effects(popstate& p);

}  // namespace qm
