// Progress of a run on standard error, when standard error is a terminal:
// one line, rewritten in place, with the stage, the generation, the share
// of the run's work done so far and an estimate of the time left. The work
// of each generation is counted as the estimate of --check counts it
// (run/work_estimate.hpp): a generation of 2000 animals with genomic BLUP
// weighs more than one of 500 animals in the history. Part of the time of
// the files comes after the last generation, when they reach the disk: the
// line stays below 100 % by that part until the run has ended.
// Nothing is written when standard error is not a terminal; standard output
// and log.txt never see it.
#pragma once
#include <memory>
#include <vector>

#include "run/observer.hpp"

namespace qm {

std::unique_ptr<generation_observer> make_progress_line(const output_choice& c);

// The estimated seconds of every generation of the plan of p, in order:
// the weights of the progress line.
std::vector<double> generation_weights(const run_parameters& p, const output_choice& c);

}  // namespace qm
