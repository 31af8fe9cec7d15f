// ggEBV.out from whole runs of the executable: written for the generations
// that select on EBVs and for no other, one line per animal with the
// identifiers of ggBV.out, the parents marked in ggBV.out are the best EBVs
// of each sex, and every file is the same bytes for 1, 2 and 3 threads; the
// file of an index over EBVs, with every trait and the index.
#include "output/ebv_file.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "config/stage_plan.hpp"
#include "support.hpp"

namespace fs = std::filesystem;

namespace {

// Runs the executable in folder dir (created) on param.par of the working folder.
void run_in(const std::string& dir, int threads, const std::string& extra = "") {
  const std::string cmd = "mkdir -p " + dir + " && cd " + dir + " && '" + QM_BINARY + "' --threads " +
                          std::to_string(threads) + " " + extra + " ../param.par > console.txt 2>&1";
  const int rc = std::system(cmd.c_str());
  ASSERT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 0) << qmtest::read_file(dir + "/console.txt");
}

std::vector<std::vector<std::string>> rows(const std::string& path) {
  std::vector<std::vector<std::string>> r;
  std::istringstream in(qmtest::read_file(path));
  for (std::string line; std::getline(in, line);) {
    std::istringstream f(line);
    std::vector<std::string> v;
    for (std::string w; f >> w;) v.push_back(w);
    r.push_back(v);
  }
  return r;
}

// Five stages of 60 animals: stage 2 on phenotypes, stage 3 (two
// generations) on pedigree BLUP, stage 4 on true values, stage 5 on SNP-BLUP.
std::string mixed_par() {
  return "EBV files in some generations only\n"
         "1 0 0.2 0\n\n\n\n\n"
         "heritability\n0.25\n"
         "nmpc nchr maptype\n21 4 0\n"
         "chrlen mutm mutq\n1.0 2.0e-2 2.0e-2\n"
         "qtlrule nqtl qtlp1 qtlp2\n0 10 1.0 1.0\n"
         "nstage spare seed\n5 0 4321\n"
         "stage 1\n10 20 60 20\nstage 1\n0 2 0\n"
         "stage 2\n6 12 60 1\nstage 2\n0 0 2\n"
         "stage 3\n6 12 60 2\nstage 3\n0 2 3\n"
         "stage 4\n6 12 60 1\nstage 4\n0 2 1\n"
         "stage 5\n6 12 60 1\nstage 5\n0 2 4\n";
}

// 2000 animals a generation, so that the pedigree of the last evaluation
// (10,000 animals) and the genomic reference (6,000) span several blocks of
// the parallel sums.
std::string large_par(int seltype) {
  return "Threads and EBVs\n"
         "1 0 0.2 0\n\n\n\n\n"
         "heritability\n0.2\n"
         "nmpc nchr maptype\n21 4 1\n"
         "chrlen mutm mutq\n1.0 5.0e-3 5.0e-3\n"
         "qtlrule nqtl qtlp1 qtlp2\n0 20 1.0 1.0\n"
         "nstage spare seed\n3 0 777\n"
         "stage 1\n100 100 2000 15\nstage 1\n0 2 0\n"
         "stage 2\n50 500 2000 1\nstage 2\n0 0 " + std::to_string(seltype) + "\n"
         "stage 3\n50 500 2000 3\nstage 3\n0 1 " + std::to_string(seltype) + "\n";
}

}  // namespace

