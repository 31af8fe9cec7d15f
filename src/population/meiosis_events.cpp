#include "population/meiosis_events.hpp"

#include <algorithm>

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
  plan.jump_u = jump_multiplier(static_cast<uint64_t>(plan.u));
  const uint32_t half = uniform_threshold(0.5), tmm = clamp31(uniform_threshold(mutm)), tmq = clamp31(uniform_threshold(mutq));
  plan.same_rows = true;
  const std::vector<double>& left = map.recomb_left;
  const std::vector<double>& right = map.recomb_right;
  for (size_t k = 1; k < left.size() && plan.same_rows; ++k)
    plan.same_rows = left[k] == left[0] && right[k] == right[0];
  const int rows = plan.same_rows ? 1 : map.nchr;
  const size_t u = static_cast<size_t>(plan.u);
  plan.thr.assign(static_cast<size_t>(rows) * u, 0);
  for (int c = 0; c < rows; ++c) {
    uint32_t* t = plan.thr.data() + static_cast<size_t>(c) * u;
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
  lay_out_blocks(plan);
}

void lay_out_blocks(meiosis_plan& plan) {
  constexpr int nb = meiosis_plan::blocks;
  const int rows = plan.same_rows ? 1 : plan.nchr;
  const size_t u = static_cast<size_t>(plan.u);
  // a multiple of 4, so that the positions of a step are alike modulo 4 (the
  // same kind: crossover or mutation) and the kernel goes four steps at a time
  plan.steps = (plan.u + 4 * nb - 1) / (4 * nb) * 4;
  const size_t per_row = static_cast<size_t>(plan.steps) * nb;
  plan.lanes.assign(static_cast<size_t>(rows) * per_row, 0);  // padding never fires
  for (int c = 0; c < rows; ++c)
    for (int k = 0; k < plan.steps; ++k)
      for (int b = 0; b < nb; ++b) {
        const int pos = b * plan.steps + k;
        // the start strand (positions 0 and 1) is drawn outside the blocks
        if (pos >= 2 && pos < plan.u) plan.lanes[c * per_row + static_cast<size_t>(k) * nb + b] = clamp31(plan.thr[c * u + pos]);
      }
  plan.pair_max.assign(static_cast<size_t>(rows) * plan.steps / 2, 0);
  for (size_t x = 0; x < plan.lanes.size(); ++x) {
    const size_t step = x / nb;  // of all rows
    uint32_t& m = plan.pair_max[step / 4 * 2 + (step & 1)];
    m = std::max(m, plan.lanes[x]);
  }
  for (int b = 0; b < nb; ++b) plan.block_jump[b] = jump_multiplier(static_cast<uint64_t>(b) * plan.steps);
  // in the order of the vector kernel's registers: blocks 0, 2, 4, 6, then 1, 3, 5, 7, 8, 10, ...
  for (int r = 0; r < 4; ++r)
    for (int q = 0; q < 4; ++q) plan.lane_jump[4 * r + q] = plan.block_jump[8 * (r / 2) + (r & 1) + 2 * q];
}

void event_list::fit(const meiosis_plan& plan) {
  pos.resize(static_cast<size_t>(std::max(plan.u, 1)));
  hits.resize(static_cast<size_t>(std::max(plan.steps, 1)));
  count = 0;
}

#if defined(__x86_64__)

namespace {


// One step of four lanes (64 bits each): x * 16807 with a single fold,
// x + (x >> 31) of the product's halves. From x < 2^31 + 2^16 the result is
// congruent to the next state and again below that bound; a lane below 2^31
// holds the state itself (2^31 - 1 would be the state 0, which never occurs).
__attribute__((target("avx2"))) inline __m256i fold(__m256i p) {
  return _mm256_add_epi64(_mm256_and_si256(p, _mm256_set1_epi64x(rmod)), _mm256_srli_epi64(p, 31));
}

__attribute__((target("avx2"))) inline __m256i lazy_step(__m256i x) {
  return fold(_mm256_mul_epu32(x, _mm256_set1_epi64x(rmult)));
}

// Eight lanes of 32 bits from the low halves of two registers: even, odd.
__attribute__((target("avx2"))) inline __m256i pack(__m256i even, __m256i odd) {
  return _mm256_blend_epi32(even, _mm256_slli_epi64(odd, 32), 0xAA);
}

// The states themselves from lanes below 2^32.
__attribute__((target("avx2"))) inline __m256i exact(__m256i x) {
  return _mm256_min_epu32(x, _mm256_sub_epi32(x, _mm256_set1_epi32(static_cast<int>(rmod))));
}

__attribute__((target("avx2"))) inline __m256i below(const uint32_t* t, __m256i x) {
  return _mm256_cmpgt_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(t)), x);
}

}  // namespace

