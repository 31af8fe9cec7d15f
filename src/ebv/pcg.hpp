// Conjugate gradients with a diagonal (Jacobi) or a block-diagonal
// preconditioner, for the symmetric positive-definite systems of the
// breeding-value models.
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
#include <vector>

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

// The inverses of the diagonal blocks of a system whose unknowns come in
// consecutive groups of `size` (the traits of an animal, of a marker, of the
// means): z = M^-1 r takes every group on its own, so its bits do not depend
// on how the groups are shared out among threads. Each inverse is stored
// column-major; z_g = inv_g r_g is summed over the columns in order.
struct block_diagonal {
  int32_t size = 1;
  std::vector<double> inv;  // blocks() * size * size
  int64_t blocks() const { return static_cast<int64_t>(inv.size()) / (static_cast<int64_t>(size) * size); }
  void apply(const double* r, double* z, int threads) const;
};

// Inverse of the symmetric positive-definite size x size matrix a
// (column-major) by its Cholesky factor, into out; false when a is not
// positive definite (out is then left undefined).
bool invert_spd(const double* a, int32_t size, double* out);

// block_diagonal from the diagonal blocks (column-major, one after the
// other). what names the unknowns in the message of a block that is not
// positive definite, e.g. "animal" (block g is reported as what g + 1).
block_diagonal invert_blocks(std::span<const double> blocks, int32_t size, const char* what, int threads);

// pcg_solve with the preconditioner M^-1 of a block_diagonal (its blocks
// cover every unknown). With size-1 blocks holding 1 / diag it gives the
// same iterates as pcg_solve up to rounding of the products.
pcg_result pcg_solve_blocks(const std::function<void(const double*, double*)>& apply, const block_diagonal& m,
                            std::span<const double> b, std::span<double> x, const pcg_options& opt);

// Dot product of two vectors in the block order described above.
double block_dot(std::span<const double> x, std::span<const double> y, int threads);

}  // namespace qm
