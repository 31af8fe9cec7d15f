#include "stats/summary.hpp"

#include "base/atomic_file.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "base/cpu_features.hpp"
#include "base/input_file.hpp"
#include "base/messages.hpp"
#include "base/threads.hpp"

namespace qm {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
// Loci per block: the unit of the vector loops and of the counting and LD
// work of a thread. Fixed, so that the split never depends on the thread
// count (and the counts are exact integers anyway).
constexpr int block_loci = 1024;
constexpr uint64_t even_bits = 0x5555555555555555ull;

// Bit counts, with the processor's popcnt instruction where it has one (the
// counts are the same either way).
#if defined(__x86_64__) || defined(__i386__)
#define QM_POPCNT __attribute__((target("popcnt")))
#define QM_AVX2 __attribute__((target("avx2")))
#else
#define QM_POPCNT
#define QM_AVX2
#endif

[[gnu::always_inline]] inline void count_bits_body(const uint64_t* bits, int l0, int l1, int nwords, int32_t* cnt,
                                                   int32_t* het) {
  for (int l = l0; l < l1; ++l) {
    const uint64_t* b = bits + static_cast<size_t>(l) * nwords;
    int32_t c = 0, e = 0;
    for (int w = 0; w < nwords; ++w) {
      c += __builtin_popcountll(b[w]);
      e += __builtin_popcountll((b[w] ^ (b[w] >> 1)) & even_bits);
    }
    cnt[l] = c;
    het[l] = e;
  }
}
QM_POPCNT void count_bits_hw(const uint64_t* bits, int l0, int l1, int nwords, int32_t* cnt, int32_t* het) {
  count_bits_body(bits, l0, l1, nwords, cnt, het);
}
void count_bits_sw(const uint64_t* bits, int l0, int l1, int nwords, int32_t* cnt, int32_t* het) {
  count_bits_body(bits, l0, l1, nwords, cnt, het);
}
// Allele-1 haplotypes (bit h) and heterozygous animals (bits 2i, 2i + 1
// differ) of loci l0..l1-1.
void count_bits(const uint64_t* bits, int l0, int l1, int nwords, int32_t* cnt, int32_t* het) {
  if (popcnt_enabled()) count_bits_hw(bits, l0, l1, nwords, cnt, het);
  else count_bits_sw(bits, l0, l1, nwords, cnt, het);
}

[[gnu::always_inline]] inline int popcount_and_body(const uint64_t* a, const uint64_t* b, int nwords) {
  int s = 0;
  for (int w = 0; w < nwords; ++w) s += __builtin_popcountll(a[w] & b[w]);
  return s;
}
QM_POPCNT int popcount_and_hw(const uint64_t* a, const uint64_t* b, int nwords) { return popcount_and_body(a, b, nwords); }
int popcount_and_sw(const uint64_t* a, const uint64_t* b, int nwords) { return popcount_and_body(a, b, nwords); }
int popcount_and(const uint64_t* a, const uint64_t* b, int nwords) {
  return popcnt_enabled() ? popcount_and_hw(a, b, nwords) : popcount_and_sw(a, b, nwords);
}

// Packs haplotypes 64w .. 64w + 63 of loci l0 .. l1 - 1 of hc into word w of
// each locus's allele-1 bits (bit h % 64 of word h / 64 is haplotype h); l0
// starts a block of block_loci and l1 ends it or the loci. With idx, locus l
// is column idx[l] of hc, and order lists each block's loci by increasing idx.
//
// The allele columns run along the loci, the bit words along the haplotypes,
// so this is a transposition. It reads the 64 columns of the word from start
// to end, a block of loci at a time, two haplotypes (one animal) at once
// through byte lanes, one lane per locus, eight haplotypes per byte. Every
// lane loop runs over a whole block (a short block is padded), so the
// compiler turns it into plain vector code.
[[gnu::always_inline]] inline void pack_word_body(const hap_columns& hc, const int32_t* idx, const int32_t* order,
                                                  int l0, int l1, int w, int nhap, int nwords, uint64_t* bits) {
  alignas(64) uint8_t acc[block_loci];
  alignas(64) uint64_t word[block_loci];
  alignas(64) int8_t pad[2][block_loci];
  const int groups = std::min(8, (nhap - 64 * w + 7) / 8);
  const int nl = l1 - l0;
  const bool direct = !idx && nl == block_loci;
  if (!direct) std::fill(&pad[0][0], &pad[0][0] + 2 * block_loci, int8_t{2});
  std::fill(word, word + block_loci, uint64_t{0});
  for (int g = 0; g < groups; ++g) {
    std::fill(acc, acc + block_loci, uint8_t{0});
    for (int i = 0; i < 8 && 64 * w + 8 * g + i < nhap; i += 2) {  // nhap is even: whole animals
      const int8_t* a = hc.hap(64 * w + 8 * g + i);
      const int8_t* b = hc.hap(64 * w + 8 * g + i + 1);
      if (direct) {
        a += l0;
        b += l0;
      } else {
        if (idx) {
          // In increasing locus order, so that the reads stream through
          // the columns.
          for (int k = 0; k < nl; ++k) {
            const int j = order[l0 + k] - l0;
            pad[0][j] = a[idx[l0 + j]];
            pad[1][j] = b[idx[l0 + j]];
          }
        } else {
          std::memcpy(pad[0], a + l0, static_cast<size_t>(nl));
          std::memcpy(pad[1], b + l0, static_cast<size_t>(nl));
        }
        a = pad[0];
        b = pad[1];
      }
      const uint8_t ba = static_cast<uint8_t>(1u << i), bb = static_cast<uint8_t>(2u << i);
      for (int j = 0; j < block_loci; ++j) {
        const uint8_t x = a[j] == 1 ? 0xff : 0, y = b[j] == 1 ? 0xff : 0;
        acc[j] = static_cast<uint8_t>(acc[j] | (x & ba) | (y & bb));
      }
    }
    const int shift = 8 * g;
    for (int j = 0; j < block_loci; ++j) word[j] |= static_cast<uint64_t>(acc[j]) << shift;
  }
  for (int j = 0; j < nl; ++j) bits[static_cast<size_t>(l0 + j) * nwords + w] = word[j];
}

// 64 x 64 bits transposed in place: bit j of a[i] goes to bit i of a[j].
void transpose64(uint64_t* a) {
  uint64_t m = 0x00000000ffffffffull;
  for (int j = 32; j != 0; j >>= 1, m ^= m << j)
    for (int k = 0; k < 64; k = ((k | j) + 1) & ~j) {
      const uint64_t t = ((a[k] >> j) ^ a[k | j]) & m;
      a[k] ^= t << j;
      a[k | j] ^= t;
    }
}

// pack_word for haplotypes kept one bit per allele with a choice of loci
// (the QTL): bit by bit.
void pack_word_from_picked_bits(const hap_columns& hc, const int32_t* idx, int l0, int l1, int w, int nhap,
                                int nwords, uint64_t* bits) {
  const int nh = std::min(64, nhap - 64 * w);
  for (int l = l0; l < l1; ++l) {
    const int x = idx[l];
    uint64_t word = 0;
    for (int i = 0; i < nh; ++i) word |= (~(hc.bit_row(64 * w + i)[x >> 6] >> (x & 63)) & 1u) << i;
    bits[static_cast<size_t>(l) * nwords + w] = word;
  }
}

// pack_word for haplotypes kept one bit per allele, without a choice of
// loci: each group of 64 loci of the 64 haplotypes is one 64 x 64 bit
// transposition (allele 1 is a clear bit). l0 is a multiple of 64.
void pack_word_from_bits(const hap_columns& hc, int l0, int l1, int w, int nhap, int nwords, uint64_t* bits) {
  const int nh = std::min(64, nhap - 64 * w);
  const uint64_t valid = nh == 64 ? ~uint64_t{0} : (uint64_t{1} << nh) - 1;
  alignas(64) uint64_t a[64];
  for (int k = l0 / 64; 64 * k < l1; ++k) {
    for (int i = 0; i < 64; ++i) a[i] = i < nh ? hc.bit_row(64 * w + i)[k] : 0;
    transpose64(a);
    const int n = std::min(64, l1 - 64 * k);
    for (int j = 0; j < n; ++j) bits[static_cast<size_t>(64 * k + j) * nwords + w] = ~a[j] & valid;
  }
}

// The same code compiled for the wider vectors of AVX2 where the processor
// has them; the words are the same either way.
void pack_word_base(const hap_columns& hc, const int32_t* idx, const int32_t* order, int l0, int l1, int w,
                    int nhap, int nwords, uint64_t* bits) {
  pack_word_body(hc, idx, order, l0, l1, w, nhap, nwords, bits);
}
QM_AVX2 void pack_word_avx2(const hap_columns& hc, const int32_t* idx, const int32_t* order, int l0, int l1, int w,
                            int nhap, int nwords, uint64_t* bits) {
  pack_word_body(hc, idx, order, l0, l1, w, nhap, nwords, bits);
}
void pack_word(const hap_columns& hc, const int32_t* idx, const int32_t* order, int l0, int l1, int w, int nhap,
               int nwords, uint64_t* bits) {
  if (hc.bits) {
    if (idx) return pack_word_from_picked_bits(hc, idx, l0, l1, w, nhap, nwords, bits);
    return pack_word_from_bits(hc, l0, l1, w, nhap, nwords, bits);
  }
  if (avx2_enabled()) pack_word_avx2(hc, idx, order, l0, l1, w, nhap, nwords, bits);
  else pack_word_base(hc, idx, order, l0, l1, w, nhap, nwords, bits);
}

// Loci per part of the counting: a block in the bytes layout, where the
// packing works a block at a time; fewer in the bits layout, where any
// whole 64 loci do, so that every thread gets parts.
int part_loci(const hap_columns& hc) { return hc.bits ? 256 : block_loci; }

bool maf_ok(int32_t c, int nhap, double min_maf) {
  const int32_t minor = std::min(c, nhap - c);
  return static_cast<double>(minor) / static_cast<double>(nhap) >= min_maf;
}

// Over the values that are numbers: a phenotype an animal does not record
// (NaN) is missing.
void mean_var(const per_trait& v, int t, int n, double& mean, double& var) {
  double s = 0.0;
  int k = 0;
  for (int i = 0; i < n; ++i)
    if (!std::isnan(v(i, t))) {
      s += v(i, t);
      ++k;
    }
  mean = k > 0 ? s / k : nan;
  if (k < 2) {
    var = nan;
    return;
  }
  double q = 0.0;
  for (int i = 0; i < n; ++i) {
    if (std::isnan(v(i, t))) continue;
    const double d = v(i, t) - mean;
    q += d * d;
  }
  var = q / (k - 1);
}

void check_view(const summary_input& g) {
  if (g.nanimals < 1) stop("Summary statistics need at least one animal in the generation.");
  if (g.ntrait < 1) stop("Summary statistics need at least one trait.");
  for (int32_t q : g.qtl_locus)
    if (q < 0 || q >= g.candidates.nloci)
      stop("QTL at candidate locus " + std::to_string(q) + " lies outside the " +
           std::to_string(g.candidates.nloci) + " candidate loci of the summary statistics.");
}

void check_map(const summary_input& g, const marker_map& map) {
  const size_t n = static_cast<size_t>(g.markers.nloci);
  if (map.chromosome.size() != n || map.position_cm.size() != n)
    stop("The marker map of the summary statistics has " + std::to_string(map.chromosome.size()) +
         " markers but the generation has " + std::to_string(n) + ".");
  for (size_t l = 1; l < n; ++l)
    if (map.chromosome[l] == map.chromosome[l - 1] && map.position_cm[l] < map.position_cm[l - 1])
      stop("The marker map of the summary statistics is not in map order at marker " +
           std::to_string(l + 1) + ".");
}

[[noreturn]] void file_failed(const std::string& path, const char* what) {
  const std::string why = std::strerror(errno);
  stop("File " + path + " cannot be " + what + " (" + why +
       "). Check the free space and the permissions of its folder.");
}

std::vector<std::string> split_commas(const std::string& line) {
  std::vector<std::string> v;
  size_t a = 0;
  for (;;) {
    const size_t b = line.find(',', a);
    v.push_back(line.substr(a, b == std::string::npos ? std::string::npos : b - a));
    if (b == std::string::npos) break;
    a = b + 1;
  }
  return v;
}

bool parse_number(const std::string& s, double& v) {
  if (s == "NA") {
    v = nan;
    return true;
  }
  const char* e = s.data() + s.size();
  const auto r = std::from_chars(s.data(), e, v);
  // The files write a missing value as NA, never as nan.
  return r.ec == std::errc() && r.ptr == e && !s.empty() && !std::isnan(v);
}

}  // namespace

