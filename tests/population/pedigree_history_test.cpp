// The pedigree history: every animal since the base generation, with its
// parents as positions in the history; and its bytes in a history file.
#include "population/pedigree_history.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "base/byte_codec.hpp"
#include "base/invariant_error.hpp"
#include "config/stage_plan.hpp"
#include "run/generation.hpp"
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
  std::vector<qm::generation_step> steps;
  qm::planned_stage(1, b, 0).for_each_generation([&](const qm::generation_step& step) { steps.push_back(step); });
  for (const qm::generation_step& step : steps) {
    qm::run_generation(s.st, b, step, qm::observer_list{});
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
  EXPECT_EQ(s.st.history.size(), qm::stage_plan(s.params).animals());
}

// The base of 4 animals, then generations of 3 and 5 with parents given as
// numbers in the generation before.
const std::vector<std::vector<qm::parent_pair>> three_generations = {
    {{1, 2}, {3, 4}, {1, 4}}, {{1, 2}, {3, 2}, {3, 2}, {1, 2}, {1, 2}}};

std::string encoded(const qm::pedigree_history& h) {
  std::string out;
  qm::byte_writer w(out);
  qm::encode_pedigree_history(w, h);
  return out;
}

qm::pedigree_history made_by_hand() {
  qm::pedigree_history h;
  h.start(4);
  for (const auto& g : three_generations) h.append(g);
  return h;
}

TEST(PedigreeHistoryCodec, ParentsAsNumbersInTheGenerationBeforeAndBack) {
  using qmtest::le;
  const qm::pedigree_history h = made_by_hand();
  std::string want = le(3, 4) + le(4, 4);
  for (const auto& g : three_generations) {
    want += le(g.size(), 8);
    for (const qm::parent_pair& pp : g) want += le(pp.sire, 4) + le(pp.dam, 4);
  }
  const std::string bytes = encoded(h);
  ASSERT_EQ(bytes, want);

  // Every record back, also those of a run's stage 1 (40 animals, 31 generations).
  qmtest::tempdir dir;
  qmtest::console_capture con;
  qmtest::run_setup s(qmtest::small_par());
  s.run_stage(1);
  const qm::pedigree_history* both[] = {&h, &s.st.history};
  for (const qm::pedigree_history* a : both) {
    const std::string b = encoded(*a);
    qm::byte_reader r(b, "section PED of h.qmh");
    const qm::pedigree_history back = qm::decode_pedigree_history(r, 40);
    EXPECT_EQ(r.left(), 0u);
    ASSERT_EQ(back.generations(), a->generations());
    ASSERT_EQ(back.size(), a->size());
    for (int64_t k = 1; k <= a->size(); ++k) {
      const qm::pedigree_record &x = back.at(k), &y = a->at(k);
      ASSERT_TRUE(x.sire == y.sire && x.dam == y.dam && x.generation == y.generation && x.number == y.number &&
                  x.sex == y.sex)
          << "record " << k;
    }
  }
  EXPECT_EQ(s.st.history.generations(), 32);
}

TEST(PedigreeHistoryCodec, DamagedBytesGiveDecodeErrors) {
  using qmtest::le;
  const std::string bytes = encoded(made_by_hand());
  auto decode = [](qm::byte_reader& r) { qm::decode_pedigree_history(r, 5); };
  EXPECT_EQ(qmtest::first_cut_accepted(bytes, decode), -1);

  std::string huge = bytes;  // generation 1 of 2^60 animals
  huge.replace(8, 8, le(uint64_t{1} << 60, 8));
  EXPECT_NE(qmtest::decode_failure(huge, decode).find("is damaged: it gives 1152921504606846976 parent pairs"),
            std::string::npos);

  std::string none = bytes;
  none[0] = 0;
  EXPECT_EQ(qmtest::decode_failure(none, decode), "the pedigree has no generation");
  std::string no_base = bytes;
  no_base[4] = 0;
  EXPECT_EQ(qmtest::decode_failure(no_base, decode), "the base generation has 0 animals");
  // A base of 10^8 animals is four bytes in the file and 3.2 GB of records:
  // refused by the bound before they are made. Generations of the bound
  // pass (above), one more does not.
  std::string base = bytes;
  base.replace(4, 4, le(100000000, 4));
  EXPECT_EQ(qmtest::decode_failure(base, decode),
            "generation 0 of the pedigree has 100000000 animals, more than the 5 a generation can have");
  EXPECT_EQ(qmtest::decode_failure(bytes, [](qm::byte_reader& r) { qm::decode_pedigree_history(r, 4); }),
            "generation 2 of the pedigree has 5 animals, more than the 4 a generation can have");
  EXPECT_EQ(qmtest::decode_failure(bytes, [](qm::byte_reader& r) { qm::decode_pedigree_history(r, 3); }),
            "generation 0 of the pedigree has 4 animals, more than the 3 a generation can have");
  std::string empty = le(2, 4) + le(4, 4) + le(0, 8);
  EXPECT_EQ(qmtest::decode_failure(empty, decode), "generation 1 of the pedigree is empty");
  // Generation 2 names dam 4 of a generation of 3.
  std::string outside = bytes;
  outside[8 + 8 + 24 + 8 + 4] = 4;
  EXPECT_EQ(qmtest::decode_failure(outside, decode),
            "generation 2 of the pedigree has a parent outside the generation before");
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
