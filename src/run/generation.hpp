// One generation of the run: mating, meiosis, what the kind of generation
// adds (allele bookkeeping, recoding, QTL choice, values), selection, the
// pedigree history, the observers and the console line.
#pragma once
#include "config/stage_plan.hpp"
#include "run/observer.hpp"
#include "run/run_state.hpp"

namespace qm {

// The base generation: every allele 1, every animal its own sire and dam,
// the first parent lists; the map is built first (and shown to the observers).
void start_population(run_state& st, const observer_list& observers);

void run_generation(run_state& st, const stage_block& b, const generation_step& step, const observer_list& observers);

// "    N   generation finished!"
void generation_message(int64_t g);

}  // namespace qm
