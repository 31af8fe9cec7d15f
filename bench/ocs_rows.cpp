// Optimum contribution selection on its own:
//   OcsSolve/<n>      the optimum contributions of n candidates (half males)
//                     under a binding coancestry limit (real time, one
//                     thread). A is the additive relationship matrix of the
//                     fifth generation of a simulated pedigree (tabular
//                     method, generation by generation: n animals each,
//                     n/10 sires and all females as dams, random matings),
//                     x normal. The limit lies 30 % of the way from the
//                     coancestry of equal contributions to that of
//                     truncation selection (the best male and female).
// Counters: "rounds" (factorisations of a free block), "selected" (the
// candidates with a contribution).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "values/optimum_contributions.hpp"

namespace {

struct ocs_case {
  std::vector<double> x, A;
  std::vector<int8_t> male;
  double limit = 0;
};

ocs_case make_case(int n) {
  std::mt19937_64 g(20261209u + static_cast<uint64_t>(n));
  const auto uniform = [&] { return static_cast<double>(g() >> 11) * 0x1.0p-53; };
  const auto below = [&](int k) { return static_cast<int>(g() % static_cast<uint64_t>(k)); };
  const size_t nn = static_cast<size_t>(n);
  // animals 0 .. n/2-1 of a generation are males
  std::vector<double> A(nn * nn, 0.0), next(nn * nn);
  for (size_t i = 0; i < nn; ++i) A[i * nn + i] = 1.0;
  const int males = n / 2, sires = std::max(1, n / 10);
  for (int gen = 0; gen < 5; ++gen) {
    std::vector<int> sire(nn), dam(nn);
    for (int i = 0; i < n; ++i) {
      sire[i] = below(sires);
      dam[i] = males + below(n - males);
    }
    for (int i = 0; i < n; ++i) {
      for (int j = 0; j < i; ++j) {
        const double v = 0.25 * (A[sire[i] * nn + sire[j]] + A[sire[i] * nn + dam[j]] + A[dam[i] * nn + sire[j]] +
                                 A[dam[i] * nn + dam[j]]);
        next[i * nn + j] = next[j * nn + i] = v;
      }
      next[i * nn + i] = 1.0 + 0.5 * A[sire[i] * nn + dam[i]];
    }
    A.swap(next);
  }
  ocs_case c;
  c.A = std::move(A);
  for (int i = 0; i < n; ++i) {
    const double u1 = 1.0 - uniform(), u2 = uniform();
    c.x.push_back(std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2));
    c.male.push_back(static_cast<int8_t>(i < males ? 1 : 0));
  }
  // coancestry of equal contributions and of the best male and female
  double equal = 0;
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      const double ci = 0.5 / (c.male[i] ? males : n - males), cj = 0.5 / (c.male[j] ? males : n - males);
      equal += ci * c.A[static_cast<size_t>(i) * nn + j] * cj;
    }
  int bm = 0, bf = males;
  for (int i = 0; i < n; ++i) {
    if (c.male[i] && c.x[i] > c.x[bm]) bm = i;
    if (!c.male[i] && c.x[i] > c.x[bf]) bf = i;
  }
  const double best = 0.25 * (c.A[bm * nn + bm] + c.A[bf * nn + bf] + 2 * c.A[bm * nn + bf]);
  c.limit = 0.5 * (equal + 0.3 * (best - equal));
  return c;
}

void OcsSolve(benchmark::State& st) {
  const ocs_case c = make_case(static_cast<int>(st.range(0)));
  const qm::contribution_problem p{c.x, c.A, c.male, {}, c.limit};
  qm::contribution_result r;
  for (auto _ : st) {
    r = qm::optimum_contributions(p);
    benchmark::DoNotOptimize(r.value);
  }
  int selected = 0;
  for (double v : r.c) selected += v > 0;
  st.counters["rounds"] = r.rounds;
  st.counters["selected"] = selected;
  st.counters["binding"] = r.binding;
}

}  // namespace

BENCHMARK(OcsSolve)->Arg(500)->Arg(1000)->Arg(2000)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
