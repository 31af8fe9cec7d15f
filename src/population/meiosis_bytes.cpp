#include "population/meiosis_bytes.hpp"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "base/cpu_features.hpp"
#include "base/messages.hpp"
#include "base/threads.hpp"
#include "population/meiosis.hpp"
#include "random/stream_parts.hpp"

namespace qm {

void allele_tally::clear(int32_t nloci) {
  const size_t n = static_cast<size_t>(nloci) + 32;  // a tally reads and writes whole 32-byte pieces
  lo.assign(n, 0);
  hi.assign(n, 0);
  top.assign(n, 0);
}

namespace {

// Tallies of the alleles g[0..n) at loci base..base+n-1. Negative bytes (the
// mutants not yet numbered) count for nothing; numbers of 16 and more only
// raise the largest number, and their locus is looked at again.
void tally_scalar(const int8_t* g, int n, allele_tally& t, int base) {
  uint8_t *lo = t.lo.data() + base, *hi = t.hi.data() + base, *top = t.top.data() + base;
  for (int x = 0; x < n; ++x) {
    const int v = g[x];
    if (v < 0) continue;
    if (v < 8) lo[x] |= static_cast<uint8_t>(1u << v);
    else if (v < 16) hi[x] |= static_cast<uint8_t>(1u << (v - 8));
    if (v > top[x]) top[x] = static_cast<uint8_t>(v);
  }
}

// Tallies of rows[0..nrows) over loci base..base+n-1; every row holds n
// alleles followed by at least 31 bytes of -1.
#if defined(__x86_64__)
__attribute__((target("avx2"))) void tally_rows_avx2(const int8_t* const* rows, int nrows, int n, allele_tally& t,
                                                     int base) {
  uint8_t *lo = t.lo.data() + base, *hi = t.hi.data() + base, *top = t.top.data() + base;
  const __m256i tlo = _mm256_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 0, 0, 0, 0, 0, 0, 0, 0,
                                       1, 2, 4, 8, 16, 32, 64, -128, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m256i thi = _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 4, 8, 16, 32, 64, -128,
                                       0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 4, 8, 16, 32, 64, -128);
  for (int x = 0; x < n; x += 32) {
    __m256i* l = reinterpret_cast<__m256i*>(lo + x);
    __m256i* h = reinterpret_cast<__m256i*>(hi + x);
    __m256i* m = reinterpret_cast<__m256i*>(top + x);
    __m256i a = _mm256_loadu_si256(l), b = _mm256_loadu_si256(h), c = _mm256_loadu_si256(m);
    for (int r = 0; r < nrows; ++r) {
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[r] + x));
      a = _mm256_or_si256(a, _mm256_shuffle_epi8(tlo, v));
      b = _mm256_or_si256(b, _mm256_shuffle_epi8(thi, v));
      c = _mm256_max_epi8(c, v);
    }
    _mm256_storeu_si256(l, a);
    _mm256_storeu_si256(h, b);
    _mm256_storeu_si256(m, c);
  }
}
#endif

void tally_rows(const int8_t* const* rows, int nrows, int n, allele_tally& t, int base) {
#if defined(__x86_64__)
  if (avx2_enabled()) return tally_rows_avx2(rows, nrows, n, t, base);
#endif
  for (int r = 0; r < nrows; ++r) tally_scalar(rows[r], n, t, base);
}

// The tallies that the gametes of one part add to (both null: no tallies).
struct part_tallies {
  allele_tally* markers = nullptr;
  allele_tally* candidates = nullptr;
};

// Gametes for the offspring haplotype columns of one part, from the stream
// state before its first uniform. Mutated loci are listed in haplotype
// order. With tallies, the alleles of the gametes are tallied as they are
// made.
//
// The gametes are made in batches: chromosome by chromosome, that chromosome
// of every gamete of the batch, into rows (two sets, used in turn) that are
// tallied together and then stored. Each chromosome is copied one behind its
// events: while the kernel finds the events of the next one, it asks for the
// parental cache lines of the current one and stores the rows of the
// chromosome before past the caches.
//
// The steps of the batch loop are defined inline: the compiler then folds
// them into the loop, as it did the lambdas they were (out of line, each
// would cost a call per chromosome of every gamete).
class byte_gametes {
 public:
  byte_gametes(const offspring_job& job, haplotype_part part, meiosis_scratch& sc, part_tallies tallies);
  void make(std::vector<mutant>& mutants);