marker_map map_from_gaps(int nchr, int nmpc, std::span<const double> gap_morgan) {
  if (nmpc < 1 || nchr < 1 || gap_morgan.size() != static_cast<size_t>(nchr) * (nmpc - 1))
    stop("The marker map needs " + std::to_string(nchr) + " x " + std::to_string(nmpc - 1) +
         " distances between markers, not " + std::to_string(gap_morgan.size()) + ".");
  marker_map m;
  m.chromosome.reserve(static_cast<size_t>(nchr) * nmpc);
  m.position_cm.reserve(static_cast<size_t>(nchr) * nmpc);
  for (int c = 0; c < nchr; ++c) {
    double pos = 0.0;
    for (int j = 0; j < nmpc; ++j) {
      if (j > 0) pos += 100.0 * gap_morgan[static_cast<size_t>(c) * (nmpc - 1) + (j - 1)];
      m.chromosome.push_back(c + 1);
      m.position_cm.push_back(pos);
    }
  }
  return m;
}

marker_map even_map(int nchr, int nmpc, double chrlen_morgan) {
  const size_t ngap = nmpc > 1 ? static_cast<size_t>(nmpc - 1) : 0;
  std::vector<double> gaps(static_cast<size_t>(nchr) * ngap, ngap ? chrlen_morgan / static_cast<double>(ngap) : 0.0);
  return map_from_gaps(nchr, nmpc, gaps);
}

