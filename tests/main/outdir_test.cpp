// The output folder, run.json and replicate studies end to end: a folder
// with files of an earlier run is refused unless --overwrite; the hashes in
// run.json are those of the files; a stopped run names its complete
// generations; replicates run through GNU parallel merge into their means.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

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

  // --overwrite removes them first: the stale file is gone, the new run's files are there.
  EXPECT_EQ(run("--outdir out --overwrite --seed 99 param.par"), 0);
  EXPECT_FALSE(qmtest::file_exists("out/07BV.out"));
  EXPECT_NE(qmtest::read_file("out/03BV.out"), first);
  EXPECT_NE(qmtest::read_file("out/log.txt").find("             99"), std::string::npos);
  EXPECT_FALSE(qmtest::file_exists("log.txt"));  // nothing in the working folder
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
