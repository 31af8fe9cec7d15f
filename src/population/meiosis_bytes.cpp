#include "population/meiosis_bytes.hpp"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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
  if (avx2_kernels()) return tally_rows_avx2(rows, nrows, n, t, base);
#endif
  for (int r = 0; r < nrows; ++r) tally_scalar(rows[r], n, t, base);
}


// Gametes for offspring haplotype columns h0..h1 (inclusive) from stream
// state st (the state before the first uniform of h0). Mutated loci are
// listed in haplotype order. With tallies, the alleles of the gametes are
// tallied as they are made.
//
// The gametes are made in batches: chromosome by chromosome, that chromosome
// of every gamete of the batch, into rows (two sets, used in turn) that are
// tallied together and then stored. Each chromosome is copied one behind its
// events: while the kernel finds the events of the next one, it asks for the
// parental cache lines of the current one and stores the rows of the
// chromosome before past the caches.
void gametes(const population& parents, const std::vector<parent_pair>& offspring, const meiosis_plan& plan,
             int32_t h0, int32_t h1, uint32_t st, offspring_buffers& out, std::vector<mutant>& mutants,
             allele_tally* mtally, allele_tally* qtally, meiosis_scratch& sc) {
#if defined(__x86_64__)
  const bool avx2 = avx2_kernels();
#else
  const bool avx2 = false;
#endif
  constexpr int batch = 8;      // gametes of a batch
  const bool past_caches = avx2;  // the stores past the caches go with the vector kernel
  const int nchr = plan.nchr, nmpc = plan.nmpc, gaps = nmpc - 1;
  const int32_t nh = h1 - h0 + 1;
  const int kb = std::min<int32_t>(batch, nh);
  // Row k of a set: markers at k * stride, candidate loci at k * stride +
  // qoff, each followed by -1 up to the next multiple of 32 and 32 more.
  const int qoff = (nmpc + 63) / 32 * 32, stride = qoff + (gaps + 63) / 32 * 32;
  const size_t set_size = static_cast<size_t>(kb) * stride;
  // Every chromosome rewrites its loci in a row, so only a new layout needs
  // its padding set.
  if (sc.rows.size() != 2 * set_size || sc.rows_stride != stride) {
    sc.rows.assign(2 * set_size, int8_t{-1});
    sc.rows_stride = stride;
  }
  sc.events[0].fit(plan);
  sc.events[1].fit(plan);
  sc.lines.resize(static_cast<size_t>(nmpc + gaps) / 64 + 64);
  sc.puts.clear();
  sc.puts.reserve(4 * static_cast<size_t>(kb));
  if (static_cast<int>(sc.pending.size()) < kb) sc.pending.resize(static_cast<size_t>(kb));
  // jump[k * nchr + c]: from the batch's first state to chromosome c of gamete k.
  std::vector<uint32_t>& jump = sc.jump;
  jump.resize(static_cast<size_t>(kb) * nchr + 1);
  jump[0] = 1;
  for (size_t x = 1; x < jump.size(); ++x) jump[x] = mulmod31(jump[x - 1], plan.jump_u);

  struct item {
    int32_t h;
    int c, k;
    const int8_t* m[2];
    const int8_t* q[2];
  };
  int32_t hb = h0;    // first gamete of the batch
  uint32_t bst = st;  // the state before it
  int nk = 0;         // gametes in the batch
  const auto item_at = [&](int64_t i) {  // i: chromosome-major within the batch
    item it;
    it.c = static_cast<int>(i / nk);
    it.k = static_cast<int>(i % nk);
    it.h = hb + it.k;
    const parent_pair& pp = offspring[static_cast<size_t>(it.h / 2)];
    const int32_t par = (it.h & 1) ? pp.dam : pp.sire;
    const int mb = it.c * nmpc, qb = it.c * gaps;
    it.m[0] = parents.markers.column(2 * par - 2) + mb;
    it.m[1] = parents.markers.column(2 * par - 1) + mb;
    it.q[0] = parents.candidates.column(2 * par - 2) + qb;
    it.q[1] = parents.candidates.column(2 * par - 1) + qb;
    return it;
  };
  background bg;
  size_t put_done = 0;  // stores of sc.puts already made, and put_off bytes of the next
  const auto line_of = [](const int8_t* p) {
    return reinterpret_cast<const int8_t*>(reinterpret_cast<uintptr_t>(p) & ~uintptr_t{63});
  };
  const auto ask = [&](const item& it, const event_list& e) {
    size_t n = 0;
    const auto lines = [&](const int8_t* a, const int8_t* b) {  // as many as the list holds
      for (const int8_t* p = line_of(a); p < b && n < sc.lines.size(); p += 64) sc.lines[n++] = p;
    };
    walk_chromosome(
          e, nmpc,
          [&](unsigned s, int m0, int m1, int q0, int q1) {
            lines(it.m[s] + m0, it.m[s] + m1);
            lines(it.q[s] + q0, it.q[s] + q1);
          },
          [](int, int) {});
    bg.ask = sc.lines.data();
    bg.ask_end = bg.ask + n;
    // the partial cache lines at the ends of the offspring's rows, which get plain stores
    const int8_t* md = out.markers.column(it.h) + it.c * nmpc;
    const int8_t* qd = out.candidates.column(it.h) + it.c * gaps;
    __builtin_prefetch(md, 1, 3);
    __builtin_prefetch(md + nmpc - 1, 1, 3);
    __builtin_prefetch(qd, 1, 3);
    __builtin_prefetch(qd + gaps - 1, 1, 3);
  };
  const auto events = [&](const item& it, event_list& e) {
    const uint32_t at = mulmod31(bst, jump[static_cast<size_t>(it.k) * nchr + it.c]);
#if defined(__x86_64__)
    if (avx2) {
      bg.put = sc.puts.data() + put_done;
      bg.put_end = sc.puts.data() + sc.puts.size();
      events_avx2(plan, it.c, at, e, bg);
      put_done = static_cast<size_t>(bg.put - sc.puts.data());
      return;
    }
#endif
    while (bg.ask < bg.ask_end) __builtin_prefetch(*bg.ask++, 0, 3);
    events_scalar(plan, it.c, at, e);
  };
  size_t older_end = 0;  // sc.puts[0..older_end): stores of the chromosome before the last and earlier
  // Makes the stores up to sc.puts[upto].
  const auto finish_puts = [&](size_t upto) {
#if defined(__x86_64__)
    if (avx2)
      for (; put_done < upto; ++put_done, bg.put_off = 0) {
        const line_span& l = sc.puts[put_done];
        for (int x = bg.put_off; x < l.n; x += 64) put_line(l.dst + x, l.src + x);
      }
#endif
    if (put_done == sc.puts.size()) {
      sc.puts.clear();
      put_done = older_end = 0;
    }
  };
  // Rows to their columns: whole cache lines in the background, the rest now.
  const auto store = [&](int8_t* dst, const int8_t* src, int n) {
    const int head = static_cast<int>((64 - (reinterpret_cast<uintptr_t>(dst) & 63)) & 63);
    if (!past_caches || n < head + 64) {
      std::memcpy(dst, src, static_cast<size_t>(n));
      return;
    }
    std::memcpy(dst, src, static_cast<size_t>(head));
    const int whole = (n - head) / 64 * 64;
    sc.puts.push_back({dst + head, src + head, whole});
    std::memcpy(dst + head + whole, src + head + whole, static_cast<size_t>(n - head - whole));
  };

  int64_t made = 0;  // chromosomes made so far (each set of rows holds every other)
  while (hb <= h1) {
    nk = std::min<int32_t>(kb, h1 - hb + 1);
    const int64_t n = static_cast<int64_t>(nk) * nchr;
    for (int k = 0; k < nk; ++k) sc.pending[static_cast<size_t>(k)].clear();
    bg.ask = bg.ask_end = nullptr;
    item cur = item_at(0);
    events(cur, sc.events[0]);
    for (int64_t i = 0; i < n; ++i) {
      const event_list& e = sc.events[i & 1];
      int8_t* set = sc.rows.data() + static_cast<size_t>(made & 1) * set_size;
      ask(cur, e);
      item next{};
      if (i + 1 < n) {
        next = item_at(i + 1);
        events(next, sc.events[(i + 1) & 1]);
      } else {
        while (bg.ask < bg.ask_end) __builtin_prefetch(*bg.ask++, 0, 3);
      }
      if (cur.k == 0) finish_puts(older_end);  // the chromosome before last, whose rows are in this set
      int8_t* mo = set + static_cast<size_t>(cur.k) * stride;
      int8_t* qo = mo + qoff;
      std::vector<mutant>& mine = sc.pending[static_cast<size_t>(cur.k)];
      const size_t first = mine.size();
      const int mb = cur.c * nmpc, qb = cur.c * gaps;
      walk_chromosome(
          e, nmpc,
          [&](unsigned s, int m0, int m1, int q0, int q1) {
            if (m1 > m0) std::memcpy(mo + m0, cur.m[s] + m0, static_cast<size_t>(m1 - m0));
            if (q1 > q0) std::memcpy(qo + q0, cur.q[s] + q0, static_cast<size_t>(q1 - q0));
          },
          [&](int k, int marker) { mine.push_back({cur.h, (marker ? mb : qb) + k, static_cast<int8_t>(marker)}); });
      for (size_t x = first; x < mine.size(); ++x) {
        const mutant& m = mine[x];
        (m.marker ? mo[m.locus - mb] : qo[m.locus - qb]) = -1;
      }
      if (cur.k == nk - 1) {  // this chromosome of every gamete of the batch is made
        const int8_t* mr[64];
        const int8_t* qr[64];
        for (int k = 0; k < nk; ++k) {
          mr[k] = set + static_cast<size_t>(k) * stride;
          qr[k] = mr[k] + qoff;
        }
        if (mtally) {
          tally_rows(mr, nk, nmpc, *mtally, mb);
          tally_rows(qr, nk, gaps, *qtally, qb);
        }
        older_end = sc.puts.size();
        for (int k = 0; k < nk; ++k) {
          store(out.markers.column(hb + k) + mb, mr[k], nmpc);
          store(out.candidates.column(hb + k) + qb, qr[k], gaps);
        }
        ++made;
      }
      cur = next;
    }
    for (int k = 0; k < nk; ++k)
      mutants.insert(mutants.end(), sc.pending[static_cast<size_t>(k)].begin(), sc.pending[static_cast<size_t>(k)].end());
    bst = mulmod31(bst, jump_multiplier(static_cast<uint64_t>(nk) * nchr * static_cast<uint64_t>(plan.u)));
    hb += nk;
  }
  finish_puts(sc.puts.size());
#if defined(__x86_64__)
  if (past_caches) _mm_sfence();  // the stores past the caches are complete before the part ends
#endif
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

// The carried sets of the offspring from the tallies of the threads and the
// numbered mutants: a locus whose largest number is 16 or more, or that got
// such a mutant, is read again from the haplotypes themselves.
void gather_sets(const std::vector<allele_tally>& tallies, int used, const haplotype_matrix& geno,
                 const std::vector<std::vector<mutant>>& lists, int8_t marker, std::vector<uint64_t>& sets,
                 int nthreads) {
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

}  // namespace


// The offspring in the bytes layout: gametes with mutation, the mutants
// numbered, and the allele bookkeeping when it is asked for.
void offspring_in_bytes(population& pop, const std::vector<parent_pair>& offspring, const genome_map& map, double mutm,
                        double mutq, const meiosis_plan& plan, offspring_buffers& buffers, random_stream& rng,
                        int nthreads, bool bookkeeping, uint64_t per_hap, int parts, int used) {
  const int32_t nhap = 2 * static_cast<int32_t>(offspring.size());
  buffers.markers.resize(map.nmark(), nhap, nthreads);
  buffers.candidates.resize(map.nqloc(), nhap, nthreads);
  if (bookkeeping) {
    for (std::vector<allele_tally>* t : {&buffers.marker_tally, &buffers.candidate_tally})
      if (static_cast<int>(t->size()) < used) t->resize(static_cast<size_t>(used));
    for (int t = 0; t < used; ++t) {
      buffers.marker_tally[static_cast<size_t>(t)].clear(map.nmark());
      buffers.candidate_tally[static_cast<size_t>(t)].clear(map.nqloc());
    }
  }
  std::vector<std::vector<mutant>> lists(static_cast<size_t>(parts));
  const double per_gamete = mutm * map.nmark() + mutq * map.nqloc();
  run_stream_parts_on(nthreads, nhap, parts, per_hap, rng, [&](int k, int64_t a, int64_t b, uint32_t st, int t) {
    std::vector<mutant>& list = lists[static_cast<size_t>(k)];
    list.reserve(static_cast<size_t>(2.0 * per_gamete * static_cast<double>(b - a)) + 16);
    gametes(pop, offspring, plan, static_cast<int32_t>(a), static_cast<int32_t>(b - 1), st, buffers, list,
            bookkeeping ? &buffers.marker_tally[static_cast<size_t>(t)] : nullptr,
            bookkeeping ? &buffers.candidate_tally[static_cast<size_t>(t)] : nullptr, buffers.scratch[static_cast<size_t>(t)]);
  });
  const auto complete = [&](const allele_registry& r, int32_t nloci) {
    return r.carried_valid && r.carried.size() == 2 * static_cast<size_t>(nloci);
  };
  const std::vector<uint64_t>* known[2] = {
      complete(pop.candidate_alleles, map.nqloc()) ? &pop.candidate_alleles.carried : nullptr,
      complete(pop.marker_alleles, map.nmark()) ? &pop.marker_alleles.carried : nullptr};
  for (const std::vector<mutant>& l : lists) number_mutants(pop, buffers, l, known);
  if (bookkeeping) {
    // The sets of the parents are no longer needed: the offspring's replace them.
    gather_sets(buffers.marker_tally, used, buffers.markers, lists, 1, pop.marker_alleles.carried, nthreads);
    gather_sets(buffers.candidate_tally, used, buffers.candidates, lists, 0, pop.candidate_alleles.carried, nthreads);
    for (allele_registry* alle : {&pop.marker_alleles, &pop.candidate_alleles}) {
      qm::bookkeeping(*alle, alle->carried);
      alle->carried_valid = true;
    }
  } else {
    // The carried sets describe the parents, no longer the current generation.
    pop.marker_alleles.carried_valid = pop.candidate_alleles.carried_valid = false;
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
    if (avx2_kernels()) return sets_avx2(geno, l0, l1, sets.data());
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
