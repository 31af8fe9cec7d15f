#include "config/stage_plan.hpp"

#include <algorithm>

namespace qm {

std::vector<plan_segment> stage_segments(int s, const stage_block& b, int64_t made_before) {
  const int64_t g = b.ngen;
  if (s == 1) {
    const int64_t with_mutation = std::max<int64_t>(0, g - 10);
    return {{generation_kind::history_with_mutation, 1, with_mutation},
            {generation_kind::recoding, g - 10 >= 1 ? g - 9 : 1, 1},
            {generation_kind::history_without_mutation, g - 9, 10}};
  }
  if (s == 2) return {{generation_kind::qtl_choice, 1, 1, true, g - 1}};
  return {{generation_kind::selection, made_before + 1, std::max<int64_t>(0, g), true, 0}};
}

generation_step step_of(int s, const plan_segment& seg, int64_t k) {
  generation_step st;
  st.stage = s;
  st.kind = seg.kind;
  st.number = seg.first + k;
  st.files_due = seg.files_due;
  st.file_generation = st.number + seg.file_offset;
  return st;
}

int64_t animals_in_run(const run_parameters& p) {
  int64_t animals = p.stages[1].block.nind, made = 1;
  for (int s = 1; s <= p.nstage; ++s) {
    const stage_entry& e = p.stages[static_cast<size_t>(s)];
    if (!e.readable) continue;
    for (const plan_segment& seg : stage_segments(s, e.block, made)) animals += e.block.nind * seg.count;
    if (s >= 3) made += e.block.ngen;
  }
  return animals;
}

}  // namespace qm
