#include "ebv/ainverse.hpp"

#include <algorithm>
#include <string>

#include "base/messages.hpp"
#include "pedigree/inbreeding.hpp"

namespace qm {

double sym_csr::at(int32_t r, int32_t c) const {
  const auto b = col.begin() + rowptr[static_cast<size_t>(r)];
  const auto e = col.begin() + rowptr[static_cast<size_t>(r) + 1];
  const auto it = std::lower_bound(b, e, c);
  return it != e && *it == c ? val[static_cast<size_t>(it - col.begin())] : 0.0;
}

namespace {

struct term {
  int64_t key;  // row * n + column, both 0-based
  double v;
};

}  // namespace

void ainverse_append(sym_csr& a, std::span<const int32_t> sire, std::span<const int32_t> dam,
                     std::span<const double> f) {
  check_pedigree(sire, dam);
  const int64_t n = static_cast<int64_t>(sire.size());
  const int64_t m = a.n;
  if (m > n || static_cast<int64_t>(a.rowptr.size()) != m + 1)
    stop("relationship inverse: the matrix has " + std::to_string(m) + " animals but the pedigree " +
         std::to_string(n) + "; give the whole pedigree, old animals first");
  if (static_cast<int64_t>(f.size()) < n)
    stop("relationship inverse: " + std::to_string(f.size()) + " inbreeding coefficients for " + std::to_string(n) +
         " animals; compute the coefficients of every animal first");
  if (m == n) return;

  // The terms of the new animals, in animal order, then sorted by entry with
  // a stable sort so that the terms of one entry keep that order.
  std::vector<term> t;
  t.reserve(static_cast<size_t>(9 * (n - m)));
  const auto fa = [&](int32_t p) { return p == 0 ? -1.0 : f[static_cast<size_t>(p) - 1]; };
  for (int64_t k = m; k < n; ++k) {
    const int32_t s = sire[static_cast<size_t>(k)], d = dam[static_cast<size_t>(k)];
    const double b = 1.0 / (0.5 - 0.25 * (fa(s) + fa(d)));
    const double h = -0.5 * b, q = 0.25 * b;
    t.push_back({k * n + k, b});
    for (const int32_t p : {s, d}) {
      if (p == 0) continue;
      const int64_t pk = p - 1;
      t.push_back({k * n + pk, h});
      t.push_back({pk * n + k, h});
    }
    for (const int32_t p : {s, d}) {
      if (p == 0) continue;
      for (const int32_t r : {s, d}) {
        if (r == 0) continue;
        t.push_back({(static_cast<int64_t>(p) - 1) * n + (r - 1), q});
      }
    }
  }
  std::stable_sort(t.begin(), t.end(), [](const term& x, const term& y) { return x.key < y.key; });

  // Merge row by row: old entries first, then the new terms of the same
  // entry in their order.
  sym_csr out;
  out.n = static_cast<int32_t>(n);
  out.rowptr.assign(static_cast<size_t>(n) + 1, 0);
  out.col.reserve(a.col.size() + t.size());
  out.val.reserve(a.col.size() + t.size());
  size_t ti = 0;
  for (int64_t r = 0; r < n; ++r) {
    int64_t o = r < m ? a.rowptr[static_cast<size_t>(r)] : 0;
    const int64_t oe = r < m ? a.rowptr[static_cast<size_t>(r) + 1] : 0;
    const int64_t te = (r + 1) * n;
    while (o < oe || (ti < t.size() && t[ti].key < te)) {
      int64_t c;
      double v;
      const bool take_new =
          o == oe || (ti < t.size() && t[ti].key < te && t[ti].key - r * n < a.col[static_cast<size_t>(o)]);
      if (take_new) {
        c = t[ti].key - r * n;
        v = t[ti].v;
        ++ti;
      } else {
        c = a.col[static_cast<size_t>(o)];
        v = a.val[static_cast<size_t>(o)];
        ++o;
      }
      for (; ti < t.size() && t[ti].key == r * n + c; ++ti) v += t[ti].v;
      out.col.push_back(static_cast<int32_t>(c));
      out.val.push_back(v);
    }
    out.rowptr[static_cast<size_t>(r) + 1] = static_cast<int64_t>(out.col.size());
  }
  a = std::move(out);
}

sym_csr ainverse(std::span<const int32_t> sire, std::span<const int32_t> dam, std::span<const double> f) {
  sym_csr a;
  ainverse_append(a, sire, dam, f);
  return a;
}

}  // namespace qm