std::vector<std::string> summary_header(int ntrait, std::span<const std::string> extra, bool line) {
  std::vector<std::string> h = {"stage", "generation", "nind"};
  if (line) h.insert(h.begin() + 2, "line");
  for (int t = 1; t <= ntrait; ++t)
    for (const char* c : {"tbv_mean_", "tbv_var_", "phe_mean_", "phe_var_", "genic_var_"})
      h.push_back(c + std::to_string(t));
  for (const char* c : {"marker_het_obs", "marker_het_exp", "qtl_het_obs", "qtl_het_exp", "seg_markers",
                        "seg_qtl", "f_genomic", "f_pedigree", "ld_r2_adjacent"})
    h.push_back(c);
  for (int t = 1; t <= ntrait; ++t)
    for (const char* c : {"gain_", "gain_sd_", "response_", "accuracy_"}) h.push_back(c + std::to_string(t));
  for (const char* c : {"sel_diff_sires", "sel_diff_dams", "intensity_sires", "intensity_dams", "predicted_response_1",
                        "n_sires", "n_dams", "offspring_per_sire_max", "offspring_per_dam_max", "delta_f_pedigree",
                        "delta_f_genomic", "ne_pedigree", "ne_genomic", "delta_f_pedigree_stage",
                        "delta_f_genomic_stage", "ne_pedigree_stage", "ne_genomic_stage"})
    h.push_back(c);
  for (int t = 1; t <= ntrait; ++t)
    for (const char* c : {"qtl_fixed_up_", "qtl_fixed_down_"}) h.push_back(c + std::to_string(t));
  h.insert(h.end(), extra.begin(), extra.end());
  return h;
}

