#include "population/meiosis.hpp"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "run/messages.hpp"
#include "run/threads.hpp"

namespace qm {

namespace {
// Thresholds are compared as signed 32-bit numbers: states are below 2^31 - 1.
uint32_t clamp31(uint32_t t) { return t > 0x7fffffffu ? 0x7fffffffu : t; }
}  // namespace

void build_plan(const genome_map& map, double mutm, double mutq, meiosis_plan& plan) {
  const int gaps = map.nmpc - 1;
  plan.nchr = map.nchr;
  plan.nmpc = map.nmpc;
  plan.u = 3 + 4 * gaps;
  plan.upad = (plan.u + 7) / 8 * 8;
  plan.jump_u = jump_multiplier(static_cast<uint64_t>(plan.u));
  const uint32_t half = uniform_threshold(0.5), tmm = clamp31(uniform_threshold(mutm)), tmq = clamp31(uniform_threshold(mutq));
  plan.same_rows = true;
  const std::vector<double>& left = map.recomb_left;
  const std::vector<double>& right = map.recomb_right;
  for (size_t k = 1; k < left.size() && plan.same_rows; ++k)
    plan.same_rows = left[k] == left[0] && right[k] == right[0];
  const int rows = plan.same_rows ? 1 : map.nchr;
  plan.thr.assign(static_cast<size_t>(rows) * plan.upad + 8, 0);  // padding never fires
  for (int c = 0; c < rows; ++c) {
    uint32_t* t = plan.thr.data() + static_cast<size_t>(c) * plan.upad;
    t[0] = t[1] = half;
    t[2] = tmm;
    for (int j = 0; j < gaps; ++j) {
      const size_t k = static_cast<size_t>(c) * gaps + j;
      t[3 + 4 * j] = clamp31(uniform_threshold(left[k]));
      t[4 + 4 * j] = tmq;
      t[5 + 4 * j] = clamp31(uniform_threshold(right[k]));
      t[6 + 4 * j] = tmm;
    }
  }
}

namespace {

// bits: one bit per uniform of the chromosome, set when its state is below
// the threshold of its position. st is the state before the first uniform.
void event_bits_scalar(uint32_t st, const uint32_t* thr, int upad, uint64_t* bits) {
  std::memset(bits, 0, static_cast<size_t>(upad / 64 + 1) * 8);
  for (int i = 0; i < upad; ++i) {
    st = next_state(st);
    bits[i >> 6] |= static_cast<uint64_t>(st < thr[i]) << (i & 63);
  }
}

#if defined(__x86_64__)
// Sixteen states at a time in four independent chains. Lanes of e0 hold the
// states of positions i, i+2, i+4, i+6, of o0 those of i+1, i+3, i+5, i+7,
// and e1, o1 the same for i+8..i+15; each step multiplies by 16807^16.
__attribute__((target("avx2"))) inline __m256i mulmod4(__m256i x, __m256i c) {
  const __m256i m = _mm256_set1_epi64x(0x7fffffff);
  __m256i r = _mm256_mul_epu32(x, c);
  r = _mm256_add_epi64(_mm256_and_si256(r, m), _mm256_srli_epi64(r, 31));
  return _mm256_add_epi64(_mm256_and_si256(r, m), _mm256_srli_epi64(r, 31));
}

__attribute__((target("avx2"))) inline unsigned below8(__m256i ev, __m256i od, const uint32_t* thr) {
  const __m256i s = _mm256_or_si256(ev, _mm256_slli_epi64(od, 32));
  const __m256i t = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(thr));
  return static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(t, s))));
}

