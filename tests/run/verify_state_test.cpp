// The check of a run's state after the steps of a generation: every state
// of a whole run passes, a generation made step by step passes after each
// step (also when a stage changes the size of the generations, where the
// parent lists belong to the generation before until the selection), damage
// that only the fit of the parts shows is caught, and check_state stops
// the run with an internal-error message naming the step.
#include "run/verify_state.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "base/invariant_error.hpp"
#include "base/messages.hpp"
#include "config/stage_plan.hpp"
#include "population/mating.hpp"
#include "population/meiosis.hpp"
#include "run/generation.hpp"
#include "support.hpp"

namespace {

using qmtest::set_record;

constexpr auto& fault = qmtest::invariant_fault;

// The small run with stage 3 in generations of 60 instead of 40.
std::string growing_par() { return set_record(qmtest::small_par(), 26, "10 20 60 2"); }

TEST(VerifyState, EveryGenerationOfAWholeRunPasses) {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  qmtest::run_setup s(growing_par());
  EXPECT_EQ(fault([&] { qm::verify_state(s.st, qm::run_step::start, 127); }), "");
  const qm::stage_plan plan(s.params);
  for (const qm::planned_stage& stage : plan) {
    const qm::stage_block& b =
        stage.number() == 1 ? s.params.stage1()
                            : qm::enter_stage(s.params, stage.number(), static_cast<int32_t>(s.st.pop.sires.size()),
                                              static_cast<int32_t>(s.st.pop.dams.size()));
    std::vector<qm::generation_step> steps;
    stage.for_each_generation([&](const qm::generation_step& g) { steps.push_back(g); });
    for (const qm::generation_step& step : steps) {
      qm::run_generation(s.st, b, step, qm::observer_list{});
      const int8_t max_allele = step.kind == qm::generation_kind::history_with_mutation ? 127 : 2;
      ASSERT_EQ(fault([&] { qm::verify_state(s.st, qm::run_step::selection, max_allele); }), "")
          << "stage " << stage.number() << " generation " << step.number;
    }
  }
  EXPECT_EQ(s.st.pop.nind, 60);
  EXPECT_EQ(s.st.history.generations(), 1 + 31 + 1 + 2);  // stage 1 of ngen 30 makes 31
}

// The first generation of stage 3 (60 animals from parents among 40) made
// step by step as run_generation makes it, up to the meiosis.
struct stage3_by_hand {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  qmtest::run_setup s{growing_par()};
  std::vector<qm::parent_pair> offspring;
  stage3_by_hand() {
    s.run_stage(1);
    s.run_stage(2);
  }
  void mate() {
    const qm::stage_block& b = qm::enter_stage(s.params, 3, static_cast<int32_t>(s.st.pop.sires.size()),
                                               static_cast<int32_t>(s.st.pop.dams.size()));
    offspring = qm::mate_parents(s.st.pop, b.matetype, b.nind, s.st.rng);
    s.st.history.append(offspring);
  }
  void meiosis() { qm::make_offspring(s.st.pop, offspring, {s.st.map, 0.0, 0.0}, s.st.buffers, s.st.rng, 1); }
};

TEST(VerifyState, EachStepOfAGenerationPassesAndDamageToTheFitIsCaught) {
  stage3_by_hand r;
  qm::run_state& st = r.s.st;
  r.mate();
  ASSERT_EQ(st.history.generations(), 34);
  ASSERT_EQ(st.history.size_of(33), 60);
  EXPECT_EQ(fault([&] { qm::verify_state(st, qm::run_step::mating, 2, r.offspring); }), "");
  // After mating the population is still the generation of the parents.
  EXPECT_NE(fault([&] { qm::verify_state(st, qm::run_step::meiosis, 2); }), "");
  // Pairs that are not the history's last generation: another selected sire.
  std::vector<qm::parent_pair> other = r.offspring;
  other[0].sire = other[0].sire == st.pop.sires[0] ? st.pop.sires[1] : st.pop.sires[0];
  const int64_t before = st.history.first_of(32);
  EXPECT_EQ(fault([&] { qm::verify_state(st, qm::run_step::mating, 2, other); }),
            "animal 1 of generation 33 has sire " + std::to_string(other[0].sire) + " and dam " +
                std::to_string(other[0].dam) + " in the mating, positions " +
                std::to_string(before + other[0].sire - 1) + " and " + std::to_string(before + other[0].dam - 1) +
                " of the pedigree history, which has " + std::to_string(before + r.offspring[0].sire - 1) + " and " +
                std::to_string(before + r.offspring[0].dam - 1));
  other.pop_back();
  EXPECT_EQ(fault([&] { qm::verify_state(st, qm::run_step::mating, 2, other); }),
            "generation 33 of the pedigree history has 60 animals, the mating 59");

  r.meiosis();
  ASSERT_EQ(st.pop.nind, 60);
  EXPECT_EQ(fault([&] { qm::verify_state(st, qm::run_step::meiosis, 2); }), "");
  // Until the selection the lists are those of the 40 parents: animal 41 is
  // in the new generation but was not among them.
  const int32_t first_sire = st.pop.sires[0];
  st.pop.sires[0] = 41;
  EXPECT_EQ(fault([&] { qm::verify_state(st, qm::run_step::meiosis, 2); }),
            "entry 1 of the sire list is animal 41, outside 1..40");
  // After the selection the lists are the new generation's, and the values
  // too: those of the 40 parents no longer fit.
  EXPECT_EQ(fault([&] { qm::verify_state(st, qm::run_step::selection, 2); }),
            "the population has 40 true breeding values for 60 animals and 1 traits");
  st.pop.sires[0] = first_sire;
  // The population's parents against its records in the history.
  const qm::parent_pair kept = st.pop.parents[59];
  st.pop.parents[59].sire = kept.sire == st.pop.sires[0] ? st.pop.sires[1] : st.pop.sires[0];
  const std::string parents_fault = fault([&] { qm::verify_state(st, qm::run_step::meiosis, 2); });
  EXPECT_EQ(parents_fault.rfind("animal 60 of generation 33 has sire ", 0), 0u) << parents_fault;
  EXPECT_NE(parents_fault.find(" in the population, positions "), std::string::npos) << parents_fault;
  st.pop.parents[59] = kept;
  // The matrices against the map.
  st.map.markers.pop_back();
  EXPECT_EQ(fault([&] { qm::verify_state(st, qm::run_step::meiosis, 2); }),
            "the population has 44 markers and 40 candidate loci, the map 43 and 40");
}

TEST(VerifyState, AFaultStopsTheRunAsAnInternalError) {
  stage3_by_hand r;
  qm::run_state& st = r.s.st;
  r.mate();
  r.meiosis();
  st.pop.markers.row(5)[0] |= uint64_t{1} << 50;  // past the 44 markers
  ASSERT_TRUE(qm::msg_open_log("log.txt"));
  std::string message;
  try {
    qm::check_state(st, qm::run_step::meiosis, 2);
  } catch (const qm::run_stop& e) {
    message = e.what();
  }
  qm::msg_close_log();
  const std::string want =
      "Internal error after the meiosis of generation 33: haplotype 6 of the marker matrix has bits set past its "
      "last locus, 44. The data of the run are not what the program makes of them; please report this with the "
      "parameter file.";
  EXPECT_EQ(message, want);
  // Through the one stop path: in the log, with its time stamp.
  EXPECT_EQ(qmtest::read_file("log.txt").substr(0, want.size() + 1), want + "\n");
  // A state without fault goes on.
  st.pop.markers.row(5)[0] &= ~(uint64_t{1} << 50);
  EXPECT_NO_THROW(qm::check_state(st, qm::run_step::meiosis, 2));
}

}  // namespace
