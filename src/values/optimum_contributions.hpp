// Optimum contribution selection: the contributions c of the candidates to
// the next generation that maximise the gain c'x under a limit on the
// coancestry of the offspring, c'Ac/2 <= C (A the additive relationship
// matrix, twice the coancestry), with half of the genes from each sex and a
// per-candidate upper bound:
//   max c'x  s.t.  sum over males c = 1/2, sum over females c = 1/2,
//                  0 <= c_i <= u_i,  c'Ac/2 <= C.
// First the answer without the limit: in each sex the best candidates in
// the order of their values, each up to its bound. When its coancestry is
// within the limit, that is the answer (binding = false). Otherwise the
// problem, which is convex, is solved by the Lagrangian method of Meuwissen
// (1997) and Grundy et al. (1998): on the set F of candidates that are free
// (neither at 0 nor at their bound) the stationarity conditions give
//   c_F = t g + h,
// h the least-coancestry contributions under the sex sums (with those at
// their bound held there), g a direction with sex sums 0 and t = 1/lambda
// the one number that puts the coancestry on the limit. Negative
// contributions are set to 0 and those above their bound to the bound, and
// F is solved again. When no free candidate is out of its range, the
// optimality (KKT) conditions of every fixed candidate are checked: at 0 the
// Lagrangian's derivative must be <= 0, at the bound >= 0. Candidates that
// fail go back into F and the search goes on. Since the problem is convex,
// contributions that meet every condition are the global optimum. When even
// the least coancestry of a set is above the limit, t = 0 (c = h); if that
// holds at the end, the answer is the least-coancestry solution and
// feasible = false.
//
// A semidefinite (genomic) relationship matrix: when a Cholesky factor of
// the free block does not exist or has a pivot below 1e-9 times the
// largest diagonal element, the whole matrix gets a ridge
// eps * mean(diag A) on its diagonal (eps from 1e-7 up by factors of 10 to
// 1e-4) and the search starts again on A + ridge. The coancestry of the
// result is reported with A itself; it is no larger than with the ridge, so
// the limit holds.
//
// The rounds can cycle (a set of candidates comes back) when bounds or the
// limit change many candidates at once. Then, or after 50 + n/10 rounds, the
// search goes on the sure way: for a fixed t = 1/lambda the problem
//   max t x'c - c'Ac/2  under the sex sums and the bounds
// is a convex quadratic programme, solved by a primal active-set method
// (one candidate joins or leaves the set per step), and its coancestry
// grows with t; t is bracketed until the root of the current set lies
// inside the bracket and the programme at that root keeps the set. It
// factorises the free block anew at every step: quick when few candidates
// are selected, slow when many are (2000 candidates with 1000 selected take
// seconds, against a fraction of one by the rounds).
//
// Every sum runs in a fixed order: the same input gives the same bits.
#pragma once
#include <cstdint>
#include <span>
#include <vector>

namespace qm {

struct contribution_problem {
  std::span<const double> value;         // x, n values
  std::span<const double> relationship;  // A, n*n row-major (symmetric)
  std::span<const int8_t> male;          // 1 male, 0 female, n entries
  std::span<const double> upper;         // u, n entries (empty: no bound)
  double coancestry_limit = 0;           // C
  // Skip the Lagrangian rounds and solve by the bracketed quadratic
  // programme alone (slower; the same optimum, for checks).
  bool bracketed_only = false;
};

struct contribution_result {
  std::vector<double> c;   // n contributions
  double value = 0;        // c'x
  double coancestry = 0;   // c'Ac/2
  bool binding = false;    // the coancestry constraint is active
  bool feasible = true;    // false: C is below the least coancestry reachable; c minimises c'Ac/2
  int rounds = 0;          // active-set rounds (factorisations of a free block)
  double ridge = 0;        // what was added to the diagonal of A (0 for a positive definite A)
  bool bracketed = false;  // the answer comes from the bracketed programme (the rounds cycled)
};

// The optimum contributions of p. Stops (qm::stop) on input that does not
// fit: sizes, no male or no female, values that are not finite, a negative
// limit or bound, bounds of one sex that cannot add up to 1/2.
contribution_result optimum_contributions(const contribution_problem& p);

// Whole numbers of matings from contributions: each sex gets `matings` in
// all (n_i = c_i * 2 * matings, floors, then the largest remainders, ties to
// the lower index), never more than cap_male / cap_female for one animal
// (0 = no cap). Only animals with c_i > 0 get matings; when a cap cuts an
// animal's share, what it cannot take goes one at a time to the animal whose
// share exceeds its matings most (ties to the lower index). Deterministic.
// Stops (qm::stop) with a clear message when the caps make it impossible.
std::vector<int32_t> whole_matings(std::span<const double> c, std::span<const int8_t> male, int32_t matings,
                                   int32_t cap_male, int32_t cap_female);

}  // namespace qm
