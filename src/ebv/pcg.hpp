// Conjugate gradients with a diagonal (Jacobi) preconditioner, for the
// symmetric positive-definite systems of the breeding-value models.
//
// Vectors are cut into fixed blocks of pcg_block entries. Every vector update
// and every dot product works block by block; a dot product adds the entries
// of each block in index order and then the block sums in block order. The
// blocks do not depend on the number of threads, so neither do the results:
// the iterates are the same bits for 1, 2 or more threads.
//
// Stopping rule: the iteration stops as soon as ||r|| / ||b|| < tol, with r
// the residual carried by the recurrence r <- r - alpha A p (checked before
// every iteration, so a start that already solves the system takes none), or
// after max_iter iterations. At the end the residual b - A x is formed once
// more from x and reported as true_rel_residual.
//
// The threads come from qm::run_parallel, which is not reentrant: do not call
// these solvers from inside a run_parallel part.
#pragma once
#include <cstdint>
#include <functional>
#include <span>

namespace qm {

inline constexpr int64_t pcg_block = 4096;

struct pcg_options {
  double tol = 1e-10;   // on ||r|| / ||b||
  int max_iter = 10000;
  int threads = 1;
};

struct pcg_result {
  int iterations = 0;
  bool converged = false;
  double rel_residual = 0.0;       // of the recurrence, when the iteration stopped
  double true_rel_residual = 0.0;  // ||b - A x|| / ||b|| at the end
};

// apply(v, out) must set out = A v (both of size b.size()). diag holds the
// diagonal of A (all entries positive). x holds the start on entry and the
// solution on return. With b = 0 the solution is x = 0.
pcg_result pcg_solve(const std::function<void(const double*, double*)>& apply, std::span<const double> diag,
                     std::span<const double> b, std::span<double> x, const pcg_options& opt);

// Dot product of two vectors in the block order described above.
double block_dot(std::span<const double> x, std::span<const double> y, int threads);

}  // namespace qm