 private:
  static constexpr int batch_size = 8;  // gametes of a batch
  // One chromosome of one gamete of the batch: the parent's two strands.
  struct item {
    int32_t h;
    int c, k;
    const int8_t* m[2];
    const int8_t* q[2];
  };
  void fit_scratch();
  void make_batch(std::vector<mutant>& mutants);
  item item_at(int64_t i) const;  // i: chromosome-major within the batch
  void ask(const item& it, const event_list& e);
  void events(const item& it, event_list& e);
  void copy(const item& it, const event_list& e, int8_t* set);
  void close_chromosome(int c, const int8_t* set);
  void finish_puts(size_t upto);
  void store(int8_t* dst, const int8_t* src, int n);

  const population& parents_;
  const std::vector<parent_pair>& offspring_;
  const meiosis_plan& plan_;
  haplotype_matrix &markers_, &candidates_;  // the offspring's
  meiosis_scratch& sc_;
  const part_tallies tallies_;
  const haplotype_part part_;
  const bool avx2_ = avx2_enabled();
  const bool past_caches_ = avx2_;  // the stores past the caches go with the vector kernel
  const int nchr_, nmpc_, gaps_;
  // Row k of a set: markers at k * stride_, candidate loci at k * stride_ +
  // qoff_, each followed by -1 up to the next multiple of 32 and 32 more.
  const int kb_, qoff_, stride_;
  const size_t set_size_;
  int32_t hb_;        // first gamete of the batch
  uint32_t bst_;      // the state before it
  int nk_ = 0;        // gametes in the batch
  background bg_;
  size_t put_done_ = 0;    // stores of sc_.puts already made, and bg_.put_off bytes of the next
  size_t older_end_ = 0;   // sc_.puts[0..older_end_): stores of the chromosome before the last and earlier
  int64_t made_ = 0;       // chromosomes made so far (each set of rows holds every other)
};

byte_gametes::byte_gametes(const offspring_job& job, haplotype_part part, meiosis_scratch& sc, part_tallies tallies)
    : parents_(job.pop),
      offspring_(job.offspring),
      plan_(job.plan),
      markers_(job.buffers.markers),
      candidates_(job.buffers.candidates),
      sc_(sc),
      tallies_(tallies),
      part_(part),
      nchr_(job.plan.nchr),
      nmpc_(job.plan.nmpc),
      gaps_(job.plan.nmpc - 1),
      kb_(std::min<int32_t>(batch_size, part.h1 - part.h0 + 1)),
      qoff_((nmpc_ + 63) / 32 * 32),
      stride_(qoff_ + (gaps_ + 63) / 32 * 32),
      set_size_(static_cast<size_t>(kb_) * stride_),
      hb_(part.h0),
      bst_(part.st) {
  fit_scratch();
}

void byte_gametes::fit_scratch() {
  // Every chromosome rewrites its loci in a row, so only a new layout needs
  // its padding set.
  if (sc_.rows.size() != 2 * set_size_ || sc_.rows_stride != stride_) {
    sc_.rows.assign(2 * set_size_, int8_t{-1});
    sc_.rows_stride = stride_;
  }
  sc_.events[0].fit(plan_);
  sc_.events[1].fit(plan_);
  sc_.lines.resize(static_cast<size_t>(nmpc_ + gaps_) / 64 + 64);
  sc_.puts.clear();
  sc_.puts.reserve(4 * static_cast<size_t>(kb_));
  if (static_cast<int>(sc_.pending.size()) < kb_) sc_.pending.resize(static_cast<size_t>(kb_));
  // jump[k * nchr + c]: from the batch's first state to chromosome c of gamete k.
  std::vector<uint32_t>& jump = sc_.jump;
  jump.resize(static_cast<size_t>(kb_) * nchr_ + 1);
  jump[0] = 1;
  for (size_t x = 1; x < jump.size(); ++x) jump[x] = mulmod31(jump[x - 1], plan_.jump_u);
}

