#include "config/stage_plan.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace qm {

namespace {

std::vector<plan_segment> segments_of(int s, const stage_block& b, int64_t numbered_before) {
  const int64_t g = b.ngen;
  if (s == 1) {
    const int64_t with_mutation = std::max<int64_t>(0, g - 10);
    return {{generation_kind::history_with_mutation, 1, with_mutation},
            {generation_kind::recoding, g - 10 >= 1 ? g - 9 : 1, 1},
            {generation_kind::history_without_mutation, g - 9, 10}};
  }
  if (s == 2) return {{generation_kind::qtl_choice, 1, 1, true, g - 1}};
  return {{generation_kind::selection, numbered_before + 1, std::max<int64_t>(0, g), true, 0}};
}

}  // namespace

planned_stage::planned_stage(int s, const stage_block& b, int64_t numbered_before)
    : number_(s), readable_(true), block_(b), segments_(segments_of(s, b, numbered_before)) {}

planned_stage planned_stage::unreadable(int s) {
  planned_stage st(s, stage_block{}, 0);
  st.readable_ = false;
  st.segments_.clear();
  return st;
}

int64_t planned_stage::generations() const {
  int64_t n = 0;
  for (const plan_segment& seg : segments_) n += seg.count;
  return n;
}

generation_step planned_stage::step(const plan_segment& seg, int64_t k) const {
  generation_step st;
  st.stage = number_;
  st.kind = seg.kind;
  st.number = seg.first + k;
  st.file_generation = st.number + seg.file_offset;
  st.files_due = seg.files_due && (!chosen_ || chosen_->contains(st.file_generation, last_file_));
  return st;
}

generation_step planned_stage::last() const {
  generation_step st;
  for (const plan_segment& seg : segments_)
    if (seg.count > 0) st = step(seg, seg.count - 1);
  return st;
}

stage_plan::stage_plan(const run_parameters& p, int first) {
  if (!p.stages.empty()) base_animals_ = p.stages[1].block.nind;
  int64_t numbered = 1;  // generations numbered before stage 3 and on: the stage-2 one
  for (int s = 1; s <= p.nstage && static_cast<size_t>(s) < p.stages.size(); ++s) {
    const stage_entry& e = p.stages[static_cast<size_t>(s)];
    if (s >= first) stages_.push_back(e.readable ? planned_stage(s, e.block, numbered) : planned_stage::unreadable(s));
    if (!e.readable) break;  // the run stops as this stage begins
    if (s >= 3) numbered += e.block.ngen;
  }
}

const planned_stage& stage_plan::stage(int s) const {
  for (const planned_stage& st : stages_)
    if (st.number() == s) return st;
  throw std::out_of_range("stage " + std::to_string(s) + " is not in the plan of this run");
}

bool stage_plan::reaches(int s) const {
  for (const planned_stage& st : stages_)
    if (st.number() == s) return true;
  return false;
}

int64_t stage_plan::last_file_generation() const {
  int64_t last = -1;
  for (const planned_stage& st : stages_)
    st.for_each_generation([&](const generation_step& g) {
      if (g.files_due) last = std::max(last, g.file_generation);
    });
  return last;
}

stage_plan stage_plan::with_files_chosen(const generation_choice& c) const {
  stage_plan chosen = *this;
  const int64_t last = last_file_generation();
  for (planned_stage& st : chosen.stages_) {
    st.chosen_ = &c;
    st.last_file_ = last;
  }
  return chosen;
}

int64_t stage_plan::generations() const {
  int64_t n = 0;
  for (const planned_stage& st : stages_) n += st.generations();
  return n;
}

int64_t stage_plan::animals() const {
  int64_t n = base_animals_;
  for (const planned_stage& st : stages_) n += st.block().nind * st.generations();
  return n;
}

}  // namespace qm
