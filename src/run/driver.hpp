// The run from the parameter file to the result files: the banner, the
// parameters, the base generation, then every stage of the plan, one
// generation at a time, with the observers registered for the run.
#pragma once
#include <string>

#include "config/parameters.hpp"
#include "run/history_file.hpp"
#include "run/observer.hpp"

namespace qm {

// The history file of a run: the one it saves at the end of stage 1, or the
// one it starts from at stage 2.
struct history_options {
  std::string save_path;  // --save-history (empty: none)
  std::string from_path;  // --from-history (empty: none)
  // The history of from_path when it was read and checked before the run;
  // null: the run reads and checks it itself (a failure is then a stop).
  saved_history* from = nullptr;
};

// What the caller of a run learns of it, also when it stopped.
struct run_outcome {
  int32_t seed = 0;  // the seed the random stream started from (0 until it started)
};

// Reads the parameter file into p (p.parafile names it; empty: ask for it),
// then runs the simulation it describes; p does not change after it is read.
// The observers see every generation; run_ended is called on success and on a stop.
void quillmere(run_parameters& p, const observer_list& observers, const history_options& h, run_outcome& outcome);
// The same for a caller that needs no outcome.
void quillmere(run_parameters& p, const observer_list& observers, const history_options& h = {});

}  // namespace qm
