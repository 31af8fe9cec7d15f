#include "values/breeding.hpp"

#include <cmath>
#include <vector>

namespace qm {

float genovalue(const popstate& p, int i, int t) {
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

void getbv(popstate& p) {
  p.bv.alloc(p.nind, 2, p.ntrait);
  if (p.ntrait == 1) {
    const float s = std::sqrt(1.0f / p.h2(1) - 1.0f);
    for (int i = 1; i <= p.nind; ++i) {
      const float g = genovalue(p, i, 1);
      p.bv(i, 1, 1) = g;
      const float z = static_cast<float>(stdnorm(p.rng));
      p.bv(i, 2, 1) = static_cast<double>(g + z * s);
    }
    return;
  }
  const int n = p.ntrait;
  std::vector<float> g(static_cast<size_t>(n)), e(static_cast<size_t>(n));
  for (int i = 1; i <= p.nind; ++i) {
    for (int t = 1; t <= n; ++t) g[static_cast<size_t>(t - 1)] = genovalue(p, i, t);
    multinorm(p.rng, p.rescov.data(), n, e.data());
    for (int t = 1; t <= n; ++t) {
      p.bv(i, 1, t) = g[static_cast<size_t>(t - 1)];
      p.bv(i, 2, t) = static_cast<double>(g[static_cast<size_t>(t - 1)] + e[static_cast<size_t>(t - 1)]);
    }
  }
}

}  // namespace qm
