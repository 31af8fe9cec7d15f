// --save-history and --from-history through the executable: for reference
// scenarios, a run started from a saved history writes every file of the
// uninterrupted run (result files, log.txt but its time lines, summary.csv,
// ld_decay.csv, report.html, PLINK and VCF files) byte for byte at 1, 2 and
// 3 threads; saving changes nothing in the run that saves; a damaged or
// unfitting history stops the run before any file is written; replicates
// on one history repeat themselves, differ, and merge.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "support.hpp"

namespace fs = std::filesystem;

namespace {

struct result {
  int status;
  std::string out, err;
};

result run(const std::string& folder, const std::string& args) {
  fs::create_directories(folder);
  const std::string cmd = "cd '" + folder + "' && '" + QM_BINARY + "' " + args +
                          " > stdout.txt 2> stderr.txt < /dev/null";
  const int rc = std::system(cmd.c_str());
  return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, qmtest::read_file(folder + "/stdout.txt"),
          qmtest::read_file(folder + "/stderr.txt")};
}

// Several runs side by side, each "folder|arguments".
void run_all(const std::vector<std::pair<std::string, std::string>>& runs) {
  std::string all;
  for (const auto& [folder, args] : runs) {
    fs::create_directories(folder);
    all += "(cd '" + folder + "' && '" + QM_BINARY + "' " + args + " > stdout.txt 2> stderr.txt < /dev/null; echo $? > status) & ";
  }
  ASSERT_EQ(std::system((all + "wait").c_str()), 0);
}

std::string masked_log(const std::string& path) {
  static const std::regex stamp(R"( \d{2}/\d{2}/\d{4} \d{2}:\d{2}:\d{2})");
  static const std::regex runtime(R"(         \d{2}:\d{2}:\d{2} --> \d{2}:\d{2}:\d{2})");
  const std::string t = qmtest::read_file(path);
  std::string out;
  size_t at = 0;
  while (at < t.size()) {
    size_t nl = t.find('\n', at);
    if (nl == std::string::npos) nl = t.size();
    const std::string line = t.substr(at, nl - at);
    out += std::regex_match(line, stamp) ? " <time stamp>" : std::regex_match(line, runtime) ? "         <run time>" : line;
    out += '\n';
    at = nl + 1;
  }
  return out;
}

// Every file of a against b: the same names, the same bytes (log.txt with
// its time lines masked); run.json and the test's own files left out.
void same_files(const std::string& a, const std::string& b, const std::string& what) {
  std::set<std::string> na, nb;
  const std::set<std::string> skip = {"run.json", "stdout.txt", "stderr.txt", "status", "param.par", "h.qmh"};
  for (const auto& e : fs::directory_iterator(a))
    if (!skip.count(e.path().filename().string())) na.insert(e.path().filename().string());
  for (const auto& e : fs::directory_iterator(b))
    if (!skip.count(e.path().filename().string())) nb.insert(e.path().filename().string());
  EXPECT_EQ(na, nb) << what;
  for (const std::string& f : na) {
    if (!nb.count(f)) continue;
    if (f == "log.txt")
      EXPECT_EQ(masked_log(a + "/" + f), masked_log(b + "/" + f)) << what << ": log.txt";
    else
      EXPECT_TRUE(qmtest::read_file(a + "/" + f) == qmtest::read_file(b + "/" + f)) << what << ": " << f << " differs";
  }
}

class HistoryScenario : public ::testing::TestWithParam<std::string> {};

