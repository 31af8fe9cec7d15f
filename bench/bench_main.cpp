// Benchmarks of the engine, each next to its baseline in the same run:
//   Stage1Generation/<nind>/<markers per chromosome>
//                     one historical generation (mating, meiosis with
//                     mutation, allele bookkeeping, selection) on 10 chromosomes
//   StreamInt/<n>     the same number of uniforms from a plain serial loop of
//                     the exact integer generator
//   StreamFmod/<n>    the same from the double-precision fmod step
//   GenerationVsStream/<nind>/<nmpc>
//                     a stage-1 generation (one thread) and the serial
//                     integer loop over its uniforms in turn, one of each per
//                     iteration (thread CPU time): medians of both, per
//                     uniform, and of their ratio
//   KernelVsLanes/<nmpc>
//                     the meiosis kernel (the events of 20000 chromosomes),
//                     the same states advanced in the kernel's lanes with
//                     nothing else (its limit), and in eight 32-bit lanes, in
//                     turn (thread CPU time): medians and ratios
//   LargeRunThreads/<nind of stage 1>
//                     bench/large.par (500: as it is; 1000: 1000 animals in
//                     every stage) end to end, the executable with
//                     --threads 2 and 1 in turn, into an empty folder (wall
//                     clock): medians and the median speed-up
//   WriteResults      one generation's three result files
//   WriteBytes        the same bytes with a single fwrite
//   WritePlink        the PLINK fileset of a generation of 1000 animals on
//                     10 chromosomes of 1000 markers (alleles 1 and 2)
//   WriteMtype        the classic result files of the same generation
//                     (the marker haplotype file; the QTL file is empty and
//                     the BV file has 1000 short lines)
//   Getbv3x10000      breeding values and phenotypes, 3 traits, 10000 animals
//   ExampleRun        examples/quickstart.par end to end (the executable)
//   Inbreeding50000   inbreeding coefficients of 10 generations of 5000
//                     animals (random mating), all at once
//   InbreedingAppend5000  the same for the tenth generation appended to nine
//   Ainverse50000     A^-1 of that pedigree
//   AnimalModelCold   animal model on it (45000 records, h2 = 0.3), from zero
//   AnimalModelWarm   the same, started from the solution of nine
//                     generations widened by parent averages
//   PackGenotypes     packing 10000 animals x 10000 markers to 2 bits
//   SnpBlupCold       SNP-BLUP of 10000 reference animals x 10000 markers
//   SnpBlupWarm       the same, started from the solution of the first 9000
//   MultiTraitSnpStep SNP-BLUP of the same 10000 x 10000 with two correlated
//                     traits (every record; trait 2 on every other animal
//                     only) and of trait 1 alone, cold starts, in turn
//                     (wall clock): medians, ratios to the single-trait
//                     solve and the iterations of each
// (the counter "iters" gives the conjugate-gradient iterations of a solve)
//   SummaryGeneration/<nind>/<markers per chromosome>
//                     the summary statistics of one generation (summary.csv
//                     row) of the Stage1Generation population, 100 QTL
//   LdDecay/<nind>/<markers per chromosome>
//                     the LD decay of that generation (once per run)
//   EbvPedigreeStep   the EBV work of one selection generation of 5000
//                     animals with pedigree BLUP: the generation recorded,
//                     the pedigree, inbreeding and A^-1 appended, the
//                     warm-started solve (50,500 animals in the pedigree)
//   EbvGenomicStep    the same with SNP-BLUP: the generation's dosages
//                     packed, 10,000 reference animals (two generations) x
//                     10,000 markers, warm-started, the candidates' GEBVs
//   EbvGenerationRest the rest of such a generation: mating, meiosis of
//                     10 x 1000 markers and 10 x 999 candidate loci,
//                     breeding values and phenotypes, selection
//   EbvGenerationRestFiles  the same with the generation's result files
// bench/run turns the output into a table of ratios.
#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <chrono>
#include <fstream>
#include <toml++/toml.h>
#include <functional>
#include <sstream>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "base/cpu_features.hpp"
#include "base/messages.hpp"
#include "base/output_folder.hpp"
#include "config/stage_plan.hpp"
#include "ebv/ainverse.hpp"
#include "ebv/animal_model.hpp"
#include "ebv/evaluation.hpp"
#include "ebv/genomic.hpp"
#include "ebv/multi_trait_genomic.hpp"
#include "output/classic_files.hpp"
#include "output/plink.hpp"
#include "output/results.hpp"
#include "pedigree/inbreeding.hpp"
#include "population/mating.hpp"
#include "population/meiosis.hpp"
#include "qtl/choose.hpp"
#include "run/driver.hpp"
#include "run/generation.hpp"
#include "run/history_file.hpp"
#include "run/history_state.hpp"
#include "run/run_state.hpp"
#include "stats/summary.hpp"
#include "stats/summary_observer.hpp"
#include "values/breeding_values.hpp"
#include "values/selection.hpp"

namespace {

int bench_threads() {
  const char* t = std::getenv("QM_THREADS");
  return t ? std::atoi(t) : 1;
}

void quiet() {
  static std::FILE* null = std::fopen("/dev/null", "w");
  qm::msg_set_console(null);
}

// A run on 10 chromosomes of nmpc markers: parameters, the state, and the
// steps of one historical generation.
struct bench_run {
  qm::run_parameters p;
  qm::run_state st{p};
  double mut = 0.0;

