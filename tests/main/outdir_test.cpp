// The output folder, run.json and replicate studies end to end: a folder
// with files of an earlier run is refused unless --overwrite, which removes
// only what that run wrote; one run at a time per folder; the hashes in
// run.json are those of the files; a stopped run names its complete
// generations; replicates run through GNU parallel merge into their means.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "base/folder_lock.hpp"
#include "support.hpp"

namespace fs = std::filesystem;

namespace {

// The small test run with enough mutation and few enough QTL that every
// seed finds its QTL.
std::string any_seed_par() {
  return qmtest::set_record(qmtest::set_record(qmtest::small_par(), 12, "1.0 1.0e-2 1.0e-2"), 14, "0 3 1.0 1.0");
}

int run(const std::string& args) { return qmtest::run_program(args); }

TEST(OutputFolder, RefusesFilesOfAnEarlierRunUnlessOverwrite) {
  qmtest::tempdir td;
  qmtest::write_file("param.par", any_seed_par());
  ASSERT_EQ(run("--outdir out param.par"), 0);
  const std::string first = qmtest::read_file("out/03BV.out");
  qmtest::write_file("out/07BV.out", "stale");  // a file only an earlier run wrote

  // Refused before anything runs: the message names the files, nothing changes.
  EXPECT_EQ(run("--outdir out --seed 99 param.par"), 1);
  const std::string err = qmtest::read_file("stderr.txt");
  EXPECT_NE(err.find("01BV.out"), std::string::npos) << err;
  EXPECT_NE(err.find("--overwrite"), std::string::npos) << err;
  EXPECT_EQ(qmtest::read_file("out/03BV.out"), first);
  EXPECT_TRUE(qmtest::file_exists("out/07BV.out"));

  // --overwrite removes the earlier run's files first and leaves the one it never wrote.
  EXPECT_EQ(run("--outdir out --overwrite --seed 99 param.par"), 0);
  EXPECT_EQ(qmtest::read_file("out/07BV.out"), "stale");
  EXPECT_NE(qmtest::read_file("out/03BV.out"), first);
  EXPECT_NE(qmtest::read_file("out/log.txt").find("             99"), std::string::npos);
  EXPECT_FALSE(qmtest::file_exists("log.txt"));  // nothing in the working folder
}

// Files of the user's in the folder a run writes into: never removed, by the
// first run or by the next one with --overwrite.
TEST(OutputFolder, OverwriteLeavesWhatNoRunWrote) {
  qmtest::tempdir td;
  const std::vector<std::pair<std::string, std::string>> mine = {
      {"slurm-4242.out", "job log"},   {"nohup.out", "nohup"},        {"cattlegeno.bed", "bed"},
      {"cattlegeno.bim", "bim"},       {"cattlegeno.fam", "fam"},     {"wholegeno.vcf.gz", "vcf"},
      {"scheme.out", any_seed_par()},  {"07BV.out", "my own table"}, {"notes.tmp", "draft"}};
  for (const auto& [name, text] : mine) qmtest::write_file(name, text);
  fs::create_symlink("scheme.out", "link.out");
  for (int k = 0; k < 2; ++k) {  // into a folder without, then with a run.json
    ASSERT_EQ(run("--outdir . --overwrite --plink --vcf scheme.out"), 0) << k << qmtest::read_file("stderr.txt");
    for (const auto& [name, text] : mine) EXPECT_EQ(qmtest::read_file(name), text) << name << " after run " << k;
    EXPECT_TRUE(fs::is_symlink("link.out"));
    EXPECT_TRUE(qmtest::file_exists("01geno.bed"));
  }
  // Without --overwrite the refusal names the run's files, none of the user's.
  EXPECT_EQ(run("--outdir . scheme.out"), 1);
  const std::string err = qmtest::read_file("stderr.txt");
  EXPECT_NE(err.find("01geno.bed"), std::string::npos) << err;
  for (const auto& [name, text] : mine) EXPECT_EQ(err.find(name), std::string::npos) << name << ": " << err;
}

// A file named on the command line is never removed: a history read from
// the folder survives, a parameter file where the run would write stops it.
TEST(OutputFolder, FilesNamedOnTheCommandLineSurvive) {
  qmtest::tempdir td;
  fs::create_directories("p3");
  fs::create_directories("q");
  qmtest::write_file("p3/q.par", any_seed_par());
  ASSERT_EQ(run("--outdir p3 --save-history p3/base.qmh p3/q.par"), 0);
  fs::copy_file("p3/base.qmh", "p3/base.qmh.tmp");
  const std::string history = qmtest::read_file("p3/base.qmh.tmp");
  EXPECT_EQ(run("--outdir p3 --overwrite --from-history p3/base.qmh.tmp p3/q.par"), 0) << qmtest::read_file("stderr.txt");
  EXPECT_EQ(qmtest::read_file("p3/base.qmh.tmp"), history);
  EXPECT_EQ(qmtest::read_file("p3/q.par"), any_seed_par());
  EXPECT_FALSE(qmtest::file_exists("p3/base.qmh"));  // the earlier run's own copy, unchanged: removed

  // A parameter file under a name the run writes: stopped before anything is removed or written.
  qmtest::write_file("q/log.txt", any_seed_par());
  qmtest::write_file("q/01BV.out", "kept");
  EXPECT_EQ(run("--outdir q --overwrite q/log.txt"), 1);
  EXPECT_NE(qmtest::read_file("stderr.txt").find("log.txt"), std::string::npos) << qmtest::read_file("stderr.txt");
  EXPECT_EQ(qmtest::read_file("q/log.txt"), any_seed_par());
  EXPECT_EQ(qmtest::read_file("q/01BV.out"), "kept");
  EXPECT_FALSE(qmtest::file_exists("q/run.json"));
}

// A result file changed since its run wrote it is the user's: --overwrite
// keeps it, and stops when the new run would replace it, removing nothing.
TEST(OutputFolder, AChangedResultFileStopsOverwrite) {
  qmtest::tempdir td;
  qmtest::write_file("param.par", any_seed_par());
  ASSERT_EQ(run("--outdir out param.par"), 0);
  qmtest::write_file("out/03BV.out", qmtest::read_file("out/03BV.out") + "my note\n");
  const std::string record = qmtest::read_file("out/run.json");
  EXPECT_EQ(run("--outdir out --overwrite param.par"), 1);
  const std::string err = qmtest::read_file("stderr.txt");
  EXPECT_NE(err.find("03BV.out"), std::string::npos) << err;
  EXPECT_NE(qmtest::read_file("out/03BV.out").find("my note"), std::string::npos);
  EXPECT_EQ(qmtest::read_file("out/run.json"), record);
  EXPECT_TRUE(qmtest::file_exists("out/01BV.out"));
}

// One run per folder: a folder locked by another process is refused at
// once, naming the process, with nothing written.
TEST(OutputFolder, ALockedFolderRefusesASecondRun) {
  qmtest::tempdir td;
  qmtest::write_file("param.par", any_seed_par());
  fs::create_directories("out");
  qm::folder_lock held;
  std::string why;
  bool busy = false;
  ASSERT_TRUE(held.take("out", why, busy)) << why;
  EXPECT_EQ(run("--outdir out param.par"), 1);
  const std::string err = qmtest::read_file("stderr.txt");
  EXPECT_NE(err.find("in use by another run (process " + std::to_string(::getpid()) + ")"), std::string::npos) << err;
  EXPECT_FALSE(qmtest::file_exists("out/log.txt"));
  EXPECT_FALSE(qmtest::file_exists("out/run.json"));
  held.release();
  EXPECT_EQ(run("--outdir out param.par"), 0);
  EXPECT_FALSE(qmtest::file_exists(std::string("out/") + qm::folder_lock_name));
}

// Two runs started together into one folder, 20 times: one complete run
// and one clean refusal each time.
TEST(OutputFolder, TwoRunsStartedTogetherLeaveOneRun) {
  qmtest::tempdir td;
  qmtest::write_file("param.par", any_seed_par());
  for (int trial = 0; trial < 20; ++trial) {
    const std::string out = "out" + std::to_string(trial);
    pid_t pid[2];
    for (int k = 0; k < 2; ++k) {
      const std::string seed = std::to_string(100 + k), err = out + "-" + std::to_string(k) + ".err";
      std::vector<std::string> words = {QM_BINARY, "--outdir", out, "--seed", seed, "param.par"};
      std::vector<char*> argv;
      for (std::string& w : words) argv.push_back(w.data());
      argv.push_back(nullptr);
      posix_spawn_file_actions_t io;
      posix_spawn_file_actions_init(&io);
      posix_spawn_file_actions_addopen(&io, 1, "/dev/null", O_WRONLY, 0);
      posix_spawn_file_actions_addopen(&io, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ASSERT_EQ(posix_spawn(&pid[k], QM_BINARY, &io, nullptr, argv.data(), environ), 0);
      posix_spawn_file_actions_destroy(&io);
    }
    int status[2];
    for (int k = 0; k < 2; ++k) ::waitpid(pid[k], &status[k], 0);
    ASSERT_TRUE(WIFEXITED(status[0]) && WIFEXITED(status[1]));
    const int rc0 = WEXITSTATUS(status[0]), rc1 = WEXITSTATUS(status[1]);
    ASSERT_EQ(std::min(rc0, rc1), 0) << trial;
    ASSERT_EQ(std::max(rc0, rc1), 1) << trial;
    const int winner = rc0 == 0 ? 0 : 1;
    const std::string refusal = qmtest::read_file(out + "-" + std::to_string(1 - winner) + ".err");
    EXPECT_TRUE(refusal.find("in use by another run") != std::string::npos ||
                refusal.find("holds files of an earlier run") != std::string::npos)
        << refusal;
    // The folder holds the winner's run, whole: its seed, its exit, its files.
    const nlohmann::json j = nlohmann::json::parse(qmtest::read_file(out + "/run.json"));
    EXPECT_EQ(j.at("exit_status"), 0);
    EXPECT_EQ(j.at("seed"), 100 + winner);
    for (const auto& f : j.at("files"))
      EXPECT_EQ(f.at("sha256"), qmtest::sha256(qmtest::read_file(out + "/" + f.at("name").get<std::string>())));
    EXPECT_FALSE(qmtest::file_exists(out + "/" + qm::folder_lock_name));
  }
}

TEST(OutputFolder, RunJsonHashesMatchTheFiles) {
  qmtest::tempdir td;
  qmtest::write_file("param.par", qmtest::small_par());
  ASSERT_EQ(run("--outdir out --plink param.par"), 0);
  const nlohmann::json j = nlohmann::json::parse(qmtest::read_file("out/run.json"));
  EXPECT_EQ(j.at("version"), QM_VERSION);
  EXPECT_EQ(j.at("exit_status"), 0);
  EXPECT_TRUE(j.at("stop_message").is_null());
  EXPECT_EQ(j.at("seed"), 12345);
  EXPECT_EQ(j.at("parameter_file_sha256"), qmtest::sha256(qmtest::read_file("param.par")));
  std::map<std::string, std::string> listed;
  for (const auto& f : j.at("files")) {
    const std::string name = f.at("name");
    const std::string bytes = qmtest::read_file("out/" + name);
    EXPECT_EQ(f.at("size").get<size_t>(), bytes.size()) << name;
    EXPECT_EQ(f.at("sha256"), qmtest::sha256(bytes)) << name;
    listed[name] = f.at("sha256");
  }
  // Every file in the folder but run.json itself is listed.
  for (const auto& e : fs::directory_iterator("out")) {
    const std::string n = e.path().filename().string();
    if (n != "run.json") {
      EXPECT_TRUE(listed.count(n)) << n << " missing from run.json";
    }
  }
  EXPECT_TRUE(listed.count("01geno.bed"));
  EXPECT_TRUE(listed.count("log.txt"));
}

// run.json keeps the history paths as the command line gave them (null when
// not given), and lists a history saved outside the folder by its path from
// the folder, so that every name of "files" leads to its file from there.
TEST(OutputFolder, RunJsonNamesTheHistoriesAsGiven) {
  qmtest::tempdir td;
  qmtest::write_file("param.par", qmtest::small_par());
  fs::create_directory("hist");
  ASSERT_EQ(run("--outdir out --save-history hist/h.qmh param.par"), 0) << qmtest::read_file("stderr.txt");
  ASSERT_EQ(run("--outdir resumed --from-history ./hist/h.qmh param.par"), 0) << qmtest::read_file("stderr.txt");
  const nlohmann::json saving = nlohmann::json::parse(qmtest::read_file("out/run.json"));
  const nlohmann::json resumed = nlohmann::json::parse(qmtest::read_file("resumed/run.json"));
  EXPECT_EQ(saving.at("save_history"), "hist/h.qmh");
  EXPECT_TRUE(saving.at("from_history").is_null());
  EXPECT_EQ(resumed.at("from_history"), "./hist/h.qmh");
  EXPECT_TRUE(resumed.at("save_history").is_null());
  std::map<std::string, std::string> listed;
  for (const auto& f : saving.at("files")) {
    const std::string name = f.at("name");
    const std::string bytes = qmtest::read_file("out/" + name);
    EXPECT_EQ(f.at("size").get<size_t>(), bytes.size()) << name;
    EXPECT_EQ(f.at("sha256"), qmtest::sha256(bytes)) << name;
    listed[name] = f.at("sha256");
  }
  ASSERT_TRUE(listed.count("../hist/h.qmh")) << saving.at("files").dump();
  EXPECT_EQ(listed["../hist/h.qmh"], qmtest::sha256(qmtest::read_file("hist/h.qmh")));
  EXPECT_FALSE(listed.count("h.qmh"));
  EXPECT_TRUE(listed.count("log.txt") && listed.count("01BV.out"));
  // A history saved into the folder is one of its files, by its name.
  ASSERT_EQ(run("--outdir out --overwrite --save-history out/h.qmh param.par"), 0);
  const nlohmann::json inside = nlohmann::json::parse(qmtest::read_file("out/run.json"));
  EXPECT_EQ(inside.at("save_history"), "out/h.qmh");
  bool found = false;
  for (const auto& f : inside.at("files")) found = found || f.at("name") == "h.qmh";
  EXPECT_TRUE(found) << inside.at("files").dump();
}

TEST(OutputFolder, StoppedRunNamesItsCompleteGenerations) {
  qmtest::tempdir td;
  // Stage 3 selects more sires than its animals allow: it stops in its first generation.
  qmtest::write_file("param.par", qmtest::set_record(qmtest::small_par(), 26, "21 20 40 2"));
  EXPECT_EQ(run("--outdir out param.par"), 1);
  const std::string log = qmtest::read_file("out/log.txt");
  EXPECT_NE(log.find("Result files are complete for generation 01."), std::string::npos) << log;
  const nlohmann::json j = nlohmann::json::parse(qmtest::read_file("out/run.json"));
  EXPECT_EQ(j.at("exit_status"), 1);
  EXPECT_FALSE(j.at("stop_message").is_null());
  EXPECT_FALSE(qmtest::file_exists("out/summary.csv"));  // only the .part of the complete generations
  EXPECT_TRUE(qmtest::file_exists("out/summary.csv.part"));
}

// Three replicates through GNU parallel, merged: the merged means are the
// means of the replicates' own summary rows, replicate 0 is the file's seed.
TEST(Replicates, GnuParallelThreeReplicatesMergeIntoTheirMeans) {
  if (std::system("command -v parallel > /dev/null 2>&1") != 0) {
    ADD_FAILURE() << "GNU parallel is not installed; run scripts/setup.sh";
    return;
  }
  qmtest::tempdir td;
  qmtest::write_file("param.par", any_seed_par());
  const std::string bin = std::string("'") + QM_BINARY + "'";
  const std::string cmd = "parallel --will-cite --jobs 2 --halt soon,fail=1 " + bin +
                          " --threads 1 --replicate {} param.par '>' /dev/null ::: 1 2 3 && " + bin +
                          " merge rep-1 rep-2 rep-3 > merge.txt";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << qmtest::read_file("merge.txt");
  // Seeds differ, are in range, and are what the replicate flag prints.
  std::vector<int64_t> seeds;
  for (int k = 1; k <= 3; ++k)
    seeds.push_back(nlohmann::json::parse(qmtest::read_file("rep-" + std::to_string(k) + "/run.json")).at("seed"));
  EXPECT_NE(seeds[0], seeds[1]);
  EXPECT_NE(seeds[1], seeds[2]);
  for (int64_t s : seeds) EXPECT_TRUE(s >= 1 && s <= 2147483646);
  // The mean of tbv_mean_1 in generation 3 against the replicates' rows.
  double sum = 0;
  for (int k = 1; k <= 3; ++k) {
    std::istringstream in(qmtest::read_file("rep-" + std::to_string(k) + "/summary.csv"));
    std::string header, row, last;
    std::getline(in, header);
    while (std::getline(in, row)) last = row;
    std::stringstream ls(last);
    std::vector<std::string> cells;
    for (std::string c; std::getline(ls, c, ',');) cells.push_back(c);
    sum += std::stod(cells[3]);  // stage, generation, nind, tbv_mean_1
  }
  std::istringstream in(qmtest::read_file("replicates.csv"));
  bool found = false;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("3,3,tbv_mean_1,", 0) != 0) continue;
    std::stringstream ls(line);
    std::vector<std::string> c;
    for (std::string x; std::getline(ls, x, ',');) c.push_back(x);
    EXPECT_EQ(c[3], "3");
    EXPECT_NEAR(std::stod(c[4]), sum / 3, 1e-12);
    EXPECT_LT(std::stod(c[6]), std::stod(c[4]));
    EXPECT_GT(std::stod(c[7]), std::stod(c[4]));
    found = true;
  }
  EXPECT_TRUE(found) << qmtest::read_file("replicates.csv");
  EXPECT_TRUE(qmtest::file_exists("report.html"));
  // Replicate 0 is the classic run.
  ASSERT_EQ(run("--replicate 0 --outdir zero param.par"), 0);
  EXPECT_EQ(nlohmann::json::parse(qmtest::read_file("zero/run.json")).at("seed"), 12345);
}

}  // namespace

