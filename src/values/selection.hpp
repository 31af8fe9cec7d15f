// Selection of the parents of the next generation: nsire males (odd numbers)
// and ndam females (even numbers), at random (seltype 0) or by truncation on
// the true breeding value (1) or the phenotype (2) of trait 1.
#pragma once
#include "run/state.hpp"

namespace qm {

void select_parents(popstate& p, int32_t seltype, int32_t nsire, int32_t ndam);

// Ascending heapsort of ra(1..n), carrying rb along; the placement of equal
// scores is the one this heapsort gives.
void heapsort_by_score(int n, float* ra, int32_t* rb);

}  // namespace qm
