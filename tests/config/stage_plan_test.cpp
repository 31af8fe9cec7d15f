// The stage plan: which generations each stage makes, their kinds, the
// numbers the console shows and the generation numbers of the result files;
// the plan of a whole run, which numbers on from stage to stage and ends at
// the first stage whose block cannot be read.
#include "config/stage_plan.hpp"

#include <stdexcept>

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <vector>

namespace {

using kind = qm::generation_kind;

struct step {
  kind k;
  int64_t number, file_generation;
  bool files_due;
  bool operator==(const step&) const = default;
};

std::ostream& operator<<(std::ostream& o, const step& s) {
  return o << "{kind " << static_cast<int>(s.k) << ", number " << s.number << ", file " << s.file_generation
           << ", files " << s.files_due << "}";
}

// Every generation of stage s with ngen, in order.
std::vector<step> plan(int s, int32_t ngen, int64_t made_before = 1) {
  qm::stage_block b;
  b.ngen = ngen;
  std::vector<step> out;
  qm::planned_stage(s, b, made_before).for_each_generation([&](const qm::generation_step& g) {
    EXPECT_EQ(g.stage, s);
    out.push_back({g.kind, g.number, g.file_generation, g.files_due});
  });
  return out;
}

// A stage-1 plan: with_mutation generations numbered from 1, the recoding
// generation, then ten without mutation numbered from after_first.
std::vector<step> history(int64_t with_mutation, int64_t recoding_number, int64_t after_first) {
  std::vector<step> v;
  for (int64_t n = 1; n <= with_mutation; ++n) v.push_back({kind::history_with_mutation, n, n, false});
  v.push_back({kind::recoding, recoding_number, recoding_number, false});
  for (int64_t n = after_first; n < after_first + 10; ++n) v.push_back({kind::history_without_mutation, n, n, false});
  return v;
}

TEST(StagePlan, StageOne) {
  // G - 10 generations with mutation, the recoding generation (G - 9, or 1
  // when G < 11), then ten without mutation numbered G - 9 .. G.
  EXPECT_EQ(plan(1, 200), history(190, 191, 191));
  EXPECT_EQ(plan(1, 200).size(), 201u);
  EXPECT_EQ(plan(1, 11), history(1, 2, 2));
  EXPECT_EQ(plan(1, 10), history(0, 1, 1));
  EXPECT_EQ(plan(1, 5), history(0, 1, -4));
  EXPECT_EQ(plan(1, 0), history(0, 1, -9));
  EXPECT_EQ(plan(1, -3), history(0, 1, -12));
  // Always one recoding generation and ten after it.
  for (int32_t g : {-50, 0, 1, 9, 10, 11, 12, 1000}) {
    const std::vector<step> p = plan(1, g);
    EXPECT_EQ(p.size(), static_cast<size_t>(std::max(0, g - 10) + 11)) << g;
    int recoding = 0;
    for (const step& s : p) recoding += s.k == kind::recoding;
    EXPECT_EQ(recoding, 1) << g;
    EXPECT_EQ(p.back().number, g) << g;
  }
}

TEST(StagePlan, StageTwoWritesItsFilesAsGenerationNgen) {
  for (int32_t g : {1, 2, 3, 7, 150}) {
    EXPECT_EQ(plan(2, g), (std::vector<step>{{kind::qtl_choice, 1, g, true}})) << g;
    EXPECT_EQ(plan(2, g, 40), (std::vector<step>{{kind::qtl_choice, 1, g, true}})) << "made before " << g;
  }
}

TEST(StagePlan, LaterStagesNumberOn) {
  // Stage 3 after the stage-2 generation: 2 .. ngen + 1, files under the same number.
  EXPECT_EQ(plan(3, 3, 1),
            (std::vector<step>{{kind::selection, 2, 2, true}, {kind::selection, 3, 3, true}, {kind::selection, 4, 4, true}}));
  // Stage 4 after three stage-3 generations.
  EXPECT_EQ(plan(4, 2, 4), (std::vector<step>{{kind::selection, 5, 5, true}, {kind::selection, 6, 6, true}}));
  EXPECT_TRUE(plan(3, 0, 1).empty());
  EXPECT_TRUE(plan(5, -2, 9).empty());
  const std::vector<step> p = plan(3, 120, 1);
  ASSERT_EQ(p.size(), 120u);
  EXPECT_EQ(p.front().number, 2);
  EXPECT_EQ(p.back().number, 121);
}

// A run of p as the driver walks it: every generation of every stage, in order.
std::vector<qm::generation_step> walk(const qm::stage_plan& plan) {
  std::vector<qm::generation_step> out;
  for (const qm::planned_stage& st : plan) st.for_each_generation([&](const qm::generation_step& g) { out.push_back(g); });
  return out;
}

qm::run_parameters run_of(const std::vector<std::pair<int32_t, int32_t>>& nind_ngen) {
  qm::run_parameters p;
  p.nstage = static_cast<int32_t>(nind_ngen.size());
  p.stages.assign(nind_ngen.size() + 1, qm::stage_entry{});
  for (size_t s = 1; s <= nind_ngen.size(); ++s) {
    p.stages[s].readable = true;
    p.stages[s].block.nind = nind_ngen[s - 1].first;
    p.stages[s].block.ngen = nind_ngen[s - 1].second;
  }
  return p;
}

TEST(StagePlan, ARunNumbersOnFromStageToStage) {
  // Stage 1 of 12, stage 2 (files as generation 4), stages 3 and 4 of 3 and 2.
  const qm::run_parameters p = run_of({{100, 12}, {50, 4}, {60, 3}, {70, 2}});
  const qm::stage_plan plan(p);
  const std::vector<qm::generation_step> g = walk(plan);
  ASSERT_EQ(g.size(), 13u + 1 + 3 + 2);
  EXPECT_EQ(plan.generations(), 19);
  // Stage 1: numbers 1, 2 (recoding), 3 .. 12.
  EXPECT_EQ(g[0].number, 1);
  EXPECT_EQ(g[12].number, 12);
  EXPECT_EQ(g[13].stage, 2);
  EXPECT_EQ(g[13].file_generation, 4);
  std::vector<int64_t> later;
  for (size_t k = 14; k < g.size(); ++k) later.push_back(g[k].file_generation);
  EXPECT_EQ(later, (std::vector<int64_t>{2, 3, 4, 5, 6}));
  EXPECT_EQ(plan.stage(4).last().number, 6);
  EXPECT_EQ(plan.stage(1).last().number, 12);
  // The base generation, then every generation made, each of its stage's size.
  EXPECT_EQ(plan.animals(), 100 + 13 * 100 + 50 + 3 * 60 + 2 * 70);
  // From stage 2 on (a run from a saved history): the same numbers.
  const qm::stage_plan later_plan(p, 2);
  const std::vector<qm::generation_step> h = walk(later_plan);
  ASSERT_EQ(h.size(), 6u);
  for (size_t k = 0; k < h.size(); ++k) {
    EXPECT_EQ(h[k].number, g[13 + k].number);
    EXPECT_EQ(h[k].file_generation, g[13 + k].file_generation);
  }
  EXPECT_FALSE(later_plan.reaches(1));
  EXPECT_THROW(later_plan.stage(1), std::out_of_range);
}

TEST(StagePlan, EndsAtTheFirstStageThatCannotBeRead) {
  qm::run_parameters p = run_of({{100, 12}, {50, 2}, {60, 3}, {70, 2}, {80, 5}});
  p.stages[4].readable = false;  // the run stops as stage 4 begins
  const qm::stage_plan plan(p);
  EXPECT_TRUE(plan.reaches(4));
  EXPECT_FALSE(plan.stage(4).readable());
  EXPECT_EQ(plan.stage(4).generations(), 0);
  EXPECT_FALSE(plan.reaches(5));  // never reached, though its block can be read
  EXPECT_EQ(plan.generations(), 13 + 1 + 3);
  EXPECT_EQ(plan.animals(), 100 + 13 * 100 + 50 + 3 * 60);
  // A stage of no generations still numbers on from where the run is.
  p.stages[4].readable = true;
  p.stages[4].block.ngen = 0;
  const qm::stage_plan none(p);
  EXPECT_EQ(none.stage(5).segments().front().first, 5);
  EXPECT_EQ(none.stage(5).generations(), 5);
}

}  // namespace
