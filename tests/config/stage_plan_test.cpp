// The stage plan: which generations each stage makes, their kinds, the
// numbers the console shows and the generation numbers of the result files.
#include "config/stage_plan.hpp"

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
  for (const qm::plan_segment& seg : qm::stage_segments(s, b, made_before))
    for (int64_t k = 0; k < seg.count; ++k) {
      const qm::generation_step g = qm::step_of(s, seg, k);
      EXPECT_EQ(g.stage, s);
      out.push_back({g.kind, g.number, g.file_generation, g.files_due});
    }
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

TEST(GenerationPlan, StageOne) {
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

TEST(GenerationPlan, StageTwoWritesItsFilesAsGenerationNgen) {
  for (int32_t g : {1, 2, 3, 7, 150}) {
    EXPECT_EQ(plan(2, g), (std::vector<step>{{kind::qtl_choice, 1, g, true}})) << g;
    EXPECT_EQ(plan(2, g, 40), (std::vector<step>{{kind::qtl_choice, 1, g, true}})) << "made before " << g;
  }
}

TEST(GenerationPlan, LaterStagesNumberOn) {
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

}  // namespace
