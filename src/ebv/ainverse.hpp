// Inverse of the numerator relationship matrix by Henderson's rules, with
// inbreeding.
//
// Animals are numbered 1..n with parents first; sire[k], dam[k] are the
// parents of animal k + 1 (0 = unknown) and f[k] its inbreeding coefficient
// (pedigree/inbreeding.hpp). Row and column k of the matrix belong to animal
// k + 1. For animal i with parents s and d (F = -1 for an unknown parent),
//   b = 1 / (1/2 - (F_s + F_d)/4)
// is added to (i,i), -b/2 to (i,s), (s,i), (i,d), (d,i) and b/4 to (s,s),
// (s,d), (d,s), (d,d), leaving out every term of an unknown parent.
//
// The matrix is kept as compressed sparse rows of the full symmetric pattern,
// columns ascending in every row, so that y = A^-1 x is a row-by-row product
// that any number of threads can share. Every entry is the sum of its terms
// in the order of the animals that contribute them (within an animal in the
// order written above); appending animals continues those sums, so a matrix
// built in appended batches is identical to one built at once.
#pragma once
#include <cstdint>
#include <span>
#include <vector>

namespace qm {

struct sym_csr {
  int32_t n = 0;                    // rows (and columns)
  std::vector<int64_t> rowptr{0};   // n + 1 offsets into col and val
  std::vector<int32_t> col;         // 0-based column of each entry
  std::vector<double> val;
  int64_t nnz() const { return rowptr.back(); }
  // Entry (r, c), 0 when it is not stored.
  double at(int32_t r, int32_t c) const;
};

// A^-1 of animals 1..n. f needs the coefficients of all n animals (only those
// of parents are used).
sym_csr ainverse(std::span<const int32_t> sire, std::span<const int32_t> dam, std::span<const double> f);

// a holds A^-1 of animals 1..m (m = a.n <= n = sire.size()); extends it to
// animals 1..n. Cost: one pass over the old entries plus sorting the terms of
// the new animals (up to 9 per animal).
void ainverse_append(sym_csr& a, std::span<const int32_t> sire, std::span<const int32_t> dam,
                     std::span<const double> f);

}  // namespace qm