__attribute__((target("avx2"))) void event_bits_avx2(uint32_t st, const uint32_t* thr, int upad, uint64_t* bits,
                                                     const uint32_t* pw) {
  // pw[k] = 16807^k for k = 0..16; upad is a multiple of 8, thr holds upad + 8 entries
  auto at = [&](int k) { return static_cast<long long>(mulmod31(st, pw[k])); };
  __m256i e0 = _mm256_setr_epi64x(at(1), at(3), at(5), at(7));
  __m256i o0 = _mm256_setr_epi64x(at(2), at(4), at(6), at(8));
  __m256i e1 = _mm256_setr_epi64x(at(9), at(11), at(13), at(15));
  __m256i o1 = _mm256_setr_epi64x(at(10), at(12), at(14), at(16));
  const __m256i c = _mm256_set1_epi64x(pw[16]);
  const int words = upad / 64 + 1;
  for (int w = 0, i = 0; w < words && i < upad; ++w) {
    uint64_t word = 0;
    for (int k = 0; k < 64 && i < upad; k += 16, i += 16) {
      const uint64_t b = below8(e0, o0, thr + i) | (below8(e1, o1, thr + i + 8) << 8);
      word |= b << k;
      e0 = mulmod4(e0, c);
      o0 = mulmod4(o0, c);
      e1 = mulmod4(e1, c);
      o1 = mulmod4(o1, c);
    }
    bits[w] = word;
  }
}
#endif

bool cpu_has_avx2() {
#if defined(__x86_64__)
  static const bool yes = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return yes;
#else
  return false;
#endif
}

struct kernel {
  uint32_t pw[17];
  bool avx2 = cpu_has_avx2();
  kernel() {
    pw[0] = 1;
    for (int k = 1; k <= 16; ++k) pw[k] = mulmod31(pw[k - 1], rmult);
  }
  void bits(uint32_t st, const uint32_t* thr, int upad, uint64_t* out, bool vector = true) const {
#if defined(__x86_64__)
    if (avx2 && vector) return event_bits_avx2(st, thr, upad, out, pw);
#endif
    event_bits_scalar(st, thr, upad, out);
  }
};

const kernel& the_kernel() {
  static const kernel k;
  return k;
}

// One chromosome of one gamete from its event bits: the start strand from
// positions 0 and 1, then segments copied between crossovers (positions
// 3 + 4j and 5 + 4j); mutated loci (positions 2, 4 + 4j, 6 + 4j) are listed
// and written as 0 by the caller once the gamete is complete.
inline void copy_chromosome(const uint64_t* bits, int u, int nmpc, const int8_t* const msrc[2],
                            const int8_t* const qsrc[2], int8_t* mo, int8_t* qo, int32_t h, int mbase, int qbase,
                            std::vector<mutant>& out) {
  const int gaps = nmpc - 1;
  unsigned s = ((bits[0] & 1u) ? 0u : 1u) ^ static_cast<unsigned>((bits[0] >> 1) & 1u);
  int mk = 0, qk = 0;  // next marker and candidate locus to copy
  const int words = (u + 63) / 64;
  for (int w = 0; w < words; ++w) {
    uint64_t b = w == 0 ? bits[0] & ~uint64_t{3} : bits[w];
    while (b) {
      const int pos = w * 64 + __builtin_ctzll(b);
      b &= b - 1;
      if (pos >= u) break;
      const int q = pos - 3, kind = q & 3, j = q >> 2;
      if (pos == 2) {
        out.push_back({h, mbase, 1});
      } else if (kind == 1) {
        out.push_back({h, qbase + j, 0});
      } else if (kind == 3) {
        out.push_back({h, mbase + j + 1, 1});
      } else {  // a crossover: markers and loci before pos come from strand s
        const int mend = (pos + 1) / 4, qend = (pos - 1) / 4;
        if (mend > mk) std::memcpy(mo + mk, msrc[s] + mk, static_cast<size_t>(mend - mk));
        if (qend > qk) std::memcpy(qo + qk, qsrc[s] + qk, static_cast<size_t>(qend - qk));
        mk = std::max(mk, mend);
        qk = std::max(qk, qend);
        s ^= 1u;
      }
    }
  }
  if (nmpc > mk) std::memcpy(mo + mk, msrc[s] + mk, static_cast<size_t>(nmpc - mk));
  if (gaps > qk) std::memcpy(qo + qk, qsrc[s] + qk, static_cast<size_t>(gaps - qk));
}

}  // namespace