std::vector<double> summary_values(const summary_row& r) {
  std::vector<double> v = {double(r.stage), double(r.generation), double(r.nind)};
  for (size_t t = 0; t < r.tbv_mean.size(); ++t)
    for (double x : {r.tbv_mean[t], r.tbv_var[t], r.phe_mean[t], r.phe_var[t], r.genic_var[t]}) v.push_back(x);
  for (double x : {r.marker_het_obs, r.marker_het_exp, r.qtl_het_obs, r.qtl_het_exp, double(r.seg_markers),
                   double(r.seg_qtl), r.f_genomic, r.f_pedigree, r.ld_r2_adjacent})
    v.push_back(x);
  const auto of = [](const std::vector<double>& c, size_t t) { return t < c.size() ? c[t] : nan; };
  const size_t nt = r.tbv_mean.size();
  for (size_t t = 0; t < nt; ++t)
    for (double x : {of(r.gain, t), of(r.gain_sd, t), of(r.response, t), of(r.accuracy, t)}) v.push_back(x);
  for (double x : {r.sel_diff_sires, r.sel_diff_dams, r.intensity_sires, r.intensity_dams, r.predicted_response_1,
                   r.n_sires, r.n_dams, r.offspring_per_sire_max, r.offspring_per_dam_max, r.delta_f_pedigree,
                   r.delta_f_genomic, r.ne_pedigree, r.ne_genomic, r.delta_f_pedigree_stage, r.delta_f_genomic_stage,
                   r.ne_pedigree_stage, r.ne_genomic_stage})
    v.push_back(x);
  for (size_t t = 0; t < nt; ++t)
    for (double x : {of(r.qtl_fixed_up, t), of(r.qtl_fixed_down, t)}) v.push_back(x);
  v.insert(v.end(), r.extra.begin(), r.extra.end());
  return v;
}

double r2_from_counts(int64_t n, int64_t nA, int64_t nB, int64_t nAB) {
  if (nA <= 0 || nA >= n || nB <= 0 || nB >= n) return nan;
  const int64_t dn = nAB * n - nA * nB;  // D * n^2, exact
  const double num = static_cast<double>(dn) * static_cast<double>(dn);
  const double den = static_cast<double>(nA * (n - nA)) * static_cast<double>(nB * (n - nB));
  return num / den;
}

