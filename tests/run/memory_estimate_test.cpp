// The memory estimate counts the history file: the size a history of the
// parameters has when one is saved, and when one is read the size of the
// file on disk if it is larger (a file edited to be huge is counted as it
// is, before a byte of it is read).
#include "run/memory_estimate.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "base/messages.hpp"
#include "config/stage_plan.hpp"
#include "run/history_file.hpp"
#include "run/work_estimate.hpp"
#include "support.hpp"

namespace {

TEST(MemoryEstimate, TheHistoryFileAsSavedOrAsItIsOnDisk) {
  qmtest::tempdir td;
  qmtest::console_capture quiet;
  qm::run_parameters p;
  qmtest::load_par(p, qmtest::small_par());  // stage 1: 40 animals, 44 markers, 40 candidate loci, 31 generations
  const int64_t without = qm::estimate_peak_memory(p);
  EXPECT_EQ(qm::history_file_memory(p), 0);
  // The size of a history of these parameters, by the documented formula.
  const int64_t of_parameters = qm::history_file_bytes(40, 44, 40, 32);
  EXPECT_EQ(qm::stage_plan(p).stage(1).generations(), 31);

  p.save_history = "h.qmh";
  EXPECT_EQ(qm::history_file_memory(p), of_parameters);
  EXPECT_EQ(qm::estimate_peak_memory(p), without + of_parameters);

  p.save_history.clear();
  p.from_history = "missing.qmh";  // read_history_file will say why; counted as a history of its own size
  EXPECT_EQ(qm::history_file_memory(p), of_parameters);
  qmtest::write_file("small.qmh", "x");
  p.from_history = "small.qmh";
  EXPECT_EQ(qm::history_file_memory(p), of_parameters);
  // 300 MB on disk, none of it written (a sparse file).
  qmtest::write_file("big.qmh", "");
  ASSERT_EQ(::truncate("big.qmh", int64_t{300} << 20), 0);
  p.from_history = "big.qmh";
  EXPECT_EQ(qm::history_file_memory(p), int64_t{300} << 20);
  EXPECT_EQ(qm::history_file_memory(p, qm::history_sizing::of_parameters), of_parameters);
  EXPECT_EQ(qm::estimate_peak_memory(p), without + (int64_t{300} << 20));
  EXPECT_EQ(qm::estimate_peak_memory(p, qm::history_sizing::of_parameters), without + of_parameters);

  // --max-memory between the two: the run of the parameters fits, the one
  // with this file does not.
  p.max_memory_bytes = without + (int64_t{100} << 20);
  EXPECT_EQ(qm::memory_limit(p), p.max_memory_bytes);
  EXPECT_NO_THROW(qm::check_memory_estimate(p, qm::history_sizing::of_parameters));
  try {
    qm::check_memory_estimate(p);
    ADD_FAILURE() << "a 300 MB history passed a limit 100 MB above the run";
  } catch (const qm::run_stop& e) {
    EXPECT_NE(std::string(e.what()).find("that --max-memory allows"), std::string::npos) << e.what();
  }
}

}  // namespace

namespace {

// An index over estimates counts the multi-trait evaluation: at least the
// phenotypes of every trait of the animals with values and seven vectors of
// T values per unknown group of its solve; an index over true values counts
// nothing more.
TEST(MemoryEstimate, MultiTraitEvaluationOfAnIndex) {
  qmtest::tempdir td;
  qmtest::console_capture cc;
  qm::run_parameters p;
  std::string par = qmtest::set_record(qmtest::small_par(), 2, "2 0 0.2 0");
  par = qmtest::set_record(qmtest::set_record(par, 4, "0.5"), 6, "0.2");
  qmtest::load_par(p, qmtest::set_record(par, 8, "0.3 0.4"));
  const int64_t plain = qm::estimate_peak_memory(p);
  const int64_t valued = 40 * 1 + 40 * 2;  // stages 2 and 3
  const int64_t pedigree = valued + 40;    // and the parents of stage 2
  const auto with_index = [&](qm::selection_criterion c) {
    qm::run_parameters q = p;
    q.stages[3].block.seltype = 5;
    q.stages[3].block.index = {c, {1.0, 1.0}};
    return qm::estimate_peak_memory(q);
  };
  EXPECT_EQ(with_index(qm::selection_criterion::true_value), plain);
  EXPECT_GE(with_index(qm::selection_criterion::pedigree_ebv) - plain, 2 * 8 * valued + 7 * 2 * 8 * pedigree);
  const int64_t markers = p.markers();
  EXPECT_GE(with_index(qm::selection_criterion::genomic_ebv) - plain, 2 * 8 * valued + 7 * 2 * 8 * markers);
}

}  // namespace

namespace {

// Optimum contributions with kept parents: the estimate holds the dense
// pedigree relationships of every living animal (the generation and the
// kept ones, two matrices while one is made from the other) and the kept
// animals' haplotypes; the time of a generation of 2,000 candidates adds
// the factorisation measured by bench/run (0.2 to 0.3 s), not more than
// the second the solver is allowed.
TEST(MemoryEstimate, RelationshipsOfTheLivingAnimals) {
  qmtest::tempdir td;
  qmtest::console_capture cc;
  qm::run_parameters p;
  qmtest::load_par(p, qmtest::small_par());
  const int64_t plain = qm::estimate_peak_memory(p);
  qm::run_parameters q = p;
  qm::stage_block& b = q.stages[3].block;
  b.contributions = {true, 0.01, qm::relationship_source::pedigree, 0};
  b.ages = {3, 2};
  const int64_t living = b.nind + 2 * (b.nsire + b.ndam);  // sires kept two generations more
  EXPECT_GE(qm::estimate_peak_memory(q) - plain, 2 * 8 * living * living);

  qm::stage_block big = b;
  big.nind = 2000;
  big.ages = {1, 1};
  const qm::generation_step g{3, qm::generation_kind::selection, 5, 5, true};
  const double with = qm::work_of_generation(q, big, g, 0).seconds();
  big.contributions.on = false;
  const double without = qm::work_of_generation(q, big, g, 0).seconds();
  EXPECT_GT(with - without, 0.2);
  EXPECT_LT(with - without, 1.0);
}

}  // namespace
