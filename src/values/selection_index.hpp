// Selection on an index of several traits. The breeding goal is the
// aggregate genotype H = sum_t w_t a_t (w the economic weights, a the true
// breeding values); the index predicts H for every animal from what the
// stage's index criterion gives:
//   - true breeding values: I = w'a, H itself;
//   - the animal's own phenotypes (Smith-Hazel): I = b'(y - ybar), with
//     P b = G w over the traits the animal has a record of (P = G + R
//     restricted to them, G the rows of those traits), ybar the mean of the
//     generation's records of each trait. Animals with the same record
//     pattern share b; a trait without a record has weight 0;
//   - estimated breeding values of one multi-trait evaluation: I = w'a_hat
//     (ebv_evaluation::index_of).
// G and R are the realised additive and the residual covariance matrices of
// the first generation of stage 2 (trait_architecture). Every sum runs over
// the traits in order, so the index is the same bits for any thread count.
#pragma once
#include <span>
#include <vector>

#include "config/parameters.hpp"
#include "population/population.hpp"
#include "qtl/architecture.hpp"

namespace qm {

// Smith-Hazel weights b (one per trait, 0 where recorded[t] is 0) from G and
// R (ntrait x ntrait, column-major) and the economic weights w. Stops when
// the phenotypic covariance of the recorded traits is not positive definite.
std::vector<double> smith_hazel_weights(std::span<const double> genetic, std::span<const double> residual,
                                        std::span<const double> w, std::span<const char> recorded);

// The index of every animal of pop's current generation (index i - 1 for
// animal i) on the true breeding values or the own phenotypes (missing
// phenotypes are NaN), by the stage's index.
void index_of_values(const run_parameters& p, const selection_index& index, const trait_architecture& a,
                     const population& pop, std::vector<double>& out);

}  // namespace qm
