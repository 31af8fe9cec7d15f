#include "population/genome_map.hpp"

#include <cmath>

namespace qm {

double haldane(double x) { return 0.5 * (1.0 - std::exp(-2.0 * x)); }

namespace {

constexpr double base_pairs_per_morgan = 100000000.0;

void even_map(const run_parameters& p, genome_map& m, bool recombination) {
  const int gaps = p.nmpc - 1;
  const float half = (0.5f * p.chrlen) / static_cast<float>(gaps);
  const double r = recombination ? haldane(static_cast<double>(half)) : 0.0;
  const double d = static_cast<double>(p.chrlen) / gaps;
  for (int c = 1; c <= p.nchr; ++c) {
    for (int j = 0; j < p.nmpc; ++j) {
      const double x = d * j;
      m.markers.push_back({c, x, static_cast<int64_t>(x * base_pairs_per_morgan)});
    }
    for (int j = 0; j < gaps; ++j) {
      const double x = d * j + static_cast<double>(half);
      m.candidates.push_back({c, x, static_cast<int64_t>(x * base_pairs_per_morgan)});
      m.recomb_left.push_back(r);
      m.recomb_right.push_back(r);
    }
  }
}

// Exponential-plus-uniform gaps scaled to the chromosome length; each
// candidate locus splits its gap at a uniform point.
void random_map(const run_parameters& p, genome_map& m, random_stream& rng) {
  const int gaps = p.nmpc - 1;
  const double d = static_cast<double>(p.chrlen / static_cast<float>(gaps));
  std::vector<double> g(static_cast<size_t>(gaps));
  m.gap_base_pairs.reserve(static_cast<size_t>(p.nmpc) * p.nchr);
  for (int c = 1; c <= p.nchr; ++c) {
    double s = 0.0;
    for (int j = 0; j < gaps; ++j) {
      const double u1 = next_uniform(rng);
      const double u2 = next_uniform(rng);
      g[static_cast<size_t>(j)] = (std::log(u2) / -1.0) * (d / 2.0) + u1 * d;
      s += g[static_cast<size_t>(j)];
    }
    const double scale = static_cast<double>(p.chrlen) / s;
    for (double& x : g) x = x * scale;
    double morgan = 0.0;
    int64_t bp = 0;
    m.markers.push_back({c, 0.0, 0});
    m.gap_base_pairs.push_back(0);
    for (int j = 0; j < gaps; ++j) {
      const double gk = g[static_cast<size_t>(j)];
      const int64_t b = static_cast<int64_t>(gk * base_pairs_per_morgan);
      const double u = next_uniform(rng);
      const double right = u * gk;
      const double left = gk - right;
      m.candidates.push_back({c, morgan + left, bp + static_cast<int64_t>(left * base_pairs_per_morgan)});
      m.recomb_left.push_back(haldane(left));
      m.recomb_right.push_back(haldane(right));
      morgan += gk;
      bp += b;
      m.markers.push_back({c, morgan, bp});
      m.gap_base_pairs.push_back(b);
    }
  }
}

}  // namespace

genome_map build_genome_map(const run_parameters& p, random_stream& rng) {
  genome_map m;
  m.nchr = p.nchr;
  m.nmpc = p.nmpc;
  m.maptype = p.maptype;
  m.markers.reserve(static_cast<size_t>(p.markers()));
  m.candidates.reserve(static_cast<size_t>(p.candidate_loci()));
  if (p.maptype == 1) random_map(p, m, rng);
  else even_map(p, m, p.maptype == 0);
  return m;
}

}  // namespace qm
