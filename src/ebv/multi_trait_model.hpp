// Multi-trait animal model: T traits evaluated jointly,
//
//   y_it = mu_t + a_it + e_it,   var(a) = A (x) G0,   var(e_i) = R0,
//
// with G0 and R0 the T x T genetic and residual covariance matrices and A the
// numerator relationship matrix. An animal may lack any of its records: its
// residual covariance is R0 restricted to the traits it has, so its share
// of the equations is R_i^-1 = (R0[S_i, S_i])^-1 placed at the rows and
// columns of its recorded traits S_i (zero elsewhere). An animal with no
// record at all enters through A^-1 only. The mixed-model equations are
//
//   [ sum_i R_i^-1   R_1^-1 ... R_n^-1                 ] [mu]   [ sum_i R_i^-1 y_i ]
//   [ R_i^-1         diag(R_i^-1) + A^-1 (x) G0^-1     ] [a ] = [ R_i^-1 y_i       ]
//
// with y_i the records of animal i (0 where missing). The unknowns are
// interleaved by animal:
//   x = (mu_1 .. mu_T, a_1,1 .. a_1,T, a_2,1 .. a_2,T, ..., a_n,T).
//
// Solved by conjugate gradients (ebv/pcg.hpp) with the inverses of the T x T
// diagonal blocks as preconditioner: for animal i, R_i^-1 + (A^-1)_ii G0^-1,
// and sum_i R_i^-1 for the means (every trait needs at least one record).
// The product with the coefficient matrix takes the animals in blocks of
// pcg_block; each block keeps its own sums for the mean rows, added in block
// order, so the solution is the same bits for any number of threads.
//
// Animals with the same pattern of recorded traits share one R_i^-1; the
// patterns are numbered in the order of their first animal.
#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "ebv/ainverse.hpp"
#include "ebv/pcg.hpp"

namespace qm {

// The records of a multi-trait evaluation: one row per animal that has any,
// at most one row per animal.
struct trait_records {
  int32_t traits = 1;
  std::span<const int32_t> animal;  // animal number (1..n) of each row
  std::span<const double> y;        // y[r * traits + t]: trait t + 1 of row r; NaN: not recorded
};

struct multi_trait_solution {
  int32_t traits = 1;
  std::vector<double> x;  // the means, then the traits of every animal
  pcg_result stats;
  double mean(int32_t t) const { return x[static_cast<size_t>(t)]; }
  // Breeding value of trait t (0-based) of animal k (0-based).
  double ebv(int64_t k, int32_t t) const {
    return x[static_cast<size_t>((k + 1) * traits + t)];
  }
};

// The preconditioner of the solve: the inverted T x T blocks (the default),
// or their diagonals only (Jacobi), for comparisons.
enum class block_choice { blocks, diagonal };

// Solves the equations for the animals of ainv (its n). g0, r0: T x T,
// column-major, symmetric positive definite. start: empty (all zero) or
// T + m T values (m <= n animals) of an earlier solve, e.g. widened by
// extend_trait_start.
multi_trait_solution solve_multi_trait_model(const sym_csr& ainv, std::span<const double> g0,
                                             std::span<const double> r0, const trait_records& rec,
                                             std::span<const double> start, const pcg_options& opt,
                                             block_choice pre = block_choice::blocks);

// Widens an earlier solution (T means, then T values for each of m animals)
// to n animals: each new animal m+1..n starts, trait by trait, at the mean
// of its parents' values (0 for an unknown parent), in animal order.
std::vector<double> extend_trait_start(std::span<const double> prev, int32_t traits, std::span<const int32_t> sire,
                                       std::span<const int32_t> dam);

// The record patterns of a set of rows: patterns[r] for row r numbers the
// pattern (0, 1, ... in order of first appearance) and inv holds, per
// pattern, (R0[S, S])^-1 placed in a T x T matrix (column-major, zeros at the
// traits not recorded); a pattern without any record has a zero matrix.
struct record_patterns {
  int32_t traits = 1;
  std::vector<int32_t> of_row;
  std::vector<double> inv;  // patterns x T x T
  std::vector<int64_t> rows;  // rows of each pattern
  int32_t count() const { return static_cast<int32_t>(rows.size()); }
  const double* rinv(int32_t pattern) const {
    return inv.data() + static_cast<size_t>(pattern) * static_cast<size_t>(traits) * static_cast<size_t>(traits);
  }
};
record_patterns find_record_patterns(std::span<const double> y, int32_t traits, std::span<const double> r0);

// Checks that m is a T x T symmetric (to a relative 1e-9, so that a matrix
// computed from its two halves separately passes) positive-definite matrix
// and returns the inverse of its lower triangle mirrored; what names it in
// the message. The solvers read the lower triangles of G0 and R0 only.
std::vector<double> covariance_inverse(std::span<const double> m, int32_t traits, const char* what);

}  // namespace qm
