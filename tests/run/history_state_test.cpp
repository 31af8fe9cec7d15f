// A history and the parameter file of a later run: a change in any record
// stage 1 uses stops the run naming that record with both values, a change
// after stage 1 does not; a run started from the history goes on exactly
// as the run that made it (replicate 0), or from the seed of replicate K.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <memory>

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

namespace {

std::string unfit(const qm::run_parameters& p, const qm::saved_history& h,
                  const qm::observer_list& observers = qm::observer_list{}) {
  try {
    qm::check_history_fits(p, h, observers);
  } catch (const qm::history_error& e) {
    return e.what();
  }
  return "";
}

// Every history that stage 1 leaves passes: even spacing, random gaps,
// no recombination, and stage-1 blocks of other sizes (few sires, a short
// stage 1 whose recoding generation comes first), a long chromosome of
// many markers on a short map.
TEST(HistoryFits, WhatStage1LeavesPasses) {
  qmtest::tempdir td;
  qmtest::console_capture quiet;
  const std::string par = qmtest::small_par();
  for (const std::string& p : {par, qmtest::set_record(par, 10, "11 4 1"), qmtest::set_record(par, 10, "11 4 2"),
                               qmtest::set_record(par, 18, "4 20 40 30"), qmtest::set_record(par, 18, "10 20 40 2"),
                               qmtest::set_record(qmtest::set_record(par, 10, "70 2 1"), 12, "0.01 1.0e-3 2.0e-3")}) {
    qmtest::run_setup run(p);
    const qm::saved_history h = history_of(run);
    EXPECT_EQ(unfit(run.params, h), "") << p;
  }
}

// A history with a random map (gaps kept) after stage 1, as a later run reads it.
struct random_map_history {
  qmtest::tempdir td;
  qmtest::console_capture quiet;
  qmtest::run_setup run{qmtest::set_record(qmtest::set_record(qmtest::small_par(), 10, "35 2 1"), 18, "10 20 40 30")};
  std::string bytes = history_bytes(run);
  qm::saved_history fresh() const { return qm::decode_history(bytes, "h.qmh"); }
};

TEST(HistoryFits, EachEditIsNamedWithTheFile) {
  const random_map_history s;
  const qm::run_parameters& p = s.run.params;
  ASSERT_EQ(unfit(p, s.fresh()), "");
  EXPECT_EQ(s.run.st.rng.start_seed, 12345);
  const int32_t replicate2 = qm::replicate_seed(12345, 2);
  const struct {
    std::function<void(qm::saved_history&)> edit;
    std::string message;
  } cases[] = {
      // The run that made it.
      {[](qm::saved_history& h) { h.mutation_on = true; },
       "mutation is on, but stage 1 switches it off in its recoding generation"},
      {[](qm::saved_history& h) { h.rng.start_seed = 54321; },
       "its random stream started from seed 54321, but seed 12345 gives 12345"},
      {[](qm::saved_history& h) { h.rng.start_seed = 0; }, "its random stream started from seed 0, outside 1..2147483646"},
      {[](qm::saved_history& h) { h.replicate = -1; }, "it was made by replicate -1"},
      {[](qm::saved_history& h) { h.replicate = 2; },
       "its random stream started from seed 12345, but seed 12345 and replicate 2 give " + std::to_string(replicate2)},
      // The map: values no map has, then a map that is not the one made.
      {[](qm::saved_history& h) { h.map.markers[2].morgan = std::nan(""); },
       "marker 3 (marker 3 of chromosome 1) lies at nan Morgan"},
      {[](qm::saved_history& h) { h.map.markers[40].base_pair = int64_t{1} << 62; },
       "marker 41 (marker 6 of chromosome 2) lies at base pair 4611686018427387904, which its position of"},
      {[](qm::saved_history& h) {
         qm::locus_position& l = h.map.candidates[0];
         l.morgan = (h.map.markers[0].morgan + h.map.markers[1].morgan) / 2;
         l.base_pair = static_cast<int64_t>(l.morgan * 1e8);
       },
       "its genetic map is not the one that its stage-1 records and start seed 12345 make: candidate locus 1 lies at "},
      {[](qm::saved_history& h) { h.map.recomb_left[5] *= 0.5; },
       "its genetic map is not the one that its stage-1 records and start seed 12345 make: the recombination "
       "fractions of candidate locus 6 differ"},
      // The population.
      {[](qm::saved_history& h) { h.pop.sires.clear(); },
       "it lists 0 selected sires and 20 selected dams; stage 1 selects nsire = 10 and ndam = 20"},
      {[](qm::saved_history& h) { h.pop.sires[0] = 2; }, "entry 1 of the sire list is animal 2, a female (even number)"},
      {[](qm::saved_history& h) { h.pop.dams[3] = h.pop.dams[1]; }, "entry 4 of the dam list is animal"},
      {[](qm::saved_history& h) {
         h.pop.tbv.assign(40, 0.0);
         h.pop.phenotype.assign(40, 0.0);
       },
       "the population has 40 true breeding values for 40 animals and 0 traits"},
      {[](qm::saved_history& h) { h.pop.markers.row(3)[1] |= uint64_t{1} << 63; },
       "haplotype 4 of the marker matrix has bits set past its last locus, 70"},
      {[](qm::saved_history& h) { h.pop.candidate_alleles.next[7] = 1; },
       "the candidate-locus allele registry gives locus 8 the next number 1, outside 2..128"},
      // The pedigree against the population.
      {[](qm::saved_history& h) {
         qm::pedigree_history ped;
         ped.start(41);
         for (int32_t g = 1; g < h.pedigree.generations(); ++g) {
           std::vector<qm::parent_pair> parents;
           for (int32_t i = 0; i < h.pedigree.size_of(g); ++i) {
             const qm::pedigree_record& r = h.pedigree.at(h.pedigree.first_of(g) + i);
             const int64_t before = h.pedigree.first_of(g - 1);
             parents.push_back({static_cast<int32_t>(r.sire - before + 1), static_cast<int32_t>(r.dam - before + 1)});
           }
           ped.append(parents);
         }
         h.pedigree = std::move(ped);
       },
       "generation 0 of its pedigree has 41 animals; every generation of stage 1 has nind = 40"},
      {[](qm::saved_history& h) {
         size_t k = 1;
         while (h.pop.parents[k].sire == h.pop.parents[0].sire && h.pop.parents[k].dam == h.pop.parents[0].dam) ++k;
         std::swap(h.pop.parents[0], h.pop.parents[k]);
       },
       "animal 1 of the population has sire "},
  };
  for (const auto& c : cases) {
    qm::saved_history h = s.fresh();
    c.edit(h);
    const std::string m = unfit(p, h);
    EXPECT_EQ(m.rfind("History file h.qmh is damaged: ", 0), 0u) << m;
    EXPECT_NE(m.find(c.message), std::string::npos) << m << "\nwanted: " << c.message;
    EXPECT_NE(m.find("Make it again with --save-history."), std::string::npos) << m;
    EXPECT_EQ(m.find("param.par"), std::string::npos) << "the parameter file is not at fault: " << m;
  }
  // One whole message.
  qm::saved_history h = s.fresh();
  h.map.markers[2].morgan = std::nan("");
  EXPECT_EQ(unfit(p, h),
            "History file h.qmh is damaged: marker 3 (marker 3 of chromosome 1) lies at nan Morgan. Make it again "
            "with --save-history.");
}

// The observers see their sections with the stage-1 generations, and what
// one of them refuses is a fault of the file.
struct section_judge : qm::generation_observer {
  mutable int64_t generations = -1;
  mutable std::string seen;
  bool refuse = false;
  void check_history_section(const qm::history_resume& r) const override {
    generations = r.generations;
    const auto it = r.sections.find("judge");
    seen = it == r.sections.end() ? "(none)" : it->second;
    if (refuse) throw qm::decode_error("its judge entry says no");
  }
};

TEST(HistoryFits, ObserversJudgeTheirSections) {
  const random_map_history s;
  qm::saved_history h = s.fresh();
  h.extras.observer_sections["judge"] = "abc";
  for (bool refuse : {false, true}) {
    auto judge = std::make_unique<section_judge>();
    section_judge* j = judge.get();
    j->refuse = refuse;
    qm::observer_list list;
    list.add(std::move(judge));
    EXPECT_EQ(unfit(s.run.params, h, list),
              refuse ? "History file h.qmh is damaged: its judge entry says no. Make it again with --save-history." : "");
    EXPECT_EQ(j->generations, 31);
    EXPECT_EQ(j->seen, "abc");
  }
}

}  // namespace
