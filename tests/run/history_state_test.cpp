// A history and the parameter file of a later run: a change in any record
// stage 1 uses stops the run naming that record with both values, a change
// after stage 1 does not; a run started from the history goes on exactly
// as the run that made it (replicate 0), or from the seed of replicate K.
#include <gtest/gtest.h>

#include <cstring>

#include "random/replicate.hpp"
#include "run/history_state.hpp"
#include "support.hpp"

namespace {

// The history file of run after stage 1, and as a later run reads it.
std::string history_bytes(qmtest::run_setup& run) {
  run.run_stage(1);
  const std::vector<qm::stage1_record> records = qm::stage1_records(run.params);
  const qm::history_extras extras;
  const qm::history_source s{run.params.parafile, 0, records, run.st.rng, run.st.mutation_on, run.st.map,
                             run.st.pop, run.st.history, extras};
  return qm::encode_history(s);
}
qm::saved_history history_of(qmtest::run_setup& run) { return qm::decode_history(history_bytes(run), "h.qmh"); }

std::string mismatch(const qm::saved_history& h, const std::string& par) {
  qm::run_parameters p;
  qmtest::load_par(p, par);
  try {
    qm::check_stage1_records(p, h);
  } catch (const qm::history_error& e) {
    return e.what();
  }
  return "";
}

TEST(HistoryRecords, EveryStage1RecordIsCheckedAndNamed) {
  qmtest::tempdir td;
  qmtest::console_capture quiet;
  const std::string par = qmtest::small_par();
  qmtest::run_setup run(par);
  const qm::saved_history h = history_of(run);
  EXPECT_EQ(mismatch(h, par), "");
  struct change {
    int record;
    const char* line;
    const char* message;
  };
  const change changes[] = {
      {10, "12 4 0", "was made with nmpc = 11; the parameter file param.par has 12 (record 10)"},
      {10, "11 4 1", "was made with maptype = 0; the parameter file param.par has 1 (record 10)"},
      {12, "1.5 1.0e-3 2.0e-3", "was made with chrlen = 1; the parameter file param.par has 1.5 (record 12)"},
      {12, "1.0 1.0e-3 3.0e-3", "was made with mutq = 0.002; the parameter file param.par has 0.003 (record 12)"},
      {16, "3 0 54321", "was made with seed = 12345; the parameter file param.par has 54321 (record 16)"},
      {18, "10 20 60 30", "was made with stage-1 nind = 40; the parameter file param.par has 60 (record 18)"},
      {18, "10 20 40 31", "was made with stage-1 ngen = 30; the parameter file param.par has 31 (record 18)"},
      {20, "1 2 0", "was made with stage-1 nomut = 0; the parameter file param.par has 1 (record 20)"},
      {20, "0 1 0", "was made with stage-1 matetype = 2; the parameter file param.par has 1 (record 20)"},
  };
  for (const change& c : changes) {
    const std::string m = mismatch(h, qmtest::set_record(par, c.record, c.line));
    EXPECT_NE(m.find(std::string("History file h.qmh ") + c.message), std::string::npos) << c.line << ": " << m;
    EXPECT_NE(m.find("--save-history"), std::string::npos) << m;
  }
  // --seed stands for record 16.
  qm::run_parameters p;
  p.seed_from_command_line = 777;
  qmtest::load_par(p, par);
  try {
    qm::check_stage1_records(p, h);
    ADD_FAILURE() << "--seed 777 was accepted";
  } catch (const qm::history_error& e) {
    EXPECT_NE(std::string(e.what()).find("has 777 (record 16, given by --seed)"), std::string::npos) << e.what();
  }
}

TEST(HistoryRecords, RecordsAfterStage1MayDiffer) {
  qmtest::tempdir td;
  qmtest::console_capture quiet;
  const std::string par = qmtest::small_par();
  qmtest::run_setup run(par);
  const qm::saved_history h = history_of(run);
  std::string other = qmtest::set_record(par, 2, "2 0 0.2 0");   // two traits
  other = qmtest::set_record(other, 4, "0.5");                   // their correlations
  other = qmtest::set_record(other, 6, "0.1");
  other = qmtest::set_record(other, 8, "0.4 0.2");               // heritabilities
  other = qmtest::set_record(other, 14, "0 25 1.0 1.0");         // QTL
  other = qmtest::set_record(other, 16, "2 0 12345");            // stages
  other = qmtest::set_record(other, 22, "5 10 30 1");            // the stage-2 block
  other = qmtest::set_record(other, 24, "0 1 2");
  EXPECT_EQ(mismatch(h, other), "");
}

// Stages 2 and 3 run from a history made in memory and from the run that made it.
struct later_stages {
  std::vector<double> tbv;
  int32_t state = 0, start = 0;
};
later_stages run_on(qmtest::run_setup& run) {
  run.run_stage(2);
  run.run_stage(3);
  return {run.st.pop.tbv, run.st.rng.state, run.st.rng.start_seed};
}

TEST(HistoryResume, GoesOnAsTheRunThatMadeItOrFromTheReplicateSeed) {
  qmtest::tempdir td;
  qmtest::console_capture quiet;
  const std::string par = qmtest::small_par();
  qmtest::run_setup made(par, 2);
  const std::string bytes = history_bytes(made);
  const int32_t start = made.st.rng.start_seed;
  const later_stages uninterrupted = run_on(made);

  auto resumed = [&](int64_t k, int threads) {
    qmtest::run_setup run(par, threads);  // its own base generation is replaced by the history
    run.params.replicate = k;
    qm::saved_history h = qm::decode_history(bytes, "h.qmh");
    qm::check_stage1_records(run.params, h);
    qm::resume_from_history(run.st, h, qm::observer_list{});
    if (k > 0) {
      EXPECT_EQ(run.st.rng.state, qm::replicate_seed(start, k));
      EXPECT_EQ(run.st.rng.start_seed, qm::replicate_seed(start, k));
    }
    return run_on(run);
  };
  for (int threads : {1, 3}) {
    const later_stages r0 = resumed(0, threads);
    EXPECT_EQ(r0.tbv, uninterrupted.tbv) << threads << " threads";
    EXPECT_EQ(r0.state, uninterrupted.state);
    EXPECT_EQ(r0.start, start);  // the seed line of the log shows the history's seed
  }
  const later_stages r1 = resumed(1, 1), r1again = resumed(1, 2), r2 = resumed(2, 1);
  EXPECT_EQ(r1.tbv, r1again.tbv);  // a replicate repeats itself
  EXPECT_NE(r1.tbv, uninterrupted.tbv);
  EXPECT_NE(r1.tbv, r2.tbv);
  EXPECT_NE(r1.start, r2.start);
}

}  // namespace
