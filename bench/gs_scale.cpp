// The genomic-BLUP step of a generation at the size of a commercial
// reference, made by the run's own evaluation (ebv/evaluation.hpp): the
// dosages of the new generation packed by animal, the reference of the last
// K generations gathered with its marker-major copy, SNP-BLUP warm-started
// from the solution of the generation before, and the GEBVs of the new
// generation. One reference size per process, so that the peak memory
// (VmHWM) is that of this size alone.
//
// Genotypes with linkage disequilibrium at little cost: F founder
// haplotypes (allele 1 at marker j with a frequency drawn once per marker,
// uniform on 0.05..0.95); the haplotypes of the first generation are
// mosaics of them with a change of founder every 5 cM on average (the
// recombination of a few tens of historical generations); every later
// generation is bred from the one before by random mating, one crossover per
// Morgan (Poisson) on each of 10 chromosomes of 1 Morgan. Haplotypes are
// kept as lists of founder segments and written into the bit layout of the
// population only for the generation being recorded. Trait: Q QTL among the
// markers with normal effects, scaled so that the true breeding values of
// the first generation have variance h2 = 0.3; phenotype = TBV + N(0, 0.7).
//
// The reference is K generations of REFERENCE / K animals. Generations 1..K
// are recorded and evaluated once with a zero start (cold); generation K + 1
// is then recorded and evaluated warm-started from that solution, as every
// later generation of a run is. Both steps are timed.
//
// With TRAITS = 2 the step is the multi-trait evaluation of a stage that
// selects on an index of genomic EBVs (estimate_traits): a second trait on
// the same QTL, genetic correlation 0.5 (effects b2 = 0.5 b1 + sqrt(0.75) z,
// also scaled to variance h2), residuals uncorrelated; G0 the realised
// covariance of the first generation's TBVs, R0 = 0.7 I.
//
// Usage: qm_gs_scale REFERENCE THREADS [MARKERS [K [TRAITS [FOUNDERS [QTL [SEED]]]]]]
//   defaults: MARKERS 50000, K 3, TRAITS 1, FOUNDERS 300, QTL 300, SEED 1
// Output: the number of traits, then one line per step, tab-separated: step, reference animals,
// markers, threads, record (s), estimate (s), CPU seconds of the estimate
// (all threads), iterations, true relative residual, accuracy (correlation
// of GEBV and TBV of trait 1 of the candidates), then the peak memory of the process
// (MB) on a last line.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "base/messages.hpp"
#include "base/threads.hpp"
#include "config/parameters.hpp"
#include "ebv/evaluation.hpp"
#include "population/pedigree_history.hpp"
#include "population/population.hpp"