TEST_P(HistoryScenario, ResumedRunEqualsUninterruptedRun) {
  const std::string name = GetParam();
  qmtest::tempdir td;
  const std::string par = qmtest::read_file(QM_TESTDATA "/scenarios/" + name + ".par");
  ASSERT_FALSE(par.empty());
  qmtest::write_file("param.par", par);
  const std::string p = " ../param.par";
  // The saving run and the plain one; the history is made without
  // --history-summary and used with and without it.
  run_all({{"plain", "--threads 2" + p},
           {"plain_hs", "--threads 1 --history-summary --plink --vcf" + p},
           {"saving", "--threads 3 --save-history ../h.qmh" + p},
           {"saving_bytes", "--threads 2 --genome-layout bytes --save-history ../hb.qmh" + p}});
  const std::string status = qmtest::read_file("plain/status");
  ASSERT_FALSE(status.empty());
  EXPECT_EQ(qmtest::read_file("saving/status"), status) << qmtest::read_file("saving/stderr.txt");
  same_files("plain", "saving", name + ": saving a history changes the run");
  // The file is the same whichever layout the run kept its haplotypes in.
  EXPECT_TRUE(qmtest::read_file("h.qmh") == qmtest::read_file("hb.qmh")) << name;
  run_all({{"from1", "--threads 1 --from-history ../h.qmh" + p},
           {"from2", "--threads 2 --from-history ../h.qmh" + p},
           {"from3", "--threads 3 --from-history ../h.qmh" + p},
           {"from_hs", "--threads 2 --history-summary --plink --vcf --from-history ../h.qmh" + p},
           {"from_bytes", "--threads 2 --genome-layout bytes --from-history ../h.qmh" + p}});
  for (int t = 1; t <= 3; ++t) {
    const std::string f = "from" + std::to_string(t);
    EXPECT_EQ(qmtest::read_file(f + "/status"), status) << qmtest::read_file(f + "/stderr.txt");
    same_files("plain", f, name + ", resumed at " + std::to_string(t) + " threads");
  }
  same_files("plain", "from_bytes", name + ", resumed into the bytes layout");
  same_files("plain_hs", "from_hs", name + ", resumed with --history-summary, --plink and --vcf");
  // The history file is one of the run's results, named by its path from
  // the run's folder, and run.json keeps the path as given.
  EXPECT_NE(qmtest::read_file("saving/run.json").find("\"name\": \"../h.qmh\""), std::string::npos);
  EXPECT_NE(qmtest::read_file("saving/run.json").find("\"save_history\": \"../h.qmh\""), std::string::npos);
  EXPECT_NE(qmtest::read_file("from1/run.json").find("\"from_history\": \"../h.qmh\""), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, HistoryScenario,
                         ::testing::Values("v01_one_trait_normal", "v03_two_traits_common", "v07_threshold_trait",
                                           "v08_random_map", "v11_four_stages", "v15_gamma_erlang_stage2_ngen3",
                                           "i15_more_sires_than_dams"),
                         [](const ::testing::TestParamInfo<std::string>& i) { return i.param; });

// A history of the small test parameter file, made once in the working folder.
void make_history() {
  qmtest::write_file("param.par", qmtest::small_par());
  const result r = run(".", "--save-history h.qmh --outdir made param.par");
  ASSERT_EQ(r.status, 0) << r.err;
}

TEST(HistoryRun, DamagedOrUnfittingHistoryStopsBeforeAnythingIsWritten) {
  qmtest::tempdir td;
  make_history();
  const std::string good = qmtest::read_file("h.qmh");
  struct bad {
    std::string file, par, message;
  };
  std::string flipped = good;
  flipped[good.size() / 2] = static_cast<char>(flipped[good.size() / 2] ^ 0x10);
  const std::string other_stage1 = qmtest::set_record(qmtest::small_par(), 18, "10 20 40 25");
  const std::vector<bad> cases = {
      {flipped, qmtest::small_par(), "is damaged: its SHA-256 checksum does not match"},
      {good.substr(0, good.size() - 100), qmtest::small_par(), "is cut short"},
      {"not a history\n", qmtest::small_par(), "is not a Quillmere history file"},
      {good, other_stage1, "was made with stage-1 ngen = 30; the parameter file other.par has 25 (record 18)"},
  };
  for (const bad& c : cases) {
    qmtest::write_file("bad.qmh", c.file);
    qmtest::write_file("other.par", c.par);
    const result r = run(".", "--from-history bad.qmh --outdir out other.par");
    EXPECT_EQ(r.status, 1) << c.message;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists("out")) << c.message << ": the output folder was made";
  }
  // The same checks with --check, which reports instead of running.
  const result chk = run(".", "--check --from-history bad.qmh other.par");
  EXPECT_EQ(chk.status, 1);
  EXPECT_NE(chk.out.find("(record 18)"), std::string::npos) << chk.out;
  const result fits = run(".", "--check --from-history h.qmh param.par");
  EXPECT_EQ(fits.status, 0) << fits.out;
  EXPECT_NE(fits.out.find("history file h.qmh fits it"), std::string::npos) << fits.out;
}

