#include "ebv/animal_model.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "base/messages.hpp"
#include "base/threads.hpp"

namespace qm {

double lambda_from_h2(double h2) {
  if (!(h2 > 0.0 && h2 < 1.0))
    stop("animal model: heritability " + std::to_string(h2) + " gives no variance ratio; use 0 < h2 < 1");
  return (1.0 - h2) / h2;
}

namespace {

// The records of the equations, by animal.
struct incidence {
  int64_t n = 0;                   // animals
  int32_t nl = 1;                  // fixed levels
  std::vector<int64_t> ptr;        // records of animal k: rec[ptr[k] .. ptr[k+1])
  std::vector<int32_t> lev;        // level of each of those records
  std::vector<double> y;           // value of each of those records
  std::vector<double> count;       // records per animal
  std::vector<double> level_count; // records per level
};

incidence make_incidence(int64_t n, const animal_records& rec) {
  const size_t nr = rec.animal.size();
  if (rec.y.size() != nr)
    stop("animal model: " + std::to_string(nr) + " record animals but " + std::to_string(rec.y.size()) +
         " record values; give one animal number per record");
  if (!rec.level.empty() && rec.level.size() != nr)
    stop("animal model: " + std::to_string(rec.level.size()) + " fixed-effect levels for " + std::to_string(nr) +
         " records; give one level per record, or none for the overall mean alone");
  if (rec.nlevels < 1) stop("animal model: the fixed factor needs at least one level");
  incidence in;
  in.n = n;
  in.nl = rec.nlevels;
  in.ptr.assign(static_cast<size_t>(n) + 1, 0);
  in.level_count.assign(static_cast<size_t>(rec.nlevels), 0.0);
  for (size_t r = 0; r < nr; ++r) {
    const int32_t a = rec.animal[r];
    if (a < 1 || a > n)
      stop("animal model: record " + std::to_string(r + 1) + " belongs to animal " + std::to_string(a) +
           ", outside the pedigree of " + std::to_string(n) + " animals");
    const int32_t l = rec.level.empty() ? 0 : rec.level[r];
    if (l < 0 || l >= rec.nlevels)
      stop("animal model: record " + std::to_string(r + 1) + " has fixed-effect level " + std::to_string(l) +
           "; levels run from 0 to " + std::to_string(rec.nlevels - 1));
    if (!std::isfinite(rec.y[r]))
      stop("animal model: record " + std::to_string(r + 1) + " is not a finite number; remove it");
    ++in.ptr[static_cast<size_t>(a)];
    in.level_count[static_cast<size_t>(l)] += 1.0;
  }
  for (int32_t l = 0; l < rec.nlevels; ++l)
    if (in.level_count[static_cast<size_t>(l)] == 0.0)
      stop("animal model: fixed-effect level " + std::to_string(l) +
           " has no record; drop the level or merge it with another");
  in.count.resize(static_cast<size_t>(n));
  for (int64_t k = 0; k < n; ++k) {
    in.count[static_cast<size_t>(k)] = static_cast<double>(in.ptr[static_cast<size_t>(k) + 1]);
    in.ptr[static_cast<size_t>(k) + 1] += in.ptr[static_cast<size_t>(k)];
  }
  in.lev.resize(nr);
  in.y.resize(nr);
  std::vector<int64_t> fill(in.ptr.begin(), in.ptr.end() - 1);
  for (size_t r = 0; r < nr; ++r) {  // records of an animal stay in record order
    const size_t slot = static_cast<size_t>(fill[static_cast<size_t>(rec.animal[r]) - 1]++);
    in.lev[slot] = rec.level.empty() ? 0 : rec.level[r];
    in.y[slot] = rec.y[r];
  }
  return in;
}

}  // namespace

animal_model_solution solve_animal_model(const sym_csr& ainv, double lambda, const animal_records& rec,
                                         std::span<const double> start, const pcg_options& opt) {
  if (!(lambda > 0.0) || !std::isfinite(lambda))
    stop("animal model: variance ratio " + std::to_string(lambda) + " is not positive; use sigma_e^2 / sigma_a^2 > 0");
  const int64_t n = ainv.n;
  const incidence in = make_incidence(n, rec);
  const int32_t nl = in.nl;
  const int64_t dim = nl + n;
  if (!start.empty() && (static_cast<int64_t>(start.size()) < nl || static_cast<int64_t>(start.size()) > dim))
    stop("animal model: a start of " + std::to_string(start.size()) + " values for " + std::to_string(nl) +
         " fixed levels and " + std::to_string(n) + " animals; give the levels and at most every animal");

  // Right-hand side and diagonal.
  std::vector<double> rhs(static_cast<size_t>(dim), 0.0), diag(static_cast<size_t>(dim));
  for (size_t r = 0; r < rec.y.size(); ++r) {
    const int32_t l = rec.level.empty() ? 0 : rec.level[r];
    rhs[static_cast<size_t>(l)] += rec.y[r];
  }
  for (int64_t k = 0; k < n; ++k) {
    double s = 0.0;
    for (int64_t t = in.ptr[static_cast<size_t>(k)]; t < in.ptr[static_cast<size_t>(k) + 1]; ++t)
      s += in.y[static_cast<size_t>(t)];
    rhs[static_cast<size_t>(nl + k)] = s;
  }
  for (int32_t l = 0; l < nl; ++l) diag[static_cast<size_t>(l)] = in.level_count[static_cast<size_t>(l)];
  for (int64_t k = 0; k < n; ++k)
    diag[static_cast<size_t>(nl + k)] =
        in.count[static_cast<size_t>(k)] + lambda * ainv.at(static_cast<int32_t>(k), static_cast<int32_t>(k));

  // Product with the coefficient matrix, animals in fixed blocks; each block
  // keeps its own sums for the fixed rows, added in block order.
  const int64_t nb = (n + pcg_block - 1) / pcg_block;
  std::vector<double> part(static_cast<size_t>(nb * nl));
  const int th = opt.threads < 1 ? 1 : opt.threads;
  const auto apply = [&](const double* v, double* q) {
    const double* va = v + nl;
    double* qa = q + nl;
    const auto rows = [&](int blk) {
      double* pl = part.data() + static_cast<size_t>(blk) * static_cast<size_t>(nl);
      for (int32_t l = 0; l < nl; ++l) pl[l] = 0.0;
      const int64_t a = static_cast<int64_t>(blk) * pcg_block, e = std::min(n, a + pcg_block);
      for (int64_t k = a; k < e; ++k) {
        double s = 0.0;
        for (int64_t t = ainv.rowptr[static_cast<size_t>(k)]; t < ainv.rowptr[static_cast<size_t>(k) + 1]; ++t)
          s += ainv.val[static_cast<size_t>(t)] * va[ainv.col[static_cast<size_t>(t)]];
        double o = in.count[static_cast<size_t>(k)] * va[k];
        for (int64_t t = in.ptr[static_cast<size_t>(k)]; t < in.ptr[static_cast<size_t>(k) + 1]; ++t) {
          const int32_t l = in.lev[static_cast<size_t>(t)];
          o += v[l];
          pl[l] += va[k];
        }
        qa[k] = o + lambda * s;
      }
    };
    run_parallel_own_shares(th, static_cast<int>(nb), [&rows](int blk) { rows(blk); });  // one reference: no allocation
    for (int32_t l = 0; l < nl; ++l) {
      double s = in.level_count[static_cast<size_t>(l)] * v[l];
      for (int64_t blk = 0; blk < nb; ++blk) s += part[static_cast<size_t>(blk * nl + l)];
      q[l] = s;
    }
  };

  animal_model_solution sol;
  sol.nlevels = nl;
  sol.x.assign(static_cast<size_t>(dim), 0.0);
  std::copy(start.begin(), start.end(), sol.x.begin());
  sol.stats = pcg_solve(apply, diag, rhs, sol.x, opt);
  return sol;
}

std::vector<double> extend_start(std::span<const double> prev, int32_t nlevels, std::span<const int32_t> sire,
                                 std::span<const int32_t> dam) {
  const int64_t n = static_cast<int64_t>(sire.size());
  if (static_cast<int64_t>(prev.size()) < nlevels || static_cast<int64_t>(prev.size()) > nlevels + n ||
      dam.size() != sire.size())
    stop("animal model: cannot widen a solution of " + std::to_string(prev.size()) + " values to " +
         std::to_string(nlevels) + " levels and " + std::to_string(n) + " animals");
  std::vector<double> x(static_cast<size_t>(nlevels + n), 0.0);
  std::copy(prev.begin(), prev.end(), x.begin());
  const int64_t m = static_cast<int64_t>(prev.size()) - nlevels;
  for (int64_t k = m; k < n; ++k) {
    const int32_t s = sire[static_cast<size_t>(k)], d = dam[static_cast<size_t>(k)];
    if (s > k || d > k || s < 0 || d < 0)
      stop("animal model: animal " + std::to_string(k + 1) + " has a parent that does not come before it");
    const double vs = s > 0 ? x[static_cast<size_t>(nlevels + s - 1)] : 0.0;
    const double vd = d > 0 ? x[static_cast<size_t>(nlevels + d - 1)] : 0.0;
    x[static_cast<size_t>(nlevels + k)] = 0.5 * (vs + vd);
  }
  return x;
}

}  // namespace qm
