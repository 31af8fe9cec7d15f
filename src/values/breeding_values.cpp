#include "values/breeding_values.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "run/messages.hpp"
#include "run/threads.hpp"

namespace qm {

float genotypic_value(const popstate& p, int i, int t) {
  const int8_t* a = p.qtype.col(2 * i - 1);
  const int8_t* b = p.qtype.col(2 * i);
  float g = 0.0f;
  for (int q = 1; q <= p.tqtl; ++q) {
    const int l = p.qtlid(q) - 1;
    const int x = a[l] + b[l] - 3;
    g = static_cast<float>(static_cast<double>(g) + static_cast<double>(x) * p.qeff(q, t));
  }
  return g;
}

void compute_values(popstate& p) {
  p.bv.alloc(p.nind, 2, p.ntrait);
  const int n = p.ntrait;
  // Uniforms per animal: one normal, or one multivariate draw.
  const uint64_t per = n == 1 ? 2 : 2 + 100 * static_cast<uint64_t>(n - 1);
  const uint32_t st0 = static_cast<uint32_t>(p.rng.state);
  const float s1 = n == 1 ? std::sqrt(1.0f / p.h2(1) - 1.0f) : 0.0f;
  std::vector<float> l(static_cast<size_t>(n) * n);
  std::string notes;
  if (n >= 2) cholesky_factor(p.rescov.data(), n, l.data(), &notes);
  const int parts = std::max(1, std::min(p.nind, 4 * p.threads));
  run_parallel(p.threads, parts, [&](int k) {
    const int a = static_cast<int>(static_cast<int64_t>(p.nind) * k / parts) + 1;
    const int b = static_cast<int>(static_cast<int64_t>(p.nind) * (k + 1) / parts);
    random_stream r;
    r.state = static_cast<int32_t>(mulmod31(st0, jump_multiplier(per * static_cast<uint64_t>(a - 1))));
    std::vector<float> g(static_cast<size_t>(n)), e(static_cast<size_t>(n));
    for (int i = a; i <= b; ++i) {
      if (n == 1) {
        const float gi = genotypic_value(p, i, 1);
        p.bv(i, 1, 1) = gi;
        const float z = static_cast<float>(standard_normal(r));
        p.bv(i, 2, 1) = static_cast<double>(gi + z * s1);
        continue;
      }
      for (int t = 1; t <= n; ++t) g[static_cast<size_t>(t - 1)] = genotypic_value(p, i, t);
      multivariate_normal_factored(r, l.data(), n, e.data());
      for (int t = 1; t <= n; ++t) {
        p.bv(i, 1, t) = g[static_cast<size_t>(t - 1)];
        p.bv(i, 2, t) = static_cast<double>(g[static_cast<size_t>(t - 1)] + e[static_cast<size_t>(t - 1)]);
      }
    }
  });
  p.rng.state = static_cast<int32_t>(mulmod31(st0, jump_multiplier(per * static_cast<uint64_t>(p.nind))));
  // A residual covariance matrix without a proper factor is reported for
  // every draw, as each draw factors it anew.
  if (!notes.empty()) {
    for (int i = 1; i <= p.nind; ++i)
      for (size_t a = 0, b; (b = notes.find('\n', a)) != std::string::npos; a = b + 1) say(notes.substr(a, b - a));
  }
}

}  // namespace qm
