// The peak memory a run will need, estimated from its parameters before
// anything large is allocated, and the check against what the machine (or
// --max-memory) allows.
//
// The estimate adds, for the largest generation of the run (nind the largest
// of all stage blocks, L = markers + candidate loci):
//   haplotypes       2 generations (current and offspring) x 2 nind x L bytes
//                    with --genome-layout bytes; in the packed layout the
//                    larger of stage 1's bytes (its nind, plus one
//                    generation's bits while they are packed) and
//                    2 generations x 2 nind x L bits (L rounded up to whole
//                    64-bit words per kind of locus)
//   summary          one bit per allele of one generation's markers and QTL
//   allele bookkeeping and map   L x 48 bytes
//   pedigree history 32 bytes per animal of every generation of the run
//   values           2 x 8 bytes per animal and trait, twice (values and selection scores)
//   result files     the formatting buffers, about 2 MB per thread plus one haplotype line
//   program          20 MB for the code, the libraries and the thread stacks
//   history file     with --save-history the size of the file, which is made
//                    whole in memory (history_file_bytes); with --from-history
//                    the size of the file that is read, when it is larger
//                    than a history of the parameters (read a section at a
//                    time, but the largest section is held while it is
//                    decoded, and the texts of the log and the observers are
//                    kept until the run writes them again: about the file's
//                    size in all)
//   selection on EBVs (only when a stage uses seltype 3 or 4):
//     phenotype records     16 bytes per animal from stage 2 on
//     pedigree BLUP         350 bytes per animal of its pedigree (parents,
//                           inbreeding, A^-1 while it is widened, the
//                           conjugate-gradient vectors)
//     genomic BLUP          K + 1 generations of dosages at 2 bits, the
//                           reference packed twice (by animal and by
//                           marker), the product tables (512 bytes per
//                           reference animal and per marker), the vectors
#pragma once
#include <cstdint>

#include "config/parameters.hpp"

namespace qm {

// How the estimate counts the history file a run reads (--from-history):
// at its size on disk, or at the size a history of the parameters has
// (which tells a run too large for the memory from a history file too large
// for it).
enum class history_sizing : int8_t { file_on_disk, of_parameters };

int64_t estimate_peak_memory(const run_parameters& p, history_sizing h = history_sizing::file_on_disk);

// The memory the history file takes in the run of p, as the estimate
// counts it; 0 without --save-history and --from-history.
int64_t history_file_memory(const run_parameters& p, history_sizing h = history_sizing::file_on_disk);

// What the generations after stage 1 ask for again and again in large
// buffers: the text of the result files on its way to the disk, and one
// generation of offspring haplotypes of the largest later stage. Freed
// pages up to this much are kept for them (set_page_limit).
int64_t pages_worth_keeping(const run_parameters& p);

// Memory available to new processes (MemAvailable of /proc/meminfo), or -1.
int64_t available_memory();

// The memory a run may use: max_memory_bytes when it is set, otherwise the
// available memory; -1 when neither is known.
int64_t memory_limit(const run_parameters& p);

// Stops the run with the estimate and what to change when it exceeds the
// limit (memory_limit).
void check_memory_estimate(const run_parameters& p, history_sizing h = history_sizing::file_on_disk);

}  // namespace qm
