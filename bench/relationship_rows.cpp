// Relationships among candidate parents:
//   Relationships/2000      one advance of a living set of 2000 animals to
//                           the next (1000 kept, 1000 born of parents drawn
//                           from the living set), after two such
//                           generations; the copy of the state before each
//                           advance is not timed
//   GenomicRelationships/<animals>x<loci>[/threads:<t>]
//                           G (VanRaden, method 1) of that many animals on
//                           every second locus of 2 x loci loci (a chip
//                           mask that keeps half of each word), one and
//                           two threads (wall clock)
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "population/haplotype_bits.hpp"
#include "population/relationships.hpp"

namespace {

struct living_case {
  qm::pedigree_history history;
  qm::living_relationships before;
  std::vector<int64_t> kept, born;
};

// Founders 1..n, then generations of n/2 kept and n/2 born; the last is left
// for the benchmark to add.
living_case make_living_case(int64_t n, int generations) {
  std::mt19937_64 g(17);
  std::vector<qm::pedigree_record> records;
  std::vector<int64_t> first{1};
  std::vector<int64_t> living;
  for (int64_t i = 1; i <= n; ++i) {
    records.push_back({0, 0, 0, static_cast<int32_t>(i), static_cast<int8_t>(1 + i % 2)});
    living.push_back(i);
  }
  std::vector<std::vector<int64_t>> kept, born;
  for (int gen = 1; gen <= generations; ++gen) {
    std::shuffle(living.begin(), living.end(), g);
    kept.emplace_back(living.begin(), living.begin() + n / 2);
    born.emplace_back();
    first.push_back(static_cast<int64_t>(records.size()) + 1);
    for (int64_t i = 1; i <= n - n / 2; ++i) {
      records.push_back({living[g() % living.size()], living[g() % living.size()], gen, static_cast<int32_t>(i),
                         static_cast<int8_t>(1 + i % 2)});
      born.back().push_back(static_cast<int64_t>(records.size()));
    }
    living = kept.back();
    living.insert(living.end(), born.back().begin(), born.back().end());
  }
  living_case c;
  c.history = qm::pedigree_history::from_parts(std::move(records), std::move(first));
  std::vector<int64_t> founders(static_cast<size_t>(n));
  for (int64_t i = 0; i < n; ++i) founders[static_cast<size_t>(i)] = i + 1;
  c.before.start(founders);
  for (int gen = 0; gen + 1 < generations; ++gen) c.before.advance(c.history, kept[static_cast<size_t>(gen)], born[static_cast<size_t>(gen)]);
  c.kept = kept.back();
  c.born = born.back();
  return c;
}

void Relationships(benchmark::State& state) {
  const living_case c = make_living_case(state.range(0), 3);
  qm::living_relationships rel;
  for (auto _ : state) {
    state.PauseTiming();
    rel = c.before;
    state.ResumeTiming();
    rel.advance(c.history, c.kept, c.born);
    benchmark::DoNotOptimize(rel.at(0, 0));
  }
  state.counters["MB"] = static_cast<double>(rel.bytes()) / 1e6;
}
BENCHMARK(Relationships)->Arg(2000)->Unit(benchmark::kMillisecond)->MinTime(1.0);

void GenomicRelationships(benchmark::State& state, int64_t n, int64_t loci, int threads) {
  const int64_t all = 2 * loci, words = qm::haplotype_words(all);
  std::mt19937_64 g(5);
  std::vector<uint64_t> bits(static_cast<size_t>(2 * n * words));
  for (auto& w : bits) w = g();
  for (int64_t h = 0; h < 2 * n; ++h)
    if (all % 64) bits[static_cast<size_t>((h + 1) * words - 1)] &= ~uint64_t{0} >> (64 - all % 64);
  std::vector<const uint64_t*> rows;
  for (int64_t h = 0; h < 2 * n; ++h) rows.push_back(bits.data() + h * words);
  std::vector<uint64_t> mask(static_cast<size_t>(words), 0x5555555555555555ull);
  if (all % 64) mask.back() &= ~uint64_t{0} >> (64 - all % 64);
  std::vector<double> p(static_cast<size_t>(all));
  for (auto& x : p) x = std::uniform_real_distribution<double>(0.05, 0.95)(g);
  std::vector<double> out;
  for (auto _ : state) {
    qm::genomic_relationships(rows, static_cast<size_t>(words), mask, p, out, threads);
    benchmark::DoNotOptimize(out.data());
  }
}

const bool registered = [] {
  for (auto [n, loci] : {std::pair<int64_t, int64_t>{2000, 10000}, {1000, 50000}})
    for (int t : {1, 2})
      benchmark::RegisterBenchmark(("GenomicRelationships/" + std::to_string(n) + "x" + std::to_string(loci) +
                                    (t > 1 ? "/threads:" + std::to_string(t) : std::string()))
                                       .c_str(),
                                   GenomicRelationships, n, loci, t)
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime()
          ->MinTime(1.0);
  return true;
}();

}  // namespace
