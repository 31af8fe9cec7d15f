// Single-trait animal model  y = X b + Z a + e,  var(a) = A sigma_a^2,
// var(e) = I sigma_e^2, solved by its mixed-model equations
//
//   [ X'X   X'Z              ] [b]   [X'y]
//   [ Z'X   Z'Z + lambda A^-1 ] [a] = [Z'y],   lambda = sigma_e^2 / sigma_a^2.
//
// X is one fixed factor with nlevels levels: every record names its level.
// With one level (the default) the factor is the overall mean mu; with more
// levels each level has its own mean and there is no separate mu (the levels
// absorb it). Every level needs at least one record. Animals without a record
// (base animals, young candidates) take part through A^-1 only.
//
// The fixed levels and the animals are solved jointly by conjugate gradients
// with the diagonal of the equations as preconditioner (ebv/pcg.hpp: stopping
// rule ||r|| / ||b|| < tol, block-ordered sums that give the same bits for
// any number of threads). The unknowns are laid out as
//   x = (b_0 .. b_{nlevels-1}, a_1 .. a_n).
// A start vector may come from an earlier, shorter solve (fewer animals, the
// same levels); missing animals start at 0, or at their parent average when
// the start is widened with extend_start.
#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "ebv/ainverse.hpp"
#include "ebv/pcg.hpp"

namespace qm {

struct animal_records {
  std::span<const int32_t> animal;  // animal number (1..n) of each record
  std::span<const double> y;        // the records
  std::span<const int32_t> level;   // level (0..nlevels-1) of each record; empty: all 0
  int32_t nlevels = 1;
};

struct animal_model_solution {
  std::vector<double> x;  // nlevels fixed-level solutions, then n breeding values
  int32_t nlevels = 1;
  pcg_result stats;
  std::span<const double> fixed() const { return {x.data(), static_cast<size_t>(nlevels)}; }
  std::span<const double> ebv() const { return {x.data() + nlevels, x.size() - static_cast<size_t>(nlevels)}; }
};

// lambda = (1 - h2) / h2.
double lambda_from_h2(double h2);

// Solves the equations for the animals of ainv (its n) with variance ratio
// lambda. start: empty (all zero) or nlevels + m values with m <= n.
animal_model_solution solve_animal_model(const sym_csr& ainv, double lambda, const animal_records& rec,
                                         std::span<const double> start, const pcg_options& opt);

// Widens an earlier solution (nlevels + m values) to n animals: each new
// animal m+1..n starts at the mean of its parents' values (0 for an unknown
// parent), in animal order. sire, dam as in pedigree/inbreeding.hpp.
std::vector<double> extend_start(std::span<const double> prev, int32_t nlevels, std::span<const int32_t> sire,
                                 std::span<const int32_t> dam);

}  // namespace qm
