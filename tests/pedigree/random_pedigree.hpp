// Random pedigrees for the pedigree and breeding-value tests, and the
// relationship matrix by the tabular method.
#pragma once
#include <Eigen/Dense>
#include <cstdint>
#include <random>
#include <vector>

namespace qmtest {

struct pedigree {
  std::vector<int32_t> sire, dam;  // parents of animal k + 1, 0 unknown
  int32_t size() const { return static_cast<int32_t>(sire.size()); }
  void add(int32_t s, int32_t d) {
    sire.push_back(s);
    dam.push_back(d);
  }
};

// A small closed population: nbase animals with unknown parents, then
// animals whose parents are drawn from the last `window` animals, so that
// full-sib, half-sib and parent-offspring matings all occur; about one
// animal in twelve has one unknown parent. Parents are not sexed.
inline pedigree random_pedigree(int32_t n, int32_t nbase, int32_t window, uint32_t seed) {
  std::mt19937 rng(seed);
  pedigree p;
  for (int32_t i = 1; i <= n; ++i) {
    if (i <= nbase) {
      p.add(0, 0);
      continue;
    }
    const int32_t lo = i - 1 - window < 1 ? 1 : i - 1 - window;
    const int32_t span = i - lo;  // candidates lo .. i-1
    int32_t s = lo + static_cast<int32_t>(rng() % static_cast<uint32_t>(span));
    int32_t d = lo + static_cast<int32_t>(rng() % static_cast<uint32_t>(span));
    while (d == s && span > 1) d = lo + static_cast<int32_t>(rng() % static_cast<uint32_t>(span));
    const uint32_t u = rng() % 24;
    if (u == 0) s = 0;
    if (u == 1) d = 0;
    p.add(s, d);
  }
  return p;
}

// Generations of nper animals; parents drawn at random from the previous
// generation (sires from its first half, dams from its second half).
inline pedigree generations(int32_t ngen, int32_t nper, uint32_t seed) {
  std::mt19937 rng(seed);
  pedigree p;
  for (int32_t i = 0; i < nper; ++i) p.add(0, 0);
  for (int32_t g = 1; g < ngen; ++g) {
    const int32_t first = (g - 1) * nper + 1, half = nper / 2;
    for (int32_t i = 0; i < nper; ++i)
      p.add(first + static_cast<int32_t>(rng() % static_cast<uint32_t>(half)),
            first + half + static_cast<int32_t>(rng() % static_cast<uint32_t>(nper - half)));
  }
  return p;
}

// A by the tabular method: a_ij = (a_i,s(j) + a_i,d(j)) / 2 for i < j,
// a_jj = 1 + a_s(j),d(j) / 2.
inline Eigen::MatrixXd tabular_a(const pedigree& p) {
  const int32_t n = p.size();
  Eigen::MatrixXd a = Eigen::MatrixXd::Zero(n, n);
  for (int32_t j = 0; j < n; ++j) {
    const int32_t s = p.sire[static_cast<size_t>(j)] - 1, d = p.dam[static_cast<size_t>(j)] - 1;
    for (int32_t i = 0; i < j; ++i) {
      const double v = 0.5 * ((s >= 0 ? a(i, s) : 0.0) + (d >= 0 ? a(i, d) : 0.0));
      a(i, j) = a(j, i) = v;
    }
    a(j, j) = 1.0 + (s >= 0 && d >= 0 ? 0.5 * a(s, d) : 0.0);
  }
  return a;
}

}  // namespace qmtest
