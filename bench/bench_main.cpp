// Benchmarks of the engine, each next to its baseline in the same run:
//   Stage1Generation/<nind>/<markers per chromosome>
//                     one historical generation (mating, meiosis with
//                     mutation, allele bookkeeping, selection) on 10 chromosomes
//   StreamInt/<n>     the same number of uniforms from a plain serial loop of
//                     the exact integer generator
//   StreamFmod/<n>    the same from the double-precision fmod step
//   WriteResults      one generation's three result files
//   WriteBytes        the same bytes with a single fwrite
//   WritePlink        the PLINK fileset of a generation of 1000 animals on
//                     10 chromosomes of 1000 markers (alleles 1 and 2)
//   WriteMtype        the classic result files of the same generation
//                     (the marker haplotype file; the QTL file is empty and
//                     the BV file has 1000 short lines)
//   Getbv3x10000      breeding values and phenotypes, 3 traits, 10000 animals
//   ExampleRun        examples/quickstart.par end to end (the executable)
// bench/run turns the output into a table of ratios.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "output/plink.hpp"
#include "output/results.hpp"
#include "population/base.hpp"
#include "population/mating.hpp"
#include "population/meiosis.hpp"
#include "qtl/getqtl.hpp"
#include "run/messages.hpp"
#include "run/state.hpp"
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

// A generation of nind animals on 10 chromosomes of nmpc markers with random
// alleles 1 and 2, no QTL; the working directory becomes a fresh folder.
void random_generation(qm::popstate& p, int nind, int nmpc) {
  quiet();
  p.nind = nind;
  p.nhap = 2 * nind;
  p.nchr = 10;
  p.nmpc = nmpc;
  p.nmark = 10 * nmpc;
  p.ntrait = 1;
  p.threads = bench_threads();
  p.mtype.alloc(p.nmark, p.nhap);
  p.qtype.alloc(1, p.nhap);
  p.tqtl = 0;
  std::mt19937_64 rng(7);
  for (size_t k = 0; k < p.mtype.count(); ++k) p.mtype.data()[k] = static_cast<int8_t>(1 + (rng() >> 63));
  p.ped.alloc(3, nind);
  p.bv.alloc(nind, 2, 1);
  for (int i = 1; i <= nind; ++i) {
    p.ped(1, i) = i;
    p.ped(2, i) = 2 * (i % 50) + 1;
    p.ped(3, i) = 2 * (i % 100) + 2;
    p.bv(i, 1, 1) = 0.001 * i;
    p.bv(i, 2, 1) = -0.002 * i;
  }
  char dir[] = "/tmp/qmbench.XXXXXX";
  if (!mkdtemp(dir) || chdir(dir) != 0) std::abort();
}

// Each generation of a run writes files of new names: the files of the
// previous iteration go first (outside the timing), so that neither writer
// pays for replacing a file.
void remove_files(std::initializer_list<const char*> names) {
  for (const char* n : names) std::remove(n);
}

void WriteMtype(benchmark::State& st) {
  qm::popstate p;
  random_generation(p, 1000, 1000);
  for (auto _ : st) {
    st.PauseTiming();
    remove_files({"01MTYPE.out", "01QTYPE.out", "01BV.out"});
    st.ResumeTiming();
    qm::output(p, 1);
  }
  remove_files({"01MTYPE.out", "01QTYPE.out", "01BV.out"});
}

void WritePlink(benchmark::State& st) {
  qm::popstate p;
  random_generation(p, 1000, 1000);
  std::vector<const int8_t*> cols;
  for (int h = 1; h <= p.nhap; ++h) cols.push_back(p.mtype.col(h));
  qm::genotype_view g;
  g.nanimals = p.nind;
  g.nloci = g.nvariants = p.nmark;
  g.haplotype = cols.data();
  std::vector<qm::variant_info> variants(static_cast<size_t>(p.nmark));
  for (int l = 0; l < p.nmark; ++l) {
    qm::variant_info& v = variants[static_cast<size_t>(l)];
    v.chromosome = 1 + l / p.nmpc;
    v.name = "chr" + std::to_string(v.chromosome) + "-" + std::to_string(1 + l % p.nmpc);
    v.cm = 0.1 * (l % p.nmpc);
    v.bp = 1 + 100000 * static_cast<int64_t>(l % p.nmpc);
  }
  qm::animal_list animals;
  for (int i = 1; i <= p.nind; ++i) {
    qm::animal_info a;
    a.id = std::to_string(10000 + i);
    a.sire = std::to_string(p.ped(2, i));
    a.dam = std::to_string(p.ped(3, i));
    a.sex = (i & 1) ? 1 : 2;
    a.phenotype = p.bv(i, 2, 1);
    animals.animals.push_back(a);
  }
  for (auto _ : st) {
    st.PauseTiming();
    remove_files({"gen.bed", "gen.bim", "gen.fam"});
    st.ResumeTiming();
    qm::write_plink("gen", g, variants, animals, p.threads);
  }
  remove_files({"gen.bed", "gen.bim", "gen.fam"});
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
BENCHMARK_MAIN();
