// The run: banner, parameter file, base population, the historical stage
// (with its recoding generation), stage 2 (QTL, breeding values, first result
// files), stages 3..nstage, and the end summary.
#pragma once
#include "run/state.hpp"

namespace qm {

// Runs the whole simulation on p (p.parafile may name the parameter file;
// empty means ask for it). A stop ends it with run_stop.
void quillmere(popstate& p);

// The generation message: g in 5 columns, 3 blanks, "generation finished!".
void generation_message(int64_t g);

}  // namespace qm
