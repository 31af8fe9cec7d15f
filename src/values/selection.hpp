// Selection of the parents of the next generation: nsire males (odd
// numbers) and ndam females (even numbers), at random or by truncation on
// the true breeding value or the phenotype of trait 1.
#pragma once
#include "population/population.hpp"
#include "random/stream.hpp"
#include "run/parameters.hpp"

namespace qm {

void select_parents(population& pop, selection_criterion criterion, int32_t nsire, int32_t ndam,
                    random_stream& rng);

// Ascending heapsort of ra[0..n), carrying rb along; the placement of equal
// scores is the one this heapsort gives.
void heapsort_by_score(int n, float* ra, int32_t* rb);

}  // namespace qm