  const qm::stage_block& b() const { return p.stage1(); }
  void generation() {
    std::vector<qm::parent_pair> o = qm::mate_parents(st.pop, b().matetype, b().nind, st.rng);
    // as a run makes it: the allele bookkeeping gathered during the copy
    qm::make_offspring(st.pop, std::move(o), {st.map, mut, mut}, st.buffers, st.rng, p.threads, true);
    qm::select_parents(st.pop, b().criterion(), b().nsire, b().ndam, st.rng);
  }
};

// A historical population of nind animals on 10 chromosomes of nmpc markers,
// after a few generations with mutation.
void historical(bench_run& r, int nind, int nmpc, double mut, int warmup) {
  quiet();
  qm::run_parameters& p = r.p;
  p.ntrait = 1;
  p.h2 = {0.3f};
  p.nmpc = nmpc;
  p.nchr = 10;
  p.maptype = 0;
  p.chrlen = 1.0f;
  p.mutm = p.mutq = mut;
  p.nstage = 1;
  p.seed = 12345;
  p.stages.assign(2, qm::stage_entry{});
  p.stages[1].readable = true;
  qm::stage_block& b = p.stages[1].block;
  b.nind = nind;
  b.nsire = nind / 4;
  b.ndam = nind / 2;
  b.ngen = warmup;
  b.matetype = 2;
  b.seltype = 0;
  p.threads = bench_threads();
  r.mut = mut;
  qm::start_population(r.st, qm::observer_list{});
  for (int g = 0; g < warmup; ++g) r.generation();
}

int64_t uniforms_per_generation(int nind, int nmpc) {
  return static_cast<int64_t>(2) * nind * 10 * (3 + 4 * (nmpc - 1));
}

void Stage1Generation(benchmark::State& st) {
  const int nind = static_cast<int>(st.range(0)), nmpc = static_cast<int>(st.range(1));
  bench_run r;
  historical(r, nind, nmpc, 1e-4, 3);
  for (auto _ : st) r.generation();
}

// The parts of a generation on their own.
void Meiosis(benchmark::State& st) {
  bench_run r;
  historical(r, static_cast<int>(st.range(0)), static_cast<int>(st.range(1)), 1e-4, 3);
  qm::population& pop = r.st.pop;
  for (auto _ : st) {
    st.PauseTiming();
    qm::allele_bookkeeping(pop, r.p.threads);
    std::vector<qm::parent_pair> o = qm::mate_parents(pop, r.b().matetype, r.b().nind, r.st.rng);
    st.ResumeTiming();
    qm::make_offspring(pop, std::move(o), {r.st.map, r.mut, r.mut}, r.st.buffers, r.st.rng, r.p.threads);
  }
}

void Bookkeeping(benchmark::State& st) {
  bench_run r;
  historical(r, static_cast<int>(st.range(0)), static_cast<int>(st.range(1)), 1e-4, 3);
  for (auto _ : st) {
    qm::allele_bookkeeping(r.st.pop, r.p.threads);
  }
}

void StreamInt(benchmark::State& st) {
  const int64_t n = uniforms_per_generation(static_cast<int>(st.range(0)), static_cast<int>(st.range(1)));
  uint32_t s = 12345;
  for (auto _ : st) {
    float sum = 0.0f;
    for (int64_t i = 0; i < n; ++i) {
      s = qm::next_state(s);
      sum += qm::uniform_of_state(s);
    }
    benchmark::DoNotOptimize(sum);
  }
}

// -- ratios measured in turn
double thread_seconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

double wall_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double median(std::vector<double> v) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

// Runs the steps one after the other in every iteration and reports the
// median time of each (ms; its name as the counter) and the median of each
// one's ratio to the last, the baseline (counter "ratio" for the first, as
// the first over the last; "ratio2" for the second). With items, also the
// median time of each per item (ns, name "_ns"). before() runs ahead of
// every step, untimed.
void in_turn(benchmark::State& st, const std::vector<std::pair<std::string, std::function<void()>>>& steps,
             double (*clock)(), double items = 0.0, const std::function<void()>& before = [] {}) {
  const size_t n = steps.size();
  std::vector<std::vector<double>> t(n), ratio(n);
  for (auto _ : st) {
    std::vector<double> took(n);
    for (size_t k = 0; k < n; ++k) {
      before();
      const double a = clock();
      steps[k].second();
      took[k] = clock() - a;
      t[k].push_back(took[k]);
    }
    for (size_t k = 0; k + 1 < n; ++k) ratio[k].push_back(took[k] / took[n - 1]);
  }
  for (size_t k = 0; k < n; ++k) {
    st.counters[steps[k].first] = 1e3 * median(t[k]);
    if (items > 0) st.counters[steps[k].first + "_ns"] = 1e9 * median(t[k]) / items;
    if (k + 1 < n) st.counters[k == 0 ? "ratio" : "ratio" + std::to_string(k + 1)] = median(ratio[k]);
  }
}

float serial_stream(int64_t n, uint32_t& s) {
  float sum = 0.0f;
  for (int64_t i = 0; i < n; ++i) {
    s = qm::next_state(s);
    sum += qm::uniform_of_state(s);
  }
  return sum;
}

void GenerationVsStream(benchmark::State& st) {
  const int nind = static_cast<int>(st.range(0)), nmpc = static_cast<int>(st.range(1));
  const int64_t n = uniforms_per_generation(nind, nmpc);
  bench_run r;
  historical(r, nind, nmpc, 1e-4, 3);
  r.p.threads = 1;
  uint32_t s = 12345;
  in_turn(st,
          {{"generation", [&] { r.generation(); }},
           {"stream", [&] { benchmark::DoNotOptimize(serial_stream(n, s)); }}},
          thread_seconds, static_cast<double>(n));
}

#if defined(__x86_64__)
// The kernel's lanes with nothing but the arithmetic: 16 blocks of a
// chromosome side by side in four registers, x * 16807 and one fold per lane
// and step, plan.steps steps.
__attribute__((target("avx2"))) uint32_t lanes_alone(const qm::meiosis_plan& plan, uint32_t st) {
  const __m256i c = _mm256_set1_epi64x(qm::rmult), m = _mm256_set1_epi64x(qm::rmod);
  __m256i r0 = _mm256_set1_epi64x(st), r1 = _mm256_set1_epi64x(st ^ 1), r2 = _mm256_set1_epi64x(st ^ 2),
          r3 = _mm256_set1_epi64x(st ^ 3);
  const auto step = [&](__m256i x) __attribute__((target("avx2"))) {
    const __m256i p = _mm256_mul_epu32(x, c);
    return _mm256_add_epi64(_mm256_and_si256(p, m), _mm256_srli_epi64(p, 31));
  };
  for (int k = 0; k < plan.steps; ++k) {
    r0 = step(r0);
    r1 = step(r1);
    r2 = step(r2);
    r3 = step(r3);
  }
  const __m256i x = _mm256_xor_si256(_mm256_xor_si256(r0, r1), _mm256_xor_si256(r2, r3));
  return static_cast<uint32_t>(_mm256_extract_epi32(x, 0) ^ _mm256_extract_epi32(x, 6));
}

// Eight 31-bit states in the 32-bit lanes of a register, sixteen per step in
// two registers, each lane 16 positions ahead: the even and odd lanes
// multiplied by 16807^16 apart (32 x 32 -> 64 bits), folded modulo
// 2^31 - 1 and put back together.
__attribute__((target("avx2"))) uint32_t eight_lanes_alone(int u, uint32_t st) {
  static const uint32_t c16 = qm::jump_multiplier(16);
  const __m256i c = _mm256_set1_epi64x(c16), m = _mm256_set1_epi32(static_cast<int>(qm::rmod));
  const auto step = [&](__m256i x) __attribute__((target("avx2"))) {
    const __m256i pe = _mm256_mul_epu32(x, c), po = _mm256_mul_epu32(_mm256_srli_epi64(x, 32), c);
    const __m256i lo = _mm256_blend_epi32(pe, _mm256_slli_epi64(po, 32), 0xAA);
    const __m256i hi = _mm256_blend_epi32(_mm256_srli_epi64(pe, 31), _mm256_slli_epi64(po, 1), 0xAA);
    const __m256i r = _mm256_add_epi32(_mm256_and_si256(lo, m), hi);
    return _mm256_min_epu32(r, _mm256_sub_epi32(r, m));
  };
  __m256i x0 = _mm256_set1_epi32(static_cast<int>(st)), x1 = _mm256_set1_epi32(static_cast<int>(st ^ 1));
  for (int i = 0; i < u; i += 16) {
    x0 = step(x0);
    x1 = step(x1);
  }
  const __m256i x = _mm256_xor_si256(x0, x1);
  return static_cast<uint32_t>(_mm256_extract_epi32(x, 0) ^ _mm256_extract_epi32(x, 5));
}
#endif

void KernelVsLanes(benchmark::State& st) {
#if defined(__x86_64__)
  if (!qm::cpu_has_avx2()) return st.SkipWithError("no AVX2");
  const int nmpc = static_cast<int>(st.range(0)), chromosomes = 20000;
  qm::genome_map map;
  map.nchr = 10;
  map.nmpc = nmpc;
  map.recomb_left.assign(static_cast<size_t>(10 * (nmpc - 1)), 0.5 / nmpc);
  map.recomb_right = map.recomb_left;
  qm::meiosis_plan plan;
  qm::build_plan(map, 1e-4, 1e-4, plan);
  qm::event_list ev;
  ev.fit(plan);
  uint32_t s = 12345, sum = 0;
  // ratio: kernel / lanes alone; ratio2: eight 32-bit lanes / lanes alone
  in_turn(st,
          {{"kernel",
            [&] {
              for (int k = 0; k < chromosomes; ++k, s = qm::mulmod31(s, plan.jump_u)) {
                qm::find_events(plan, k % 10, s, ev);
                sum += static_cast<uint32_t>(ev.count);
              }
            }},
           {"eight_lanes",
            [&] {
              for (int k = 0; k < chromosomes; ++k) sum += eight_lanes_alone(plan.u, s + static_cast<uint32_t>(k));
            }},
           {"lanes",
            [&] {
              for (int k = 0; k < chromosomes; ++k) sum += lanes_alone(plan, s + static_cast<uint32_t>(k));
            }}},
          thread_seconds, static_cast<double>(chromosomes) * plan.u);
  benchmark::DoNotOptimize(sum);
#else
  st.SkipWithError("x86-64 only");
#endif
}

// bench/large.par, or the same with 1000 animals in stage 1 too.
std::string large_par(int nind1) {
  std::ifstream in(QM_BENCH_DIR "/large.par");
  std::stringstream text;
  text << in.rdbuf();
  std::string s = text.str();
  if (nind1 != 500) {
    const std::string from = "100 200 500 60", to = "100 200 " + std::to_string(nind1) + " 60";
    const size_t at = s.find(from);
    if (at == std::string::npos) std::abort();
    s.replace(at, from.size(), to);
  }
  return s;
}

void LargeRunThreads(benchmark::State& st) {
  char dir[] = "/tmp/qmlarge.XXXXXX";
  if (!mkdtemp(dir)) std::abort();
  const std::string out = std::string(dir) + "/out", par = std::string(dir) + "/large.par";
  std::ofstream(par) << large_par(static_cast<int>(st.range(0)));
  const auto run = [&](int threads) {
    const std::string cmd = std::string(QM_BINARY) + " --threads " + std::to_string(threads) + " --outdir " + out +
                            " " + par + " > /dev/null";
    if (std::system(cmd.c_str()) != 0) st.SkipWithError("bench/large.par failed");
  };
  // every run writes into an empty folder, emptied before the clock starts
  const auto empty = [&] {
    if (std::system(("rm -rf " + out).c_str()) != 0) st.SkipWithError("cannot empty the output folder");
  };
  in_turn(st, {{"two", [&] { run(2); }}, {"one", [&] { run(1); }}}, wall_seconds, 0.0, empty);
  empty();
  std::remove(par.c_str());
  rmdir(dir);
}
// -- end ratios measured in turn

void StreamFmod(benchmark::State& st) {
  const int64_t n = uniforms_per_generation(static_cast<int>(st.range(0)), static_cast<int>(st.range(1)));
  int32_t s = 12345;
  for (auto _ : st) {
    float sum = 0.0f;
    for (int64_t i = 0; i < n; ++i) {
      s = static_cast<int32_t>(std::fmod(static_cast<double>(s) * 16807.0, 2147483647.0));
      sum += static_cast<float>(s) * 4.656613e-10f;
    }
    benchmark::DoNotOptimize(sum);
  }
}

// A stage-2 like generation with QTL and breeding values, for the writers.
void with_values(bench_run& r, int nind, int nmpc, int ntrait) {
  historical(r, nind, nmpc, 0.4 / (2.0 * nind), 30);
  r.mut = 0.0;  // mutation off, as after the recoding generation
  std::vector<qm::parent_pair> o = qm::mate_parents(r.st.pop, r.b().matetype, r.b().nind, r.st.rng);
  qm::make_offspring(r.st.pop, std::move(o), {r.st.map, 0.0, 0.0}, r.st.buffers, r.st.rng, r.p.threads);
  qm::run_parameters& p = r.p;
  p.ntrait = ntrait;
  p.h2.assign(ntrait, 0.3f);
  p.rgen.assign(ntrait * (ntrait - 1) / 2, 0.0f);
  p.rerr.assign(ntrait * (ntrait - 1) / 2, 0.1f);
  p.qtlrule = 0;
  p.nqtl = 100;
  p.qtlp1 = p.qtlp2 = 1.0f;
  p.uncommon_QTL = 0;
  char dir[] = "/tmp/qmbench.XXXXXX";
  if (!mkdtemp(dir) || chdir(dir) != 0) std::abort();
  // The effect check for uncorrelated traits may take a few draws.
  r.st.architecture = qm::choose_qtl(p, r.st.pop, r.st.rng);
  qm::compute_values(p, *r.st.architecture, r.st.pop, r.st.rng);
  qm::select_parents(r.st.pop, qm::selection_criterion::random, r.b().nsire, r.b().ndam, r.st.rng);
}

void WriteResults(benchmark::State& st) {
  bench_run r;
  with_values(r, 2000, 1001, 1);
  for (auto _ : st) qm::write_generation_files(qm::output_folder{}, r.p, r.st.pop, *r.st.architecture, 1);
}

void WriteBytes(benchmark::State& st) {
  // The bytes of the three files of WriteResults, written with one fwrite each.
  std::string all;
  for (const char* n : {"01MTYPE.out", "01QTYPE.out", "01BV.out"}) {
    std::FILE* f = std::fopen(n, "rb");
    if (!f) {
      st.SkipWithError("run WriteResults first");
      return;
    }
    char buf[1 << 16];
    size_t k;
    while ((k = std::fread(buf, 1, sizeof buf, f)) > 0) all.append(buf, k);
    std::fclose(f);
  }
  for (auto _ : st) {
    std::FILE* f = std::fopen("bytes.out", "wb");
    std::fwrite(all.data(), 1, all.size(), f);
    std::fclose(f);
  }
}

// A generation of nind animals on 10 chromosomes of nmpc markers with random
// alleles 1 and 2, no QTL; the working directory becomes a fresh folder.
struct random_generation {
  qm::run_parameters p;
  qm::population pop;
  qm::trait_architecture a;
  random_generation(int nind, int nmpc) {
    quiet();
    p.nchr = 10;
    p.nmpc = nmpc;
    p.ntrait = 1;
    p.threads = bench_threads();
    pop.nind = nind;
    pop.markers.resize(p.markers(), 2 * nind);
    pop.candidates.resize(1, 2 * nind);
    pop.candidates.fill(1);
    a.ntrait = 1;
    std::mt19937_64 rng(7);
    for (size_t k = 0; k < pop.markers.size(); ++k) pop.markers.data()[k] = static_cast<int8_t>(1 + (rng() >> 63));
    pop.parents.resize(static_cast<size_t>(nind));
    pop.tbv.resize(static_cast<size_t>(nind));
    pop.phenotype.resize(static_cast<size_t>(nind));
    for (int i = 1; i <= nind; ++i) {
      pop.parents[static_cast<size_t>(i - 1)] = {2 * (i % 50) + 1, 2 * (i % 100) + 2};
      pop.tbv_of(i, 1) = 0.001 * i;
      pop.phenotype_of(i, 1) = -0.002 * i;
    }
    char dir[] = "/tmp/qmbench.XXXXXX";
    if (!mkdtemp(dir) || chdir(dir) != 0) std::abort();
  }
};

// Each generation of a run writes files of new names: the files of the
// previous iteration go first (outside the timing), so that neither writer
// pays for replacing a file.
void remove_files(std::initializer_list<const char*> names) {
  for (const char* n : names) std::remove(n);
}

void WriteMtype(benchmark::State& st) {
  random_generation r(1000, 1000);
  for (auto _ : st) {
    st.PauseTiming();
    remove_files({"01MTYPE.out", "01QTYPE.out", "01BV.out"});
    st.ResumeTiming();
    qm::write_generation_files(qm::output_folder{}, r.p, r.pop, r.a, 1);
  }
  remove_files({"01MTYPE.out", "01QTYPE.out", "01BV.out"});
}

void WritePlink(benchmark::State& st) {
  random_generation r(1000, 1000);
  const qm::population& pop = r.pop;
  std::vector<const int8_t*> cols;
  for (int h = 0; h < pop.haplotypes(); ++h) cols.push_back(pop.markers.column(h));
  qm::genotype_view g;
  g.nanimals = pop.nind;
  g.nloci = g.nvariants = pop.markers.loci();
  g.haplotype = cols.data();
  std::vector<qm::variant_info> variants(static_cast<size_t>(g.nloci));
  for (int l = 0; l < g.nloci; ++l) {
    qm::variant_info& v = variants[static_cast<size_t>(l)];
    v.chromosome = 1 + l / r.p.nmpc;
    v.name = "chr" + std::to_string(v.chromosome) + "-" + std::to_string(1 + l % r.p.nmpc);
    v.cm = 0.1 * (l % r.p.nmpc);
    v.bp = 1 + 100000 * static_cast<int64_t>(l % r.p.nmpc);
  }
  qm::animal_list animals;
  for (int i = 1; i <= pop.nind; ++i) {
    qm::animal_info a;
    a.id = std::to_string(10000 + i);
    a.sire = std::to_string(pop.parents[static_cast<size_t>(i - 1)].sire);
    a.dam = std::to_string(pop.parents[static_cast<size_t>(i - 1)].dam);
    a.sex = (i & 1) ? 1 : 2;
    a.phenotype = pop.phenotype_of(i, 1);
    animals.animals.push_back(a);
  }
  for (auto _ : st) {
    st.PauseTiming();
    remove_files({"gen.bed", "gen.bim", "gen.fam"});
    st.ResumeTiming();
    qm::write_plink("gen", g, variants, animals, r.p.threads);
  }
  remove_files({"gen.bed", "gen.bim", "gen.fam"});
}

void Getbv3x10000(benchmark::State& st) {
  bench_run r;
  with_values(r, 10000, 101, 3);
  for (auto _ : st) qm::compute_values(r.p, *r.st.architecture, r.st.pop, r.st.rng);
}

void ExampleRun(benchmark::State& st) {
  char dir[] = "/tmp/qmexample.XXXXXX";
  if (!mkdtemp(dir)) std::abort();
  const std::string cmd = std::string("cd ") + dir + " && " + QM_BINARY + " --threads " +
                          std::to_string(bench_threads()) + " " + QM_EXAMPLES + "/quickstart.par > /dev/null";
  for (auto _ : st)
    if (std::system(cmd.c_str()) != 0) st.SkipWithError("example run failed");
}

// Breeding-value models. A pedigree of ngen generations of nper animals,
// parents drawn at random from the previous generation (first half sires,
// second half dams); every animal after the base has one record, h2 = 0.3.
struct pedigree_data {
  std::vector<int32_t> sire, dam, rec_animal;
  std::vector<double> f, y;
};

const pedigree_data& pedigree_50000() {
  static const pedigree_data d = [] {
    const int ngen = 10, nper = 5000;
    pedigree_data p;
    std::mt19937_64 rng(2024);
    std::normal_distribution<double> nd;
    std::vector<double> a;
    for (int g = 0; g < ngen; ++g)
      for (int i = 0; i < nper; ++i) {
        const int first = (g - 1) * nper + 1;
        const int s = g == 0 ? 0 : first + static_cast<int>(rng() % (nper / 2));
        const int m = g == 0 ? 0 : first + nper / 2 + static_cast<int>(rng() % (nper / 2));
        p.sire.push_back(s);
        p.dam.push_back(m);
        const double pa = g == 0 ? 0.0 : 0.5 * (a[static_cast<size_t>(s) - 1] + a[static_cast<size_t>(m) - 1]);
        a.push_back(pa + std::sqrt(g == 0 ? 0.3 : 0.15) * nd(rng));
        if (g > 0) {
          p.rec_animal.push_back(static_cast<int32_t>(a.size()));
          p.y.push_back(a.back() + std::sqrt(0.7) * nd(rng));
        }
      }
    p.f = qm::inbreeding(p.sire, p.dam);
    return p;
  }();
  return d;
}

void Inbreeding50000(benchmark::State& st) {
  const pedigree_data& p = pedigree_50000();
  for (auto _ : st) benchmark::DoNotOptimize(qm::inbreeding(p.sire, p.dam));
}

void InbreedingAppend5000(benchmark::State& st) {
  const pedigree_data& p = pedigree_50000();
  for (auto _ : st) {
    std::vector<double> f(p.f.begin(), p.f.begin() + 45000);
    qm::inbreeding_append(p.sire, p.dam, f);
    benchmark::DoNotOptimize(f);
  }
}

void Ainverse50000(benchmark::State& st) {
  const pedigree_data& p = pedigree_50000();
  for (auto _ : st) benchmark::DoNotOptimize(qm::ainverse(p.sire, p.dam, p.f));
}

void animal_model(benchmark::State& st, bool warm) {
  const pedigree_data& p = pedigree_50000();
  const qm::sym_csr ai = qm::ainverse(p.sire, p.dam, p.f);
  const double lambda = qm::lambda_from_h2(0.3);
  qm::pcg_options opt;
  opt.threads = bench_threads();
  std::vector<double> start;
  if (warm) {
    const std::span<const int32_t> s9(p.sire.data(), 45000), d9(p.dam.data(), 45000);
    const qm::sym_csr ai9 = qm::ainverse(s9, d9, p.f);
    const size_t nrec9 = p.rec_animal.size() - 5000;
    const qm::animal_records r9{std::span<const int32_t>(p.rec_animal.data(), nrec9),
                                std::span<const double>(p.y.data(), nrec9), {}, 1};
    const qm::animal_model_solution prev = qm::solve_animal_model(ai9, lambda, r9, {}, opt);
    start = qm::extend_start(prev.x, 1, p.sire, p.dam);
  }
  const qm::animal_records rec{p.rec_animal, p.y, {}, 1};
  int iters = 0;
  for (auto _ : st) {
    const qm::animal_model_solution s = qm::solve_animal_model(ai, lambda, rec, start, opt);
    iters = s.stats.iterations;
    if (!s.stats.converged) st.SkipWithError("not converged");
  }
  st.counters["iters"] = iters;
}

void AnimalModelCold(benchmark::State& st) { animal_model(st, false); }
void AnimalModelWarm(benchmark::State& st) { animal_model(st, true); }

// 10000 animals x 10000 markers with linkage disequilibrium: each haplotype
// copies its allele at the previous marker with probability 0.9, else draws
// it from the marker's frequency; 200 causal markers, h2 = 0.3.
struct genotype_data {
  int64_t n = 10000, m = 10000;
  std::vector<uint8_t> x;
  std::vector<double> y;
};

const genotype_data& genotypes_10000() {
  static const genotype_data d = [] {
    genotype_data g;
    std::mt19937_64 rng(77);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::normal_distribution<double> nd;
    std::vector<double> p(static_cast<size_t>(g.m)), eff(static_cast<size_t>(g.m), 0.0);
    for (auto& v : p) v = 0.05 + 0.9 * u(rng);
    for (int q = 0; q < 200; ++q) eff[rng() % static_cast<uint64_t>(g.m)] = nd(rng);
    g.x.resize(static_cast<size_t>(g.n * g.m));
    std::vector<double> bv(static_cast<size_t>(g.n));
    for (int64_t i = 0; i < g.n; ++i) {
      uint8_t* row = g.x.data() + i * g.m;
      for (int h = 0; h < 2; ++h) {
        int allele = 0;
        for (int64_t j = 0; j < g.m; ++j) {
          if (j == 0 || u(rng) >= 0.9) allele = u(rng) < p[static_cast<size_t>(j)];
          row[j] = static_cast<uint8_t>(row[j] + allele);
        }
      }
      double s = 0.0;
      for (int64_t j = 0; j < g.m; ++j) s += row[j] * eff[static_cast<size_t>(j)];
      bv[static_cast<size_t>(i)] = s;
    }
    double mean = 0.0, var = 0.0;
    for (const double v : bv) mean += v;
    mean /= static_cast<double>(g.n);
    for (const double v : bv) var += (v - mean) * (v - mean);
    var /= static_cast<double>(g.n);
    for (int64_t i = 0; i < g.n; ++i)
      g.y.push_back((bv[static_cast<size_t>(i)] - mean) / std::sqrt(var) + std::sqrt(0.7 / 0.3) * nd(rng));
    return g;
  }();
  return d;
}

void PackGenotypes(benchmark::State& st) {
  const genotype_data& g = genotypes_10000();
  for (auto _ : st) benchmark::DoNotOptimize(qm::pack_genotypes(g.x.data(), g.n, g.m));
}

void snp_blup(benchmark::State& st, bool warm) {
  const genotype_data& g = genotypes_10000();
  const qm::packed_genotypes ref = qm::pack_genotypes(g.x.data(), g.n, g.m);
  qm::pcg_options opt;
  opt.threads = bench_threads();
  std::vector<double> start;
  if (warm) {
    const qm::packed_genotypes ref9 = qm::pack_genotypes(g.x.data(), 9000, g.m);
    const qm::snp_blup_solution prev = qm::snp_blup(ref9, std::span<const double>(g.y.data(), 9000), 0.3, {}, opt);
    start.push_back(prev.mu);
    start.insert(start.end(), prev.effects.begin(), prev.effects.end());
  }
  int iters = 0;
  for (auto _ : st) {
    const qm::snp_blup_solution s = qm::snp_blup(ref, g.y, 0.3, start, opt);
    iters = s.stats.iterations;
    if (!s.stats.converged) st.SkipWithError("not converged");
  }
  st.counters["iters"] = iters;
}

// Trait 2: half of trait 1's standardised genetic value, its own noise.
void MultiTraitSnpStep(benchmark::State& st) {
  const genotype_data& g = genotypes_10000();
  const qm::packed_genotypes ref = qm::pack_genotypes(g.x.data(), g.n, g.m);
  const std::vector<double> centre = qm::centre_2p(ref);
  std::mt19937_64 rng(78);
  std::normal_distribution<double> nd;
  std::vector<double> both(static_cast<size_t>(2 * g.n)), half(both.size());
  for (int64_t i = 0; i < g.n; ++i) {
    const double y1 = g.y[static_cast<size_t>(i)];
    both[static_cast<size_t>(2 * i)] = half[static_cast<size_t>(2 * i)] = y1;
    both[static_cast<size_t>(2 * i + 1)] = 0.5 * y1 + 1.2 * nd(rng);
    half[static_cast<size_t>(2 * i + 1)] = i % 2 ? std::numeric_limits<double>::quiet_NaN() : both[static_cast<size_t>(2 * i + 1)];
  }
  const std::vector<double> g0 = {1.0, 0.5, 0.5, 0.6}, r0 = {7.0 / 3.0, 0.6, 0.6, 1.6};
  qm::pcg_options opt;
  opt.threads = bench_threads();
  opt.max_iter = qm::ebv_max_iterations;
  int it_both = 0, it_half = 0, it_one = 0;
  in_turn(st,
          {{"two_traits", [&] { it_both = qm::multi_trait_snp_blup(ref, both, 2, centre, g0, r0, {}, opt).stats.iterations; }},
           {"two_traits_half", [&] { it_half = qm::multi_trait_snp_blup(ref, half, 2, centre, g0, r0, {}, opt).stats.iterations; }},
           {"one_trait", [&] { it_one = qm::snp_blup_solve(ref, g.y, centre, qm::snp_lambda(0.3, centre), {}, opt).stats.iterations; }}},
          wall_seconds);
  st.counters["iters_two"] = it_both;
  st.counters["iters_half"] = it_half;
  st.counters["iters_one"] = it_one;
}

void SnpBlupCold(benchmark::State& st) { snp_blup(st, false); }
void SnpBlupWarm(benchmark::State& st) { snp_blup(st, true); }

}  // namespace

