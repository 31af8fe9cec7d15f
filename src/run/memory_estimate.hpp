// The peak memory a run will need, estimated from its parameters before
// anything large is allocated, and the check against what the machine (or
// --max-memory) allows.
//
// The estimate adds, for the largest generation of the run (nind the largest
// of all stage blocks, L = markers + candidate loci):
//   haplotypes       2 generations (current and offspring) x 2 nind x L bytes
//   allele bookkeeping and map   L x 48 bytes
//   pedigree history 24 bytes per animal of every generation of the run
//   values           2 x 8 bytes per animal and trait, twice (values and selection scores)
//   result files     the formatting buffers, about 2 MB per thread plus one haplotype line
//   program          20 MB for the code, the libraries and the thread stacks
#pragma once
#include <cstdint>

#include "run/parameters.hpp"

namespace qm {

int64_t estimate_peak_memory(const run_parameters& p);

// Memory available to new processes (MemAvailable of /proc/meminfo), or -1.
int64_t available_memory();

// Stops the run with the estimate and what to change when it exceeds the
// limit (max_memory_bytes when it is set, otherwise the available memory).
void check_memory_estimate(const run_parameters& p);

}  // namespace qm
