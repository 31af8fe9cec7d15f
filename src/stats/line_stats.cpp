#include "stats/line_stats.hpp"

#include <algorithm>
#include <cmath>

namespace qm {

namespace {
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
}

summary_input block_input(const summary_input& g, int32_t first, int32_t animals) {
  summary_input b = g;
  const size_t skip = static_cast<size_t>(first - 1);
  const int h0 = 2 * (first - 1);
  b.nanimals = animals;
  for (hap_columns* c : {&b.markers, &b.candidates}) {
    if (c->bits) c->bits = c->bit_row(h0);
    else if (c->data) c->data = c->hap(h0);
  }
  b.tbv.data = g.tbv.data ? g.tbv.data + skip : nullptr;
  b.phe.data = g.phe.data ? g.phe.data + skip : nullptr;
  if (!g.f_pedigree.empty()) b.f_pedigree = g.f_pedigree.subspan(skip, static_cast<size_t>(animals));
  return b;
}

std::vector<int32_t> numbers_in_block(std::span<const int32_t> parents, int32_t first) {
  std::vector<int32_t> out;
  out.reserve(parents.size());
  for (int32_t a : parents) out.push_back(a - first + 1);
  return out;
}

selection_result selection_in_block(std::span<const double> criterion, std::span<const int32_t> sires,
                                    std::span<const int32_t> dams, int32_t first, int32_t animals) {
  const std::span<const double> c = criterion.subspan(static_cast<size_t>(first - 1), static_cast<size_t>(animals));
  // first is odd: the block's males are its odd numbers, (animals + 1) / 2 of them.
  const int32_t per_sex = animals / 2;
  return selection_of(c, numbers_in_block(sires, first), numbers_in_block(dams, first), per_sex);
}

dominance_stats dominance_of(std::span<const double> gv, std::span<const double> tbv, std::span<const double> f) {
  dominance_stats s;
  const size_t n = gv.size();
  if (n == 0) return s;
  double sum = 0.0, dsum = 0.0;
  for (size_t i = 0; i < n; ++i) {
    sum += gv[i];
    dsum += gv[i] - tbv[i];
  }
  s.gv_mean = sum / static_cast<double>(n);
  if (n > 1) {
    const double dmean = dsum / static_cast<double>(n);
    double q = 0.0;
    for (size_t i = 0; i < n; ++i) {
      const double e = gv[i] - tbv[i] - dmean;
      q += e * e;
    }
    s.dominance_var = q / static_cast<double>(n - 1);
  }
  if (f.size() == n) s.inbreeding_depression = least_squares_slope(f, gv);
  return s;
}

double heterosis(double cross_mean, double sire_line_mean, double dam_line_mean) {
  return cross_mean - (sire_line_mean + dam_line_mean) / 2.0;
}

double predicted_heterosis(std::span<const double> d, std::span<const double> p1, std::span<const double> p2) {
  double s = 0.0;
  for (size_t q = 0; q < d.size(); ++q) {
    const double e = p1[q] - p2[q];
    s += d[q] * e * e;
  }
  return s;
}

}  // namespace qm
