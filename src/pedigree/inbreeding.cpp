#include "pedigree/inbreeding.hpp"

#include <algorithm>
#include <bit>
#include <string>

#include "base/messages.hpp"

namespace qm {

void check_pedigree(std::span<const int32_t> sire, std::span<const int32_t> dam) {
  if (sire.size() != dam.size())
    stop("pedigree: " + std::to_string(sire.size()) + " sires but " + std::to_string(dam.size()) +
         " dams were given; give one sire and one dam (0 when unknown) for every animal");
  for (size_t k = 0; k < sire.size(); ++k) {
    const int64_t i = static_cast<int64_t>(k) + 1;
    for (const int32_t par : {sire[k], dam[k]})
      if (par < 0 || par >= i)
        stop("pedigree: animal " + std::to_string(i) + " has parent " + std::to_string(par) +
             "; number the animals so that every parent comes before its offspring (0 for an unknown parent)");
  }
}

void inbreeding_append(std::span<const int32_t> sire, std::span<const int32_t> dam, std::vector<double>& f) {
  check_pedigree(sire, dam);
  const size_t n = sire.size();
  const size_t m = f.size();
  if (m > n)
    stop("inbreeding: " + std::to_string(m) + " coefficients are known but the pedigree has only " +
         std::to_string(n) + " animals; give the whole pedigree");
  f.resize(n);
  if (m == n) return;
  // F of animal a (1-based), -1 for an unknown parent (a = 0).
  const auto fa = [&](int32_t a) { return a == 0 ? -1.0 : f[static_cast<size_t>(a) - 1]; };
  // Within-family variance of Mendelian sampling of animal a (1-based).
  const auto dvar = [&](int32_t a) {
    const size_t k = static_cast<size_t>(a) - 1;
    return 0.5 - 0.25 * (fa(sire[k]) + fa(dam[k]));
  };
  // The ancestors waiting to be traced are marked in a bit set and taken
  // largest number first: an ancestor adds only its parents, which have
  // smaller numbers, so a scan down the set meets every one of them after
  // all of its descendants, in the order a max-heap would give them.
  std::vector<double> l(n + 1, 0.0);                    // L_ij of the current animal i, by j
  std::vector<uint64_t> waiting((n + 1 + 63) / 64, 0);  // bit j: j is waiting
  int64_t nwaiting = 0;
  const auto add = [&](int32_t j, double v) {
    if (j == 0) return;
    l[static_cast<size_t>(j)] += v;
    uint64_t& w = waiting[static_cast<size_t>(j) >> 6];
    const uint64_t bit = uint64_t{1} << (j & 63);
    if (!(w & bit)) {
      w |= bit;
      ++nwaiting;
    }
  };
  for (size_t k = m; k < n; ++k) {
    const int32_t s = sire[k], d = dam[k];
    if (s == 0 || d == 0) {
      f[k] = 0.0;
      continue;
    }
    if (k > 0 && s == sire[k - 1] && d == dam[k - 1]) {
      f[k] = f[k - 1];
      continue;
    }
    double sum = dvar(static_cast<int32_t>(k + 1));  // L_ii = 1
    add(s, 0.5);
    add(d, 0.5);
    size_t word = static_cast<size_t>(std::max(s, d)) >> 6;
    while (nwaiting > 0) {
      while (waiting[word] == 0) --word;
      const int top = 63 - std::countl_zero(waiting[word]);
      waiting[word] &= ~(uint64_t{1} << top);
      --nwaiting;
      const int32_t j = static_cast<int32_t>(word * 64 + static_cast<size_t>(top));
      const size_t uj = static_cast<size_t>(j);
      const double lj = l[uj];
      l[uj] = 0.0;
      sum += lj * lj * dvar(j);
      add(sire[uj - 1], 0.5 * lj);
      add(dam[uj - 1], 0.5 * lj);
    }
    f[k] = sum - 1.0;
  }
}

std::vector<double> inbreeding(std::span<const int32_t> sire, std::span<const int32_t> dam) {
  std::vector<double> f;
  inbreeding_append(sire, dam, f);
  return f;
}

}  // namespace qm
