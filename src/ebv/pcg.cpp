#include "ebv/pcg.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "base/messages.hpp"
#include "base/threads.hpp"

namespace qm {

namespace {

int64_t nblocks(int64_t n) { return (n + pcg_block - 1) / pcg_block; }

// fn(block, begin, end) for every block of a vector of n entries.
template <class F>
void for_blocks(int threads, int64_t n, F&& fn) {
  const int64_t nb = nblocks(n);
  run_parallel_own_shares(threads, static_cast<int>(nb), [&](int k) {
    const int64_t a = static_cast<int64_t>(k) * pcg_block;
    fn(k, a, std::min(n, a + pcg_block));
  });
}

double sum_blocks(const std::vector<double>& part, size_t stride, size_t which) {
  double s = 0.0;
  for (size_t k = which; k < part.size(); k += stride) s += part[k];
  return s;
}

// x . y with the block sums kept in part (one slot per block, stride 2).
double dot_parts(std::span<const double> x, std::span<const double> y, int threads, std::vector<double>& part) {
  const int64_t n = static_cast<int64_t>(x.size());
  for_blocks(threads, n, [&](int k, int64_t a, int64_t e) {
    double s = 0.0;
    for (int64_t i = a; i < e; ++i) s += x[static_cast<size_t>(i)] * y[static_cast<size_t>(i)];
    part[2 * static_cast<size_t>(k)] = s;
  });
  return sum_blocks(part, 2, 0);
}

}  // namespace

double block_dot(std::span<const double> x, std::span<const double> y, int threads) {
  std::vector<double> part(2 * static_cast<size_t>(nblocks(static_cast<int64_t>(x.size()))));
  return dot_parts(x, y, threads, part);
}

pcg_result pcg_solve(const std::function<void(const double*, double*)>& apply, std::span<const double> diag,
                     std::span<const double> b, std::span<double> x, const pcg_options& opt) {
  const int64_t n = static_cast<int64_t>(b.size());
  if (static_cast<int64_t>(diag.size()) != n || static_cast<int64_t>(x.size()) != n)
    stop("conjugate gradients: the system has " + std::to_string(n) + " equations but " +
         std::to_string(diag.size()) + " diagonal entries and " + std::to_string(x.size()) + " unknowns");
  const int th = opt.threads < 1 ? 1 : opt.threads;
  std::vector<double> inv(static_cast<size_t>(n));
  for (int64_t i = 0; i < n; ++i) {
    const double d = diag[static_cast<size_t>(i)];
    if (!(d > 0.0))
      stop("conjugate gradients: diagonal entry " + std::to_string(i + 1) + " of the system is " + std::to_string(d) +
           ", not positive; every unknown needs information (a record, a relative or a positive variance ratio)");
    inv[static_cast<size_t>(i)] = 1.0 / d;
  }
  pcg_result res;
  const size_t nb = static_cast<size_t>(nblocks(n));
  std::vector<double> part(2 * nb);
  const double bb = dot_parts(b, b, th, part);
  if (bb == 0.0) {
    for (double& v : x) v = 0.0;
    res.converged = true;
    return res;
  }
  const double bnorm = std::sqrt(bb);
  std::vector<double> r(static_cast<size_t>(n)), z(static_cast<size_t>(n)), p(static_cast<size_t>(n)),
      q(static_cast<size_t>(n));

  // A zero start needs no product.
  if (std::any_of(x.begin(), x.end(), [](double v) { return v != 0.0; }))
    apply(x.data(), q.data());
  else
    std::fill(q.begin(), q.end(), 0.0);
  for_blocks(th, n, [&](int k, int64_t a, int64_t e) {
    double rz = 0.0, rr = 0.0;
    for (int64_t i = a; i < e; ++i) {
      const size_t u = static_cast<size_t>(i);
      r[u] = b[u] - q[u];
      z[u] = r[u] * inv[u];
      p[u] = z[u];
      rz += r[u] * z[u];
      rr += r[u] * r[u];
    }
    part[2 * static_cast<size_t>(k)] = rz;
    part[2 * static_cast<size_t>(k) + 1] = rr;
  });
  double rz = sum_blocks(part, 2, 0);
  double rel = std::sqrt(sum_blocks(part, 2, 1)) / bnorm;

  int it = 0;
  while (rel >= opt.tol && it < opt.max_iter) {
    apply(p.data(), q.data());
    const double alpha = rz / dot_parts(p, q, th, part);
    for_blocks(th, n, [&](int k, int64_t a, int64_t e) {
      double s_rz = 0.0, s_rr = 0.0;
      for (int64_t i = a; i < e; ++i) {
        const size_t u = static_cast<size_t>(i);
        x[u] += alpha * p[u];
        r[u] -= alpha * q[u];
        z[u] = r[u] * inv[u];
        s_rz += r[u] * z[u];
        s_rr += r[u] * r[u];
      }
      part[2 * static_cast<size_t>(k)] = s_rz;
      part[2 * static_cast<size_t>(k) + 1] = s_rr;
    });
    const double rz_new = sum_blocks(part, 2, 0);
    rel = std::sqrt(sum_blocks(part, 2, 1)) / bnorm;
    const double beta = rz_new / rz;
    rz = rz_new;
    ++it;
    if (rel < opt.tol) break;
    for_blocks(th, n, [&](int, int64_t a, int64_t e) {
      for (int64_t i = a; i < e; ++i) {
        const size_t u = static_cast<size_t>(i);
        p[u] = z[u] + beta * p[u];
      }
    });
  }
  res.iterations = it;
  res.converged = rel < opt.tol;
  res.rel_residual = rel;
  apply(x.data(), q.data());
  for_blocks(th, n, [&](int k, int64_t a, int64_t e) {
    double s = 0.0;
    for (int64_t i = a; i < e; ++i) {
      const double d = b[static_cast<size_t>(i)] - q[static_cast<size_t>(i)];
      s += d * d;
    }
    part[2 * static_cast<size_t>(k)] = s;
  });
  res.true_rel_residual = std::sqrt(sum_blocks(part, 2, 0)) / bnorm;
  return res;
}

bool invert_spd(const double* a, int32_t size, double* out) {
  const int32_t n = size;
  // Cholesky factor L (lower, column-major) of a.
  std::vector<double> l(static_cast<size_t>(n) * static_cast<size_t>(n), 0.0);
  const auto at = [n](int32_t r, int32_t c) { return static_cast<size_t>(c) * static_cast<size_t>(n) + static_cast<size_t>(r); };
  for (int32_t j = 0; j < n; ++j) {
    double d = a[at(j, j)];
    for (int32_t k = 0; k < j; ++k) d -= l[at(j, k)] * l[at(j, k)];
    if (!(d > 0.0) || !std::isfinite(d)) return false;
    const double ljj = std::sqrt(d);
    l[at(j, j)] = ljj;
    for (int32_t i = j + 1; i < n; ++i) {
      double s = a[at(i, j)];
      for (int32_t k = 0; k < j; ++k) s -= l[at(i, k)] * l[at(j, k)];
      l[at(i, j)] = s / ljj;
    }
  }
  // Columns of the inverse: solve L L' x = e_c.
  std::vector<double> w(static_cast<size_t>(n));
  for (int32_t c = 0; c < n; ++c) {
    for (int32_t i = 0; i < n; ++i) {
      double s = i == c ? 1.0 : 0.0;
      for (int32_t k = 0; k < i; ++k) s -= l[at(i, k)] * w[static_cast<size_t>(k)];
      w[static_cast<size_t>(i)] = s / l[at(i, i)];
    }
    for (int32_t i = n - 1; i >= 0; --i) {
      double s = w[static_cast<size_t>(i)];
      for (int32_t k = i + 1; k < n; ++k) s -= l[at(k, i)] * out[at(k, c)];
      out[at(i, c)] = s / l[at(i, i)];
    }
  }
  // Exactly symmetric: the upper triangle mirrors the lower one.
  for (int32_t c = 0; c < n; ++c)
    for (int32_t r = 0; r < c; ++r) out[at(r, c)] = out[at(c, r)];
  return true;
}

block_diagonal invert_blocks(std::span<const double> blocks, int32_t size, const char* what, int threads) {
  if (size < 1) stop("conjugate gradients: blocks of the preconditioner need at least one unknown");
  const size_t bs = static_cast<size_t>(size) * static_cast<size_t>(size);
  if (blocks.size() % bs != 0)
    stop("conjugate gradients: " + std::to_string(blocks.size()) + " values do not make blocks of " +
         std::to_string(size) + " x " + std::to_string(size));
  block_diagonal m;
  m.size = size;
  m.inv.resize(blocks.size());
  const int64_t nb = static_cast<int64_t>(blocks.size() / bs);
  std::vector<int64_t> bad(static_cast<size_t>(nblocks(nb)), -1);
  for_blocks(threads < 1 ? 1 : threads, nb, [&](int k, int64_t a, int64_t e) {
    for (int64_t g = a; g < e && bad[static_cast<size_t>(k)] < 0; ++g)
      if (!invert_spd(blocks.data() + static_cast<size_t>(g) * bs, size, m.inv.data() + static_cast<size_t>(g) * bs))
        bad[static_cast<size_t>(k)] = g;
  });
  for (const int64_t g : bad)
    if (g >= 0)
      stop(std::string("conjugate gradients: the diagonal block of ") + what + " " + std::to_string(g + 1) +
           " is not positive definite; every unknown needs information (a record, a relative or a positive-definite covariance matrix)");
  return m;
}

void block_diagonal::apply(const double* r, double* z, int threads) const {
  const int64_t nb = blocks();
  const int32_t n = size;
  const size_t bs = static_cast<size_t>(n) * static_cast<size_t>(n);
  for_blocks(threads < 1 ? 1 : threads, nb, [&](int, int64_t a, int64_t e) {
    for (int64_t g = a; g < e; ++g) {
      const double* m = inv.data() + static_cast<size_t>(g) * bs;
      const double* rg = r + g * n;
      double* zg = z + g * n;
      for (int32_t i = 0; i < n; ++i) {
        double s = 0.0;
        for (int32_t c = 0; c < n; ++c) s += m[static_cast<size_t>(c) * static_cast<size_t>(n) + static_cast<size_t>(i)] * rg[c];
        zg[i] = s;
      }
    }
  });
}

pcg_result pcg_solve_blocks(const std::function<void(const double*, double*)>& apply, const block_diagonal& m,
                            std::span<const double> b, std::span<double> x, const pcg_options& opt) {
  const int64_t n = static_cast<int64_t>(b.size());
  if (m.blocks() * m.size != n || static_cast<int64_t>(x.size()) != n)
    stop("conjugate gradients: the system has " + std::to_string(n) + " equations but the preconditioner covers " +
         std::to_string(m.blocks() * m.size) + " unknowns and the start has " + std::to_string(x.size()));
  const int th = opt.threads < 1 ? 1 : opt.threads;
  pcg_result res;
  const size_t nb = static_cast<size_t>(nblocks(n));
  std::vector<double> part(2 * nb);
  const double bb = dot_parts(b, b, th, part);
  if (bb == 0.0) {
    for (double& v : x) v = 0.0;
    res.converged = true;
    return res;
  }
  const double bnorm = std::sqrt(bb);
  std::vector<double> r(static_cast<size_t>(n)), z(static_cast<size_t>(n)), p(static_cast<size_t>(n)),
      q(static_cast<size_t>(n));
  if (std::any_of(x.begin(), x.end(), [](double v) { return v != 0.0; }))
    apply(x.data(), q.data());
  else
    std::fill(q.begin(), q.end(), 0.0);
  for_blocks(th, n, [&](int k, int64_t a, int64_t e) {
    double rr = 0.0;
    for (int64_t i = a; i < e; ++i) {
      const size_t u = static_cast<size_t>(i);
      r[u] = b[u] - q[u];
      rr += r[u] * r[u];
    }
    part[2 * static_cast<size_t>(k) + 1] = rr;
  });
  double rel = std::sqrt(sum_blocks(part, 2, 1)) / bnorm;
  m.apply(r.data(), z.data(), th);
  for_blocks(th, n, [&](int k, int64_t a, int64_t e) {
    double rz = 0.0;
    for (int64_t i = a; i < e; ++i) {
      const size_t u = static_cast<size_t>(i);
      p[u] = z[u];
      rz += r[u] * z[u];
    }
    part[2 * static_cast<size_t>(k)] = rz;
  });
  double rz = sum_blocks(part, 2, 0);

  int it = 0;
  while (rel >= opt.tol && it < opt.max_iter) {
    apply(p.data(), q.data());
    const double alpha = rz / dot_parts(p, q, th, part);
    for_blocks(th, n, [&](int k, int64_t a, int64_t e) {
      double s_rr = 0.0;
      for (int64_t i = a; i < e; ++i) {
        const size_t u = static_cast<size_t>(i);
        x[u] += alpha * p[u];
        r[u] -= alpha * q[u];
        s_rr += r[u] * r[u];
      }
      part[2 * static_cast<size_t>(k) + 1] = s_rr;
    });
    rel = std::sqrt(sum_blocks(part, 2, 1)) / bnorm;
    ++it;
    if (rel < opt.tol) break;
    m.apply(r.data(), z.data(), th);
    const double rz_new = dot_parts(r, z, th, part);
    const double beta = rz_new / rz;
    rz = rz_new;
    for_blocks(th, n, [&](int, int64_t a, int64_t e) {
      for (int64_t i = a; i < e; ++i) {
        const size_t u = static_cast<size_t>(i);
        p[u] = z[u] + beta * p[u];
      }
    });
  }
  res.iterations = it;
  res.converged = rel < opt.tol;
  res.rel_residual = rel;
  apply(x.data(), q.data());
  for_blocks(th, n, [&](int k, int64_t a, int64_t e) {
    double s = 0.0;
    for (int64_t i = a; i < e; ++i) {
      const double d = b[static_cast<size_t>(i)] - q[static_cast<size_t>(i)];
      s += d * d;
    }
    part[2 * static_cast<size_t>(k)] = s;
  });
  res.true_rel_residual = std::sqrt(sum_blocks(part, 2, 0)) / bnorm;
  return res;
}

}  // namespace qm
