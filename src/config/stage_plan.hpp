// The stage plan as data: which generations a stage makes, what each of them
// does, the number the console shows for it, and whether it writes result
// files (and under which generation number). Every part of the program that
// goes through the stages and generations of a run (the driver, the memory
// estimate, the progress line, the history, the files a run will write)
// takes them from here.
//
// Stage 1 (ngen = G): G - 10 historical generations with mutation, one
// recoding generation in which mutation is switched off for the rest of the
// run (numbered G - 9, or 1 when G < 11), then ten historical generations
// without mutation, numbered G - 9 .. G. Stage 2: one generation in which the
// QTL are chosen; it shows 1 and writes its files as generation ngen.
// Stage s >= 3: ngen generations numbered on from the generations made so far.
//
// A run goes through its stages in order and stops at the first whose block
// cannot be read (it says why as that stage begins): the plan of a run ends
// with that stage, which makes no generations.
#pragma once
#include <cstdint>
#include <vector>

#include "config/output_choice.hpp"
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

// One stage of a run: its block and the generations it makes.
class planned_stage {
 public:
  // Stage s with block b, after numbered_before generations numbered for
  // stages 2 .. s - 1 (the stage-2 generation counts one; stages 3 and later
  // number on from there).
  planned_stage(int s, const stage_block& b, int64_t numbered_before);
  // A stage whose block cannot be read: it makes no generations.
  static planned_stage unreadable(int s);

  int number() const { return number_; }
  bool readable() const { return readable_; }
  const stage_block& block() const { return block_; }
  const std::vector<plan_segment>& segments() const { return segments_; }
  int64_t generations() const;
  // Generation k (0-based) of segment seg.
  generation_step step(const plan_segment& seg, int64_t k) const;
  // The last generation of the stage (a stage with none: a default step).
  generation_step last() const;
  // fn(step) for every generation of the stage, in order.
  template <class F>
  void for_each_generation(F&& fn) const {
    for (const plan_segment& seg : segments_)
      for (int64_t k = 0; k < seg.count; ++k) fn(step(seg, k));
  }

 private:
  friend class stage_plan;
  int number_ = 0;
  bool readable_ = false;
  const generation_choice* chosen_ = nullptr;  // the generations whose files are chosen (all when null)
  int64_t last_file_ = -1;
  stage_block block_;
  std::vector<plan_segment> segments_;
};

// The stages of a run of p from stage `first` on, in order, up to the first
// whose block cannot be read (included, without generations).
class stage_plan {
 public:
  explicit stage_plan(const run_parameters& p, int first = 1);
  std::vector<planned_stage>::const_iterator begin() const { return stages_.begin(); }
  std::vector<planned_stage>::const_iterator end() const { return stages_.end(); }
  bool empty() const { return stages_.empty(); }
  // Stage s of the plan; s must be in the plan.
  const planned_stage& stage(int s) const;
  // Whether stage s is in the plan (the run reaches it).
  bool reaches(int s) const;
  // Generations of every stage in the plan.
  int64_t generations() const;
  // The last file generation of the plan (-1 when it writes no files).
  int64_t last_file_generation() const;
  // The plan with files_due only for the file generations of c (which must
  // outlive it): what an observer of result files sees under --generations.
  stage_plan with_files_chosen(const generation_choice& c) const;
  // Animals of every generation the plan makes, the base generation of
  // stage 1 included (first = 1).
  int64_t animals() const;

 private:
  std::vector<planned_stage> stages_;
  int64_t base_animals_ = 0;
};

}  // namespace qm