namespace {

constexpr int chromosomes = 10;
constexpr double founder_switches_per_morgan = 20.0;

struct segment {
  int32_t start = 0;    // first marker (genome-wide index)
  int32_t founder = 0;  // founder haplotype the markers come from
};
using mosaic = std::vector<segment>;  // segments in order, the first starting at 0

struct genome {
  int32_t markers = 0, per_chromosome = 0, founders = 0;
  std::vector<uint64_t> founder_bits;  // founder f: words_for(markers) words; bit set = allele 2
  size_t words = 0;
  std::vector<int32_t> qtl;
  std::vector<double> qtl_effect;  // per copy of allele 1
  std::vector<double> qtl_effect2;  // of the second trait
  int32_t chromosome_end(int c) const { return c + 1 == chromosomes ? markers : (c + 1) * per_chromosome; }
  bool allele2(int32_t f, int32_t j) const {
    return (founder_bits[static_cast<size_t>(f) * words + static_cast<size_t>(j >> 6)] >> (j & 63)) & 1u;
  }
};

// Appends markers [a, b) of haplotype src to out, joining a segment of the
// same founder as the last one.
void copy_range(const mosaic& src, int32_t a, int32_t b, mosaic& out) {
  auto it = std::upper_bound(src.begin(), src.end(), a, [](int32_t v, const segment& s) { return v < s.start; });
  --it;  // the segment holding a
  for (; it != src.end() && it->start < b; ++it) {
    const int32_t s = std::max(a, it->start);
    if (!out.empty() && out.back().founder == it->founder) continue;
    out.push_back({s, it->founder});
  }
}

mosaic meiosis(const genome& gm, const mosaic& h0, const mosaic& h1, std::mt19937_64& rng) {
  mosaic out;
  std::poisson_distribution<int> crossovers(1.0);
  std::bernoulli_distribution coin(0.5);
  std::vector<int32_t> points;
  for (int c = 0; c < chromosomes; ++c) {
    const int32_t a = c * gm.per_chromosome, e = gm.chromosome_end(c);
    std::uniform_int_distribution<int32_t> where(a + 1, e - 1);
    points.clear();
    for (int k = crossovers(rng); k > 0; --k) points.push_back(where(rng));
    std::sort(points.begin(), points.end());
    points.push_back(e);
    bool second = coin(rng);
    int32_t from = a;
    for (const int32_t p : points) {
      if (p > from) copy_range(second ? h1 : h0, from, p, out);
      from = p;
      second = !second;
    }
  }
  return out;
}

genome make_genome(int32_t markers, int32_t founders, int32_t nqtl, std::mt19937_64& rng) {
  genome gm;
  gm.markers = markers;
  gm.per_chromosome = markers / chromosomes;
  gm.founders = founders;
  gm.words = qm::haplotype_matrix::words_for(markers);
  gm.founder_bits.assign(gm.words * static_cast<size_t>(founders), 0);
  std::uniform_real_distribution<double> freq(0.05, 0.95), u(0.0, 1.0);
  for (int32_t j = 0; j < markers; ++j) {
    const double p1 = freq(rng);  // frequency of allele 1
    for (int32_t f = 0; f < founders; ++f)
      if (u(rng) >= p1) gm.founder_bits[static_cast<size_t>(f) * gm.words + static_cast<size_t>(j >> 6)] |= uint64_t{1} << (j & 63);
  }
  std::vector<int32_t> all(static_cast<size_t>(markers));
  for (int32_t j = 0; j < markers; ++j) all[static_cast<size_t>(j)] = j;
  std::shuffle(all.begin(), all.end(), rng);
  gm.qtl.assign(all.begin(), all.begin() + std::min(nqtl, markers));
  std::sort(gm.qtl.begin(), gm.qtl.end());
  std::normal_distribution<double> effect(0.0, 1.0);
  for (size_t q = 0; q < gm.qtl.size(); ++q) gm.qtl_effect.push_back(effect(rng));
  for (size_t q = 0; q < gm.qtl.size(); ++q)
    gm.qtl_effect2.push_back(0.5 * gm.qtl_effect[q] + std::sqrt(0.75) * effect(rng));
  return gm;
}

// A first-generation haplotype: founders changing every 5 cM on average.
mosaic founder_mosaic(const genome& gm, std::mt19937_64& rng) {
  mosaic out;
  std::uniform_int_distribution<int32_t> pick(0, gm.founders - 1);
  std::exponential_distribution<double> gap(founder_switches_per_morgan);
  for (int c = 0; c < chromosomes; ++c) {
    const int32_t a = c * gm.per_chromosome, e = gm.chromosome_end(c);
    const double markers_per_morgan = static_cast<double>(e - a);
    int32_t at = a;
    while (at < e) {
      out.push_back({at, pick(rng)});
      at += 1 + static_cast<int32_t>(gap(rng) * markers_per_morgan);
    }
  }
  return out;
}

struct generation {
  std::vector<mosaic> hap;  // animal i (0-based): haplotypes 2i, 2i + 1
  std::vector<qm::parent_pair> parents;
};

double true_value(const genome& gm, const std::vector<double>& effect, const mosaic& h0, const mosaic& h1) {
  double v = 0.0;
  for (const mosaic* h : {&h0, &h1}) {
    size_t s = 0;
    for (size_t q = 0; q < gm.qtl.size(); ++q) {
      const int32_t j = gm.qtl[q];
      while (s + 1 < h->size() && (*h)[s + 1].start <= j) ++s;
      if (!gm.allele2((*h)[s].founder, j)) v += effect[q];
    }
  }
  return v;
}

// Writes the haplotypes of g into the bit layout of pop.markers.
void fill_markers(const genome& gm, const generation& g, qm::population& pop, int threads) {
  const int32_t n = static_cast<int32_t>(g.hap.size() / 2);
  pop.nind = n;
  pop.markers.resize_packed(gm.markers, 2 * n, threads);
  qm::run_parallel_ranges(threads, 2 * static_cast<int64_t>(n), [&](int64_t h0, int64_t h1) {
    for (int64_t h = h0; h < h1; ++h) {
      const mosaic& m = g.hap[static_cast<size_t>(h)];
      uint64_t* row = pop.markers.row(static_cast<int32_t>(h));
      for (size_t s = 0; s < m.size(); ++s) {
        const int64_t a = m[s].start, e = s + 1 < m.size() ? m[s + 1].start : gm.markers;
        const uint64_t* src = gm.founder_bits.data() + static_cast<size_t>(m[s].founder) * gm.words;
        for (int64_t w = a >> 6; w <= (e - 1) >> 6; ++w) {
          const int64_t lo = std::max(a, w << 6) - (w << 6), hi = std::min(e, (w + 1) << 6) - (w << 6);
          const uint64_t mask = (hi == 64 ? ~uint64_t{0} : ((uint64_t{1} << hi) - 1)) & ~((uint64_t{1} << lo) - 1);
          row[w] = (row[w] & ~mask) | (src[w] & mask);
        }
      }
    }
  });
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// CPU seconds of all threads of the process: on a machine shared with other
// work the wall time depends on the load, this much less.
double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

long peak_mb() {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) return -1;
  char line[256];
  long kb = -1;
  while (std::fgets(line, sizeof line, f))
    if (std::strncmp(line, "VmHWM:", 6) == 0) kb = std::atol(line + 6);
  std::fclose(f);
  return kb < 0 ? -1 : kb / 1024;
}

double correlation(const std::vector<double>& x, std::span<const double> y) {
  const size_t n = x.size();
  double mx = 0.0, my = 0.0;
  for (size_t i = 0; i < n; ++i) mx += x[i], my += y[i];
  mx /= static_cast<double>(n);
  my /= static_cast<double>(n);
  double sxy = 0.0, sxx = 0.0, syy = 0.0;
  for (size_t i = 0; i < n; ++i) {
    sxy += (x[i] - mx) * (y[i] - my);
    sxx += (x[i] - mx) * (x[i] - mx);
    syy += (y[i] - my) * (y[i] - my);
  }
  return sxy / std::sqrt(sxx * syy);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: qm_gs_scale REFERENCE THREADS [MARKERS [K [TRAITS [FOUNDERS [QTL [SEED]]]]]]\n");
    return 2;
  }
  const int64_t reference = std::atoll(argv[1]);
  const int threads = std::max(1, std::atoi(argv[2]));
  const int32_t markers = argc > 3 ? std::atoi(argv[3]) : 50000;
  const int k = argc > 4 ? std::max(1, std::atoi(argv[4])) : 3;
  const int traits = argc > 5 ? std::clamp(std::atoi(argv[5]), 1, 2) : 1;
  const int32_t founders = argc > 6 ? std::atoi(argv[6]) : 300;
  const int32_t nqtl = argc > 7 ? std::atoi(argv[7]) : 300;
  const uint64_t seed = argc > 8 ? std::strtoull(argv[8], nullptr, 10) : 1;
  const int32_t n = static_cast<int32_t>((reference + k - 1) / k);  // animals per generation
  if (n < 4 || markers < 10 * chromosomes || founders < 2) {
    std::fprintf(stderr, "qm_gs_scale: too small\n");
    return 2;
  }
  static std::FILE* null = std::fopen("/dev/null", "w");
  qm::msg_set_console(null);
  qm::start_threads(threads);

