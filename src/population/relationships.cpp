#include "population/relationships.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "base/cpu_features.hpp"
#include "base/messages.hpp"
#include "base/threads.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#define QM_POPCNT __attribute__((target("popcnt")))
#else
#define QM_POPCNT
#endif

namespace qm {

// ---------------------------------------------------------------------------
// Pedigree relationships among the living animals

namespace {

// (position, index) of every animal, sorted; stops when one is named twice.
void index_positions(std::span<const int64_t> first, std::span<const int64_t> then,
                     std::vector<std::pair<int64_t, int64_t>>& out) {
  out.clear();
  for (int64_t p : first) out.emplace_back(p, static_cast<int64_t>(out.size()));
  for (int64_t p : then) out.emplace_back(p, static_cast<int64_t>(out.size()));
  std::sort(out.begin(), out.end());
  for (size_t i = 1; i < out.size(); ++i)
    if (out[i].first == out[i - 1].first)
      stop("relationships: animal " + std::to_string(out[i].first) +
           " is named twice in the living set; name every animal once");
}

}  // namespace

void living_relationships::start(std::span<const int64_t> founders) {
  for (int64_t p : founders)
    if (p < 1) stop("relationships: founder position " + std::to_string(p) + " is not a position in the pedigree (they start at 1)");
  index_positions(founders, {}, next_by_position_);
  by_position_.swap(next_by_position_);
  animals_.assign(founders.begin(), founders.end());
  const size_t n = animals_.size();
  a_.assign(n * n, 0.0);
  for (size_t i = 0; i < n; ++i) a_[i * n + i] = 1.0;
}

int64_t living_relationships::index_of(int64_t position) const {
  const auto it = std::lower_bound(by_position_.begin(), by_position_.end(), std::pair<int64_t, int64_t>{position, INT64_MIN});
  return it != by_position_.end() && it->first == position ? it->second : -1;
}

int64_t living_relationships::living_index(int64_t position, const char* role) const {
  const int64_t k = index_of(position);
  if (k < 0)
    stop(std::string("relationships: ") + role + " " + std::to_string(position) +
         " is not among the living animals; keep it in the generation before (or give it as a founder)");
  return k;
}

void living_relationships::advance(const pedigree_history& h, std::span<const int64_t> kept, std::span<const int64_t> born) {
  const size_t n_old = animals_.size(), nk = kept.size(), n = nk + born.size();
  // Old index of every new column: the kept animal itself, or the sire and
  // the dam of a newborn (two entries each, after the kept ones).
  cols_.resize(nk + 2 * born.size());
  for (size_t c = 0; c < nk; ++c) cols_[c] = living_index(kept[c], "kept animal");
  for (size_t b = 0; b < born.size(); ++b) {
    const int64_t pos = born[b];
    if (pos < 1 || pos > h.size())
      stop("relationships: newborn " + std::to_string(pos) + " is not in the pedigree (it has " +
           std::to_string(h.size()) + " animals); append its generation first");
    if (index_of(pos) >= 0)
      stop("relationships: newborn " + std::to_string(pos) + " is living already; give it as kept, not as born");
    const pedigree_record& r = h.at(pos);
    cols_[nk + 2 * b] = living_index(r.sire, "sire");
    cols_[nk + 2 * b + 1] = living_index(r.dam, "dam");
  }
  // Everything is checked before anything changes.
  index_positions(kept, born, next_by_position_);

  next_.resize(n * n);
  const int64_t* kc = cols_.data();
  const int64_t* bc = cols_.data() + nk;
  const double* a = a_.data();
  for (size_t i = 0; i < n; ++i) {
    double* out = next_.data() + i * n;
    if (i < nk) {
      // A kept animal: its old row, read at the kept animals and at the
      // parents of the newborns.
      const double* rk = a + static_cast<size_t>(kc[i]) * n_old;
      for (size_t c = 0; c < nk; ++c) out[c] = rk[kc[c]];
      for (size_t b = 0; b < born.size(); ++b) out[nk + b] = (rk[bc[2 * b]] + rk[bc[2 * b + 1]]) * 0.5;
    } else {
      const size_t bi = i - nk;
      const double* rs = a + static_cast<size_t>(bc[2 * bi]) * n_old;
      const double* rd = a + static_cast<size_t>(bc[2 * bi + 1]) * n_old;
      // (rs[k] + rd[k]) / 2 is the kept animal's (rk[s] + rk[d]) / 2 above, as A is symmetric.
      for (size_t c = 0; c < nk; ++c) out[c] = (rs[kc[c]] + rd[kc[c]]) * 0.5;
      // The four terms paired as (ss + dd) + (sd + ds): the same sum for (j, i).
      for (size_t b = 0; b < born.size(); ++b) {
        const int64_t s = bc[2 * b], d = bc[2 * b + 1];
        out[nk + b] = ((rs[s] + rd[d]) + (rs[d] + rd[s])) * 0.25;
      }
      out[i] = 1.0 + 0.5 * rs[bc[2 * bi + 1]];
    }
  }
  a_.swap(next_);
  animals_.resize(n);
  std::copy(kept.begin(), kept.end(), animals_.begin());
  std::copy(born.begin(), born.end(), animals_.begin() + static_cast<std::ptrdiff_t>(nk));
  by_position_.swap(next_by_position_);
}

void living_relationships::among(std::span<const int64_t> positions, std::vector<double>& out) const {
  const size_t k = positions.size(), n = animals_.size();
  std::vector<int64_t> idx(k);
  for (size_t i = 0; i < k; ++i) idx[i] = living_index(positions[i], "animal");
  out.resize(k * k);
  for (size_t i = 0; i < k; ++i) {
    const double* r = a_.data() + static_cast<size_t>(idx[i]) * n;
    for (size_t j = 0; j < k; ++j) out[i * k + j] = r[idx[j]];
  }
}

size_t living_relationships::bytes() const {
  return (a_.capacity() + next_.capacity()) * sizeof(double) +
         (animals_.capacity() + cols_.capacity()) * sizeof(int64_t) +
         (by_position_.capacity() + next_by_position_.capacity()) * sizeof(std::pair<int64_t, int64_t>);
}

// ---------------------------------------------------------------------------
// Genomic relationships

namespace {

// For every byte of mask m and byte of bits x: the bits of x where m is set,
// packed to the low end in their order, at [m << 8 | x]; and the bits set in m.
struct byte_gather {
  uint8_t packed[65536];
  uint8_t count[256];
  byte_gather() {
    for (unsigned m = 0; m < 256; ++m) {
      count[m] = 0;
      for (unsigned b = 0; b < 8; ++b) count[m] = static_cast<uint8_t>(count[m] + ((m >> b) & 1u));
      for (unsigned x = 0; x < 256; ++x) {
        unsigned r = 0, k = 0;
        for (unsigned b = 0; b < 8; ++b)
          if ((m >> b) & 1u) r |= ((x >> b) & 1u) << k++;
        packed[m << 8 | x] = static_cast<uint8_t>(r);
      }
    }
  }
};

const byte_gather& gather_table() {
  static const byte_gather t;
  return t;
}

// The bits of x where m is set, packed to the low end in their order (pext).
inline uint64_t gather_bits(uint64_t x, uint64_t m, const byte_gather& t) {
  if (m == ~uint64_t{0}) return x;
  uint64_t r = 0;
  int k = 0;
  for (int b = 0; b < 64 && (m >> b); b += 8) {
    const unsigned mb = static_cast<unsigned>(m >> b) & 0xffu;
    r |= uint64_t{t.packed[mb << 8 | (static_cast<unsigned>(x >> b) & 0xffu)]} << k;
    k += t.count[mb];
  }
  return r;
}

// Appends the low `bits` bits of v to a row of words (its tail words clear).
struct bit_appender {
  uint64_t* out;
  int64_t at = 0;  // bits written
  void put(uint64_t v, int bits) {
    if (bits == 0) return;
    const int64_t w = at >> 6;
    const int off = static_cast<int>(at & 63);
    out[w] |= v << off;
    if (off + bits > 64) out[w + 1] |= v >> (64 - off);
    at += bits;
  }
};

constexpr int64_t block = 32;  // animals per side of a tile of the output
constexpr int64_t chunk = 512;  // word pairs of a row read per pass over a tile

// sum over the word pairs of x_i . x_j: rows interleaved (a0 b0 a1 b1 ...).
[[gnu::always_inline]] inline int64_t dot_body(const uint64_t* ri, const uint64_t* rj, int64_t pairs) {
  int64_t s = 0;
  for (int64_t w = 0; w < pairs; ++w) {
    const uint64_t ai = ri[2 * w], bi = ri[2 * w + 1], aj = rj[2 * w], bj = rj[2 * w + 1];
    s += __builtin_popcountll(ai & aj) + __builtin_popcountll(ai & bj) + __builtin_popcountll(bi & aj) +
         __builtin_popcountll(bi & bj);
  }
  return s;
}

[[gnu::always_inline]] inline void tile_counts_body(const uint64_t* bits, int64_t stride, int64_t pairs, int64_t i0,
                                                    int64_t i1, int64_t j0, int64_t j1, int64_t* cnt) {
  const bool diagonal = i0 == j0;
  for (int64_t c0 = 0; c0 < pairs; c0 += chunk) {
    const int64_t len = std::min(chunk, pairs - c0);
    for (int64_t i = i0; i < i1; ++i) {
      const uint64_t* ri = bits + i * stride + 2 * c0;
      for (int64_t j = diagonal ? i : j0; j < j1; ++j)
        cnt[(i - i0) * block + (j - j0)] += dot_body(ri, bits + j * stride + 2 * c0, len);
    }
  }
}

enum class kernel { plain, popcnt, avx2 };

QM_POPCNT void tile_counts_hw(const uint64_t* bits, int64_t stride, int64_t pairs, int64_t i0, int64_t i1, int64_t j0,
                              int64_t j1, int64_t* cnt) {
  tile_counts_body(bits, stride, pairs, i0, i1, j0, j1, cnt);
}
void tile_counts_sw(const uint64_t* bits, int64_t stride, int64_t pairs, int64_t i0, int64_t i1, int64_t j0, int64_t j1,
                    int64_t* cnt) {
  tile_counts_body(bits, stride, pairs, i0, i1, j0, j1, cnt);
}

#if defined(__x86_64__)
// The same counts four words (two word pairs) a step: with both rows
// interleaved (a0 b0 a1 b1), x & y holds a_i a_j and b_i b_j, and x & y with
// the words of each pair of y swapped holds a_i b_j and b_i a_j. Bits are
// counted per byte by a nibble table and summed per 64-bit lane. pairs is even.
__attribute__((target("avx2"))) inline __m256i byte_counts(__m256i v, __m256i lut, __m256i low) {
  return _mm256_add_epi8(_mm256_shuffle_epi8(lut, _mm256_and_si256(v, low)),
                         _mm256_shuffle_epi8(lut, _mm256_and_si256(_mm256_srli_epi16(v, 4), low)));
}

__attribute__((target("avx2"))) inline __m256i lane_counts(__m256i v, __m256i lut, __m256i low) {
  return _mm256_sad_epu8(byte_counts(v, lut, low), _mm256_setzero_si256());
}

// Carry-save adder: h:l = a + b + c, bit by bit.
__attribute__((target("avx2"))) inline void csa(__m256i& h, __m256i& l, __m256i a, __m256i b, __m256i c) {
  const __m256i u = _mm256_xor_si256(a, b);
  h = _mm256_or_si256(_mm256_and_si256(a, b), _mm256_and_si256(u, c));
  l = _mm256_xor_si256(u, c);
}

// The two ANDed vectors of step k, into a and b.
__attribute__((target("avx2"))) inline void step_and(const __m256i* x, const __m256i* y, int64_t k, __m256i& a,
                                                     __m256i& b) {
  const __m256i xv = _mm256_loadu_si256(x + k), yv = _mm256_loadu_si256(y + k);
  a = _mm256_and_si256(xv, yv);
  b = _mm256_and_si256(xv, _mm256_shuffle_epi32(yv, 0x4e));
}

// Groups of 8 steps (16 vectors of ANDed words) are added bit-sliced by
// carry-save adders (Harley-Seal), which leaves one bit count per group
// for the vector of sixteens; the steps after the last group are counted
// one by one.
__attribute__((target("avx2"))) int64_t dot_avx2(const uint64_t* ri, const uint64_t* rj, int64_t pairs) {
  const __m256i lut = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4, 0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3,
                                       2, 3, 3, 4);
  const __m256i low = _mm256_set1_epi8(0x0f);
  const int64_t steps = pairs / 2;
  const auto* x = reinterpret_cast<const __m256i*>(ri);
  const auto* y = reinterpret_cast<const __m256i*>(rj);
  __m256i ones = _mm256_setzero_si256(), twos = ones, fours = ones, eights = ones, total = ones;
  int64_t k = 0;
  for (; k + 8 <= steps; k += 8) {
    __m256i a, b, twos_a, twos_b, fours_a, fours_b, eights_a, eights_b, sixteens;
    step_and(x, y, k + 0, a, b);
    csa(twos_a, ones, ones, a, b);
    step_and(x, y, k + 1, a, b);
    csa(twos_b, ones, ones, a, b);
    csa(fours_a, twos, twos, twos_a, twos_b);
    step_and(x, y, k + 2, a, b);
    csa(twos_a, ones, ones, a, b);
    step_and(x, y, k + 3, a, b);
    csa(twos_b, ones, ones, a, b);
    csa(fours_b, twos, twos, twos_a, twos_b);
    csa(eights_a, fours, fours, fours_a, fours_b);
    step_and(x, y, k + 4, a, b);
    csa(twos_a, ones, ones, a, b);
    step_and(x, y, k + 5, a, b);
    csa(twos_b, ones, ones, a, b);
    csa(fours_a, twos, twos, twos_a, twos_b);
    step_and(x, y, k + 6, a, b);
    csa(twos_a, ones, ones, a, b);
    step_and(x, y, k + 7, a, b);
    csa(twos_b, ones, ones, a, b);
    csa(fours_b, twos, twos, twos_a, twos_b);
    csa(eights_b, fours, fours, fours_a, fours_b);
    csa(sixteens, eights, eights, eights_a, eights_b);
    total = _mm256_add_epi64(total, lane_counts(sixteens, lut, low));
  }
  total = _mm256_slli_epi64(total, 4);
  total = _mm256_add_epi64(total, _mm256_slli_epi64(lane_counts(eights, lut, low), 3));
  total = _mm256_add_epi64(total, _mm256_slli_epi64(lane_counts(fours, lut, low), 2));
  total = _mm256_add_epi64(total, _mm256_slli_epi64(lane_counts(twos, lut, low), 1));
  total = _mm256_add_epi64(total, lane_counts(ones, lut, low));
  for (; k < steps; ++k) {
    __m256i a, b;
    step_and(x, y, k, a, b);
    total = _mm256_add_epi64(total, lane_counts(a, lut, low));
    total = _mm256_add_epi64(total, lane_counts(b, lut, low));
  }
  alignas(32) int64_t lanes[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), total);
  return (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
}

__attribute__((target("avx2"))) void tile_counts_avx2(const uint64_t* bits, int64_t stride, int64_t pairs, int64_t i0,
                                                      int64_t i1, int64_t j0, int64_t j1, int64_t* cnt) {
  const bool diagonal = i0 == j0;
  for (int64_t c0 = 0; c0 < pairs; c0 += chunk) {
    const int64_t len = std::min(chunk, pairs - c0);
    for (int64_t i = i0; i < i1; ++i) {
      const uint64_t* ri = bits + i * stride + 2 * c0;
      for (int64_t j = diagonal ? i : j0; j < j1; ++j)
        cnt[(i - i0) * block + (j - j0)] += dot_avx2(ri, bits + j * stride + 2 * c0, len);
    }
  }
}
#endif

void tile_counts(kernel k, const uint64_t* bits, int64_t stride, int64_t pairs, int64_t i0, int64_t i1, int64_t j0,
                 int64_t j1, int64_t* cnt) {
#if defined(__x86_64__)
  if (k == kernel::avx2) return tile_counts_avx2(bits, stride, pairs, i0, i1, j0, j1, cnt);
#endif
  if (k == kernel::popcnt) return tile_counts_hw(bits, stride, pairs, i0, i1, j0, j1, cnt);
  tile_counts_sw(bits, stride, pairs, i0, i1, j0, j1, cnt);
}

}  // namespace

