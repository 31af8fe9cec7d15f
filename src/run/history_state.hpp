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

// Whether h holds a state that stage 1 of p leaves, every section checked
// against the parameter file and against the others, in one pass over each
// (history_error naming the history file and the first fault): the stage-1
// records (check_stage1_records); the run that made it (a replicate of 0
// or more, the start seed that the seed and the replicate give, mutation
// switched off); the genetic map (verify, and equal to the one the records
// and the start seed make); the population (verify: parents, selected
// parents of the right sex, once each, as many as stage 1 selects, no
// values, allele registries, no bits past the last locus); the pedigree
// (verify; every generation of the population's size, the last one the
// population's parents); the observers' sections (check_history_section).
void check_history_fits(const run_parameters& p, const saved_history& h, const observer_list& observers);

// The history of p.from_history for the run of p, before anything of the
// run is written: the file's size against the memory the run may use
// (history_error when the run with it would exceed memory_limit; the caller
// has found that a history of p's size fits) and against the most a
// history of p can have (most_history_file_bytes), then the file read and
// checked (read_history_file, check_history_fits).
saved_history read_history_for_run(const run_parameters& p, const observer_list& observers);

// Writes the history file of st at the end of stage 1; stops the run
// (with the reason) when it cannot be written.
void save_history(const run_state& st, const std::string& path, const history_extras& extras);

// Starts st at the end of stage 1 from h, whose state is moved into st: the
// map shown to the observers, what stage 1 wrote to the log written again,
// the observers told, and with --replicate K (K > 0) the stream started
// from the seed of replicate K of the saved start seed.
void resume_from_history(run_state& st, saved_history& h, const observer_list& observers);

}  // namespace qm