  std::mt19937_64 rng(seed);
  const genome gm = make_genome(markers, founders, nqtl, rng);

  qm::run_parameters p;
  p.gblup_generations = k;
  p.ntrait = traits;
  p.stages.resize(3);
  p.stages[2].readable = true;
  if (traits == 1) {
    p.stages[2].block.seltype = static_cast<int>(qm::selection_criterion::genomic_ebv);
  } else {
    p.stages[2].block.seltype = static_cast<int>(qm::selection_criterion::index);
    p.stages[2].block.index.criterion = qm::selection_criterion::genomic_ebv;
    p.stages[2].block.index.weights.assign(static_cast<size_t>(traits), 1.0);
  }
  qm::ebv_evaluation ebv;
  ebv.plan(p, 0);
  if (!ebv.active()) {
    std::fprintf(stderr, "qm_gs_scale: the evaluation was not planned\n");
    return 1;
  }

  qm::pedigree_history history;
  qm::population pop;
  generation cur;
  cur.hap.resize(2 * static_cast<size_t>(n));
  for (mosaic& h : cur.hap) h = founder_mosaic(gm, rng);
  history.start(n);

  // Effects scaled on the first generation: var(TBV) = h2 for each trait;
  // G0 their realised covariance there.
  const double h2 = 0.3;
  genome scaled = gm;
  std::vector<double> g0(static_cast<size_t>(traits * traits)), r0(g0.size(), 0.0);
  {
    std::vector<double> tbv[2];
    std::vector<double>* eff[2] = {&scaled.qtl_effect, &scaled.qtl_effect2};
    for (int t = 0; t < 2; ++t) {
      tbv[t].resize(static_cast<size_t>(n));
      for (int32_t i = 0; i < n; ++i)
        tbv[t][static_cast<size_t>(i)] = true_value(gm, *eff[t], cur.hap[2 * static_cast<size_t>(i)], cur.hap[2 * static_cast<size_t>(i) + 1]);
      double m = 0.0, v = 0.0;
      for (const double x : tbv[t]) m += x;
      m /= n;
      for (double& x : tbv[t]) x -= m;
      for (const double x : tbv[t]) v += x * x;
      v /= n - 1;
      const double f = std::sqrt(h2 / v);
      for (double& e : *eff[t]) e *= f;
      for (double& x : tbv[t]) x *= f;
    }
    for (int a = 0; a < traits; ++a) {
      r0[static_cast<size_t>(a * traits + a)] = 1.0 - h2;
      for (int b = 0; b < traits; ++b) {
        double c = 0.0;
        for (int32_t i = 0; i < n; ++i) c += tbv[a][static_cast<size_t>(i)] * tbv[b][static_cast<size_t>(i)];
        g0[static_cast<size_t>(a * traits + b)] = c / (n - 1);
      }
    }
  }
  std::normal_distribution<double> residual(0.0, std::sqrt(1.0 - h2));
  std::printf("traits\t%d\n", traits);
  std::printf("step\treference\tmarkers\tthreads\trecord_s\testimate_s\testimate_cpu_s\titerations\ttrue_rel_residual\taccuracy\n");