// -- summary statistics
// The statistics see the state through a plain view, as the generation loop
// hands it to them.
struct summary_fixture {
  std::vector<int32_t> qtl;
  std::vector<double> eff, values;
  qm::marker_map map;
  qm::summary_input view(const qm::population& pop) const {
    qm::summary_input g;
    g.stage = 3;
    g.nanimals = pop.nind;
    g.ntrait = 1;
    g.markers = {pop.markers.data(), pop.markers.loci(), static_cast<size_t>(pop.markers.loci())};
    g.candidates = {pop.candidates.data(), pop.candidates.loci(), static_cast<size_t>(pop.candidates.loci())};
    g.qtl_locus = qtl;
    g.qtl_effect = {eff.data(), qtl.size()};
    g.tbv = {values.data(), values.size()};
    g.phe = {values.data(), values.size()};
    return g;
  }
  explicit summary_fixture(const bench_run& r) {
    const int32_t nqloc = r.st.map.nqloc();
    for (int q = 0; q < 100; ++q) qtl.push_back(q * (nqloc / 100));
    eff.assign(qtl.size(), 0.1);
    values.assign(static_cast<size_t>(r.st.pop.nind), 0.5);
    map = qm::even_map(r.p.nchr, r.p.nmpc, r.p.chrlen);
  }
};

