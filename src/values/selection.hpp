// Selection of the parents of the next generation: nsire males (odd
// numbers) and ndam females (even numbers), at random or by truncation on
// the true breeding value, the phenotype or an estimated breeding value of
// trait 1.
//
// Truncation sorts single-precision scores with one heapsort per sex, for
// every criterion: the EBVs are rounded to float exactly as the true values
// and phenotypes are, so equal scores (also EBVs equal after rounding) are
// placed the same way every time.
#pragma once
#include <span>

#include "config/parameters.hpp"
#include "population/population.hpp"
#include "random/stream.hpp"

namespace qm {

// ebv: the estimated breeding values of trait 1 of the current generation
// (index i - 1 for animal i), needed by the EBV criteria only; for the index
// criterion, the index of every animal.
void select_parents(population& pop, selection_criterion criterion, int32_t nsire, int32_t ndam,
                    random_stream& rng, std::span<const double> ebv = {});

// Ascending heapsort of ra[0..n), carrying rb along; the placement of equal
// scores is the one this heapsort gives.
void heapsort_by_score(int n, float* ra, int32_t* rb);

}  // namespace qm
