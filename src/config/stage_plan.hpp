// The stage plan as data: which generations a stage makes, what each of them
// does, the number the console shows for it, and whether it writes result
// files (and under which generation number).
//
// Stage 1 (ngen = G): G - 10 historical generations with mutation, one
// recoding generation in which mutation is switched off for the rest of the
// run (numbered G - 9, or 1 when G < 11), then ten historical generations
// without mutation, numbered G - 9 .. G. Stage 2: one generation in which the
// QTL are chosen; it shows 1 and writes its files as generation ngen.
// Stage s >= 3: ngen generations numbered on from the generations made so far.
#pragma once
#include <cstdint>
#include <vector>

#include "config/parameters.hpp"

namespace qm {

enum class generation_kind : int8_t {
  history_with_mutation,     // stage 1: bred, mutated, alleles kept track of
  recoding,                  // stage 1: mutation off, every locus recoded to two alleles
  history_without_mutation,  // stage 1: bred without mutation
  qtl_choice,                // stage 2: QTL chosen, values computed, first result files
  selection,                 // stages 3 and later: values, selection, result files
};

struct generation_step {
  int stage = 1;
  generation_kind kind = generation_kind::history_with_mutation;
  int64_t number = 0;           // as the console shows it
  int64_t file_generation = 0;  // generation number of the result files
  bool files_due = false;
};

// A run of consecutive generations of one kind: numbers first, first + 1, ...
struct plan_segment {
  generation_kind kind;
  int64_t first = 0, count = 0;
  bool files_due = false;
  int64_t file_offset = 0;  // file_generation = number + file_offset (stage 2: ngen - 1)
};

// The segments of stage s with block b; made_before is the number of
// generations numbered before the stage (stages 3 and later).
std::vector<plan_segment> stage_segments(int s, const stage_block& b, int64_t made_before);

// The generations of the segment, in order.
generation_step step_of(int s, const plan_segment& seg, int64_t k);

// Animals of every generation the run makes, the base generation included.
int64_t animals_in_run(const run_parameters& p);

}  // namespace qm