void event_bits(uint32_t st, const uint32_t* thr, int upad, uint64_t* bits, bool vector) {
  the_kernel().bits(st, thr, upad, bits, vector);
}

uint32_t gametes(const population& parents, const std::vector<parent_pair>& offspring, const meiosis_plan& plan,
                 int32_t h0, int32_t h1, uint32_t st, offspring_buffers& out, std::vector<mutant>& mutants) {
  const kernel& kn = the_kernel();
  std::vector<uint64_t> bits(static_cast<size_t>(plan.upad / 64 + 2));
  const int gaps = plan.nmpc - 1;
  const size_t first_mutant = mutants.size();
  for (int32_t h = h0; h <= h1; ++h) {
    const parent_pair& pp = offspring[static_cast<size_t>(h / 2)];
    const int32_t par = (h & 1) ? pp.dam : pp.sire;
    const int8_t* mp[2] = {parents.markers.column(2 * par - 2), parents.markers.column(2 * par - 1)};
    const int8_t* qp[2] = {parents.candidates.column(2 * par - 2), parents.candidates.column(2 * par - 1)};
    int8_t* mo = out.markers.column(h);
    int8_t* qo = out.candidates.column(h);
    for (int c = 0; c < plan.nchr; ++c) {
      const uint32_t* thr = plan.thr.data() + (plan.same_rows ? 0 : static_cast<size_t>(c) * plan.upad);
      kn.bits(st, thr, plan.upad, bits.data());
      const int mb = c * plan.nmpc, qb = c * gaps;
      const int8_t* ms[2] = {mp[0] + mb, mp[1] + mb};
      const int8_t* qs[2] = {qp[0] + qb, qp[1] + qb};
      copy_chromosome(bits.data(), plan.u, plan.nmpc, ms, qs, mo + mb, qo + qb, h, mb, qb, mutants);
      st = mulmod31(st, plan.jump_u);
    }
  }
  for (size_t k = first_mutant; k < mutants.size(); ++k) {
    const mutant& e = mutants[k];
    (e.marker ? out.markers : out.candidates).at(e.locus, e.h) = 0;
  }
  return st;
}

namespace {

// Allele numbers carried at one locus of a generation, as a 128-bit set.
struct alleleset {
  uint64_t w[2] = {0, 0};
  bool has(int v) const { return v >= 0 && v < 128 && ((w[v >> 6] >> (v & 63)) & 1u); }
};

alleleset carried_at(const haplotype_matrix& geno, int l) {
  alleleset a;
  const int8_t* g = geno.data() + l;
  const size_t stride = static_cast<size_t>(geno.loci());
  for (int h = 0; h < geno.haplotypes(); ++h) {
    const unsigned v = static_cast<uint8_t>(g[h * stride]) & 127u;
    a.w[v >> 6] |= uint64_t{1} << (v & 63);
  }
  return a;
}

// Gives every listed mutant its allele number, in haplotype order: the
// locus's next number, which then moves on to the first number that no
// parental haplotype carries at that locus. known: the carried sets of the
// parents (markers, candidate loci), or null when they have to be found.
void number_mutants(population& pop, offspring_buffers& out, const std::vector<mutant>& list,
                    const std::vector<uint64_t>* known[2]) {
  std::vector<alleleset> found[2];
  std::vector<char> done[2];
  for (const mutant& e : list) {
    const int mk = e.marker != 0;
    allele_registry& alle = mk ? pop.marker_alleles : pop.candidate_alleles;
    const size_t l = static_cast<size_t>(e.locus);
    alleleset a;
    if (known[mk]) {
      a.w[0] = (*known[mk])[2 * l];
      a.w[1] = (*known[mk])[2 * l + 1];
    } else {
      const haplotype_matrix& parents = mk ? pop.markers : pop.candidates;
      if (found[mk].empty()) {
        found[mk].resize(static_cast<size_t>(parents.loci()));
        done[mk].assign(static_cast<size_t>(parents.loci()), 0);
      }
      if (!done[mk][l]) {
        found[mk][l] = carried_at(parents, e.locus);
        done[mk][l] = 1;
      }
      a = found[mk][l];
    }
    const int next = alle.next[l];
    if (next > 127) stop(stop_text::too_many_alleles);
    (mk ? out.markers : out.candidates).at(e.locus, e.h) = static_cast<int8_t>(next);
    int v = next + 1;
    while (v <= 127 && a.has(v)) ++v;
    alle.next[l] = static_cast<int16_t>(v);
  }
}

}  // namespace

