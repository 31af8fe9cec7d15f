// Correlated QTL effect draws: effects of every QTL on every trait, drawn
// again until the correlations of the effects between traits lie within
// 0.05 of the requested genetic correlations (at most 10000 draws).
#pragma once
#include "config/parameters.hpp"
#include "qtl/architecture.hpp"
#include "random/stream.hpp"

namespace qm {

// Pearson correlation of x[0..n) and y[0..n) in one single-precision pass.
float pearson_correlation(const float* x, const float* y, int n);

// Fills the effects of the QTL of a (sized nqtl x ntrait) for the chosen QTL.
void draw_effects(const run_parameters& p, trait_architecture& a, random_stream& rng);

}  // namespace qm
