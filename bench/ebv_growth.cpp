// What the EBV step of a generation costs as the population grows, beside
// the rest of the generation, measured in one run for each size:
// stage 1 of 500 animals for 100 generations, then stage 2 and ten
// generations of stage 3 of NIND animals (10 chromosomes of 1000 markers,
// h2 = 0.3, random mating of NIND/20 sires and NIND/5 dams selected on
// phenotype). After the values of every generation, both estimates are
// made and timed: pedigree BLUP on the pedigree from the last stage-1
// generation on, SNP-BLUP on the last three generations. Result files are
// not written.
//
// Usage: qm_ebv_growth [THREADS] [NIND...]   (default 1 thread; 1000 2000 5000)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/messages.hpp"
#include "config/stage_plan.hpp"
#include "ebv/evaluation.hpp"
#include "run/generation.hpp"
#include "run/run_state.hpp"

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void one_size(int nind, int threads) {
  qm::run_parameters p;
  p.parafile = "growth.par";
  const std::string n = std::to_string(nind), s = std::to_string(nind / 20), d = std::to_string(nind / 5);
  const std::string par =
      "EBV growth\n1 0 0.2 0\n\n\n\n\nh2\n0.3\nmarkers\n1000 10 0\nrates\n1.0 5.0e-4 5.0e-4\n"
      "qtl\n0 500 1.0 1.0\nstages\n3 0 4242\n"
      "stage 1\n50 250 500 100\nstage 1\n0 2 0\n"
      "stage 2\n" + s + " " + d + " " + n + " 1\nstage 2\n0 2 2\n"
      "stage 3\n" + s + " " + d + " " + n + " 10\nstage 3\n0 2 2\n";
  qm::read_parameter_text(p, par);
  p.threads = threads;
  p.gblup_generations = 3;
  qm::run_parameters both = p;  // the plan of a run that uses both kinds
  both.stages[2].block.seltype = 3;
  both.stages[3].block.seltype = 4;
  qm::run_state st(p);
  qm::start_population(st, qm::observer_list{});
  st.ebv.plan(both);
  const qm::stage_plan plan(p);
  int valued = 0;
  for (int stage = 1; stage <= 3; ++stage) {
    const qm::stage_block& b =
        stage == 1 ? p.stage1()
                   : qm::enter_stage(p, stage, static_cast<int32_t>(st.pop.sires.size()),
                                     static_cast<int32_t>(st.pop.dams.size()));
    plan.stage(stage).for_each_generation([&](const qm::generation_step& g) {
        const auto t0 = std::chrono::steady_clock::now();
        qm::run_generation(st, b, g, qm::observer_list{});
        const double rest = seconds_since(t0);
        if (stage < 2) return;
        ++valued;
        const auto t1 = std::chrono::steady_clock::now();
        st.ebv.estimate(qm::selection_criterion::pedigree_ebv, st.history, p.h2[0], threads);
        const double ped = seconds_since(t1);
        const int ped_it = st.ebv.stats().iterations;
        const auto t2 = std::chrono::steady_clock::now();
        st.ebv.estimate(qm::selection_criterion::genomic_ebv, st.history, p.h2[0], threads);
        const double gen = seconds_since(t2);
        if (valued == 1 || valued % 5 == 1 || valued == 11)
          std::printf("| %d | %d | %.3f | %lld | %.3f | %d | %d | %.3f | %d |\n", nind, valued, rest,
                      static_cast<long long>(st.ebv.pedigree_animals()), ped, ped_it,
                      st.ebv.genotyped_generations() * nind, gen, st.ebv.stats().iterations);
        std::fflush(stdout);
      });
  }
}

}  // namespace

int main(int argc, char** argv) {
  static std::FILE* null = std::fopen("/dev/null", "w");
  qm::msg_set_console(null);
  const int threads = argc > 1 ? std::atoi(argv[1]) : 1;
  std::vector<int> sizes;
  for (int i = 2; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
  if (sizes.empty()) sizes = {1000, 2000, 5000};
  std::printf("| nind | generation with values | rest of the generation (s) | pedigree animals | pedigree BLUP (s) | "
              "iterations | reference animals | SNP-BLUP (s) | iterations |\n|---|---|---|---|---|---|---|---|---|\n");
  try {
    for (int nind : sizes) one_size(nind, threads);
  } catch (const qm::run_stop& e) {
    std::fprintf(stderr, "qm_ebv_growth: %s\n", e.what());
    return 1;
  }
  return 0;
}