void make_offspring(population& pop, std::vector<parent_pair> offspring, const genome_map& map, double mutm,
                    double mutq, offspring_buffers& buffers, random_stream& rng, int nthreads) {
  const int32_t nind = static_cast<int32_t>(offspring.size());
  if (nind < 1) stop(stop_text::genotype_code1);
  const int32_t nhap = 2 * nind;
  buffers.markers.resize(map.nmark(), nhap);
  buffers.candidates.resize(map.nqloc(), nhap);
  meiosis_plan plan;
  build_plan(map, mutm, mutq, plan);
  const uint64_t per_hap = static_cast<uint64_t>(plan.u) * static_cast<uint64_t>(plan.nchr);
  // Parts of consecutive haplotypes; each starts at its own stream position.
  const int parts = std::max(1, std::min(nhap, 8 * std::max(1, nthreads)));
  std::vector<std::vector<mutant>> lists(static_cast<size_t>(parts));
  run_stream_parts(nthreads, nhap, parts, per_hap, rng, [&](int k, int64_t a, int64_t b, uint32_t st) {
    gametes(pop, offspring, plan, static_cast<int32_t>(a), static_cast<int32_t>(b - 1), st, buffers,
            lists[static_cast<size_t>(k)]);
  });
  const auto complete = [&](const allele_registry& r, int32_t nloci) {
    return r.carried_valid && r.carried.size() == 2 * static_cast<size_t>(nloci);
  };
  const std::vector<uint64_t>* known[2] = {
      complete(pop.candidate_alleles, map.nqloc()) ? &pop.candidate_alleles.carried : nullptr,
      complete(pop.marker_alleles, map.nmark()) ? &pop.marker_alleles.carried : nullptr};
  for (const std::vector<mutant>& l : lists) number_mutants(pop, buffers, l, known);
  pop.markers.swap(buffers.markers);
  pop.candidates.swap(buffers.candidates);
  // The carried sets describe the parents, no longer the current generation.
  pop.marker_alleles.carried_valid = pop.candidate_alleles.carried_valid = false;
  pop.parents = std::move(offspring);
  pop.nind = nind;
}

