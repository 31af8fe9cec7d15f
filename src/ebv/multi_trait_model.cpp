#include "ebv/multi_trait_model.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <string>

#include "base/messages.hpp"
#include "base/threads.hpp"

namespace qm {

std::vector<double> covariance_inverse(std::span<const double> m, int32_t traits, const char* what) {
  const size_t tt = static_cast<size_t>(traits) * static_cast<size_t>(traits);
  if (traits < 1 || m.size() != tt)
    stop(std::string("multi-trait evaluation: the ") + what + " matrix has " + std::to_string(m.size()) +
         " entries; give " + std::to_string(tt) + " (" + std::to_string(traits) + " x " + std::to_string(traits) + ")");
  for (int32_t r = 0; r < traits; ++r)
    for (int32_t c = 0; c < r; ++c)
      if (std::abs(m[static_cast<size_t>(c * traits + r)] - m[static_cast<size_t>(r * traits + c)]) >
          1e-9 * std::max(std::abs(m[static_cast<size_t>(c * traits + r)]), std::abs(m[static_cast<size_t>(r * traits + c)])))
        stop(std::string("multi-trait evaluation: the ") + what + " matrix is not symmetric at (" +
             std::to_string(r + 1) + ", " + std::to_string(c + 1) + ")");
  std::vector<double> inv(tt);
  if (!invert_spd(m.data(), traits, inv.data()))
    stop(std::string("multi-trait evaluation: the ") + what +
         " matrix is not positive definite; every trait needs a positive variance and the correlations a valid matrix");
  return inv;
}

record_patterns find_record_patterns(std::span<const double> y, int32_t traits, std::span<const double> r0) {
  const size_t tr = static_cast<size_t>(traits);
  if (traits < 1 || y.size() % tr != 0)
    stop("multi-trait evaluation: " + std::to_string(y.size()) + " record values do not make rows of " +
         std::to_string(traits) + " traits");
  covariance_inverse(r0, traits, "residual covariance");
  record_patterns p;
  p.traits = traits;
  const size_t nrow = y.size() / tr;
  p.of_row.resize(nrow);
  std::map<std::string, int32_t> seen;
  std::string key(tr, '0');
  for (size_t r = 0; r < nrow; ++r) {
    for (size_t t = 0; t < tr; ++t) key[t] = std::isnan(y[r * tr + t]) ? '0' : '1';
    auto [it, added] = seen.try_emplace(key, p.count());
    if (added) {
      // (R0[S, S])^-1 of the recorded traits S, spread into T x T.
      std::vector<size_t> s;
      for (size_t t = 0; t < tr; ++t)
        if (key[t] == '1') s.push_back(t);
      const size_t k = s.size();
      std::vector<double> sub(k * k), subinv(k * k), full(tr * tr, 0.0);
      for (size_t c = 0; c < k; ++c)
        for (size_t r2 = 0; r2 < k; ++r2) sub[c * k + r2] = r0[s[c] * tr + s[r2]];
      if (k > 0 && !invert_spd(sub.data(), static_cast<int32_t>(k), subinv.data()))
        stop("multi-trait evaluation: the residual covariance of a record pattern is not positive definite");
      for (size_t c = 0; c < k; ++c)
        for (size_t r2 = 0; r2 < k; ++r2) full[s[c] * tr + s[r2]] = subinv[c * k + r2];
      p.inv.insert(p.inv.end(), full.begin(), full.end());
      p.rows.push_back(0);
    }
    p.of_row[r] = it->second;
    ++p.rows[static_cast<size_t>(it->second)];
  }
  return p;
}

multi_trait_solution solve_multi_trait_model(const sym_csr& ainv, std::span<const double> g0,
                                             std::span<const double> r0, const trait_records& rec,
                                             std::span<const double> start, const pcg_options& opt,
                                             block_choice pre) {
  const int32_t nt = rec.traits;
  const int64_t T = nt;
  const size_t tt = static_cast<size_t>(T * T);
  const std::vector<double> ginv = covariance_inverse(g0, nt, "genetic covariance");
  const int64_t n = ainv.n;
  const size_t nr = rec.animal.size();
  if (rec.y.size() != nr * static_cast<size_t>(T))
    stop("multi-trait evaluation: " + std::to_string(nr) + " record rows but " + std::to_string(rec.y.size()) +
         " values; give " + std::to_string(nt) + " values (NaN when missing) per row");
  const record_patterns pat = find_record_patterns(rec.y, nt, r0);
  const int64_t dim = T * (n + 1);
  if (!start.empty() && (static_cast<int64_t>(start.size()) < T || static_cast<int64_t>(start.size()) > dim ||
                         start.size() % static_cast<size_t>(T) != 0))
    stop("multi-trait evaluation: a start of " + std::to_string(start.size()) + " values for " + std::to_string(nt) +
         " traits and " + std::to_string(n) + " animals; give the means and every trait of at most every animal");

  // The pattern of every animal (-1: no row) and the right-hand side.
  std::vector<int32_t> pattern_of(static_cast<size_t>(n), -1);
  std::vector<double> rhs(static_cast<size_t>(dim), 0.0);
  for (size_t r = 0; r < nr; ++r) {
    const int32_t a = rec.animal[r];
    if (a < 1 || a > n)
      stop("multi-trait evaluation: record row " + std::to_string(r + 1) + " belongs to animal " + std::to_string(a) +
           ", outside the pedigree of " + std::to_string(n) + " animals");
    if (pattern_of[static_cast<size_t>(a - 1)] >= 0)
      stop("multi-trait evaluation: animal " + std::to_string(a) + " has two record rows; give one row per animal");
    for (int64_t t = 0; t < T; ++t) {
      const double v = rec.y[r * static_cast<size_t>(T) + static_cast<size_t>(t)];
      if (std::isinf(v))
        stop("multi-trait evaluation: record row " + std::to_string(r + 1) + " has an infinite value");
    }
    pattern_of[static_cast<size_t>(a - 1)] = pat.of_row[r];
  }
  for (size_t r = 0; r < nr; ++r) {
    const int32_t a = rec.animal[r];
    const double* ri = pat.rinv(pat.of_row[r]);
    const double* yr = rec.y.data() + r * static_cast<size_t>(T);
    double* ra = rhs.data() + static_cast<size_t>(T * a);
    for (int64_t t = 0; t < T; ++t) {
      double s = 0.0;
      for (int64_t c = 0; c < T; ++c)
        if (!std::isnan(yr[c])) s += ri[static_cast<size_t>(c * T + t)] * yr[c];
      ra[t] = s;
    }
  }
  for (int64_t k = 0; k < n; ++k)  // the mean rows: animals in order
    if (pattern_of[static_cast<size_t>(k)] >= 0)
      for (int64_t t = 0; t < T; ++t) rhs[static_cast<size_t>(t)] += rhs[static_cast<size_t>(T * (k + 1) + t)];

  // Diagonal blocks: sum_i R_i^-1 for the means, R_i^-1 + (A^-1)_ii G0^-1 per animal.
  std::vector<double> blocks(static_cast<size_t>(n + 1) * tt, 0.0);
  for (int32_t q = 0; q < pat.count(); ++q) {
    const double w = static_cast<double>(pat.rows[static_cast<size_t>(q)]);
    for (size_t e = 0; e < tt; ++e) blocks[e] += w * pat.rinv(q)[e];
  }
  for (int64_t t = 0; t < T; ++t)
    if (!(blocks[static_cast<size_t>(t * T + t)] > 0.0))
      stop("multi-trait evaluation: trait " + std::to_string(t + 1) +
           " has no record; every trait of the evaluation needs records");
  for (int64_t k = 0; k < n; ++k) {
    double* b = blocks.data() + static_cast<size_t>(k + 1) * tt;
    const double d = ainv.at(static_cast<int32_t>(k), static_cast<int32_t>(k));
    const int32_t q = pattern_of[static_cast<size_t>(k)];
    for (size_t e = 0; e < tt; ++e) b[e] = (q >= 0 ? pat.rinv(q)[e] : 0.0) + d * ginv[e];
  }
  const int th = opt.threads < 1 ? 1 : opt.threads;
  if (pre == block_choice::diagonal) {
    for (int64_t g = 0; g <= n; ++g)
      for (int64_t r = 0; r < T; ++r)
        for (int64_t c = 0; c < T; ++c)
          if (r != c) blocks[static_cast<size_t>(g) * tt + static_cast<size_t>(c * T + r)] = 0.0;
  }
  const block_diagonal m = invert_blocks(blocks, nt, "the traits of unknown group", th);
  blocks = {};

  // Product with the coefficient matrix, animals in fixed blocks; each block
  // keeps its own sums for the mean rows, added in block order.
  const int64_t nb = (n + pcg_block - 1) / pcg_block;
  std::vector<double> part(static_cast<size_t>(nb * T));
  std::vector<double> scratch(static_cast<size_t>(nb * 2 * T));  // per block: s, u
  const auto apply = [&](const double* v, double* q) {
    const double* va = v + T;
    double* qa = q + T;
    const auto rows = [&](int blk) {
      double* pl = part.data() + static_cast<size_t>(blk * T);
      double* s = scratch.data() + static_cast<size_t>(blk * 2 * T);
      double* u = s + T;
      for (int64_t t = 0; t < T; ++t) pl[t] = 0.0;
      const int64_t a = static_cast<int64_t>(blk) * pcg_block, e = std::min(n, a + pcg_block);
      for (int64_t k = a; k < e; ++k) {
        for (int64_t t = 0; t < T; ++t) s[t] = 0.0;
        for (int64_t h = ainv.rowptr[static_cast<size_t>(k)]; h < ainv.rowptr[static_cast<size_t>(k) + 1]; ++h) {
          const double w = ainv.val[static_cast<size_t>(h)];
          const double* vj = va + static_cast<int64_t>(ainv.col[static_cast<size_t>(h)]) * T;
          for (int64_t t = 0; t < T; ++t) s[t] += w * vj[t];
        }
        const double* vk = va + k * T;
        double* o = qa + k * T;
        for (int64_t t = 0; t < T; ++t) {
          double g = 0.0;
          for (int64_t c = 0; c < T; ++c) g += ginv[static_cast<size_t>(c * T + t)] * s[c];
          o[t] = g;
        }
        const int32_t pq = pattern_of[static_cast<size_t>(k)];
        if (pq < 0) continue;
        const double* ri = pat.rinv(pq);
        for (int64_t t = 0; t < T; ++t) u[t] = v[t] + vk[t];
        for (int64_t t = 0; t < T; ++t) {
          double w = 0.0;
          for (int64_t c = 0; c < T; ++c) w += ri[static_cast<size_t>(c * T + t)] * u[c];
          o[t] = w + o[t];
          pl[t] += w;
        }
      }
    };
    run_parallel_own_shares(th, static_cast<int>(nb), [&rows](int blk) { rows(blk); });  // one reference: no allocation
    for (int64_t t = 0; t < T; ++t) {
      double s = 0.0;
      for (int64_t blk = 0; blk < nb; ++blk) s += part[static_cast<size_t>(blk * T + t)];
      q[t] = s;
    }
  };

  multi_trait_solution sol;
  sol.traits = nt;
  sol.x.assign(static_cast<size_t>(dim), 0.0);
  std::copy(start.begin(), start.end(), sol.x.begin());
  sol.stats = pcg_solve_blocks(apply, m, rhs, sol.x, opt);
  return sol;
}

std::vector<double> extend_trait_start(std::span<const double> prev, int32_t traits, std::span<const int32_t> sire,
                                       std::span<const int32_t> dam) {
  const int64_t n = static_cast<int64_t>(sire.size()), T = traits;
  if (T < 1 || static_cast<int64_t>(prev.size()) < T || static_cast<int64_t>(prev.size()) > T * (n + 1) ||
      prev.size() % static_cast<size_t>(T) != 0 || dam.size() != sire.size())
    stop("multi-trait evaluation: cannot widen a solution of " + std::to_string(prev.size()) + " values to " +
         std::to_string(traits) + " traits and " + std::to_string(n) + " animals");
  std::vector<double> x(static_cast<size_t>(T * (n + 1)), 0.0);
  std::copy(prev.begin(), prev.end(), x.begin());
  const int64_t m = static_cast<int64_t>(prev.size()) / T - 1;
  for (int64_t k = m; k < n; ++k) {
    const int32_t s = sire[static_cast<size_t>(k)], d = dam[static_cast<size_t>(k)];
    if (s > k || d > k || s < 0 || d < 0)
      stop("multi-trait evaluation: animal " + std::to_string(k + 1) + " has a parent that does not come before it");
    for (int64_t t = 0; t < T; ++t) {
      const double vs = s > 0 ? x[static_cast<size_t>(T * s + t)] : 0.0;
      const double vd = d > 0 ? x[static_cast<size_t>(T * d + t)] : 0.0;
      x[static_cast<size_t>(T * (k + 1) + t)] = 0.5 * (vs + vd);
    }
  }
  return x;
}

}  // namespace qm
