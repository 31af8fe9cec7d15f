// Checks of a run's state after the steps of a generation. A checked build
// (cmake -DQM_VERIFY=ON, the default for Debug and sanitizer builds) makes
// them after every step of every generation (run/generation.cpp); in other
// builds the calls are compiled away, so they cost nothing.
#pragma once
#include <cstdint>
#include <span>

#include "run/run_state.hpp"

namespace qm {

// The step of a generation after which the state is checked; start: the
// base generation made.
enum class run_step : int8_t { start, mating, meiosis, recoding, selection };

// The state after step, as far as the step can have changed it: at the
// start everything (the map too); after mating the pairs just drawn against the parent
// lists (verify_mating) and the new generation of the pedigree history
// (verify), which holds them, while the population is still the parents';
// after the meiosis and the recoding the population (verify, every allele,
// the parent lists still those of the generation before), as the last
// generation of the history with the same parents, and its matrices with
// the loci of the map; after the selection the same but the alleles, which
// it does not change. max_allele: 127 before the recoding, 2 from it on.
// invariant_error on the first fault.
void verify_state(const run_state& st, run_step step, int8_t max_allele, std::span<const parent_pair> offspring = {});

// verify_state within the run: a fault stops it through stop() with a
// message that starts "Internal error after the meiosis of generation 5:"
// and says what is wrong.
void check_state(const run_state& st, run_step step, int8_t max_allele, std::span<const parent_pair> offspring = {});

}  // namespace qm
