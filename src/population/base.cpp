#include "population/base.hpp"

#include <cmath>
#include <vector>

#include "output/fixed.hpp"
#include "output/textfile.hpp"

namespace qm {

double haldane(double x) { return 0.5 * (1.0 - std::exp(-2.0 * x)); }

namespace {

// An integer right-aligned in w, or after one blank when it is wider.
char* put_wide(char* p, int64_t v, int w) {
  char tmp[24];
  char* e = put_imin(tmp, v, 0, 1);
  const int len = static_cast<int>(e - tmp);
  return put_imin(p, v, len < w ? w : len + 1, 1);
}

void random_map(popstate& p) {
  const int gaps = p.nmpc - 1;
  const double d = static_cast<double>(p.chrlen / static_cast<float>(gaps));
  std::vector<double> g(static_cast<size_t>(gaps));
  textfile f;
  tf_open(f, "mposition.out");
  for (int c = 1; c <= p.nchr; ++c) {
    const int k0 = (c - 1) * gaps;  // candidate loci k0 + 1 .. k0 + gaps
    const int m0 = (c - 1) * p.nmpc;
    double s = 0.0;
    for (int j = 1; j <= gaps; ++j) {
      const double u1 = next_uniform(p.rng);
      const double u2 = next_uniform(p.rng);
      g[static_cast<size_t>(j - 1)] = (std::log(u2) / -1.0) * (d / 2.0) + u1 * d;
      s += g[static_cast<size_t>(j - 1)];
    }
    const double scale = static_cast<double>(p.chrlen) / s;
    for (double& x : g) x = x * scale;
    char* q = tf_room(f, 3 * 24 + 1);
    q = put_wide(q, m0 + 1, 6);
    q = put_wide(q, 0, 12);
    q = put_wide(q, 0, 12);
    *q++ = '\n';
    tf_commit(f, q);
    int64_t pos = 0;
    for (int j = 1; j <= gaps; ++j) {
      const double gk = g[static_cast<size_t>(j - 1)];
      const int64_t b = static_cast<int64_t>(gk * 100000000.0);
      pos += b;
      q = tf_room(f, 3 * 24 + 1);
      q = put_wide(q, m0 + j + 1, 6);
      q = put_wide(q, pos, 12);
      q = put_wide(q, b, 12);
      *q++ = '\n';
      tf_commit(f, q);
      const double u = next_uniform(p.rng);
      p.recf(2, k0 + j) = u * gk;
      p.recf(1, k0 + j) = gk - p.recf(2, k0 + j);
    }
    tf_maybe_flush(f);
  }
  double* r = p.recf.data();
  for (size_t i = 0; i < p.recf.count(); ++i) r[i] = haldane(r[i]);
  tf_close(f);
}

}  // namespace

void make_base_population(popstate& p) {
  std::fill(p.mtype.data(), p.mtype.data() + p.mtype.count(), int8_t{1});
  std::fill(p.qtype.data(), p.qtype.data() + p.qtype.count(), int8_t{1});
  // Every locus carries only the base allele.
  p.mcarried.assign(2 * static_cast<size_t>(p.nmark), 0);
  p.qcarried.assign(2 * static_cast<size_t>(p.nqloc), 0);
  for (size_t l = 0; l < p.mcarried.size(); l += 2) p.mcarried[l] = 2;
  for (size_t l = 0; l < p.qcarried.size(); l += 2) p.qcarried[l] = 2;
  p.carried_ok = true;
  p.sireid.alloc(p.nsire);
  p.damid.alloc(p.ndam);
  for (int i = 1; i <= p.nind; ++i) p.ped(1, i) = p.ped(2, i) = p.ped(3, i) = i;
  for (int k = 1; k <= p.nsire && k <= p.nind / 2; ++k) p.sireid(k) = 2 * k - 1;
  for (int k = 1; k <= p.ndam && k <= p.nind / 2; ++k) p.damid(k) = 2 * k;
  std::fill(p.recf.data(), p.recf.data() + p.recf.count(), 0.0);
  if (p.maptype == 0) {
    const float h = (0.5f * p.chrlen) / static_cast<float>(p.nmpc - 1);
    const double r = haldane(static_cast<double>(h));
    std::fill(p.recf.data(), p.recf.data() + p.recf.count(), r);
  } else if (p.maptype == 1) {
    random_map(p);
  }
}

}  // namespace qm