void summary_engine::count(const summary_input& g, int threads) {
  check_view(g);
  nhap_ = 2 * g.nanimals;
  nwords_ = (nhap_ + 63) / 64;
  const int nm = g.markers.nloci, nq = static_cast<int>(g.qtl_locus.size());
  mbits_.resize(static_cast<size_t>(nm) * nwords_);
  qbits_.resize(static_cast<size_t>(nq) * nwords_);
  mcount_.resize(static_cast<size_t>(nm));
  mhet_.resize(static_cast<size_t>(nm));
  qcount_.resize(static_cast<size_t>(nq));
  qhet_.resize(static_cast<size_t>(nq));
  const int qblocks = (nq + block_loci - 1) / block_loci;
  qorder_.resize(static_cast<size_t>(nq));
  for (int q = 0; q < nq; ++q) qorder_[q] = q;
  for (int k = 0; k < qblocks; ++k) {
    const auto b = qorder_.begin() + k * block_loci, e = qorder_.begin() + std::min(nq, (k + 1) * block_loci);
    std::sort(b, e, [&](int32_t x, int32_t y) { return g.qtl_locus[x] < g.qtl_locus[y]; });
  }
  // Each part packs and counts loci of its own, every word of them: the
  // bits of a locus are one run of words, so no two threads write the same
  // cache line (parts of words, one word of every locus each, did, and two
  // threads took as long as one).
  const int mpart = part_loci(g.markers), qpart = g.candidates.bits ? 64 : block_loci;
  const int mparts = (nm + mpart - 1) / mpart, qparts = (nq + qpart - 1) / qpart;
  run_parallel(threads, mparts + qparts, [&](int k) {
    if (k < mparts) {
      const int l0 = k * mpart, l1 = std::min(nm, l0 + mpart);
      for (int w = 0; w < nwords_; ++w) pack_word(g.markers, nullptr, nullptr, l0, l1, w, nhap_, nwords_, mbits_.data());
      count_bits(mbits_.data(), l0, l1, nwords_, mcount_.data(), mhet_.data());
    } else {
      const int l0 = (k - mparts) * qpart, l1 = std::min(nq, l0 + qpart);
      for (int w = 0; w < nwords_; ++w)
        pack_word(g.candidates, g.qtl_locus.data(), qorder_.data(), l0, l1, w, nhap_, nwords_, qbits_.data());
      count_bits(qbits_.data(), l0, l1, nwords_, qcount_.data(), qhet_.data());
    }
  });
}

void summary_engine::capture_base(const summary_input& g, int threads) {
  count(g, threads);
  base_frequencies b;
  b.marker_p.resize(mcount_.size());
  b.qtl_p.resize(qcount_.size());
  for (size_t l = 0; l < mcount_.size(); ++l) {
    const double p = static_cast<double>(mcount_[l]) / nhap_;
    b.marker_p[l] = p;
    b.het_sum += 2.0 * p * (1.0 - p);
  }
  for (size_t q = 0; q < qcount_.size(); ++q) {
    const double p = static_cast<double>(qcount_[q]) / nhap_;
    b.qtl_p[q] = p;
    b.het_sum += 2.0 * p * (1.0 - p);
  }
  b.captured = true;
  base_ = std::move(b);
}

summary_row summary_engine::compute(const summary_input& g, const marker_map& map, int threads) {
  summary_row r;
  compute(g, map, r, threads);
  return r;
}

