// Mate allocation (src/population/mate_allocation), one thread:
//   MateAllocation/<sires>/<dams>/<matings>
//                     the exact minimum-coancestry allocation, costs uniform
//                     in 0..0.25, every pair allowed; the matings spread as
//                     evenly as they go (1000 over 1000 x 1000: one each)
//   MateAllocationForbidden/<sires>/<dams>/<matings>
//                     the same with one pair in ten not allowed
//   MateAllocationTied/<sires>/<dams>/<matings>
//                     costs that are multiples of 1/32 (as coancestries in a
//                     shallow pedigree): many equal costs
//   MateAllocationRandom/<sires>/<dams>/<matings>
//                     the random mode: S*D uniforms, then the same solve
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "population/mate_allocation.hpp"
#include "random/stream.hpp"

namespace {

struct mating_case {
  std::vector<int32_t> a, b;
  std::vector<double> cost;
  std::vector<uint8_t> allowed;
  mating_case(int32_t ns, int32_t nd, int32_t m, bool forbid, bool tied) {
    a.assign(static_cast<size_t>(ns), m / ns);
    for (int32_t i = 0; i < m % ns; ++i) ++a[static_cast<size_t>(i)];
    b.assign(static_cast<size_t>(nd), m / nd);
    for (int32_t j = 0; j < m % nd; ++j) ++b[static_cast<size_t>(j)];
    qm::random_stream rng;
    qm::start_stream(rng, 1234567);
    cost.resize(static_cast<size_t>(ns) * nd);
    for (double& c : cost) {
      const double u = qm::next_uniform(rng);
      c = tied ? static_cast<double>(static_cast<int>(9.0 * u)) / 32.0 : 0.25 * u;
    }
    if (forbid) {
      allowed.resize(cost.size());
      for (uint8_t& x : allowed) x = qm::next_uniform(rng) < 0.1 ? 0 : 1;
    }
  }
  qm::mating_problem view() const { return {a, b, cost, allowed}; }
};

void run_rows(benchmark::State& st, bool forbid, bool random_mode, bool tied = false) {
  const mating_case c(static_cast<int32_t>(st.range(0)), static_cast<int32_t>(st.range(1)),
                      static_cast<int32_t>(st.range(2)), forbid, tied);
  qm::random_stream rng;
  qm::start_stream(rng, 42);
  double total = 0;
  for (auto _ : st) {
    const qm::mating_allocation r = random_mode ? qm::allocate_matings_at_random(c.view(), rng) : qm::allocate_matings(c.view());
    if (!r.complete) st.SkipWithError("no allowed allocation");
    total = r.total_cost;
    benchmark::DoNotOptimize(r.matings.data());
  }
  st.counters["cost_per_mating"] = total / static_cast<double>(st.range(2));
}

void MateAllocation(benchmark::State& st) { run_rows(st, false, false); }
void MateAllocationForbidden(benchmark::State& st) { run_rows(st, true, false); }
void MateAllocationTied(benchmark::State& st) { run_rows(st, false, false, true); }
void MateAllocationRandom(benchmark::State& st) { run_rows(st, false, true); }

// The three shapes at M = 1000, then each shape at 250, 500 and 2000.
void mating_shapes(benchmark::internal::Benchmark* b) {
  for (int64_t m : {1000, 250, 500, 2000}) {
    b->Args({m, m, m});
    b->Args({m / 20, m, m});
    b->Args({m / 10, m / 10, m});
  }
}

}  // namespace

BENCHMARK(MateAllocation)->Apply(mating_shapes)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(MateAllocationForbidden)->Args({1000, 1000, 1000})->Args({50, 1000, 1000})->Args({100, 100, 1000})
    ->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(MateAllocationTied)->Args({1000, 1000, 1000})->Args({50, 1000, 1000})->Args({100, 100, 1000})
    ->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(MateAllocationRandom)->Args({1000, 1000, 1000})->Args({50, 1000, 1000})->Args({100, 100, 1000})
    ->Unit(benchmark::kMillisecond)->MinTime(1.0);
