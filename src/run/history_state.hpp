// A run's state at the end of stage 1 to and from a history file: the
// stage-1 records a history depends on and their check against a
// parameter file, saving the state after stage 1 (--save-history), and
// starting a run at stage 2 from a saved state (--from-history).
#pragma once
#include <string>
#include <vector>

#include "run/history_file.hpp"
#include "run/observer.hpp"
#include "run/run_state.hpp"

namespace qm {

// The values stage 1 takes from the parameter file, in record order: the
// genome (records 10 and 12), the seed (record 16, or --seed) and the
// stage-1 block (records 18 and 20). Nothing else reaches stage 1.
std::vector<stage1_record> stage1_records(const run_parameters& p);

// history_error naming the first stage-1 record whose value in p differs
// from the one h was made with, with both values; also when h's state does
// not have the sizes those records give.
void check_stage1_records(const run_parameters& p, const saved_history& h);

// Writes the history file of st at the end of stage 1; stops the run
// (with the reason) when it cannot be written.
void save_history(const run_state& st, const std::string& path, const history_extras& extras);

// Starts st at the end of stage 1 from h, whose state is moved into st: the
// map shown to the observers, what stage 1 wrote to the log written again,
// the observers told, and with --replicate K (K > 0) the stream started
// from the seed of replicate K of the saved start seed.
void resume_from_history(run_state& st, saved_history& h, const observer_list& observers);

}  // namespace qm