void summary_engine::compute(const summary_input& g, const marker_map& map, summary_row& r, int threads) {
  check_map(g, map);
  count(g, threads);
  const int n = g.nanimals, nm = g.markers.nloci, nq = static_cast<int>(g.qtl_locus.size());
  r.stage = g.stage;
  r.generation = g.generation;
  r.nind = n;
  const size_t nt = static_cast<size_t>(g.ntrait);
  r.tbv_mean.resize(nt);
  r.tbv_var.resize(nt);
  r.phe_mean.resize(nt);
  r.phe_var.resize(nt);
  r.genic_var.resize(nt);
  for (int t = 0; t < g.ntrait; ++t) {
    mean_var(g.tbv, t, n, r.tbv_mean[t], r.tbv_var[t]);
    mean_var(g.phe, t, n, r.phe_mean[t], r.phe_var[t]);
    double s = 0.0;
    for (int q = 0; q < nq; ++q) {
      const double p = static_cast<double>(qcount_[q]) / nhap_;
      const double a = g.qtl_effect(q, t);
      s += 2.0 * p * (1.0 - p) * a * a;
    }
    r.genic_var[t] = s;
  }
  // QTL fixed for the allele that raises trait t (allele 2 of a positive
  // effect, allele 1 of a negative one) and for the one that lowers it.
  r.qtl_fixed_up.assign(nt, 0.0);
  r.qtl_fixed_down.assign(nt, 0.0);
  for (int q = 0; q < nq; ++q) {
    const bool only1 = qcount_[q] == nhap_, only2 = qcount_[q] == 0;
    if (!only1 && !only2) continue;
    for (int t = 0; t < g.ntrait; ++t) {
      const double a = g.qtl_effect(q, t);
      if (a == 0.0) continue;
      ((a > 0.0) == only2 ? r.qtl_fixed_up : r.qtl_fixed_down)[static_cast<size_t>(t)] += 1.0;
    }
  }

  int64_t het_m = 0, het_q = 0;
  double exp_m = 0.0, exp_q = 0.0;
  r.seg_markers = r.seg_qtl = 0;
  for (int l = 0; l < nm; ++l) {
    const double p = static_cast<double>(mcount_[l]) / nhap_;
    het_m += mhet_[l];
    exp_m += 2.0 * p * (1.0 - p);
    r.seg_markers += mcount_[l] > 0 && mcount_[l] < nhap_;
  }
  for (int q = 0; q < nq; ++q) {
    const double p = static_cast<double>(qcount_[q]) / nhap_;
    het_q += qhet_[q];
    exp_q += 2.0 * p * (1.0 - p);
    r.seg_qtl += qcount_[q] > 0 && qcount_[q] < nhap_;
  }
  r.marker_het_obs = nm ? static_cast<double>(het_m) / n / nm : nan;
  r.marker_het_exp = nm ? exp_m / nm : nan;
  r.qtl_het_obs = nq ? static_cast<double>(het_q) / n / nq : nan;
  r.qtl_het_exp = nq ? exp_q / nq : nan;

  r.f_genomic = nan;
  if (base_.captured) {
    if (base_.marker_p.size() != static_cast<size_t>(nm) || base_.qtl_p.size() != static_cast<size_t>(nq))
      stop("The base generation of the genomic inbreeding had " + std::to_string(base_.marker_p.size()) +
           " markers and " + std::to_string(base_.qtl_p.size()) + " QTL, this generation " + std::to_string(nm) +
           " and " + std::to_string(nq) + ".");
    const int nloc = nm + nq;
    if (nloc > 0 && base_.het_sum > 0.0) {
      const double h = static_cast<double>(het_m + het_q) / n / nloc;
      const double h0 = base_.het_sum / nloc;
      r.f_genomic = 1.0 - h / h0;
    }
  }

  if (g.f_pedigree.empty()) {
    r.f_pedigree = nan;
  } else {
    if (g.f_pedigree.size() != static_cast<size_t>(n))
      stop("Pedigree inbreeding was given for " + std::to_string(g.f_pedigree.size()) + " animals, the generation has " +
           std::to_string(n) + ".");
    double s = 0.0;
    for (double f : g.f_pedigree) s += f;
    r.f_pedigree = s / n;
  }

  double s = 0.0;
  int64_t pairs = 0;
  for (int l = 0; l + 1 < nm; ++l) {
    if (map.chromosome[l] != map.chromosome[l + 1]) continue;
    if (!maf_ok(mcount_[l], nhap_, 0.05) || !maf_ok(mcount_[l + 1], nhap_, 0.05)) continue;
    const int ab = popcount_and(&mbits_[static_cast<size_t>(l) * nwords_], &mbits_[static_cast<size_t>(l + 1) * nwords_], nwords_);
    s += r2_from_counts(nhap_, mcount_[l], mcount_[l + 1], ab);
    ++pairs;
  }
  r.ld_r2_adjacent = pairs ? s / static_cast<double>(pairs) : nan;
}

ld_decay summary_engine::decay(const summary_input& g, const marker_map& map, const ld_settings& st, int threads) {
  if (!(st.bin_cm > 0.0) || st.nbins < 1) stop("LD decay needs bins of a positive width and at least one bin.");
  check_map(g, map);
  count(g, threads);
  const int nm = g.markers.nloci, nb = st.nbins;
  const int blocks = (nm + block_loci - 1) / block_loci;
  blocksum_.assign(static_cast<size_t>(blocks) * nb, 0.0);
  std::vector<int64_t> blockcnt(static_cast<size_t>(blocks) * nb, 0);
  run_parallel(threads, blocks, [&](int k) {
    double* sum = &blocksum_[static_cast<size_t>(k) * nb];
    int64_t* cnt = &blockcnt[static_cast<size_t>(k) * nb];
    const int i1 = std::min(nm, (k + 1) * block_loci);
    for (int i = k * block_loci; i < i1; ++i) {
      if (!maf_ok(mcount_[i], nhap_, st.min_maf)) continue;
      const uint64_t* bi = &mbits_[static_cast<size_t>(i) * nwords_];
      for (int j = i + 1; j < nm && map.chromosome[j] == map.chromosome[i]; ++j) {
        // Positions are sums of rounded gaps: a distance one rounding below a
        // bin edge (0.9999999999999998 cM for markers 1 cM apart) belongs to
        // the bin above it.
        const double bin = std::floor((map.position_cm[j] - map.position_cm[i]) / st.bin_cm + 1e-9);
        if (bin >= nb) break;
        if (!maf_ok(mcount_[j], nhap_, st.min_maf)) continue;
        const int ab = popcount_and(bi, &mbits_[static_cast<size_t>(j) * nwords_], nwords_);
        const int b = static_cast<int>(bin);
        sum[b] += r2_from_counts(nhap_, mcount_[i], mcount_[j], ab);
        ++cnt[b];
      }
    }
  });
  ld_decay d;
  d.stage = g.stage;
  d.generation = g.generation;
  d.bin_cm = st.bin_cm;
  d.pairs.assign(static_cast<size_t>(nb), 0);
  d.mean_r2.assign(static_cast<size_t>(nb), 0.0);
  for (int k = 0; k < blocks; ++k)
    for (int b = 0; b < nb; ++b) {
      d.mean_r2[b] += blocksum_[static_cast<size_t>(k) * nb + b];
      d.pairs[b] += blockcnt[static_cast<size_t>(k) * nb + b];
    }
  for (int b = 0; b < nb; ++b) d.mean_r2[b] = d.pairs[b] ? d.mean_r2[b] / static_cast<double>(d.pairs[b]) : nan;
  return d;
}

