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
//   SummaryGeneration/<nind>/<markers per chromosome>
//                     the summary statistics of one generation (summary.csv
//                     row) of the Stage1Generation population, 100 QTL
//   LdDecay/<nind>/<markers per chromosome>
//                     the LD decay of that generation (once per run)
// bench/run turns the output into a table of ratios.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "output/results.hpp"
#include "population/base.hpp"
#include "population/mating.hpp"
#include "population/meiosis.hpp"
#include "qtl/getqtl.hpp"
#include "run/messages.hpp"
#include "run/state.hpp"
#include "stats/summary.hpp"
#include "values/breeding.hpp"
#include "values/select.hpp"

namespace {

int bench_threads() {
  const char* t = std::getenv("QM_THREADS");
  return t ? std::atoi(t) : 1;
}

void quiet() {
  static std::FILE* null = std::fopen("/dev/null", "w");
  qm::msg_set_console(null);
}

// A historical population of nind animals on 10 chromosomes of nmpc markers,
// after a few generations with mutation.
void historical(qm::popstate& p, int nind, int nmpc, double mut, int warmup) {
  quiet();
  p.ntrait = 1;
  p.h2.alloc(1);
  p.h2(1) = 0.3f;
  p.nmpc = nmpc;
  p.nchr = 10;
  p.maptype = 0;
  p.chrlen = 1.0f;
  p.mutm = p.mutq = mut;
  p.nind = nind;
  p.nsire = nind / 4;
  p.ndam = nind / 2;
  p.matetype = 2;
  p.seltype = 0;
  p.threads = bench_threads();
  qm::startseed(p.rng, 12345);
  qm::alloc_state(p);
  qm::base_set(p);
  for (int g = 0; g < warmup; ++g) {
    qm::rand_mate(p, p.matetype, p.nind);
    qm::genotype(p);
    qm::allele_bookkeeping(p);
    qm::select(p, p.seltype, p.nsire, p.ndam);
  }
}

int64_t uniforms_per_generation(int nind, int nmpc) {
  return static_cast<int64_t>(2) * nind * 10 * (3 + 4 * (nmpc - 1));
}

void Stage1Generation(benchmark::State& st) {
  const int nind = static_cast<int>(st.range(0)), nmpc = static_cast<int>(st.range(1));
  qm::popstate p;
  historical(p, nind, nmpc, 1e-4, 3);
  for (auto _ : st) {
    qm::rand_mate(p, p.matetype, p.nind);
    qm::genotype(p);
    qm::allele_bookkeeping(p);
    qm::select(p, p.seltype, p.nsire, p.ndam);
  }
}

// The parts of a generation on their own.
void Meiosis(benchmark::State& st) {
  qm::popstate p;
  historical(p, static_cast<int>(st.range(0)), static_cast<int>(st.range(1)), 1e-4, 3);
  for (auto _ : st) {
    st.PauseTiming();
    qm::allele_bookkeeping(p);
    qm::rand_mate(p, p.matetype, p.nind);
    st.ResumeTiming();
    qm::genotype(p);
  }
}

void Bookkeeping(benchmark::State& st) {
  qm::popstate p;
  historical(p, static_cast<int>(st.range(0)), static_cast<int>(st.range(1)), 1e-4, 3);
  for (auto _ : st) {
    qm::allele_bookkeeping(p);
  }
}

void StreamInt(benchmark::State& st) {
  const int64_t n = uniforms_per_generation(static_cast<int>(st.range(0)), static_cast<int>(st.range(1)));
  uint32_t s = 12345;
  for (auto _ : st) {
    float sum = 0.0f;
    for (int64_t i = 0; i < n; ++i) {
      s = qm::rstep(s);
      sum += qm::ustate(s);
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
void with_values(qm::popstate& p, int nind, int nmpc, int ntrait) {
  historical(p, nind, nmpc, 0.4 / (2.0 * nind), 30);
  p.nomut = 1;
  qm::rand_mate(p, p.matetype, p.nind);
  qm::genotype(p);
  p.ntrait = ntrait;
  p.h2.alloc(ntrait);
  p.rgen.alloc(ntrait * (ntrait - 1) / 2);
  p.rerr.alloc(ntrait * (ntrait - 1) / 2);
  for (int t = 1; t <= ntrait; ++t) p.h2(t) = 0.3f;
  for (int k = 1; k <= p.rgen.size(); ++k) p.rgen(k) = 0.0f, p.rerr(k) = 0.1f;
  p.qtlrule = 0;
  p.nqtl = 100;
  p.qtlp1 = p.qtlp2 = 1.0f;
  p.uncommon_QTL = 0;
  char dir[] = "/tmp/qmbench.XXXXXX";
  if (!mkdtemp(dir) || chdir(dir) != 0) std::abort();
  // The effect check for uncorrelated traits may take a few draws.
  qm::getqtl(p);
  qm::getbv(p);
  qm::select(p, 0, p.nsire, p.ndam);
}

void WriteResults(benchmark::State& st) {
  qm::popstate p;
  with_values(p, 2000, 1001, 1);
  for (auto _ : st) qm::output(p, 1);
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
  qm::popstate p;
  with_values(p, 10000, 101, 3);
  for (auto _ : st) qm::getbv(p);
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

// -- summary statistics
// The statistics see the state through a plain view, as the generation loop
// hands it to them.
struct summary_input {
  std::vector<int32_t> qtl;
  std::vector<double> eff, values;
  qm::marker_map map;
  qm::generation_view view(const qm::popstate& p) const {
    qm::generation_view g;
    g.stage = 3;
    g.nanimals = p.nind;
    g.ntrait = 1;
    g.markers = {p.mtype.data(), p.nmark, static_cast<size_t>(p.mtype.n1)};
    g.candidates = {p.qtype.data(), p.nqloc, static_cast<size_t>(p.qtype.n1)};
    g.qtl_locus = qtl;
    g.qtl_effect = {eff.data(), qtl.size()};
    g.tbv = {values.data(), values.size()};
    g.phe = {values.data(), values.size()};
    return g;
  }
  explicit summary_input(const qm::popstate& p) {
    for (int q = 0; q < 100; ++q) qtl.push_back(q * (p.nqloc / 100));
    eff.assign(qtl.size(), 0.1);
    values.assign(static_cast<size_t>(p.nind), 0.5);
    map = qm::even_map(p.nchr, p.nmpc, p.chrlen);
  }
};

void SummaryGeneration(benchmark::State& st) {
  qm::popstate p;
  historical(p, static_cast<int>(st.range(0)), static_cast<int>(st.range(1)), 1e-4, 3);
  const summary_input in(p);
  qm::summary_engine e;
  e.capture_base(in.view(p), p.threads);
  qm::summary_row r;
  for (auto _ : st) {
    e.compute(in.view(p), in.map, r, p.threads);
    benchmark::DoNotOptimize(r.f_genomic);
  }
}

void LdDecay(benchmark::State& st) {
  qm::popstate p;
  historical(p, static_cast<int>(st.range(0)), static_cast<int>(st.range(1)), 1e-4, 3);
  const summary_input in(p);
  qm::summary_engine e;
  for (auto _ : st) {
    const qm::ld_decay d = e.decay(in.view(p), in.map, {}, p.threads);
    benchmark::DoNotOptimize(d.mean_r2.data());
  }
}
// -- end summary statistics

BENCHMARK(Stage1Generation)->Args({1000, 1000})->Args({2000, 2000})->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(Meiosis)->Args({1000, 1000})->Args({2000, 2000})->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(Bookkeeping)->Args({1000, 1000})->Args({2000, 2000})->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(StreamInt)->Args({1000, 1000})->Args({2000, 2000})->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(StreamFmod)->Args({1000, 1000})->Args({2000, 2000})->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(WriteResults)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(WriteBytes)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(Getbv3x10000)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(ExampleRun)->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(SummaryGeneration)->Args({1000, 1000})->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(LdDecay)->Args({1000, 1000})->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK_MAIN();