void byte_gametes::make(std::vector<mutant>& mutants) {
  while (hb_ <= part_.h1) make_batch(mutants);
  finish_puts(sc_.puts.size());
#if defined(__x86_64__)
  if (past_caches_) _mm_sfence();  // the stores past the caches are complete before the part ends
#endif
}

inline void byte_gametes::make_batch(std::vector<mutant>& mutants) {
  nk_ = std::min<int32_t>(kb_, part_.h1 - hb_ + 1);
  const int64_t n = static_cast<int64_t>(nk_) * nchr_;
  for (int k = 0; k < nk_; ++k) sc_.pending[static_cast<size_t>(k)].clear();
  bg_.ask = bg_.ask_end = nullptr;
  item cur = item_at(0);
  events(cur, sc_.events[0]);
  for (int64_t i = 0; i < n; ++i) {
    const event_list& e = sc_.events[i & 1];
    int8_t* set = sc_.rows.data() + static_cast<size_t>(made_ & 1) * set_size_;
    ask(cur, e);
    item next{};
    if (i + 1 < n) {
      next = item_at(i + 1);
      events(next, sc_.events[(i + 1) & 1]);
    } else {
      while (bg_.ask < bg_.ask_end) __builtin_prefetch(*bg_.ask++, 0, 3);
    }
    if (cur.k == 0) finish_puts(older_end_);  // the chromosome before last, whose rows are in this set
    copy(cur, e, set);
    if (cur.k == nk_ - 1) close_chromosome(cur.c, set);  // this chromosome of every gamete of the batch is made
    cur = next;
  }
  for (int k = 0; k < nk_; ++k)
    mutants.insert(mutants.end(), sc_.pending[static_cast<size_t>(k)].begin(), sc_.pending[static_cast<size_t>(k)].end());
  bst_ = mulmod31(bst_, jump_multiplier(static_cast<uint64_t>(nk_) * nchr_ * static_cast<uint64_t>(plan_.u)));
  hb_ += nk_;
}

inline byte_gametes::item byte_gametes::item_at(int64_t i) const {
  item it;
  it.c = static_cast<int>(i / nk_);
  it.k = static_cast<int>(i % nk_);
  it.h = hb_ + it.k;
  const parent_pair& pp = offspring_[static_cast<size_t>(it.h / 2)];
  const int32_t par = (it.h & 1) ? pp.dam : pp.sire;
  const int mb = it.c * nmpc_, qb = it.c * gaps_;
  it.m[0] = parents_.markers.column(2 * par - 2) + mb;
  it.m[1] = parents_.markers.column(2 * par - 1) + mb;
  it.q[0] = parents_.candidates.column(2 * par - 2) + qb;
  it.q[1] = parents_.candidates.column(2 * par - 1) + qb;
  return it;
}

// The parental cache lines of the chromosome's segments, for the kernel to
// ask for between its steps (as many as the list holds), and the partial
// cache lines at the ends of the offspring's rows, which get plain stores.
inline void byte_gametes::ask(const item& it, const event_list& e) {
  size_t n = 0;
  const auto lines = [this, &n](const int8_t* a, const int8_t* b) {
    const int8_t* first = reinterpret_cast<const int8_t*>(reinterpret_cast<uintptr_t>(a) & ~uintptr_t{63});
    for (const int8_t* p = first; p < b && n < sc_.lines.size(); p += 64) sc_.lines[n++] = p;
  };
  walk_chromosome(
      e, nmpc_,
      [&](unsigned s, int m0, int m1, int q0, int q1) {
        lines(it.m[s] + m0, it.m[s] + m1);
        lines(it.q[s] + q0, it.q[s] + q1);
      },
      [](int, int) {});
  bg_.ask = sc_.lines.data();
  bg_.ask_end = bg_.ask + n;
  const int8_t* md = markers_.column(it.h) + it.c * nmpc_;
  const int8_t* qd = candidates_.column(it.h) + it.c * gaps_;
  __builtin_prefetch(md, 1, 3);
  __builtin_prefetch(md + nmpc_ - 1, 1, 3);
  __builtin_prefetch(qd, 1, 3);
  __builtin_prefetch(qd + gaps_ - 1, 1, 3);
}