void append_number(std::string& s, double v) {
  if (std::isnan(v)) {
    s += "NA";
    return;
  }
  char b[32];
  const auto r = std::to_chars(b, b + sizeof b, v);
  s.append(b, r.ptr);
}

summary_csv::~summary_csv() {
  if (f_) std::fclose(f_);
}

void summary_csv::open(const std::string& dir, int ntrait, std::span<const std::string> extra, bool line) {
  if (f_) std::fclose(f_);
  path_ = (dir.empty() ? std::string(".") : dir) + "/summary.csv";
  part_ = path_ + ".part";
  ntrait_ = ntrait;
  line_column_ = line;
  f_ = std::fopen(part_.c_str(), "w");
  if (!f_) file_failed(part_, "created");
  line_.clear();
  const std::vector<std::string> h = summary_header(ntrait, extra, line);
  columns_ = h.size() - (line ? 1 : 0);  // the numeric columns
  for (size_t k = 0; k < h.size(); ++k) line_ += (k ? "," : "") + h[k];
  line_ += '\n';
  if (std::fwrite(line_.data(), 1, line_.size(), f_) != line_.size() || std::fflush(f_) != 0)
    file_failed(part_, "written");
}

void summary_csv::append(const summary_row& r) {
  if (!f_) stop("summary.csv was written to before it was opened.");
  if (r.tbv_mean.size() != static_cast<size_t>(ntrait_))
    stop("A summary row has " + std::to_string(r.tbv_mean.size()) + " traits, summary.csv " + std::to_string(ntrait_) + ".");
  line_.clear();
  std::vector<double> v = summary_values(r);
  v.resize(std::max(v.size(), columns_), nan);  // a row without the extra columns: NA there
  for (size_t k = 0; k < v.size(); ++k) {
    if (k) line_ += ',';
    if (k == 2 && line_column_) line_ += (r.line.empty() ? std::string("NA") : r.line) + ',';
    append_number(line_, v[k]);
  }
  line_ += '\n';
  if (std::fwrite(line_.data(), 1, line_.size(), f_) != line_.size() || std::fflush(f_) != 0)
    file_failed(part_, "written");
}

void summary_csv::finish() {
  if (!f_) return;
  const int rc = std::fclose(f_);
  f_ = nullptr;
  if (rc != 0) file_failed(part_, "closed");
  try {
    commit_rename(part_, path_);
  } catch (const file_error&) {
    file_failed(path_, "created");
  }
}

int summary_table::column(std::string_view name) const {
  for (size_t k = 0; k < header.size(); ++k)
    if (header[k] == name) return static_cast<int>(k);
  return -1;
}

summary_table summary_table_of(const std::vector<summary_row>& rows, int ntrait, std::span<const std::string> extra,
                               bool line) {
  summary_table t;
  t.header = summary_header(ntrait, extra, line);
  for (const summary_row& r : rows) {
    t.rows.push_back(summary_values(r));
    if (line) {
      t.rows.back().insert(t.rows.back().begin() + 2, nan);
      t.line_names.push_back(r.line);
    }
    t.rows.back().resize(std::max(t.rows.back().size(), t.header.size()), nan);
  }
  return t;
}

