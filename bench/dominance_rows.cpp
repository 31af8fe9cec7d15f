// Breeding values with dominance (src/values/dominance) against the
// additive values, one thread:
//   DominanceValues/<animals>/<qtl>
//                     the value step (compute_values: breeding values and
//                     phenotypes of one trait) of a generation of <animals>
//                     animals whose 10 x 1000 candidate loci are packed to
//                     bits, <qtl> of them QTL (allele frequencies uniform in
//                     0.05..0.95), without and with dominance effects, in
//                     turn in every iteration (thread CPU time): medians of
//                     both (counters "additive" and "dominance", ms) and of
//                     their ratio ("ratio", dominance over additive).
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "config/parameters.hpp"
#include "population/population.hpp"
#include "qtl/architecture.hpp"
#include "random/stream.hpp"
#include "values/breeding_values.hpp"

namespace {

double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

double middle(std::vector<double> v) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

void DominanceValues(benchmark::State& st) {
  const int32_t nind = static_cast<int32_t>(st.range(0)), nq = static_cast<int32_t>(st.range(1));
  constexpr int32_t nloci = 10 * 1000;
  std::mt19937_64 g(20260611u);
  const auto uniform = [&] { return static_cast<double>(g() >> 11) * 0x1.0p-53; };

  qm::run_parameters p;
  p.ntrait = 1;
  p.h2 = {0.3f};
  p.threads = 1;
  qm::population pop;
  pop.nind = nind;
  pop.candidates.resize_packed(nloci, 2 * nind);
  std::vector<double> freq(static_cast<size_t>(nloci));
  for (double& f : freq) f = 0.05 + 0.9 * uniform();
  const size_t words = pop.candidates.words();
  for (int32_t h = 0; h < 2 * nind; ++h) {
    uint64_t* row = pop.candidates.row(h);
    std::fill(row, row + words, 0);
    for (int32_t l = 0; l < nloci; ++l)
      if (uniform() < freq[static_cast<size_t>(l)]) row[l >> 6] |= uint64_t{1} << (l & 63);
  }
  qm::trait_architecture additive;
  additive.ntrait = 1;
  std::vector<int32_t> loci(static_cast<size_t>(nloci));
  for (int32_t l = 0; l < nloci; ++l) loci[static_cast<size_t>(l)] = l + 1;
  std::shuffle(loci.begin(), loci.end(), g);
  additive.qtl_locus.assign(loci.begin(), loci.begin() + nq);
  for (int32_t q = 0; q < nq; ++q) additive.effects.push_back(0.1 * (uniform() - 0.5));
  qm::trait_architecture dominant = additive;
  for (int32_t q = 0; q < nq; ++q) dominant.dominance.push_back((0.3 + 0.2 * (uniform() - 0.5)) * std::fabs(additive.effects[static_cast<size_t>(q)]));

  qm::random_stream rng;
  qm::start_stream(rng, 987654321);
  std::vector<double> ta, td, ratio;
  for (auto _ : st) {
    double t0 = cpu_seconds();
    qm::compute_values(p, additive, pop, rng);
    const double a = cpu_seconds() - t0;
    benchmark::DoNotOptimize(pop.tbv.data());
    t0 = cpu_seconds();
    qm::compute_values(p, dominant, pop, rng);
    const double d = cpu_seconds() - t0;
    benchmark::DoNotOptimize(pop.tbv.data());
    ta.push_back(a);
    td.push_back(d);
    ratio.push_back(d / a);
  }
  st.counters["additive"] = 1e3 * middle(ta);
  st.counters["dominance"] = 1e3 * middle(td);
  st.counters["ratio"] = middle(ratio);
}

}  // namespace

BENCHMARK(DominanceValues)->Args({20000, 1000})->Unit(benchmark::kMillisecond)->Iterations(15);