// The events of the item; the vector kernel does the background work
// between its steps, the plain loop asks for the lines first.
inline void byte_gametes::events(const item& it, event_list& e) {
  const uint32_t at = mulmod31(bst_, sc_.jump[static_cast<size_t>(it.k) * nchr_ + it.c]);
#if defined(__x86_64__)
  if (avx2_) {
    bg_.put = sc_.puts.data() + put_done_;
    bg_.put_end = sc_.puts.data() + sc_.puts.size();
    events_avx2(plan_, it.c, at, e, bg_);
    put_done_ = static_cast<size_t>(bg_.put - sc_.puts.data());
    return;
  }
#endif
  while (bg_.ask < bg_.ask_end) __builtin_prefetch(*bg_.ask++, 0, 3);
  events_scalar(plan_, it.c, at, e);
}

// The item's chromosome into its row of the set: the segments between
// crossovers, and -1 at the loci that mutated (numbered afterwards).
inline void byte_gametes::copy(const item& it, const event_list& e, int8_t* set) {
  int8_t* mo = set + static_cast<size_t>(it.k) * stride_;
  int8_t* qo = mo + qoff_;
  std::vector<mutant>& mine = sc_.pending[static_cast<size_t>(it.k)];
  const size_t first = mine.size();
  const int mb = it.c * nmpc_, qb = it.c * gaps_;
  walk_chromosome(
      e, nmpc_,
      [&](unsigned s, int m0, int m1, int q0, int q1) {
        if (m1 > m0) std::memcpy(mo + m0, it.m[s] + m0, static_cast<size_t>(m1 - m0));
        if (q1 > q0) std::memcpy(qo + q0, it.q[s] + q0, static_cast<size_t>(q1 - q0));
      },
      [&](int k, int marker) { mine.push_back({it.h, (marker ? mb : qb) + k, static_cast<int8_t>(marker)}); });
  for (size_t x = first; x < mine.size(); ++x) {
    const mutant& m = mine[x];
    (m.marker ? mo[m.locus - mb] : qo[m.locus - qb]) = -1;
  }
}

// Chromosome c of every gamete of the batch is in the set: its rows are
// tallied and go to their columns.
inline void byte_gametes::close_chromosome(int c, const int8_t* set) {
  const int mb = c * nmpc_, qb = c * gaps_;
  const int8_t* mr[64];
  const int8_t* qr[64];
  for (int k = 0; k < nk_; ++k) {
    mr[k] = set + static_cast<size_t>(k) * stride_;
    qr[k] = mr[k] + qoff_;
  }
  if (tallies_.markers) {
    tally_rows(mr, nk_, nmpc_, *tallies_.markers, mb);
    tally_rows(qr, nk_, gaps_, *tallies_.candidates, qb);
  }
  older_end_ = sc_.puts.size();
  for (int k = 0; k < nk_; ++k) {
    store(markers_.column(hb_ + k) + mb, mr[k], nmpc_);
    store(candidates_.column(hb_ + k) + qb, qr[k], gaps_);
  }
  ++made_;
}

// Makes the stores up to sc_.puts[upto].
inline void byte_gametes::finish_puts(size_t upto) {
#if defined(__x86_64__)
  if (avx2_)
    for (; put_done_ < upto; ++put_done_, bg_.put_off = 0) {
      const line_span& l = sc_.puts[put_done_];
      for (int x = bg_.put_off; x < l.n; x += 64) put_line(l.dst + x, l.src + x);
    }
#else
  (void)upto;
#endif
  if (put_done_ == sc_.puts.size()) {
    sc_.puts.clear();
    put_done_ = older_end_ = 0;
  }
}

// A row to its column: whole cache lines in the background, the rest now.
inline void byte_gametes::store(int8_t* dst, const int8_t* src, int n) {
  const int head = static_cast<int>((64 - (reinterpret_cast<uintptr_t>(dst) & 63)) & 63);
  if (!past_caches_ || n < head + 64) {
    std::memcpy(dst, src, static_cast<size_t>(n));
    return;
  }
  std::memcpy(dst, src, static_cast<size_t>(head));
  const int whole = (n - head) / 64 * 64;
  sc_.puts.push_back({dst + head, src + head, whole});
  std::memcpy(dst + head + whole, src + head + whole, static_cast<size_t>(n - head - whole));
}

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

