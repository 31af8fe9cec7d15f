// The run from the parameter file to the result files: the banner, the
// parameters, the base generation, then every stage of the plan, one
// generation at a time, with the observers registered for the run.
#pragma once
#include "run/observer.hpp"
#include "run/parameters.hpp"

namespace qm {

// Runs the simulation of p (p.parafile names the file; empty: ask for it).
// The observers see every generation; run_ended is called on success and on a stop.
void quillmere(run_parameters& p, const observer_list& observers);

}  // namespace qm
