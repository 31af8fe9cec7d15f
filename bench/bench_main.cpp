// Benchmarks of the engine, each next to its baseline in the same run:
//   Stage1Generation/<nind>/<markers per chromosome>
//                     one historical generation (mating, meiosis with
//                     mutation, allele bookkeeping, selection) on 10 chromosomes
//   StreamInt/<n>     the same number of uniforms from a plain serial loop of
//                     the exact integer generator
//   StreamFmod/<n>    the same from the double-precision fmod step
//   WriteResults      one generation's three result files
//   WriteBytes        the same bytes with a single fwrite
//   Getbv3x10000      breeding values and phenotypes, 3 traits, 10000 animals
//   ExampleRun        examples/quickstart.par end to end (the executable)
// bench/run turns the output into a table of ratios.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "output/results.hpp"
#include "population/mating.hpp"
#include "population/meiosis.hpp"
#include "qtl/choose.hpp"
#include "run/generation.hpp"
#include "run/messages.hpp"
#include "run/run_state.hpp"
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
    qm::make_offspring(st.pop, std::move(o), st.map, mut, mut, st.buffers, st.rng, p.threads);
    qm::allele_bookkeeping(st.pop, p.threads);
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
    qm::make_offspring(pop, std::move(o), r.st.map, r.mut, r.mut, r.st.buffers, r.st.rng, r.p.threads);
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
  qm::make_offspring(r.st.pop, std::move(o), r.st.map, 0.0, 0.0, r.st.buffers, r.st.rng, r.p.threads);
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
  for (auto _ : st) qm::write_generation_files(r.p, r.st.pop, *r.st.architecture, 1);
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

}  // namespace

BENCHMARK(Stage1Generation)->Args({1000, 1000})->Args({2000, 2000})->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(Meiosis)->Args({1000, 1000})->Args({2000, 2000})->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(Bookkeeping)->Args({1000, 1000})->Args({2000, 2000})->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(StreamInt)->Args({1000, 1000})->Args({2000, 2000})->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(StreamFmod)->Args({1000, 1000})->Args({2000, 2000})->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(WriteResults)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(WriteBytes)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(Getbv3x10000)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(ExampleRun)->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK_MAIN();
