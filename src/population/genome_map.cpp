#include "population/genome_map.hpp"

#include <cmath>
#include <cstdio>
#include <string>

#include "base/byte_codec.hpp"
#include "base/invariant_error.hpp"

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

namespace {

using std::to_string;

[[noreturn]] void fail(const std::string& what) { throw invariant_error(what); }

std::string number_text(double x) {
  char b[40];
  std::snprintf(b, sizeof b, "%.17g", x);
  return b;
}

// Position l against the chromosome's extent and its base pairs against
// its Morgans: the map gives base pair trunc(10^8 x) to a position x, but
// with random gaps it adds the truncated gaps, at most one base pair less
// each, and sums the Morgans in floating point (a relative slack).
// name() names the locus in a message (made only at a fault).
template <class Name>
void check_position(const locus_position& l, int32_t c, double most_morgan, int32_t gaps, const Name& name) {
  if (l.chromosome != c) fail(name() + " lies on chromosome " + to_string(l.chromosome) + ", not " + to_string(c));
  if (!std::isfinite(l.morgan)) fail(name() + " lies at " + number_text(l.morgan) + " Morgan");
  if (l.morgan < 0.0 || l.morgan > most_morgan)
    fail(name() + " lies at " + number_text(l.morgan) + " Morgan, outside its chromosome (0.." +
         number_text(most_morgan) + ")");
  const double x = l.morgan * base_pairs_per_morgan;
  const double slack = 1.0 + x * 1e-9;
  const double bp = static_cast<double>(l.base_pair);
  if (bp < x - gaps - slack || bp > x + slack)
    fail(name() + " lies at base pair " + to_string(l.base_pair) + ", which its position of " +
         number_text(l.morgan) + " Morgan does not give (" + number_text(std::floor(x)) + " at most" +
         (gaps > 0 ? ", one less for each gap before it" : "") + ")");
}

}  // namespace

void verify(const genome_map& m, double chrlen) {
  if (m.nchr < 1 || m.nmpc < 2)
    fail("the map has " + to_string(m.nchr) + " chromosomes of " + to_string(m.nmpc) + " markers");
  const int64_t nmark = int64_t{m.nchr} * m.nmpc, nq = int64_t{m.nchr} * (m.nmpc - 1);
  if (static_cast<int64_t>(m.markers.size()) != nmark || static_cast<int64_t>(m.candidates.size()) != nq)
    fail("the map has " + to_string(m.markers.size()) + " markers and " + to_string(m.candidates.size()) +
         " candidate loci for " + to_string(m.nchr) + " chromosomes of " + to_string(m.nmpc) + " markers");
  if (m.recomb_left.size() != m.candidates.size() || m.recomb_right.size() != m.candidates.size())
    fail("the map has " + to_string(m.recomb_left.size()) + " and " + to_string(m.recomb_right.size()) +
         " recombination fractions for " + to_string(m.candidates.size()) + " candidate loci");
  const bool random_gaps = m.maptype == 1, recombination = m.maptype == 0 || m.maptype == 1;
  if (m.gap_base_pairs.size() != (random_gaps ? m.markers.size() : 0))
    fail("the map has " + to_string(m.gap_base_pairs.size()) + " gaps for " + to_string(m.markers.size()) +
         " markers with maptype " + to_string(m.maptype));
  if (!(chrlen > 0.0) || !std::isfinite(chrlen)) fail("the chromosomes are " + number_text(chrlen) + " Morgan long");
  // Positions are sums of gaps rounded to double: a chromosome may end a
  // little past chrlen.
  const double most_morgan = chrlen * (1.0 + 1e-6);
  const int32_t gaps = random_gaps ? m.nmpc - 1 : 0;
  for (int32_t c = 1; c <= m.nchr; ++c) {
    const size_t first = static_cast<size_t>(c - 1) * static_cast<size_t>(m.nmpc);
    const auto marker = [&](int32_t j) {
      return "marker " + to_string(first + static_cast<size_t>(j) + 1) + " (marker " + to_string(j + 1) +
             " of chromosome " + to_string(c) + ")";
    };
    for (int32_t j = 0; j < m.nmpc; ++j) {
      const locus_position& l = m.markers[first + static_cast<size_t>(j)];
      check_position(l, c, most_morgan, gaps, [&] { return marker(j); });
      if (j == 0) {
        if (l.morgan != 0.0 || l.base_pair != 0)
          fail(marker(j) + " lies at " + number_text(l.morgan) + " Morgan and base pair " + to_string(l.base_pair) +
               "; a chromosome begins at its first marker");
      } else {
        const locus_position& before = m.markers[first + static_cast<size_t>(j) - 1];
        if (l.morgan < before.morgan || l.base_pair < before.base_pair)
          fail(marker(j) + " lies at " + number_text(l.morgan) + " Morgan (base pair " + to_string(l.base_pair) +
               "), before the marker ahead of it at " + number_text(before.morgan) + " (" +
               to_string(before.base_pair) + ")");
      }
      if (random_gaps) {
        const int64_t gap = j == 0 ? 0 : l.base_pair - m.markers[first + static_cast<size_t>(j) - 1].base_pair;
        if (m.gap_base_pairs[first + static_cast<size_t>(j)] != gap)
          fail("the gap before " + marker(j) + " is " + to_string(m.gap_base_pairs[first + static_cast<size_t>(j)]) +
               " base pairs; its position gives " + to_string(gap));
      }
    }
    for (int32_t j = 0; j + 1 < m.nmpc; ++j) {
      const size_t k = static_cast<size_t>(c - 1) * static_cast<size_t>(m.nmpc - 1) + static_cast<size_t>(j);
      const auto name = [&] {
        return "candidate locus " + to_string(k + 1) + " (between markers " + to_string(j + 1) + " and " +
               to_string(j + 2) + " of chromosome " + to_string(c) + ")";
      };
      const locus_position& l = m.candidates[k];
      check_position(l, c, most_morgan, gaps, name);
      const locus_position &left = m.markers[first + static_cast<size_t>(j)],
                           &right = m.markers[first + static_cast<size_t>(j) + 1];
      if (l.morgan < left.morgan || l.morgan > right.morgan || l.base_pair < left.base_pair ||
          l.base_pair > right.base_pair)
        fail(name() + " lies at " + number_text(l.morgan) + " Morgan (base pair " + to_string(l.base_pair) +
             "), outside its markers at " + number_text(left.morgan) + " and " + number_text(right.morgan) + " (" +
             to_string(left.base_pair) + " and " + to_string(right.base_pair) + ")");
      for (const auto& [r, side] : {std::pair{m.recomb_left[k], "left"}, std::pair{m.recomb_right[k], "right"}}) {
        if (!(r >= 0.0 && r <= (recombination ? 0.5 : 0.0)))
          fail("the recombination fraction between " + name() + " and its " + side + " marker is " + number_text(r) +
               (recombination ? ", outside 0..0.5" : "; with maptype " + to_string(m.maptype) + " there is none"));
      }
    }
  }
}

}  // namespace qm
