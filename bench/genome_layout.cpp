// A later-stage generation (mating, meiosis without mutation, breeding
// values and phenotypes, selection) with the haplotypes one byte per allele
// or one bit per allele, the two measured in turn in one run.
//   LaterGeneration/<nind>/<markers per chromosome>/<0 bytes, 1 bits>
// 10 chromosomes; 200 QTL on candidate loci; QM_THREADS threads.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "base/messages.hpp"
#include "population/mating.hpp"
#include "population/meiosis.hpp"
#include "run/generation.hpp"
#include "run/run_state.hpp"
#include "values/breeding_values.hpp"
#include "values/selection.hpp"

namespace {

struct later_run {
  qm::run_parameters p;
  qm::run_state st{p};
  qm::trait_architecture a;

  later_run(int nind, int nmpc, bool bits) {
    static std::FILE* null = std::fopen("/dev/null", "w");
    qm::msg_set_console(null);
    const char* t = std::getenv("QM_THREADS");
    p.threads = t ? std::atoi(t) : 1;
    p.ntrait = 1;
    p.h2 = {0.3f};
    p.nmpc = nmpc;
    p.nchr = 10;
    p.chrlen = 1.0f;
    p.nstage = 1;
    p.seed = 12345;
    p.stages.assign(2, qm::stage_entry{});
    p.stages[1].readable = true;
    qm::stage_block& b = p.stages[1].block;
    b.nind = nind;
    b.nsire = nind / 10;
    b.ndam = nind / 2;
    b.ngen = 1;
    b.matetype = 2;
    b.seltype = 2;  // on phenotypes
    qm::start_population(st, qm::observer_list{});
    // Two alleles at every locus, at random.
    uint64_t s = 88172645463325252ull;
    for (qm::haplotype_matrix* m : {&st.pop.markers, &st.pop.candidates})
      for (int32_t h = 0; h < m->haplotypes(); ++h)
        for (int32_t l = 0; l < m->loci(); ++l) {
          s ^= s << 13, s ^= s >> 7, s ^= s << 17;
          m->at(l, h) = static_cast<int8_t>(1 + (s & 1u));
        }
    if (bits) {
      qm::pack_haplotypes(st.pop.markers, p.threads);
      qm::pack_haplotypes(st.pop.candidates, p.threads);
    }
    a.ntrait = 1;
    for (int q = 0; q < 200; ++q) a.qtl_locus.push_back(1 + q * (st.map.nqloc() / 200));
    for (int q = 0; q < 200; ++q) a.effects.push_back(0.1 * ((q % 7) - 3));
    a.residual_covariance = a.residual_factor = {1.0f};
    generation();
  }
  void generation() {
    const qm::stage_block& b = p.stage1();
    std::vector<qm::parent_pair> o = qm::mate_parents(st.pop, b.matetype, b.nind, st.rng);
    qm::make_offspring(st.pop, std::move(o), {st.map, 0.0, 0.0}, st.buffers, st.rng, p.threads);
    qm::compute_values(p, a, st.pop, st.rng);
    qm::select_parents(st.pop, b.criterion(), b.nsire, b.ndam, st.rng);
  }
};

void LaterGeneration(benchmark::State& state) {
  later_run r(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), state.range(2) != 0);
  for (auto _ : state) r.generation();
  state.counters["haplotype_MB"] = static_cast<double>(r.st.pop.markers.bytes() + r.st.pop.candidates.bytes()) / 1e6;
}

}  // namespace

BENCHMARK(LaterGeneration)
    ->Args({1000, 1000, 0})
    ->Args({1000, 1000, 1})
    ->Args({4000, 2000, 0})
    ->Args({4000, 2000, 1})
    ->Args({10000, 2000, 0})
    ->Args({10000, 2000, 1})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0);

BENCHMARK_MAIN();
