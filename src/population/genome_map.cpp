#include "population/genome_map.hpp"

#include <cmath>

#include "base/byte_codec.hpp"

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

namespace {

// A locus as 20 bytes: chromosome i32, Morgan f64, base pairs i64.
void encode_position(byte_writer& w, const locus_position& l) {
  w.i32(l.chromosome);
  w.f64(l.morgan);
  w.i64(l.base_pair);
}

locus_position decode_position(byte_reader& r) {
  locus_position l;
  l.chromosome = r.i32();
  l.morgan = r.f64();
  l.base_pair = r.i64();
  return l;
}

}  // namespace

void encode_genome_map(byte_writer& w, const genome_map& m) {
  w.i32(m.nchr);
  w.i32(m.nmpc);
  w.i32(m.maptype);
  for (const auto* v : {&m.markers, &m.candidates}) {
    w.u64(v->size());
    for (const locus_position& l : *v) encode_position(w, l);
  }
  for (const auto* v : {&m.recomb_left, &m.recomb_right}) {
    w.u64(v->size());
    for (double x : *v) w.f64(x);
  }
  w.u64(m.gap_base_pairs.size());
  for (int64_t x : m.gap_base_pairs) w.i64(x);
}

genome_map decode_genome_map(byte_reader& r) {
  genome_map m;
  m.nchr = r.i32();
  m.nmpc = r.i32();
  m.maptype = r.i32();
  for (std::vector<locus_position>* v : {&m.markers, &m.candidates}) {
    v->resize(r.count(20, "loci"));
    for (locus_position& l : *v) l = decode_position(r);
  }
  for (std::vector<double>* v : {&m.recomb_left, &m.recomb_right}) {
    v->resize(r.count(8, "recombination fractions"));
    for (double& x : *v) x = r.f64();
  }
  m.gap_base_pairs.resize(r.count(8, "gaps"));
  for (int64_t& x : m.gap_base_pairs) x = r.i64();
  const int64_t nmark = static_cast<int64_t>(m.nchr) * m.nmpc;
  if (m.nchr < 1 || m.nmpc < 2 || static_cast<int64_t>(m.markers.size()) != nmark ||
      static_cast<int64_t>(m.candidates.size()) != static_cast<int64_t>(m.nchr) * (m.nmpc - 1) ||
      m.recomb_left.size() != m.candidates.size() || m.recomb_right.size() != m.candidates.size() ||
      (!m.gap_base_pairs.empty() && m.gap_base_pairs.size() != m.markers.size()))
    throw decode_error("the genetic map's parts do not fit together");
  for (const auto* v : {&m.markers, &m.candidates})
    for (const locus_position& l : *v)
      if (l.chromosome < 1 || l.chromosome > m.nchr) throw decode_error("a locus of the map lies on no chromosome");
  return m;
}

}  // namespace qm