void genomic_relationships(std::span<const uint64_t* const> rows, size_t words, std::span<const uint64_t> mask,
                           std::span<const double> p, std::vector<double>& out, int threads) {
  if (rows.size() % 2 != 0)
    stop("genomic relationships: " + std::to_string(rows.size()) + " haplotype rows given; every animal needs two");
  if (mask.size() < words)
    stop("genomic relationships: the mask has " + std::to_string(mask.size()) + " words, the rows " +
         std::to_string(words) + "; give a mask bit for every locus of the rows");
  const int64_t n = static_cast<int64_t>(rows.size() / 2);

  // The loci used, their frequencies in order, and the denominator.
  std::vector<double> pm;
  std::vector<int> used(words);  // loci used in each word
  double het = 0.0, p2 = 0.0;
  for (size_t w = 0; w < words; ++w)
    for (uint64_t m = mask[w]; m; m &= m - 1) {
      ++used[w];
      const size_t l = 64 * w + static_cast<size_t>(__builtin_ctzll(m));
      if (l >= p.size())
        stop("genomic relationships: locus " + std::to_string(l + 1) + " is used but only " + std::to_string(p.size()) +
             " allele frequencies are given; give one for every locus");
      const double q = p[l];
      if (!(q >= 0.0 && q <= 1.0))
        stop("genomic relationships: the allele frequency of locus " + std::to_string(l + 1) +
             " is not between 0 and 1; give frequencies of the base population");
      pm.push_back(q);
      het += q * (1.0 - q);
      p2 += q * q;
    }
  const double denom = 2.0 * het;
  if (!(denom > 0.0))
    stop("genomic relationships: no locus used varies in the base (every frequency given is 0 or 1); "
         "use loci that segregate in the base or other frequencies");
  const int64_t loci = static_cast<int64_t>(pm.size());
  const int64_t pairs = ((loci + 127) / 128) * 2;  // words of a compact row: even, the rest clear
  const int64_t stride = 2 * pairs;

  // Compact rows of the loci used, the two haplotypes of an animal word by
  // word in turn, and u_i = sum_l p_l x_il - sum_l p_l^2: the p of the
  // allele-2 loci of compact word w added in locus order to partial sum
  // w % 4 (haplotype 1, then 2), the four added as (0 + 1) + (2 + 3).
  std::vector<uint64_t> bits(static_cast<size_t>(n * stride), 0);
  std::vector<double> u(static_cast<size_t>(n));
  const byte_gather& table = gather_table();
  run_parallel_ranges(threads, n, [&](int64_t k0, int64_t k1) {
    std::vector<uint64_t> plane(static_cast<size_t>(pairs) + 1);
    for (int64_t k = k0; k < k1; ++k) {
      uint64_t* dst = bits.data() + k * stride;
      double part[4] = {0.0, 0.0, 0.0, 0.0};
      for (int h = 0; h < 2; ++h) {
        std::fill(plane.begin(), plane.end(), 0);
        bit_appender put{plane.data()};
        const uint64_t* src = rows[static_cast<size_t>(2 * k + h)];
        for (size_t w = 0; w < words; ++w)
          if (used[w]) put.put(gather_bits(src[w], mask[w], table), used[w]);
        for (int64_t w = 0; w < pairs; ++w) {
          dst[2 * w + h] = plane[static_cast<size_t>(w)];
          double& acc = part[w & 3];
          for (uint64_t x = plane[static_cast<size_t>(w)]; x; x &= x - 1)
            acc += pm[static_cast<size_t>(64 * w + __builtin_ctzll(x))];
        }
      }
      u[static_cast<size_t>(k)] = ((part[0] + part[1]) + (part[2] + part[3])) - p2;
    }
  });

  // sum_l (x_il - 2p_l)(x_jl - 2p_l) = n_ij - 2 (u_i + u_j), n_ij = sum_l x_il x_jl.
  out.assign(static_cast<size_t>(n * n), 0.0);
  const int64_t nb = (n + block - 1) / block;
  std::vector<std::pair<int64_t, int64_t>> tiles;
  for (int64_t bi = 0; bi < nb; ++bi)
    for (int64_t bj = bi; bj < nb; ++bj) tiles.emplace_back(bi, bj);
  const kernel kind = avx2_enabled() ? kernel::avx2 : popcnt_enabled() ? kernel::popcnt : kernel::plain;
  run_parallel_ranges(threads, static_cast<int64_t>(tiles.size()), [&](int64_t t0, int64_t t1) {
    std::vector<int64_t> cnt(static_cast<size_t>(block * block));
    for (int64_t t = t0; t < t1; ++t) {
      const int64_t i0 = tiles[static_cast<size_t>(t)].first * block, j0 = tiles[static_cast<size_t>(t)].second * block;
      const int64_t i1 = std::min(n, i0 + block), j1 = std::min(n, j0 + block);
      std::fill(cnt.begin(), cnt.end(), 0);
      tile_counts(kind, bits.data(), stride, pairs, i0, i1, j0, j1, cnt.data());
      for (int64_t i = i0; i < i1; ++i)
        for (int64_t j = i0 == j0 ? i : j0; j < j1; ++j) {
          const double num = static_cast<double>(cnt[static_cast<size_t>((i - i0) * block + (j - j0))]) -
                             2.0 * (u[static_cast<size_t>(i)] + u[static_cast<size_t>(j)]);
          out[static_cast<size_t>(i * n + j)] = out[static_cast<size_t>(j * n + i)] = num / denom;
        }
    }
  });
}

}  // namespace qm