// The carried sets of the offspring from the tallies of the threads (used
// of them): a locus whose largest number is 16 or more is read again from
// the haplotypes themselves.
void sets_from_tallies(const std::vector<allele_tally>& tallies, int used, const haplotype_matrix& geno,
                       std::vector<uint64_t>& sets, int nthreads) {
  const int nloc = geno.loci();
  sets.resize(2 * static_cast<size_t>(nloc));
  // A few ns per locus: a part of fewer loci costs more to hand to another
  // thread than to do (4,000 loci take some 16 us).
  constexpr int block = 8192;
  run_parallel(nthreads, (nloc + block - 1) / block, [&](int k) {
    const int l0 = k * block, l1 = std::min(nloc, l0 + block);
    for (int l = l0; l < l1; ++l) {
      unsigned lo = 0, hi = 0, top = 0;
      for (int t = 0; t < used; ++t) {
        const allele_tally& a = tallies[static_cast<size_t>(t)];
        lo |= a.lo[static_cast<size_t>(l)];
        hi |= a.hi[static_cast<size_t>(l)];
        top = std::max<unsigned>(top, a.top[static_cast<size_t>(l)]);
      }
      if (top >= 16) {
        const alleleset a = carried_at(geno, l);
        sets[2 * static_cast<size_t>(l)] = a.w[0];
        sets[2 * static_cast<size_t>(l) + 1] = a.w[1];
      } else {
        sets[2 * static_cast<size_t>(l)] = lo | hi << 8;
        sets[2 * static_cast<size_t>(l) + 1] = 0;
      }
    }
  });
}

// The numbered mutants of markers (marker 1) or candidate loci (0) added to
// the carried sets, which the tallies made before they were numbered: a
// locus that got a number of 16 or more is read again from the haplotypes.
void add_mutants(const std::vector<std::vector<mutant>>& lists, int8_t marker, const haplotype_matrix& geno,
                 std::vector<uint64_t>& sets) {
  for (const std::vector<mutant>& list : lists)
    for (const mutant& e : list) {
      if (e.marker != marker) continue;
      const int v = geno.at(e.locus, e.h);
      uint64_t* w = sets.data() + 2 * static_cast<size_t>(e.locus);
      if (v < 16) {
        w[0] |= uint64_t{1} << v;
      } else {
        const alleleset a = carried_at(geno, e.locus);
        w[0] = a.w[0];
        w[1] = a.w[1];
      }
    }
}

// The tallies of the threads that make the parts, cleared.
void clear_tallies(offspring_buffers& buffers, int used, const genome_map& map) {
  for (std::vector<allele_tally>* t : {&buffers.marker_tally, &buffers.candidate_tally})
    if (static_cast<int>(t->size()) < used) t->resize(static_cast<size_t>(used));
  for (int t = 0; t < used; ++t) {
    buffers.marker_tally[static_cast<size_t>(t)].clear(map.nmark());
    buffers.candidate_tally[static_cast<size_t>(t)].clear(map.nqloc());
  }
}

// Every listed mutant its allele number, part by part (so in haplotype
// order), with the carried sets of the parents where the bookkeeping kept
// them for every locus.
void number_all_mutants(const offspring_job& job, const std::vector<std::vector<mutant>>& lists) {
  population& pop = job.pop;
  const auto complete = [&](const allele_registry& r, int32_t nloci) {
    return r.carried_valid && r.carried.size() == 2 * static_cast<size_t>(nloci);
  };
  const std::vector<uint64_t>* known[2] = {
      complete(pop.candidate_alleles, job.rates.map.nqloc()) ? &pop.candidate_alleles.carried : nullptr,
      complete(pop.marker_alleles, job.rates.map.nmark()) ? &pop.marker_alleles.carried : nullptr};
  for (const std::vector<mutant>& l : lists) number_mutants(pop, job.buffers, l, known);
}