TEST(EbvFile, OnlyEvaluatedGenerationsAndTheirParents) {
  qmtest::tempdir dir;
  qmtest::write_file("param.par", mixed_par());
  run_in("run", 1);
  const std::set<std::string> want = {"02EBV.out", "03EBV.out", "05EBV.out"};
  std::set<std::string> got;
  for (const auto& f : fs::directory_iterator("run")) {
    const std::string n = f.path().filename().string();
    if (n.ends_with("EBV.out")) got.insert(n);
  }
  EXPECT_EQ(got, want);
  for (int g : {2, 3, 5}) {
    SCOPED_TRACE("generation " + std::to_string(g));
    const std::string gg = "0" + std::to_string(g);
    const auto ebv = rows("run/" + gg + "EBV.out");
    const auto bv = rows("run/" + gg + "BV.out");
    ASSERT_EQ(ebv.size(), 61u);
    ASSERT_EQ(bv.size(), 61u);
    EXPECT_EQ(ebv[0], (std::vector<std::string>{"ID", "EBV", "Iter"}));
    EXPECT_EQ(qmtest::read_file("run/" + gg + "EBV.out").substr(0, 36), "     ID                 EBV    Iter\n");
    // The best EBVs of each sex are the parents marked in ggBV.out.
    std::map<int, double> worst_bred, best_other;
    for (int s : {1, 2}) worst_bred[s] = 1e300, best_other[s] = -1e300;
    for (size_t i = 1; i <= 60; ++i) {
      ASSERT_EQ(ebv[i].size(), 3u);
      EXPECT_EQ(ebv[i][0], bv[i][0]);              // identifiers, in order
      EXPECT_EQ(ebv[i][0].size(), 6u);
      EXPECT_EQ(ebv[i][2], ebv[1][2]);             // one solve for the generation
      EXPECT_GT(std::stoi(ebv[i][2]), 0);
      const double e = std::stod(ebv[i][1]);
      const int sex = std::stoi(bv[i][3]), bred = std::stoi(bv[i][4]);
      if (bred) worst_bred[sex] = std::min(worst_bred[sex], e);
      else best_other[sex] = std::max(best_other[sex], e);
    }
    for (int s : {1, 2}) EXPECT_GE(worst_bred[s] + 1e-6, best_other[s]) << "sex " << s;
  }
  // A run selecting on phenotypes only in the same folder writes no ggEBV.out
  // and says that those of the earlier run stay.
  std::string par = mixed_par();
  for (const char* from : {"0 2 3\n", "0 2 4\n"}) par.replace(par.find(from), 6, "0 2 2\n");
  qmtest::write_file("param.par", par);
  run_in("run", 1);
  EXPECT_NE(qmtest::read_file("run/console.txt")
                .find("will not be replaced by this run: 02EBV.out, 03EBV.out, 05EBV.out."),
            std::string::npos)
      << qmtest::read_file("run/console.txt");
}

TEST(EbvFile, SameBytesForAnyThreadCount) {
  for (int seltype : {3, 4}) {
    SCOPED_TRACE("seltype " + std::to_string(seltype));
    qmtest::tempdir dir;
    qmtest::write_file("param.par", large_par(seltype));
    for (int t : {1, 2, 3}) run_in("t" + std::to_string(t), t);
    std::set<std::string> names;
    for (const auto& f : fs::directory_iterator("t1"))
      if (f.path().extension() == ".out") names.insert(f.path().filename().string());
    EXPECT_EQ(names.count("04EBV.out"), 1u);
    EXPECT_EQ(names.size(), 4u + 4 * 4);  // four map files, then MTYPE, QTYPE, BV, EBV of four generations
    for (const std::string& n : names) {
      const std::string one = qmtest::read_file("t1/" + n);
      for (int t : {2, 3}) EXPECT_EQ(qmtest::read_file("t" + std::to_string(t) + "/" + n), one) << n << ", " << t << " threads";
    }
    // The log differs in its time stamps only.
    const auto log1 = rows("t1/log.txt"), log3 = rows("t3/log.txt");
    EXPECT_EQ(log1.size(), log3.size());
  }
}

