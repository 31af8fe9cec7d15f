// The events of a gamete: which of the uniforms drawn for a chromosome fall
// below their thresholds (start strand, crossovers, mutations).
//
// Every gamete walks each chromosome drawing exactly U = 3 + 4 (nmpc - 1)
// uniforms: the start strand (two), marker 1 (one), then per interval the
// left crossover, the candidate locus, the right crossover and the next
// marker. Since the count is fixed, the stream position of every gamete is
// known in advance. The vector kernel cuts a chromosome's U positions into
// 16 consecutive blocks and walks them side by side, one state of each block
// per step (a multiplication by 16807 in every lane), comparing each state
// with the integer threshold of its position (u < x exactly when the state
// is below the threshold of x). The few positions below their threshold are
// listed in order; walk_chromosome turns the list into the segments to copy
// and the loci that mutated.
#pragma once
#include <algorithm>
#include <cstdint>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "base/cpu_features.hpp"
#include "population/genome_map.hpp"
#include "random/stream.hpp"

namespace qm {

// The thresholds of every uniform of a gamete, chromosome by chromosome,
// plainly and in the block layout of the vector kernel.
struct meiosis_plan {
  static constexpr int blocks = 16;
  int nchr = 0, nmpc = 0, u = 0;  // u: uniforms per chromosome
  bool same_rows = false;         // every chromosome has the same thresholds
  std::vector<uint32_t> thr;      // nchr x u (one row when same_rows)
  uint32_t jump_u = 1;            // 16807^u mod (2^31 - 1)
  // Block b of a chromosome holds positions b * steps .. b * steps + steps - 1
  // (steps: a multiple of 4). lanes: per row, for each step k the 16
  // thresholds of positions b * steps + k; 0 (never fires) past u and at
  // positions 0 and 1, the start strand, which the kernel draws apart.
  // pair_max: per row, for every four steps, the largest threshold of their
  // even steps and that of their odd steps.
  int steps = 0;
  std::vector<uint32_t> lanes, pair_max;
  uint32_t block_jump[blocks] = {};  // 16807^(b * steps)
  alignas(32) uint64_t lane_jump[blocks] = {};  // the same in the order of the kernel's registers
  const uint32_t* row(int c) const { return thr.data() + (same_rows ? 0 : static_cast<size_t>(c) * u); }
  const uint32_t* lane_row(int c) const {
    return lanes.data() + (same_rows ? 0 : static_cast<size_t>(c) * steps * blocks);
  }
  const uint32_t* pair_max_row(int c) const { return pair_max.data() + (same_rows ? 0 : static_cast<size_t>(c) * steps / 2); }
};
void build_plan(const genome_map& map, double mutm, double mutq, meiosis_plan& plan);
// The block layout (steps, lanes, pair_max, block_jump, lane_jump) from
// nchr, u, same_rows and thr.
void lay_out_blocks(meiosis_plan& plan);

// The positions of one chromosome whose state is below their threshold.
struct event_list {
  std::vector<int32_t> pos;    // in increasing order; count entries are valid
  std::vector<uint64_t> hits;  // the kernel's steps with a hit: step << 16 | block mask
  int count = 0;
  void fit(const meiosis_plan& plan);
};

// The events one state at a time.
inline void events_scalar(const meiosis_plan& plan, int c, uint32_t st, event_list& out) {
  const uint32_t* t = plan.row(c);
  int32_t* pos = out.pos.data();
  int n = 0;
  for (int i = 0; i < plan.u; ++i) {
    st = next_state(st);
    if (st < t[i]) pos[n++] = i;
  }
  out.count = n;
}

// n bytes (whole cache lines of dst) to store past the caches.
struct line_span {
  int8_t* dst;
  const int8_t* src;
  int n;
};

// Memory work that the vector kernel does between its steps, while its
// arithmetic keeps the processor busy: cache lines to ask for, and whole
// cache lines to store past the caches (put_off bytes of *put are done).
struct background {
  const int8_t* const* ask = nullptr;
  const int8_t* const* ask_end = nullptr;
  const line_span* put = nullptr;
  const line_span* put_end = nullptr;
  int put_off = 0;
};

#if defined(__x86_64__)
// One cache line (64 bytes) of src to dst past the caches.
__attribute__((target("avx2"))) inline void put_line(int8_t* dst, const int8_t* src) {
  _mm256_stream_si256(reinterpret_cast<__m256i*>(dst), _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src)));
  _mm256_stream_si256(reinterpret_cast<__m256i*>(dst + 32), _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + 32)));
}

// The events by the vector kernel (the processor must have AVX2), with the
// background work done between its steps.
void events_avx2(const meiosis_plan& plan, int c, uint32_t st, event_list& out, background& bg);
#endif

// The events of chromosome c (0-based) of a gamete whose states follow st.
// vector: the vector kernel where avx2_enabled() (base/cpu_features.hpp);
// otherwise one state at a time (the same list). Inline: the packed copy
// calls it for every chromosome of every gamete.
inline void find_events(const meiosis_plan& plan, int c, uint32_t st, event_list& out, bool vector = true) {
#if defined(__x86_64__)
  background none;
  if (vector && avx2_enabled()) return events_avx2(plan, c, st, out, none);
#else
  (void)vector;
#endif
  events_scalar(plan, c, st, out);
}

// One chromosome of one gamete from its events: the start strand from
// positions 0 and 1, then segments between crossovers (positions 3 + 4j and
// 5 + 4j): seg(s, m0, m1, q0, q1) takes markers m0..m1-1 and candidate loci
// q0..q1-1 (either range may be empty) from strand s; mut(k, marker) is
// called for every mutated locus k of the chromosome (positions 2, 4 + 4j,
// 6 + 4j), in order.
template <class Seg, class Mut>
inline void walk_chromosome(const event_list& ev, int nmpc, Seg&& seg, Mut&& mut) {
  const int32_t* pos = ev.pos.data();
  const int n = ev.count;
  int e = 0;
  unsigned s = 1;
  if (e < n && pos[e] == 0) s = 0, ++e;
  if (e < n && pos[e] == 1) s ^= 1u, ++e;
  int mk = 0, qk = 0;  // next marker and candidate locus
  for (; e < n; ++e) {
    const int p = pos[e];
    if (p == 2) {
      mut(0, 1);
      continue;
    }
    const int q = p - 3, kind = q & 3, j = q >> 2;
    if (kind == 1) {
      mut(j, 0);
    } else if (kind == 3) {
      mut(j + 1, 1);
    } else {  // a crossover: markers and loci before p come from strand s
      const int mend = std::max(mk, (p + 1) / 4), qend = std::max(qk, (p - 1) / 4);
      seg(s, mk, mend, qk, qend);
      mk = mend;
      qk = qend;
      s ^= 1u;
    }
  }
  seg(s, mk, nmpc, qk, nmpc - 1);
}

}  // namespace qm