namespace {

// A run that stops before its first generation leaves log.txt and run.json
// with the reason; the next run into the folder replaces them without
// --overwrite. A folder with results still needs --overwrite.
TEST(OutputControl, AStoppedStartDoesNotBlockTheNextRun) {
  qmtest::tempdir td;
  ASSERT_EQ(qmtest::run_program("--outdir out missing.par"), 1);
  EXPECT_NE(qmtest::read_file("stderr.txt").find("quillmere: Parameter file missing.par cannot be opened"),
            std::string::npos)
      << qmtest::read_file("stderr.txt");
  EXPECT_TRUE(qmtest::file_exists("out/log.txt") && qmtest::file_exists("out/run.json"));
  qmtest::write_file("param.par", qmtest::small_par());
  ASSERT_EQ(qmtest::run_program("--outdir out param.par"), 0) << qmtest::read_file("stderr.txt");
  EXPECT_TRUE(qmtest::file_exists("out/summary.csv"));
  EXPECT_EQ(qmtest::read_file("out/log.txt").find("missing.par"), std::string::npos);
  // Results are not replaced silently.
  EXPECT_EQ(qmtest::run_program("--outdir out param.par"), 1);
  EXPECT_NE(qmtest::read_file("stderr.txt").find("holds files of an earlier run"), std::string::npos);
}

// Files that do not fit: the run stops before it starts, with the estimate
// and the limit, and writes nothing.
TEST(OutputControl, FilesThatDoNotFitStopTheRunBeforeItStarts) {
  qmtest::tempdir td;
  std::string par = qmtest::set_record(qmtest::small_par(), 10, "400 5 0");
  qmtest::write_file("param.par", par);
  ASSERT_EQ(qmtest::run_program("--outdir out --max-disk 1 param.par"), 1);
  const std::string err = qmtest::read_file("stderr.txt");
  EXPECT_NE(err.find("quillmere: the run's files need about "), std::string::npos) << err;
  EXPECT_NE(err.find(", but --max-disk allows 1.05 MB. Write fewer files (--files, --generations"), std::string::npos)
      << err;
  EXPECT_FALSE(qmtest::file_exists("out/log.txt"));
  // Fewer files fit.
  EXPECT_EQ(qmtest::run_program("--outdir out --max-disk 1 --files summary param.par"), 0)
      << qmtest::read_file("stderr.txt");
}

// --check: the estimates of the files by kind and of the time.
TEST(OutputControl, CheckPrintsTheEstimates) {
  qmtest::tempdir td;
  qmtest::write_file("param.par", qmtest::small_par());
  ASSERT_EQ(qmtest::run_program("--check --threads 1 --files haplotypes,plink --generations last param.par"), 0);
  const std::string out = qmtest::read_file("stdout.txt");
  for (const char* says : {"param.par: no problem found; the run needs about ",
                           "  files: about ", " a generation with files (--files haplotypes,plink, --generations last):",
                           "    haplotypes ", "(1 generation, ", "    plink ", "    run-wide ",
                           "(maps, genetic parameters, log.txt, run.json)",
                           "  time: about 0:00:0", " on this machine at 1 thread (within a factor of 2)."})
    EXPECT_NE(out.find(says), std::string::npos) << says << "\n" << out;
  EXPECT_EQ(out.find("    values"), std::string::npos) << out;
}

// --quiet: no generation lines on the console; log.txt as without it.
// --replicate K-L: the replicates in turn, each in rep-K as a run of
// --replicate K makes it.
TEST(OutputControl, QuietConsoleAndRangesOfReplicates) {
  qmtest::tempdir td;
  qmtest::write_file("param.par", qmtest::set_record(qmtest::small_par(), 10, "30 4 0"));
  ASSERT_EQ(qmtest::run_program("--replicate 1-3 --quiet param.par"), 0) << qmtest::read_file("stderr.txt");
  const std::string quiet = qmtest::read_file("stdout.txt");
  EXPECT_EQ(quiet.find("generation finished!"), std::string::npos) << quiet;
  EXPECT_NE(quiet.find("Program end without any error!"), std::string::npos);
  for (const char* d : {"rep-1", "rep-2", "rep-3"}) EXPECT_TRUE(qmtest::file_exists(std::string(d) + "/summary.csv")) << d;
  fs::rename("rep-2", "range-2");
  ASSERT_EQ(qmtest::run_program("--replicate 2 param.par"), 0);
  EXPECT_NE(qmtest::read_file("stdout.txt").find("generation finished!"), std::string::npos);
  for (const char* f : {"summary.csv", "03MTYPE.out", "03BV.out", "QMAP.out"})
    EXPECT_EQ(qmtest::read_file(std::string("rep-2/") + f), qmtest::read_file(std::string("range-2/") + f)) << f;
  const auto lines = [](const std::string& t) {
    std::string out;
    std::istringstream in(t);
    for (std::string l; std::getline(in, l);)
      if (l.find('/') == std::string::npos && l.find("-->") == std::string::npos) out += l + "\n";  // no time stamps
    return out;
  };
  EXPECT_EQ(lines(qmtest::read_file("rep-2/log.txt")), lines(qmtest::read_file("range-2/log.txt")));
  EXPECT_NE(qmtest::read_file("range-2/log.txt").find("generation finished!"), std::string::npos);
  // A run from a saved history writes the console of stage 1 again: without
  // the generation lines under --quiet; its log as without --quiet.
  ASSERT_EQ(qmtest::run_program("--outdir saved --save-history h.qmh param.par"), 0);
  ASSERT_EQ(qmtest::run_program("--quiet --outdir resumed --from-history h.qmh param.par"), 0)
      << qmtest::read_file("stderr.txt");
  const std::string resumed = qmtest::read_file("stdout.txt");
  EXPECT_EQ(resumed.find("generation finished!"), std::string::npos) << resumed;
  EXPECT_NE(resumed.find("Stage 1 finished!"), std::string::npos) << resumed;
  EXPECT_EQ(lines(qmtest::read_file("resumed/log.txt")), lines(qmtest::read_file("saved/log.txt")));
  // The first replicate that stops ends the series.
  qmtest::write_file("bad.par", qmtest::set_record(qmtest::small_par(), 18, "30 20 40 30"));
  EXPECT_EQ(qmtest::run_program("--replicate 5-6 bad.par"), 1);
  EXPECT_NE(qmtest::read_file("stderr.txt").find("replicate 5 stopped (exit status 1); replicates 6..6 were not run."),
            std::string::npos)
      << qmtest::read_file("stderr.txt");
  EXPECT_FALSE(fs::exists("rep-6"));
}

}  // namespace