void SummaryGeneration(benchmark::State& st) {
  bench_run r;
  historical(r, static_cast<int>(st.range(0)), static_cast<int>(st.range(1)), 1e-4, 3);
  const summary_fixture in(r);
  qm::summary_engine e;
  e.capture_base(in.view(r.st.pop), r.p.threads);
  qm::summary_row row;
  for (auto _ : st) {
    e.compute(in.view(r.st.pop), in.map, row, r.p.threads);
    benchmark::DoNotOptimize(row.f_genomic);
  }
}

void LdDecay(benchmark::State& st) {
  bench_run r;
  historical(r, static_cast<int>(st.range(0)), static_cast<int>(st.range(1)), 1e-4, 3);
  const summary_fixture in(r);
  qm::summary_engine e;
  for (auto _ : st) {
    const qm::ld_decay d = e.decay(in.view(r.st.pop), in.map, {}, r.p.threads);
    benchmark::DoNotOptimize(d.mean_r2.data());
  }
}
// The large benchmark (bench/large.par) in process, with the classic result
// files only, and with the summary statistics and report as well: their
// ratio is the cost of summary.csv and report.html in a whole run.
void large_run(benchmark::State& st, bool with_summary) {
  quiet();
  char dir[] = "/tmp/qmlarge.XXXXXX";
  if (!mkdtemp(dir)) std::abort();
  const qm::output_folder folder(dir);
  for (auto _ : st) {
    qm::observer_list obs;
    qm::register_classic_files(obs, folder);
    if (with_summary) obs.add(qm::make_summary_observer(folder, false));
    qm::run_parameters p;
    p.parafile = QM_BENCH_DIR "/large.par";
    p.threads = bench_threads();
    qm::quillmere(p, obs);
  }
  std::system((std::string("rm -rf ") + dir).c_str());
}
// The results of the scheme (gains, response, accuracy, selection
// differentials and intensities, parents used, rates of inbreeding and Ne,
// the QTL followed for the report) in the six generations with values of
// bench/large.par: the process CPU time of those generations (from one
// generation's observers to the next's) with the summary observer as it was
// before them and with them, one run after the other in every iteration, at
// one thread. ratio: with / without.
void LargeSchemeResults(benchmark::State& st) {
  quiet();
  char dir[] = "/tmp/qmlarge.XXXXXX";
  if (!mkdtemp(dir)) std::abort();
  const qm::output_folder folder(dir);
  struct values_clock : qm::generation_observer {
    double last = 0.0, seconds = 0.0;
    void on_generation(const qm::generation_view& v) override {
      timespec t;
      clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
      const double now = static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
      if (v.step.stage >= 2) seconds += now - last;
      last = now;
    }
  };
  std::vector<double> with, without, ratio;
  for (auto _ : st) {
    double took[2];
    for (int k = 0; k < 2; ++k) {
      qm::observer_list obs;
      qm::register_classic_files(obs, folder);
      obs.add(qm::make_summary_observer(folder, false, false, k == 0));
      auto clock = std::make_unique<values_clock>();
      values_clock* c = clock.get();
      obs.add(std::move(clock));
      qm::run_parameters p;
      p.parafile = QM_BENCH_DIR "/large.par";
      p.threads = 1;
      qm::quillmere(p, obs);
      took[k] = c->seconds;
    }
    with.push_back(took[0]);
    without.push_back(took[1]);
    ratio.push_back(took[0] / took[1]);
  }
  st.counters["with_ms"] = 1e3 * median(with) / 6;
  st.counters["without_ms"] = 1e3 * median(without) / 6;
  st.counters["ratio"] = median(ratio);
  std::system((std::string("rm -rf ") + dir).c_str());
}
// Reading a scheme file against reading the classic file of the same run
// (examples/quickstart), both from text in memory, in turn: the ratio is
// scheme / classic, ratio2 the TOML parse alone / classic.
void ReadSchemeVsClassic(benchmark::State& st) {
  quiet();
  const std::string dir = QM_BENCH_DIR "/../examples/quickstart";
  const auto text = [](const std::string& f) {
    std::ifstream in(f, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  };
  const std::string toml = text(dir + ".toml"), par = text(dir + ".par");
  const auto read = [](const std::string& name, const std::string& t) {
    qm::run_parameters p;
    p.parafile = name;
    qm::read_parameter_text(p, t);
    benchmark::DoNotOptimize(p.stages.data());
  };
  // The TOML parse alone (toml++), the part of the scheme's reading that is the library's.
  const auto parse_only = [&] { benchmark::DoNotOptimize(toml::parse(toml, std::string_view("quickstart.toml")).size()); };
  in_turn(st,
          {{"scheme", [&] { read("quickstart.toml", toml); }},
           {"toml_parse", parse_only},
           {"classic", [&] { read("quickstart.par", par); }}},
          wall_seconds);
}
void LargeRunClassic(benchmark::State& st) { large_run(st, false); }
void LargeRunWithSummary(benchmark::State& st) { large_run(st, true); }
// -- end summary statistics

// -- selection on estimated breeding values
// One run, shared by the benchmarks below: stage 1 of 500 animals for 100
// generations (a realistic spectrum of allele frequencies), then stage 2 and
// eight generations of stage 3 of 5000 animals selected on pedigree BLUP,
// 10 chromosomes of 1000 markers. The pedigree of the evaluation starts
// with the last stage-1 generation, so the tenth generation with values
// brings it to 500 + 10 x 5000 animals. Beside the run's own (pedigree)
// evaluation, a second one keeps what genomic BLUP with two reference
// generations needs and solves the ninth generation. Both are kept as they
// were before the tenth generation; the step benchmarks repeat the EBV work
// of that generation from there, the rest benchmarks breed further
// generations (they run after them).
struct ebv_fixture {
  qm::run_parameters p;
  qm::run_state st{p};
  qm::ebv_evaluation pedigree_before, genomic_before;
  qm::stage_block rest_block;
  qm::generation_step rest_step;
  bool rest_started = false;

  ebv_fixture() {
    quiet();
    char dir[] = "/tmp/qmbench.XXXXXX";
    if (!mkdtemp(dir) || chdir(dir) != 0) std::abort();
    p.parafile = "ebv.par";
    const std::string par =
        "EBV benchmark\n1 0 0.2 0\n\n\n\n\nh2\n0.3\nmarkers\n1000 10 0\nrates\n1.0 5.0e-4 5.0e-4\n"
        "qtl\n0 500 1.0 1.0\nstages\n3 0 4242\n"
        "stage 1\n50 250 500 100\nstage 1\n0 2 0\n"
        "stage 2\n250 1000 5000 1\nstage 2\n0 2 3\n"
        "stage 3\n250 1000 5000 8\nstage 3\n0 2 3\n";
    qm::read_parameter_text(p, par);
    p.threads = bench_threads();
    qm::run_parameters pg = p;  // the same run selecting on SNP-BLUP
    pg.stages[2].block.seltype = pg.stages[3].block.seltype = 4;
    pg.gblup_generations = 2;
    qm::ebv_evaluation genomic;
    genomic.plan(pg);
    qm::start_population(st, qm::observer_list{});
    const qm::stage_plan plan(p);
    for (int s = 1; s <= 3; ++s) {
      const qm::stage_block& b = s == 1 ? p.stage1()
                                        : qm::enter_stage(p, s, static_cast<int32_t>(st.pop.sires.size()),
                                                          static_cast<int32_t>(st.pop.dams.size()));
      plan.stage(s).for_each_generation([&](const qm::generation_step& g) {
        qm::run_generation(st, b, g, qm::observer_list{});
        if (s >= 2) genomic.record_generation(st.pop, st.history, p.threads);
      });
    }
    // The genomic solve of the ninth generation: the start of the next one.
    genomic.estimate(qm::selection_criterion::genomic_ebv, st.history, p.h2[0], p.threads);
    pedigree_before = st.ebv;
    genomic_before = std::move(genomic);
    // The tenth generation, selected on phenotypes: its values are final.
    rest_block = p.stages[3].block;
    rest_block.seltype = 2;
    const qm::planned_stage rest(3, rest_block, plan.stage(3).last().number);
    rest_step = rest.step(rest.segments().front(), 0);
    qm::run_generation(st, rest_block, rest_step, qm::observer_list{});
  }
};

ebv_fixture& ebv_run() {
  static ebv_fixture f;
  return f;
}

void ebv_step(benchmark::State& st, qm::selection_criterion c) {
  ebv_fixture& f = ebv_run();
  if (f.rest_started) {
    st.SkipWithError("run the EBV steps before the rest of the generation");
    return;
  }
  const qm::ebv_evaluation& before = c == qm::selection_criterion::pedigree_ebv ? f.pedigree_before : f.genomic_before;
  int iters = 0;
  int64_t animals = 0;
  for (auto _ : st) {
    st.PauseTiming();
    qm::ebv_evaluation e = before;
    st.ResumeTiming();
    e.record_generation(f.st.pop, f.st.history, f.p.threads);
    e.estimate(c, f.st.history, f.p.h2[0], f.p.threads);
    iters = e.stats().iterations;
    animals = c == qm::selection_criterion::pedigree_ebv ? e.pedigree_animals() : e.genotyped_generations() * 5000;
    if (!e.stats().converged) st.SkipWithError("not converged");
  }
  st.counters["iters"] = iters;
  st.counters["animals"] = static_cast<double>(animals);
}

void EbvPedigreeStep(benchmark::State& st) { ebv_step(st, qm::selection_criterion::pedigree_ebv); }
void EbvGenomicStep(benchmark::State& st) { ebv_step(st, qm::selection_criterion::genomic_ebv); }

// The rest of the generation: everything run_generation does without the
// EBV work (nothing recorded), with or without the three result files of
// the generation that every generation from stage 2 on writes.
void ebv_rest(benchmark::State& st, bool files) {
  ebv_fixture& f = ebv_run();
  f.rest_started = true;
  f.st.ebv = qm::ebv_evaluation{};
  qm::observer_list obs;
  if (files) qm::register_classic_files(obs, qm::output_folder{});
  for (auto _ : st) qm::run_generation(f.st, f.rest_block, f.rest_step, obs);
}

void EbvGenerationRest(benchmark::State& st) { ebv_rest(st, false); }
void EbvGenerationRestFiles(benchmark::State& st) { ebv_rest(st, true); }
// -- end selection on estimated breeding values

BENCHMARK(Stage1Generation)->Args({1000, 1000})->Args({2000, 2000})->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(Meiosis)->Args({1000, 1000})->Args({2000, 2000})->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(Bookkeeping)->Args({1000, 1000})->Args({2000, 2000})->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(StreamInt)->Args({1000, 1000})->Args({2000, 2000})->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(StreamFmod)->Args({1000, 1000})->Args({2000, 2000})->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(WriteResults)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(WriteBytes)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(WriteMtype)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(WritePlink)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(Getbv3x10000)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(ExampleRun)->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(Inbreeding50000)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(InbreedingAppend5000)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(Ainverse50000)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(AnimalModelCold)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(AnimalModelWarm)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(PackGenotypes)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(SnpBlupCold)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(SnpBlupWarm)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(MultiTraitSnpStep)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(SummaryGeneration)->Args({1000, 1000})->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(LdDecay)->Args({1000, 1000})->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(LargeRunClassic)->Unit(benchmark::kMillisecond)->MinTime(5.0);
BENCHMARK(LargeRunWithSummary)->Unit(benchmark::kMillisecond)->MinTime(5.0);
BENCHMARK(LargeSchemeResults)->Unit(benchmark::kMillisecond)->Iterations(21);
BENCHMARK(ReadSchemeVsClassic)->Unit(benchmark::kMicrosecond)->Iterations(2001);
BENCHMARK(EbvPedigreeStep)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(EbvGenomicStep)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(EbvGenerationRest)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(EbvGenerationRestFiles)->Unit(benchmark::kMillisecond)->MinTime(2.0);
// -- history file: starting at stage 2 from a saved history of bench/large.par
// (read, checksum, records checked, state unpacked) against making stage 1
// again (the base generation and the 61 generations of stage 1); and the
// bytes of that history made and read in memory.
struct large_stage1 {
  qm::run_parameters p;
  std::string file;
  large_stage1() {
    quiet();
    p.parafile = QM_BENCH_DIR "/large.par";
    qm::read_parameters(p);
    p.threads = bench_threads();
    file = "/tmp/qmhistory." + std::to_string(getpid()) + ".qmh";
  }
  ~large_stage1() { std::remove(file.c_str()); }
  void stage1(qm::run_state& st) const {
    qm::start_population(st, qm::observer_list{});
    qm::planned_stage(1, p.stage1(), 0).for_each_generation(
        [&](const qm::generation_step& g) { qm::run_generation(st, p.stage1(), g, qm::observer_list{}); });
  }
};
large_stage1& large_history() {
  static large_stage1 h;
  return h;
}
void HistoryStage1(benchmark::State& st) {
  const large_stage1& h = large_history();
  for (auto _ : st) {
    qm::run_state s(h.p);
    h.stage1(s);
    benchmark::DoNotOptimize(s.rng.state);
  }
}
void HistoryResume(benchmark::State& st) {
  const large_stage1& h = large_history();
  {
    qm::run_state s(h.p);
    h.stage1(s);
    qm::save_history(s, h.file, qm::history_extras{});
  }
  for (auto _ : st) {
    qm::run_state s(h.p);
    qm::saved_history saved = qm::read_history_file(h.file);
    qm::check_history_fits(h.p, saved, qm::observer_list{});
    qm::resume_from_history(s, saved, qm::observer_list{});
    benchmark::DoNotOptimize(s.rng.state);
  }
  std::FILE* f = std::fopen(h.file.c_str(), "rb");
  std::fseek(f, 0, SEEK_END);
  st.counters["file_bytes"] = static_cast<double>(std::ftell(f));
  std::fclose(f);
}
// The bytes of the history alone, in memory: made from the state after
// stage 1 (HistoryEncode) and read back into a state (HistoryDecode,
// checksum included), without the disk.
struct large_saved_state {
  qm::run_state s;
  std::vector<qm::stage1_record> records;
  qm::history_extras extras;
  std::string bytes;
  explicit large_saved_state(const large_stage1& h) : s(h.p), records(qm::stage1_records(h.p)) {
    h.stage1(s);
    bytes = qm::encode_history(source());
  }
  qm::history_source source() const {
    return {s.params.parafile, 0, records, s.rng, s.mutation_on, s.map, s.pop, s.history, extras};
  }
};
const large_saved_state& large_saved() {
  static const large_saved_state s(large_history());
  return s;
}
void HistoryEncode(benchmark::State& st) {
  const large_saved_state& h = large_saved();
  const qm::history_source src = h.source();
  for (auto _ : st) {
    const std::string b = qm::encode_history(src);
    benchmark::DoNotOptimize(b.data());
  }
  st.counters["file_bytes"] = static_cast<double>(h.bytes.size());
}
void HistoryDecode(benchmark::State& st) {
  const large_saved_state& h = large_saved();
  for (auto _ : st) {
    qm::saved_history saved = qm::decode_history(h.bytes, "large.qmh");
    benchmark::DoNotOptimize(saved.rng.state);
  }
}
BENCHMARK(HistoryStage1)->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(HistoryResume)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(HistoryEncode)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(HistoryDecode)->Unit(benchmark::kMillisecond)->MinTime(1.0);
// -- end history file

// -- ratios measured in turn
BENCHMARK(GenerationVsStream)->Args({1000, 500})->Args({1000, 2500})->Args({4000, 1000})->Unit(benchmark::kMillisecond)->Iterations(9);
BENCHMARK(KernelVsLanes)->Arg(500)->Arg(2500)->Arg(1000)->Unit(benchmark::kMillisecond)->Iterations(9);
BENCHMARK(LargeRunThreads)->Arg(500)->Arg(1000)->Unit(benchmark::kMillisecond)->Iterations(11);
// -- end ratios measured in turn
BENCHMARK_MAIN();