namespace {

// Two traits, stage 2 (one generation) and stage 3 (three) on phenotypes.
std::string two_trait_par() {
  return "Two traits\n"
         "2 0 0.2 0\n\n0.5\n\n0.2\n"
         "heritabilities\n0.3 0.4\n"
         "nmpc nchr maptype\n11 4 0\n"
         "chrlen mutm mutq\n1.0 5.0e-2 5.0e-2\n"
         "qtlrule nqtl qtlp1 qtlp2\n0 10 1.0 1.0\n"
         "nstage spare seed\n3 0 99\n"
         "stage 1\n10 20 40 15\nstage 1\n0 2 0\n"
         "stage 2\n10 20 40 1\nstage 2\n0 0 2\n"
         "stage 3\n10 20 40 3\nstage 3\n0 2 2\n";
}

qm::run_parameters with_index(const qm::run_parameters& p, qm::selection_criterion c) {
  qm::run_parameters q = p;
  q.stages[3].block.seltype = 5;
  q.stages[3].block.index = {c, {1.5, -0.5}};
  return q;
}

// Records every generation with values into an evaluation of its own and,
// in stage 3, estimates both traits and writes the file of the index.
struct index_writer : qm::generation_observer {
  qm::run_parameters q;
  qm::ebv_evaluation e;
  explicit index_writer(const qm::run_parameters& p) : q(with_index(p, qm::selection_criterion::pedigree_ebv)) { e.plan(q); }
  void on_generation(const qm::generation_view& v) override {
    if (v.step.stage < 2) return;
    e.record_generation(v.pop, v.history, 1);
    if (v.step.stage < 3) return;
    const std::vector<double> g0 = {1.0, 0.3, 0.3, 0.7}, r0 = {2.0, 0.4, 0.4, 1.0};
    e.estimate_traits(qm::selection_criterion::pedigree_ebv, v.history, g0, r0, 1);
    qm::write_trait_ebv_file(qm::output_folder{}, q, e, q.stages[3].block.index.weights, v.step.file_generation);
  }
};

}  // namespace

TEST(EbvFile, IndexOverEstimatesHasEveryTraitAndTheIndex) {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  qmtest::run_setup s(two_trait_par());
  // Planned for the generations of the stage that selects on the index, of
  // EBVs only.
  for (const auto c : {qm::selection_criterion::pedigree_ebv, qm::selection_criterion::genomic_ebv,
                       qm::selection_criterion::true_value}) {
    const qm::run_parameters q = with_index(s.params, c);
    qm::file_plan files;
    qm::make_ebv_file(qm::output_folder{})->plan_files(q, qm::stage_plan(q), files);
    const std::set<std::string> want =
        c == qm::selection_criterion::true_value ? std::set<std::string>{} : std::set<std::string>{"02EBV.out", "03EBV.out", "04EBV.out"};
    EXPECT_EQ(files.names, want) << static_cast<int>(c);
  }
  auto w = std::make_unique<index_writer>(s.params);
  index_writer& iw = *w;
  qm::observer_list obs;
  obs.add(std::move(w));
  for (int st = 1; st <= 3; ++st) s.run_stage(st, obs);
  const std::string text = qmtest::read_file("04EBV.out");
  EXPECT_EQ(text.substr(0, text.find('\n') + 1),
            "     ID               EBV_1               EBV_2               Index    Iter\n");
  const auto r = rows("04EBV.out");
  ASSERT_EQ(r.size(), 41u);
  const std::span<const double> e1 = iw.e.current_trait(1), e2 = iw.e.current_trait(2);
  ASSERT_EQ(e1.size(), 40u);
  for (size_t i = 1; i <= 40; ++i) {
    ASSERT_EQ(r[i].size(), 5u);
    EXPECT_EQ(std::stoll(r[i][0]), 4 * s.params.idmult + static_cast<int64_t>(i));
    EXPECT_NEAR(std::stod(r[i][1]), e1[i - 1], 5e-13);
    EXPECT_NEAR(std::stod(r[i][2]), e2[i - 1], 5e-13);
    EXPECT_NEAR(std::stod(r[i][3]), 1.5 * e1[i - 1] - 0.5 * e2[i - 1], 5e-13);
    EXPECT_EQ(std::stoi(r[i][4]), iw.e.traits_stats().iterations);
  }
  EXPECT_GT(iw.e.traits_stats().iterations, 0);
  // The traits differ (G0 and R0 are not proportional), so the columns do too.
  EXPECT_NE(r[1][1], r[1][2]);
}