  for (int gen = 1; gen <= k + 1; ++gen) {
    // Generation gen from the one before (the base is generation 0).
    generation next;
    next.hap.resize(cur.hap.size());
    next.parents.resize(static_cast<size_t>(n));
    std::uniform_int_distribution<int32_t> parent(0, n / 2 - 1);
    for (int32_t i = 0; i < n; ++i) {
      const int32_t s = 2 * parent(rng), d = 2 * parent(rng) + 1;  // sires odd, dams even (numbers from 1)
      next.parents[static_cast<size_t>(i)] = {s + 1, d + 1};
      next.hap[2 * static_cast<size_t>(i)] = meiosis(gm, cur.hap[2 * static_cast<size_t>(s)], cur.hap[2 * static_cast<size_t>(s) + 1], rng);
      next.hap[2 * static_cast<size_t>(i) + 1] = meiosis(gm, cur.hap[2 * static_cast<size_t>(d)], cur.hap[2 * static_cast<size_t>(d) + 1], rng);
    }
    cur = std::move(next);
    history.append(cur.parents);
    fill_markers(gm, cur, pop, threads);
    pop.tbv.resize(static_cast<size_t>(traits) * static_cast<size_t>(n));
    pop.phenotype.resize(pop.tbv.size());
    for (int t = 1; t <= traits; ++t)
      for (int32_t i = 1; i <= n; ++i) {
        const double v = true_value(scaled, t == 1 ? scaled.qtl_effect : scaled.qtl_effect2,
                                    cur.hap[2 * static_cast<size_t>(i) - 2], cur.hap[2 * static_cast<size_t>(i) - 1]);
        pop.tbv_of(i, t) = v;
        pop.phenotype_of(i, t) = v + residual(rng);
      }

    const auto t0 = std::chrono::steady_clock::now();
    ebv.record_generation(pop, history, threads);
    const double record = seconds_since(t0);
    if (gen < k) continue;
    const auto t1 = std::chrono::steady_clock::now();
    const double c1 = cpu_seconds();
    if (traits == 1)
      ebv.estimate(qm::selection_criterion::genomic_ebv, history, h2, threads);
    else
      ebv.estimate_traits(qm::selection_criterion::genomic_ebv, history, g0, r0, threads);
    const double estimate = seconds_since(t1), estimate_cpu = cpu_seconds() - c1;
    const std::span<const double> gebv = traits == 1 ? ebv.scores_for(qm::selection_criterion::genomic_ebv, history.generations() - 1)
                                                     : ebv.current_trait(1);
    const qm::pcg_result& stats = traits == 1 ? ebv.stats() : ebv.traits_stats();
    const std::vector<double> tbv1(pop.tbv.begin(), pop.tbv.begin() + n);
    std::printf("%s\t%lld\t%d\t%d\t%.3f\t%.3f\t%.3f\t%d\t%.3g\t%.4f\n", gen == k ? "cold" : "warm",
                static_cast<long long>(static_cast<int64_t>(n) * k), markers, threads, record, estimate, estimate_cpu,
                stats.iterations, stats.true_rel_residual, correlation(tbv1, gebv));
    std::fflush(stdout);
  }
  std::printf("peak_mb\t%ld\n", peak_mb());
  return 0;
}
