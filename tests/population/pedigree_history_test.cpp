// The pedigree history: every animal since the base generation, with its
// parents as positions in the history.
#include "population/pedigree_history.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "base/invariant_error.hpp"
#include "run/generation.hpp"
#include "config/stage_plan.hpp"
#include "support.hpp"

namespace {

TEST(PedigreeHistory, BaseAndAppendedGenerations) {
  qm::pedigree_history h;
  h.start(4);
  ASSERT_EQ(h.size(), 4);
  EXPECT_EQ(h.generations(), 1);
  EXPECT_EQ(h.first_of(0), 1);
  EXPECT_EQ(h.size_of(0), 4);
  for (int i = 1; i <= 4; ++i) {
    const qm::pedigree_record& r = h.at(i);
    EXPECT_EQ(r.generation, 0);
    EXPECT_EQ(r.number, i);
    EXPECT_EQ(r.sire, 0);  // unknown
    EXPECT_EQ(r.dam, 0);
    EXPECT_EQ(r.sex, i % 2 ? 1 : 2);
  }

  // Generation 1 of three animals, generation 2 of five: parents are
  // numbers in the generation before, kept as positions in the history.
  h.append({{1, 2}, {3, 4}, {1, 4}});
  h.append({{1, 2}, {3, 2}, {3, 2}, {1, 2}, {1, 2}});
  ASSERT_EQ(h.size(), 12);
  EXPECT_EQ(h.generations(), 3);
  EXPECT_EQ(h.first_of(1), 5);
  EXPECT_EQ(h.size_of(1), 3);
  EXPECT_EQ(h.first_of(2), 8);
  EXPECT_EQ(h.size_of(2), 5);
  EXPECT_EQ(h.position_in_current(1), 8);
  EXPECT_EQ(h.position_in_current(5), 12);
  const struct { int64_t pos, sire, dam; int32_t gen, number; int8_t sex; } want[] = {
      {5, 1, 2, 1, 1, 1}, {6, 3, 4, 1, 2, 2}, {7, 1, 4, 1, 3, 1},
      {8, 5, 6, 2, 1, 1}, {9, 7, 6, 2, 2, 2}, {10, 7, 6, 2, 3, 1}, {11, 5, 6, 2, 4, 2}, {12, 5, 6, 2, 5, 1}};
  for (const auto& w : want) {
    const qm::pedigree_record& r = h.at(w.pos);
    EXPECT_EQ(r.sire, w.sire) << w.pos;
    EXPECT_EQ(r.dam, w.dam) << w.pos;
    EXPECT_EQ(r.generation, w.gen) << w.pos;
    EXPECT_EQ(r.number, w.number) << w.pos;
    EXPECT_EQ(r.sex, w.sex) << w.pos;
  }
  // Grandparents by walking the positions: animal 3 of generation 2 has
  // sire 7 (parents 1 and 4 of the base) and dam 6 (parents 3 and 4).
  const qm::pedigree_record& a = h.at(10);
  EXPECT_EQ(h.at(a.sire).sire, 1);
  EXPECT_EQ(h.at(a.sire).dam, 4);
  EXPECT_EQ(h.at(a.dam).sire, 3);
  EXPECT_EQ(h.at(a.dam).dam, 4);

  // start begins a new history.
  h.start(2);
  EXPECT_EQ(h.size(), 2);
  EXPECT_EQ(h.generations(), 1);
}

TEST(PedigreeHistory, FollowsTheGenerationLoop) {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  // Stage 1 of 12 generations: 2 with mutation, the recoding one, 10 without.
  qmtest::run_setup s(qmtest::set_record(qmtest::small_par(), 18, "10 20 40 12"));
  const qm::stage_block& b = s.params.stage1();
  std::vector<std::vector<qm::parent_pair>> made;
  int g = 0;
  for (const qm::plan_segment& seg : qm::stage_segments(1, b, 1)) {
    for (int64_t k = 0; k < seg.count; ++k) {
      qm::run_generation(s.st, b, qm::step_of(1, seg, k), qm::observer_list{});
      made.push_back(s.st.pop.parents);
      ++g;
      const qm::pedigree_history& h = s.st.history;
      ASSERT_EQ(h.generations(), g + 1);
      ASSERT_EQ(h.size_of(g), 40);
      for (int i = 1; i <= 40; ++i) {
        const qm::pedigree_record& r = h.at(h.position_in_current(i));
        EXPECT_EQ(r.generation, g);
        EXPECT_EQ(r.number, i);
        EXPECT_EQ(r.sex, i % 2 ? 1 : 2);
        // The parents are the population's, as positions in the generation before.
        EXPECT_EQ(r.sire, h.first_of(g - 1) + s.st.pop.parents[i - 1].sire - 1);
        EXPECT_EQ(r.dam, h.first_of(g - 1) + s.st.pop.parents[i - 1].dam - 1);
        EXPECT_EQ(h.at(r.sire).sex, 1);  // sires are males, dams females
        EXPECT_EQ(h.at(r.dam).sex, 2);
      }
    }
  }
  EXPECT_EQ(g, 13);
  const qm::pedigree_history& h = s.st.history;
  EXPECT_EQ(h.size(), 40 * 14);
  // Earlier generations keep their parents after later ones were made.
  for (int gen = 1; gen <= 13; ++gen)
    for (int i = 1; i <= 40; ++i) {
      const qm::pedigree_record& r = h.at(h.first_of(gen) + i - 1);
      ASSERT_EQ(h.at(r.sire).number, made[gen - 1][i - 1].sire);
      ASSERT_EQ(h.at(r.dam).number, made[gen - 1][i - 1].dam);
      ASSERT_EQ(h.at(r.sire).generation, gen - 1);
    }
}

TEST(PedigreeHistory, HoldsEveryAnimalOfTheRunWithoutMoving) {
  // The whole run of the small parameter set, stage by stage: the room
  // reserved at the start is what the generation loop fills, so the records
  // never move to a larger array (a reference taken at the start stays valid).
  qmtest::tempdir dir;
  qmtest::console_capture con;
  qmtest::run_setup s(qmtest::small_par());
  const qm::pedigree_record* first = &s.st.history.at(1);
  for (int stage = 1; stage <= s.params.nstage; ++stage) s.run_stage(stage, qm::observer_list{});
  EXPECT_EQ(&s.st.history.at(1), first);
  int64_t counted = 0;
  for (int32_t g = 0; g < s.st.history.generations(); ++g) counted += s.st.history.size_of(g);
  EXPECT_EQ(s.st.history.size(), counted);
  EXPECT_EQ(s.st.history.size(), qm::animals_in_run(s.params));
}

// The message of the invariant_error of verify ("" when none).
std::string fault(const qm::pedigree_history& h, int32_t from_generation = 0) {
  try {
    qm::verify(h, from_generation);
  } catch (const qm::invariant_error& e) {
    return e.what();
  }
  return "";
}

TEST(PedigreeHistoryVerify, HistoriesThatAppendMakesPass) {
  qm::pedigree_history h;
  EXPECT_EQ(fault(h), "");  // nothing started
  h.start(4);
  EXPECT_EQ(fault(h), "");
  h.append({{1, 2}, {3, 4}, {1, 4}});
  h.append({{1, 2}, {3, 2}, {3, 2}, {1, 2}, {1, 2}});
  EXPECT_EQ(fault(h), "");

  // The history of a whole run.
  qmtest::tempdir dir;
  qmtest::console_capture con;
  qmtest::run_setup s(qmtest::small_par());
  for (int stage = 1; stage <= s.params.nstage; ++stage) s.run_stage(stage, qm::observer_list{});
  EXPECT_EQ(fault(s.st.history), "");
}

TEST(PedigreeHistoryVerify, ParentsOutsideTheGenerationBeforeOrOfTheWrongSex) {
  // Base of 4 (positions 1..4), generation 1 of 3 (5..7), then one more.
  auto with_last = [](const std::vector<qm::parent_pair>& last) {
    qm::pedigree_history h;
    h.start(4);
    h.append({{1, 2}, {3, 4}, {1, 4}});
    h.append(last);
    return fault(h);
  };
  EXPECT_EQ(with_last({{1, 2}, {3, 2}}), "");
  // Sire 0 is position 4, in the base generation; dam 4 is position 8, the animal itself.
  EXPECT_EQ(with_last({{1, 2}, {0, 2}}),
            "record 9 of the pedigree history (animal 2 of generation 2) has sire 4, outside generation 1 (positions 5..7)");
  EXPECT_EQ(with_last({{1, 4}}),
            "record 8 of the pedigree history (animal 1 of generation 2) has dam 8, outside generation 1 (positions 5..7)");
  EXPECT_EQ(with_last({{2, 2}}), "record 8 of the pedigree history (animal 1 of generation 2) has sire 6, a female");
  EXPECT_EQ(with_last({{1, 2}, {3, 3}}), "record 9 of the pedigree history (animal 2 of generation 2) has dam 7, a male");
  // An empty generation: the next starts where it does.
  qm::pedigree_history h;
  h.start(4);
  h.append({});
  EXPECT_EQ(fault(h), "generation 1 of the pedigree history starts at position 5, past its last record, 4");
  h.append({{1, 2}});
  EXPECT_EQ(fault(h), "generation 2 of the pedigree history starts at position 5, not after generation 1 at 5");
}

TEST(PedigreeHistoryVerify, OffsetsAndRecordsFromTheirParts) {
  // A valid history of 4 + 2 + 2 animals from its parts, then one fault at a time.
  using rec = qm::pedigree_record;
  const std::vector<rec> records = {{0, 0, 0, 1, 1}, {0, 0, 0, 2, 2}, {0, 0, 0, 3, 1}, {0, 0, 0, 4, 2},
                                    {1, 4, 1, 1, 1}, {3, 2, 1, 2, 2}, {5, 6, 2, 1, 1}, {5, 6, 2, 2, 2}};
  const std::vector<int64_t> first = {1, 5, 7};
  auto with = [&](const std::function<void(std::vector<rec>&, std::vector<int64_t>&)>& damage, int32_t from = 0) {
    std::vector<rec> r = records;
    std::vector<int64_t> f = first;
    damage(r, f);
    return fault(qm::pedigree_history::from_parts(std::move(r), std::move(f)), from);
  };
  EXPECT_EQ(with([](auto&, auto&) {}), "");
  const qm::pedigree_history valid = qm::pedigree_history::from_parts(records, first);
  EXPECT_EQ(valid.size_of(1), 2);
  EXPECT_EQ(valid.position_in_current(2), 8);

  // Offsets: the first not at 1, one going backwards, one past the records,
  // records without a generation.
  EXPECT_EQ(with([](auto&, auto& f) { f[0] = 2; }), "generation 0 of the pedigree history starts at position 2, not 1");
  EXPECT_EQ(with([](auto&, auto& f) { f[2] = 4; }),
            "generation 2 of the pedigree history starts at position 4, not after generation 1 at 5");
  EXPECT_EQ(with([](auto&, auto& f) { f[2] = 9; }),
            "generation 2 of the pedigree history starts at position 9, past its last record, 8");
  EXPECT_EQ(with([](auto&, auto& f) { f.clear(); }), "the pedigree history has no generation but 8 records");
  // Records whose generation, number or sex is not the one their place gives.
  EXPECT_EQ(with([](auto& r, auto&) { r[5].generation = 2; }),
            "record 6 of the pedigree history is animal 2 of generation 2 with sex 2; its position makes it animal 2 "
            "of generation 1 with sex 2");
  EXPECT_EQ(with([](auto& r, auto&) { r[6].number = 3; }),
            "record 7 of the pedigree history is animal 3 of generation 2 with sex 1; its position makes it animal 1 "
            "of generation 2 with sex 1");
  EXPECT_EQ(with([](auto& r, auto&) { r[3].sex = 1; }),
            "record 4 of the pedigree history is animal 4 of generation 0 with sex 1; its position makes it animal 4 "
            "of generation 0 with sex 2");
  // Parents: known in the base generation, past the generation before.
  EXPECT_EQ(with([](auto& r, auto&) { r[2].dam = 1; }),
            "record 3 of the pedigree history (animal 3 of generation 0) has sire 0 and dam 1; the base generation "
            "has no known parents");
  EXPECT_EQ(with([](auto& r, auto&) { r[7].sire = 3; }),
            "record 8 of the pedigree history (animal 2 of generation 2) has sire 3, outside generation 1 (positions "
            "5..6)");
  EXPECT_EQ(with([](auto& r, auto&) { r[4].dam = 9; }),
            "record 5 of the pedigree history (animal 1 of generation 1) has dam 9, outside generation 0 (positions "
            "1..4)");
  // From a later generation on: the records before it are not read again,
  // the offsets of every generation are.
  EXPECT_EQ(with([](auto& r, auto&) { r[4].dam = 9; }, 2), "");
  EXPECT_NE(with([](auto& r, auto&) { r[7].sire = 3; }, 2), "");
  EXPECT_EQ(with([](auto&, auto& f) { f[1] = 1; }, 2),
            "generation 1 of the pedigree history starts at position 1, not after generation 0 at 1");
}

}  // namespace
