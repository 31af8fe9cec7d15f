// Progress of a run on standard error, when standard error is a terminal:
// one line, rewritten in place, with the stage, the generation, the share
// of the run's generations made so far and an estimate of the time left.
// Nothing is written when standard error is not a terminal; standard output
// and log.txt never see it.
#pragma once
#include <memory>

#include "run/observer.hpp"

namespace qm {

std::unique_ptr<generation_observer> make_progress_line();

}  // namespace qm
