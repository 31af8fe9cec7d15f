// The realised genetic parameters after the effects are scaled: additive
// covariance and correlation matrices, the residual covariance matrix rescov
// that the phenotypes use, and "Genetic_paramenters.out".
#pragma once
#include "run/state.hpp"

namespace qm {

void genetic_report(popstate& p);

}  // namespace qm