// The bookkeeping of the offspring from the tallies of the threads and the
// numbered mutants. The sets of the parents are no longer needed: the
// offspring's replace them.
void gathered_bookkeeping(const offspring_job& job, const std::vector<std::vector<mutant>>& lists) {
  population& pop = job.pop;
  offspring_buffers& buffers = job.buffers;
  sets_from_tallies(buffers.marker_tally, job.used, buffers.markers, pop.marker_alleles.carried, job.nthreads);
  add_mutants(lists, 1, buffers.markers, pop.marker_alleles.carried);
  sets_from_tallies(buffers.candidate_tally, job.used, buffers.candidates, pop.candidate_alleles.carried, job.nthreads);
  add_mutants(lists, 0, buffers.candidates, pop.candidate_alleles.carried);
  for (allele_registry* alle : {&pop.marker_alleles, &pop.candidate_alleles}) {
    qm::bookkeeping(*alle, alle->carried);
    alle->carried_valid = true;
  }
}

}  // namespace

void offspring_in_bytes(const offspring_job& job, bool bookkeeping) {
  offspring_buffers& buffers = job.buffers;
  const genome_map& map = job.rates.map;
  const int32_t nhap = job.haplotypes();
  buffers.markers.resize(map.nmark(), nhap, job.nthreads);
  buffers.candidates.resize(map.nqloc(), nhap, job.nthreads);
  if (bookkeeping) clear_tallies(buffers, job.used, map);
  std::vector<std::vector<mutant>> lists(static_cast<size_t>(job.parts));
  const double per_gamete = job.rates.mutm * map.nmark() + job.rates.mutq * map.nqloc();
  run_stream_parts_on(job.nthreads, nhap, job.parts, job.per_hap, job.rng,
                      [&](int k, int64_t a, int64_t b, uint32_t st, int t) {
                        std::vector<mutant>& list = lists[static_cast<size_t>(k)];
                        list.reserve(static_cast<size_t>(2.0 * per_gamete * static_cast<double>(b - a)) + 16);
                        const size_t thread = static_cast<size_t>(t);
                        part_tallies tallies;
                        if (bookkeeping) tallies = {&buffers.marker_tally[thread], &buffers.candidate_tally[thread]};
                        const haplotype_part part{static_cast<int32_t>(a), static_cast<int32_t>(b - 1), st};
                        byte_gametes(job, part, buffers.scratch[thread], tallies).make(list);
                      });
  number_all_mutants(job, lists);
  if (bookkeeping) {
    gathered_bookkeeping(job, lists);
  } else {
    // The carried sets describe the parents, no longer the current generation.
    job.pop.marker_alleles.carried_valid = job.pop.candidate_alleles.carried_valid = false;
  }
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
    if (avx2_enabled()) return sets_avx2(geno, l0, l1, sets.data());
#endif
    sets_scalar(geno, l0, l1, sets.data());
  });
}

void bookkeeping(allele_registry& alle, const std::vector<uint64_t>& sets) {
  // Per locus, among the numbers 2..hi (hi = max(next, top)) as bits of the
  // 128-bit set: the lowest one not carried and the highest one carried.
  for (size_t l = 0; l < alle.next.size(); ++l) {
    const int hiv = std::max<int>(alle.next[l], alle.top[l]);
    int first_missing = 0, last_carried = 2;
    if (hiv >= 2) {
      const int top = std::min(hiv, 127);
      for (int w = 0; w < 2; ++w) {
        // the bits of 2..top in word w
        const int lo = std::max(2, 64 * w), hi = std::min(top, 64 * w + 63);
        if (lo > hi) continue;
        const uint64_t range = (hi - 64 * w == 63 ? ~uint64_t{0} : (uint64_t{1} << (hi - 64 * w + 1)) - 1) &
                               ~((uint64_t{1} << (lo - 64 * w)) - 1);
        const uint64_t carried = sets[2 * l + static_cast<size_t>(w)] & range, missing = ~carried & range;
        if (first_missing == 0 && missing) first_missing = 64 * w + __builtin_ctzll(missing);
        if (carried) last_carried = 64 * w + 63 - __builtin_clzll(carried);
      }
      if (first_missing == 0 && hiv > 127) first_missing = 128;  // numbers past 127 are never carried
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