TEST(HistoryRun, LaterStagesMayDifferAndReplicatesShareTheHistory) {
  qmtest::tempdir td;
  make_history();
  // Another scheme on the same history: stage 3 selects on the phenotype for 4 generations.
  qmtest::write_file("scheme.par", qmtest::set_record(qmtest::set_record(qmtest::small_par(), 26, "10 20 40 4"), 28, "0 1 1"));
  const result r = run(".", "--from-history h.qmh --outdir scheme scheme.par");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(qmtest::file_exists("scheme/05BV.out"));
  EXPECT_EQ(qmtest::read_file("scheme/01BV.out"), qmtest::read_file("made/01BV.out"));  // stage 2 is the same

  // Replicates 1 and 2 of the later stages (folders rep-1, rep-2), 1 again elsewhere.
  run_all({{".", "--from-history h.qmh --replicate 1 param.par"},
           {"again", "--from-history ../h.qmh --replicate 1 --outdir . ../param.par"},
           {"two", "--from-history ../h.qmh --replicate 2 --outdir ../rep-2 ../param.par"}});
  ASSERT_EQ(qmtest::read_file("status"), "0\n") << qmtest::read_file("stderr.txt");
  for (const char* f : {"01BV.out", "03MTYPE.out", "summary.csv"}) {
    EXPECT_EQ(qmtest::read_file(std::string("rep-1/") + f), qmtest::read_file(std::string("again/") + f)) << f;
    EXPECT_NE(qmtest::read_file(std::string("rep-1/") + f), qmtest::read_file(std::string("made/") + f)) << f;
    EXPECT_NE(qmtest::read_file(std::string("rep-1/") + f), qmtest::read_file(std::string("rep-2/") + f)) << f;
  }
  // The map and the stage-1 log are the history's.
  EXPECT_EQ(qmtest::read_file("rep-2/MMAP.out").empty(), false);
  const result m = run(".", "merge rep-1 rep-2 made");
  EXPECT_EQ(m.status, 0) << m.err;
  EXPECT_TRUE(qmtest::file_exists("replicates.csv"));
}

TEST(HistoryRun, OptionsThatCannotGoTogether) {
  qmtest::tempdir td;
  qmtest::write_file("param.par", qmtest::small_par());
  const std::pair<const char*, const char*> cases[] = {
      {"--save-history h.qmh --from-history h.qmh", "names the file that --from-history reads"},
      {"--save-history ./h.qmh --from-history h.qmh", "names the file that --from-history reads"},
      {"--save-history a.qmh --from-history h.qmh", "cannot be given together"},
      {"--check --save-history a.qmh", "--check runs no generation"},
  };
  for (const auto& [args, message] : cases) {
    const result r = run(".", std::string(args) + " param.par");
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_NE(r.err.find(message), std::string::npos) << args << ": " << r.err;
  }
  EXPECT_FALSE(qmtest::file_exists("log.txt"));
  // A folder that does not exist is found before stage 1 is made.
  const result r = run(".", "--save-history nowhere/h.qmh param.par");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("the folder of the history file nowhere/h.qmh does not exist"), std::string::npos) << r.err;
  fs::create_directory("folder");
  const result f = run(".", "--save-history folder param.par");
  EXPECT_EQ(f.status, 1);
  EXPECT_NE(f.err.find("names a folder"), std::string::npos) << f.err;
  EXPECT_FALSE(qmtest::file_exists("log.txt"));
}

}  // namespace