summary_table read_summary_csv(const std::string& path) {
  std::string text;
  try {
    text = read_input_file(path, max_summary_file_bytes);
  } catch (const input_file_error& e) {
    const size_t slash = path.rfind('/');
    stop(std::string("File ") + e.what() + ". Give the " + path.substr(slash == std::string::npos ? 0 : slash + 1) +
         " that the run wrote.");
  }
  // One line at a time out of the text; every line the writers write ends
  // with a newline, so a last line without one is the end of a file cut short.
  size_t at = 0, number = 0;
  std::string line;
  auto next_line = [&]() {
    if (at >= text.size()) return false;
    size_t b = text.find('\n', at);
    ++number;
    if (b == std::string::npos)
      stop("File " + path + ", line " + std::to_string(number) +
           " does not end: the file is cut short. Give the file that the run wrote, complete.");
    line.assign(text, at, b - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    at = b + 1;
    return true;
  };
  if (!next_line() || line.empty()) stop("File " + path + " is empty: it should start with the header of summary.csv.");
  summary_table t;
  t.header = split_commas(line);
  const int text_column = t.column("line");  // the line of a row, in a run with lines
  while (next_line()) {
    if (line.empty()) continue;
    const std::vector<std::string> f = split_commas(line);
    if (f.size() != t.header.size())
      stop("File " + path + ", line " + std::to_string(number) + ": " + std::to_string(f.size()) + " values for " +
           std::to_string(t.header.size()) + " columns.");
    std::vector<double> v(f.size());
    for (size_t c = 0; c < f.size(); ++c)
      if (static_cast<int>(c) == text_column) {
        v[c] = nan;
        t.line_names.push_back(f[c] == "NA" ? std::string() : f[c]);
      } else if (!parse_number(f[c], v[c]))
        stop("File " + path + ", line " + std::to_string(number) + ": \"" + f[c] + "\" in column " + t.header[c] +
             " is not a number.");
    t.rows.push_back(std::move(v));
    t.lines.push_back(number);
  }
  return t;
}

int64_t whole_cell(const summary_table& t, size_t r, size_t c, int64_t lo, int64_t hi, const std::string& path) {
  const double v = t.rows[r][c];
  // NaN fails the first comparison; lo and hi are exact doubles for the ranges used here.
  if (v >= static_cast<double>(lo) && v <= static_cast<double>(hi) && v == std::floor(v)) return static_cast<int64_t>(v);
  std::string text;
  append_number(text, v);
  stop("File " + path + ", line " + std::to_string(t.lines[r]) + ": " + t.header[c] + " is " + text +
       ", not a whole number from " + std::to_string(lo) + " to " + std::to_string(hi) +
       ". Give the file that the run wrote (rerun the run if it was damaged).");
}

void write_file_atomic(const std::string& path, std::string_view text) {
  try {
    atomic_file f(path);
    f.write(text);
    f.commit();
  } catch (const file_error& e) {
    stop(e.what());
  }
}

void write_ld_decay_csv(const std::string& path, const ld_decay& d) {
  std::string s = "stage,generation,bin_low_cm,bin_high_cm,pairs,mean_r2\n";
  for (size_t b = 0; b < d.pairs.size(); ++b) {
    s += std::to_string(d.stage) + ',' + std::to_string(d.generation) + ',';
    append_number(s, static_cast<double>(b) * d.bin_cm);
    s += ',';
    append_number(s, static_cast<double>(b + 1) * d.bin_cm);
    s += ',' + std::to_string(d.pairs[b]) + ',';
    append_number(s, d.mean_r2[b]);
    s += '\n';
  }
  write_file_atomic(path, s);
}

ld_decay read_ld_decay_csv(const std::string& path) {
  const summary_table t = read_summary_csv(path);
  const std::vector<std::string> want = {"stage", "generation", "bin_low_cm", "bin_high_cm", "pairs", "mean_r2"};
  if (t.header != want) stop("File " + path + " is not an LD decay file: its header differs from stage,generation,bin_low_cm,bin_high_cm,pairs,mean_r2.");
  ld_decay d;
  for (size_t k = 0; k < t.rows.size(); ++k) {
    const std::vector<double>& r = t.rows[k];
    const int stage = static_cast<int>(whole_cell(t, k, 0, 1, INT32_MAX, path));
    const int generation = static_cast<int>(whole_cell(t, k, 1, INT32_MIN, INT32_MAX, path));
    if (k == 0) {
      d.stage = stage;
      d.generation = generation;
      d.bin_cm = r[3] - r[2];
    } else if (stage != d.stage || generation != d.generation) {
      stop("File " + path + ", line " + std::to_string(t.lines[k]) +
           ": the LD decay of another generation than that of line " + std::to_string(t.lines[0]) +
           ". Give the ld_decay.csv that the run wrote.");
    }
    if (!std::isfinite(r[2]) || !std::isfinite(r[3]))
      stop("File " + path + ", line " + std::to_string(t.lines[k]) +
           ": the bin bounds are not numbers. Give the ld_decay.csv that the run wrote.");
    d.pairs.push_back(whole_cell(t, k, 4, 0, int64_t{1} << 53, path));
    d.mean_r2.push_back(r[5]);
  }
  return d;
}

}  // namespace qm