// The 16 blocks side by side, four steps at a time. Register r0 holds blocks
// 0, 2, 4, 6, r1 blocks 1, 3, 5, 7, r2 and r3 the same for 8..15, so that
// pack(r0, r1) and pack(r2, r3) list blocks 0..7 and 8..15 in order. Four
// steps are passed over when the smallest of the lanes of their even steps,
// and that of their odd steps, taken as signed numbers, are not below the
// largest threshold of those positions (the even steps of four are the
// mutation draws, the odd ones the crossovers): a lane below 2^31 holds its
// state, and one above is negative, so no event is missed. Otherwise (rarely) the four steps are redone with the exact states
// and the thresholds of their positions. The start strand (positions 0 and
// 1, thresholds of one half) is drawn one state at a time, outside the
// blocks. Every four steps the kernel asks for two cache lines and stores
// one of the background work; the lines not asked for by the end are asked
// for then, the stores left wait for the next call.
__attribute__((target("avx2"))) void events_avx2(const meiosis_plan& plan, int c, uint32_t st, event_list& out,
                                                 background& bg) {
  constexpr int nb = meiosis_plan::blocks;
  const __m256i x = _mm256_set1_epi64x(st);
  const __m256i* jump = reinterpret_cast<const __m256i*>(plan.lane_jump);
  __m256i r0 = fold(fold(_mm256_mul_epu32(x, _mm256_loadu_si256(jump))));
  __m256i r1 = fold(fold(_mm256_mul_epu32(x, _mm256_loadu_si256(jump + 1))));
  __m256i r2 = fold(fold(_mm256_mul_epu32(x, _mm256_loadu_si256(jump + 2))));
  __m256i r3 = fold(fold(_mm256_mul_epu32(x, _mm256_loadu_si256(jump + 3))));
  const uint32_t* t = plan.lane_row(c);
  const uint32_t* tmax = plan.pair_max_row(c);
  uint64_t* hits = out.hits.data();
  int n = 0;
  unsigned blocks_hit = 0;
  const int8_t* const* ask = bg.ask;
  const int8_t* const* const ask_end = bg.ask_end;
  const line_span* put = bg.put;
  const line_span* const put_end = bg.put_end;
  int put_off = bg.put_off;
  for (int k = 0; k < plan.steps; k += 4, t += 4 * nb) {
    const __m256i q0 = r0, q1 = r1, q2 = r2, q3 = r3;
    if (ask < ask_end) __builtin_prefetch(*ask++, 0, 3);
    if (ask < ask_end) __builtin_prefetch(*ask++, 0, 3);
    if (put < put_end) {
      put_line(put->dst + put_off, put->src + put_off);
      put_off += 64;
      if (put_off == put->n) ++put, put_off = 0;
    }
    __m256i even = _mm256_set1_epi32(0x7fffffff), odd = even;
#pragma GCC unroll 4
    for (int i = 0; i < 4; ++i) {
      r0 = lazy_step(r0);
      r1 = lazy_step(r1);
      r2 = lazy_step(r2);
      r3 = lazy_step(r3);
      __m256i& m = i & 1 ? odd : even;
      m = _mm256_min_epi32(m, _mm256_min_epi32(pack(r0, r1), pack(r2, r3)));
    }
    const __m256i any = _mm256_or_si256(_mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(tmax[k / 2])), even),
                                        _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(tmax[k / 2 + 1])), odd));
    if (__builtin_expect(!_mm256_testz_si256(any, any), 0)) {
      __m256i e0 = q0, e1 = q1, e2 = q2, e3 = q3;
      for (int i = 0; i < 4; ++i) {
        e0 = lazy_step(e0);
        e1 = lazy_step(e1);
        e2 = lazy_step(e2);
        e3 = lazy_step(e3);
        const unsigned a = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(below(t + i * nb, exact(pack(e0, e1))))));
        const unsigned b = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(below(t + i * nb + 8, exact(pack(e2, e3))))));
        if (a | b) {
          hits[n++] = static_cast<uint64_t>(k + i) << 16 | a | b << 8;
          blocks_hit |= a | b << 8;
        }
      }
    }
  }
  while (ask < ask_end) __builtin_prefetch(*ask++, 0, 3);
  bg.ask = ask;
  bg.put = put;
  bg.put_off = put_off;
  int32_t* pos = out.pos.data();
  int np = 0;
  const uint32_t s1 = next_state(st), s2 = next_state(s1);
  const uint32_t* thr = plan.row(c);
  if (s1 < thr[0]) pos[np++] = 0;
  if (s2 < thr[1]) pos[np++] = 1;
  for (; blocks_hit; blocks_hit &= blocks_hit - 1) {
    const int b = __builtin_ctz(blocks_hit);
    const int32_t base = b * plan.steps;
    for (int e = 0; e < n; ++e)
      if ((hits[e] >> b) & 1u) pos[np++] = base + static_cast<int32_t>(hits[e] >> 16);
  }
  out.count = np;
}
#endif

}  // namespace qm