namespace {

// Scalar sets of loci l0..l1-1 (0-based) over all haplotypes.
void sets_scalar(const haplotype_matrix& geno, int l0, int l1, uint64_t* sets) {
  for (int l = l0; l < l1; ++l) sets[2 * l] = sets[2 * l + 1] = 0;
  for (int h = 0; h < geno.haplotypes(); ++h) {
    const int8_t* g = geno.column(h);
    for (int l = l0; l < l1; ++l) {
      const unsigned v = static_cast<uint8_t>(g[l]) & 127u;
      sets[2 * l + (v >> 6)] |= uint64_t{1} << (v & 63);
    }
  }
}

#if defined(__x86_64__)
// Loci l0..l1-1, 32 at a time: allele numbers below 16 by table look-up,
// and the largest number; a locus carrying 16 or more is redone by the
// scalar loop.
__attribute__((target("avx2"))) void sets_avx2(const haplotype_matrix& geno, int l0, int l1, uint64_t* sets) {
  const int n = l1 - l0;
  const int nv = n / 32 * 32;
  std::vector<uint8_t> acc(static_cast<size_t>(nv) * 3);
  const __m256i tlo = _mm256_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 0, 0, 0, 0, 0, 0, 0, 0,
                                       1, 2, 4, 8, 16, 32, 64, -128, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m256i thi = _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 4, 8, 16, 32, 64, -128,
                                       0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 4, 8, 16, 32, 64, -128);
  for (int c = 0; c < nv; c += 32) {
    __m256i lo = _mm256_setzero_si256(), hi = lo, mx = lo;
    for (int h = 0; h < geno.haplotypes(); ++h) {
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(geno.column(h) + l0 + c));
      lo = _mm256_or_si256(lo, _mm256_shuffle_epi8(tlo, v));
      hi = _mm256_or_si256(hi, _mm256_shuffle_epi8(thi, v));
      mx = _mm256_max_epi8(mx, v);
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(acc.data() + 3 * static_cast<size_t>(c)), lo);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(acc.data() + 3 * static_cast<size_t>(c) + 32), hi);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(acc.data() + 3 * static_cast<size_t>(c) + 64), mx);
  }
  for (int c = 0; c < nv; c += 32) {
    const uint8_t* a = acc.data() + 3 * static_cast<size_t>(c);
    for (int k = 0; k < 32; ++k) {
      const int l = l0 + c + k;
      if (a[64 + k] >= 16) {
        sets_scalar(geno, l, l + 1, sets);
      } else {
        sets[2 * l] = static_cast<uint64_t>(a[k]) | (static_cast<uint64_t>(a[32 + k]) << 8);
        sets[2 * l + 1] = 0;
      }
    }
  }
  if (nv < n) sets_scalar(geno, l0 + nv, l1, sets);
}
#endif

}  // namespace

void carried_sets(const haplotype_matrix& geno, std::vector<uint64_t>& sets, int nthreads) {
  const int nloc = geno.loci();
  sets.assign(2 * static_cast<size_t>(nloc), 0);
  constexpr int block = 2048;  // loci per part: the column pieces stay in cache
  const int parts = (nloc + block - 1) / block;
  run_parallel(nthreads, parts, [&](int k) {
    const int l0 = k * block, l1 = std::min(nloc, l0 + block);
#if defined(__x86_64__)
    if (cpu_has_avx2()) return sets_avx2(geno, l0, l1, sets.data());
#endif
    sets_scalar(geno, l0, l1, sets.data());
  });
}

void bookkeeping(allele_registry& alle, const std::vector<uint64_t>& sets) {
  for (size_t l = 0; l < alle.next.size(); ++l) {
    const int hiv = std::max<int>(alle.next[l], alle.top[l]);
    alleleset a;
    a.w[0] = sets[2 * l];
    a.w[1] = sets[2 * l + 1];
    int first_missing = 0, last_carried = 2;
    for (int v = 2; v <= hiv; ++v) {
      if (a.has(v)) last_carried = v;
      else if (first_missing == 0) first_missing = v;
    }
    if (first_missing != 0) {
      alle.next[l] = static_cast<int16_t>(first_missing);
      alle.top[l] = static_cast<int16_t>(last_carried);
    } else {
      alle.next[l] = alle.top[l] = static_cast<int16_t>(hiv + 1);
    }
  }
}

void bookkeeping(allele_registry& alle, const haplotype_matrix& geno, int nthreads) {
  std::vector<uint64_t> sets;
  carried_sets(geno, sets, nthreads);
  bookkeeping(alle, sets);
}

void allele_bookkeeping(population& pop, int nthreads) {
  for (auto [geno, alle] : {std::pair{&pop.markers, &pop.marker_alleles}, std::pair{&pop.candidates, &pop.candidate_alleles}}) {
    carried_sets(*geno, alle->carried, nthreads);
    bookkeeping(*alle, alle->carried);
    alle->carried_valid = true;
  }
}

}  // namespace qm
