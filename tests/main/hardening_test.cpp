// Bad input and faults, end to end through the executable: read-time limits
// on both sides of each bound, values that are not finite numbers, files
// that are not parameter files, a log that cannot be written, a signal in
// the middle of a large write, and --check reporting several problems.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "support.hpp"

namespace fs = std::filesystem;

namespace {

struct result {
  int status;
  std::string out, err;
};

result run(const std::string& args) {
  const std::string cmd = std::string("'") + QM_BINARY + "' " + args + " > stdout.txt 2> stderr.txt < /dev/null";
  const int rc = std::system(cmd.c_str());
  return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, qmtest::read_file("stdout.txt"), qmtest::read_file("stderr.txt")};
}

// Runs par; true when it passes the read-time checks (it may still stop later).
bool accepted(const std::string& par) {
  qmtest::write_file("param.par", par);
  const result r = run("--check param.par");
  return r.status == 0;
}

TEST(Limits, EachBoundOnBothSides) {
  qmtest::tempdir td;
  const std::string p = qmtest::small_par();
  // ntrait 100 is allowed (its correlations are then needed), 101 is not.
  EXPECT_FALSE(accepted(qmtest::set_record(p, 2, "101 0 0.2 0")));
  EXPECT_NE(qmtest::read_file("stdout.txt").find("ntrait <= 100"), std::string::npos);
  // nstage: 100000 passes the bound (and then lacks its blocks), 100001 is refused by the bound.
  EXPECT_FALSE(accepted(qmtest::set_record(p, 16, "100001 0 12345")));
  EXPECT_NE(qmtest::read_file("stdout.txt").find("nstage <= 100000"), std::string::npos);
  accepted(qmtest::set_record(p, 16, "100000 0 12345"));
  EXPECT_EQ(qmtest::read_file("stdout.txt").find("nstage <="), std::string::npos);
  // nind: 100000000 is within the bound, 100000001 is not (and nothing is allocated).
  EXPECT_FALSE(accepted(qmtest::set_record(p, 18, "10 20 100000001 30")));
  EXPECT_NE(qmtest::read_file("stdout.txt").find("nind <= 100000000"), std::string::npos);
  accepted(qmtest::set_record(p, 18, "10 20 100000000 30"));
  EXPECT_EQ(qmtest::read_file("stdout.txt").find("nind <="), std::string::npos);
  // nsire of a later stage: nind is allowed as far as the bound goes, nind + 1 is not.
  EXPECT_FALSE(accepted(qmtest::set_record(p, 22, "41 20 40 1")));
  EXPECT_NE(qmtest::read_file("stdout.txt").find("nsire <= nind"), std::string::npos);
  EXPECT_FALSE(accepted(qmtest::set_record(p, 22, "2147483647 20 40 1")));
  // The gamma shape: 10000 passes, 10001 does not.
  EXPECT_TRUE(accepted(qmtest::set_record(p, 14, "1 10 10000 1.0")));
  EXPECT_FALSE(accepted(qmtest::set_record(p, 14, "1 10 10001 1.0")));
  EXPECT_NE(qmtest::read_file("stdout.txt").find("qtlp1 <= 10000"), std::string::npos);
}

TEST(Limits, OverflowingCountsRunAsTheirValuesSay) {
  qmtest::tempdir td;
  // Stage-1 ngen -2147483648: 11 historical generations numbered -2147483657 .. -2147483648.
  qmtest::write_file("param.par", qmtest::set_record(qmtest::set_record(qmtest::small_par(), 16, "1 0 12345"), 18,
                                                     "10 20 40 -2147483648"));
  const result r = run("param.par");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("-2147483657   generation finished!"), std::string::npos);
  EXPECT_NE(r.out.find("-2147483648   generation finished!"), std::string::npos);
  // nind 2147483647 is refused by the bound before anything is allocated.
  qmtest::write_file("param.par", qmtest::set_record(qmtest::small_par(), 18, "10 20 2147483647 30"));
  const result big = run("param.par");
  EXPECT_EQ(big.status, 1);
  EXPECT_NE(big.out.find("nind <= 100000000"), std::string::npos);
}

TEST(Limits, MemoryEstimateStopsBeforeAllocating) {
  qmtest::tempdir td;
  qmtest::write_file("param.par", qmtest::set_record(qmtest::small_par(), 18, "10 20 1000000 30"));
  const result r = run("--max-memory 100 param.par");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("that --max-memory allows"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("generation finished"), std::string::npos);
  qmtest::write_file("param.par", qmtest::small_par());
  EXPECT_EQ(run("--max-memory 100 param.par").status, 0);
}

// Two traits; h2 of trait 2 is 1: its phenotypes are its true breeding values.
TEST(FiniteValues, HeritabilityOneMeansPhenotypeIsTheValue) {
  qmtest::tempdir td;
  std::string p = qmtest::set_record(qmtest::small_par(), 2, "2 0 0.2 0");
  p = qmtest::set_record(p, 4, "0.3");
  p = qmtest::set_record(p, 6, "0.2");
  p = qmtest::set_record(p, 8, "0.3 1");
  qmtest::write_file("param.par", p);
  const result r = run("param.par");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find("Cholesky"), std::string::npos);
  std::istringstream in(qmtest::read_file("02BV.out"));
  std::string line;
  std::getline(in, line);
  int n = 0;
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    std::string id, s, d, sex, bred, tbv1, phe1, tbv2, phe2;
    ls >> id >> s >> d >> sex >> bred >> tbv1 >> phe1 >> tbv2 >> phe2;
    EXPECT_EQ(tbv2, phe2) << line;
    EXPECT_EQ(line.find("NaN"), std::string::npos);
    ++n;
  }
  EXPECT_EQ(n, 40);
}

TEST(FiniteValues, TinyVariancesStopNamingTheParameter) {
  qmtest::tempdir td;
  qmtest::write_file("param.par", qmtest::set_record(qmtest::small_par(), 8, "1e-45"));
  result r = run("param.par");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("h2(1) = 1e-45"), std::string::npos) << r.out;
  EXPECT_FALSE(qmtest::file_exists("01BV.out"));
  qmtest::write_file("param.par", qmtest::set_record(qmtest::small_par(), 14, "0 10 1.0 1e-45"));
  r = run("param.par");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("qtlp2 = 1e-45"), std::string::npos) << r.out;
  EXPECT_FALSE(qmtest::file_exists("QMAP.out"));
}

TEST(FileKinds, OnlyARegularFileOfBoundedSizeIsRead) {
  qmtest::tempdir td;
  fs::create_directory("folder");
  ASSERT_EQ(mkfifo("pipe", 0600), 0);
  qmtest::write_file("empty", "");
  qmtest::write_file("big", std::string((64 << 20) + 1, '\n'));
  const std::pair<const char*, const char*> cases[] = {
      {"folder", "is a folder"}, {"pipe", "is a pipe (FIFO)"}, {"/dev/null", "is a device"},
      {"/dev/zero", "is a device"}, {"empty", "is empty"}, {"big", "more than the 67108864"}};
  for (const auto& [name, says] : cases) {
    const result r = run(name);  // a FIFO would block a reader that opened it
    EXPECT_EQ(r.status, 1) << name;
    EXPECT_NE(r.out.find(says), std::string::npos) << name << ": " << r.out;
  }
}

TEST(IoFaults, LogOnAFullDiskStopsWithExitOne) {
  qmtest::tempdir td;
  qmtest::write_file("param.par", qmtest::small_par());
  fs::create_symlink("/dev/full", "log.txt");
  const result r = run("param.par");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("log.txt cannot be written (No space left on device)"), std::string::npos) << r.err;
  fs::remove("log.txt");
  // Standard output on a full disk stops the same way.
  const int rc = std::system((std::string("'") + QM_BINARY + "' param.par > /dev/full 2> err.txt").c_str());
  EXPECT_EQ(WEXITSTATUS(rc), 1);
  EXPECT_NE(qmtest::read_file("err.txt").find("cannot be written"), std::string::npos);
  // In an output folder a link where the run would write is refused before
  // anything is written: the run would write through it.
  fs::create_directory("out");
  fs::create_symlink("/dev/full", "out/log.txt");
  const result refused = run("--outdir out param.par");
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("holds log.txt"), std::string::npos) << refused.err;
  EXPECT_FALSE(qmtest::file_exists("out/run.json"));
}

// SIGTERM while the run writes large result files: no file under its final
// name is cut short, log.txt names the signal, exit status 128 + 15; with
// two threads the files go to the disk on a thread of their own, and the
// same holds.
TEST(IoFaults, SigtermLeavesNoTruncatedFile) {
  for (const char* threads : {"1", "2"}) {
    SCOPED_TRACE(std::string("threads ") + threads);
    qmtest::tempdir td;
    // 2000 animals x 20 x 501 markers per generation: MTYPE files of about 80 MB.
    std::string p = qmtest::set_record(qmtest::small_par(), 10, "501 20 0");
    p = qmtest::set_record(p, 18, "10 20 2000 12");
    p = qmtest::set_record(p, 22, "10 20 2000 1");
    p = qmtest::set_record(p, 26, "10 20 2000 30");
    qmtest::write_file("param.par", p);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      freopen("/dev/null", "w", stdout);
      execl(QM_BINARY, QM_BINARY, "--threads", threads, "--outdir", "out", "param.par", static_cast<char*>(nullptr));
      _exit(127);
    }
    // Wait until the first haplotype file is being written, then stop the run.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!qmtest::file_exists("out/01MTYPE.out.tmp") && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGTERM);
    EXPECT_NE(qmtest::read_file("out/log.txt").find("Stopped by SIGTERM"), std::string::npos);
    for (const auto& e : fs::directory_iterator("out")) {
      const std::string n = e.path().filename().string();
      EXPECT_EQ(n.find(".tmp"), std::string::npos) << n << " left behind";
    }
    // A finished MTYPE file, if any, is whole: 2 lines per animal.
    if (qmtest::file_exists("out/01MTYPE.out")) {
      const std::string t = qmtest::read_file("out/01MTYPE.out");
      EXPECT_EQ(std::count(t.begin(), t.end(), '\n'), 4000);
    }
  }
}

// A result file that cannot be written while the files go to the disk in
// the background (two threads, the working folder, where a link in the way
// is not refused; its temporary name leads to /dev/full): the run stops
// with exit status 1 and the file's own message; neither the file nor any
// temporary file is left, and run.json lists only files that are whole.
TEST(IoFaults, BackgroundWriteFailureStopsTheRun) {
  qmtest::tempdir td;
  qmtest::write_file("param.par", qmtest::small_par());
  fs::create_symlink("/dev/full", "02MTYPE.out.tmp");
  const result r = run("--threads 2 param.par");
  EXPECT_EQ(r.status, 1);
  const std::string log = qmtest::read_file("log.txt");
  EXPECT_NE(log.find("Result file 02MTYPE.out cannot be written (No space left on device)"), std::string::npos)
      << log;
  EXPECT_TRUE(qmtest::file_exists("01MTYPE.out"));
  // The stop reaches standard error too, once, and standard output as before.
  EXPECT_EQ(r.err.rfind("quillmere: Result file 02MTYPE.out cannot be written (No space left on device)", 0), 0u)
      << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_NE(r.out.find("\n Result file 02MTYPE.out cannot be written"), std::string::npos) << r.out;
  EXPECT_FALSE(qmtest::file_exists("02MTYPE.out"));
  EXPECT_FALSE(qmtest::file_exists("03MTYPE.out"));
  for (const auto& e : fs::directory_iterator(".")) {
    const std::string n = e.path().filename().string();
    EXPECT_EQ(n.find(".tmp"), std::string::npos) << n << " left behind";
  }
  const std::string record = qmtest::read_file("run.json");
  EXPECT_NE(record.find("\"name\": \"01MTYPE.out\""), std::string::npos) << record;
  EXPECT_EQ(record.find("\"name\": \"02MTYPE.out\""), std::string::npos) << record;
  EXPECT_NE(record.find("\"exit_status\": 1"), std::string::npos) << record;
  // The same run without the fault (the link went with the failed file) writes every file.
  EXPECT_EQ(run("--threads 2 param.par").status, 0);
  EXPECT_TRUE(qmtest::file_exists("03MTYPE.out"));
}

// A command line with an empty value or a number that is not decimal stops
// with exit status 2 and a message naming the option before anything runs:
// no output folder, log, run.json or history is made.
TEST(CommandLine, EmptyValuesAndNumbersThatAreNotDecimalStopBeforeTheRun) {
  qmtest::tempdir td;
  qmtest::write_file("param.par", qmtest::small_par());
  const std::pair<const char*, const char*> cases[] = {
      {"--from-history '' --outdir out param.par", "quillmere: --from-history: the value is empty"},
      {"--save-history '' --outdir out param.par", "quillmere: --save-history: the value is empty"},
      {"--outdir= param.par", "quillmere: --outdir: the value is empty"},
      {"--threads 0x10 --outdir out param.par", "quillmere: --threads: a whole number in decimal digits is expected"},
      {"''", "quillmere: PARAMETER_FILE: the value is empty"},
  };
  for (const auto& [args, says] : cases) {
    SCOPED_TRACE(args);
    const result r = run(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind(says, 0), 0u) << r.err;
    EXPECT_EQ(r.out, "");
    std::set<std::string> left;
    for (const auto& e : fs::directory_iterator(".")) left.insert(e.path().filename().string());
    EXPECT_EQ(left, (std::set<std::string>{"param.par", "stdout.txt", "stderr.txt"}));
  }
  // Leading zeros are decimal: --threads 010 runs ten threads (not eight), as run.json says.
  const result ten = run("--threads 010 --outdir out param.par");
  ASSERT_EQ(ten.status, 0) << ten.out << ten.err;
  EXPECT_EQ(nlohmann::json::parse(qmtest::read_file("out/run.json")).at("threads"), 10);
}

// A fault in the records of a late stage stops the run before its first
// historical generation, with the problem --check reports, in the log as
// every stop; the folder holds only log.txt and run.json.
TEST(Check, LaterStageFaultStopsBeforeTheFirstGeneration) {
  qmtest::tempdir td;
  std::string p = qmtest::set_record(qmtest::small_par(), 18, "10 20 40 300");  // 300 historical generations
  p = qmtest::set_record(p, 28, "0 5 2");                                         // stage 3: matetype 5
  qmtest::write_file("param.par", p);
  const result check = run("--check param.par");
  EXPECT_EQ(check.status, 1);
  const std::string lead = "1 problem found:\n  ";
  ASSERT_NE(check.out.find(lead), std::string::npos) << check.out;
  std::string problem = check.out.substr(check.out.find(lead) + lead.size());
  problem = problem.substr(0, problem.find('\n'));
  EXPECT_NE(problem.find("record 28: matetype = 5"), std::string::npos) << problem;

  const result r = run("--outdir out param.par");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.find("generation finished"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(" " + problem + "\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.err, "quillmere: " + problem + "\n");
  const std::string log = qmtest::read_file("out/log.txt");
  EXPECT_EQ(log.find("generation finished"), std::string::npos) << log;
  EXPECT_NE(log.find("\n" + problem + "\n"), std::string::npos) << log;
  std::set<std::string> left;
  for (const auto& e : fs::directory_iterator("out")) left.insert(e.path().filename().string());
  EXPECT_EQ(left, (std::set<std::string>{"log.txt", "run.json"}));
  const nlohmann::json j = nlohmann::json::parse(qmtest::read_file("out/run.json"));
  EXPECT_EQ(j.at("exit_status"), 1);
  EXPECT_EQ(j.at("stop_message"), problem);
}

TEST(Check, ReportsSeveralProblemsOfOneFileAtOnce) {
  qmtest::tempdir td;
  std::string p = qmtest::set_record(qmtest::small_par(), 2, "1 1 1.5 0");  // incid out of range
  p = qmtest::set_record(p, 8, "0");                                         // h2 0
  p = qmtest::set_record(p, 24, "0 5 9");                                    // stage 2: matetype 5, seltype 9
  p = qmtest::set_record(p, 26, "2 20 40 2");                                // stage 3: nsire 2 < 3
  qmtest::write_file("param.par", p);
  const result r = run("--check param.par");
  EXPECT_EQ(r.status, 1);
  for (const char* rec : {"record 2:", "record 8:", "record 24: matetype", "record 24: seltype", "record 26:"})
    EXPECT_NE(r.out.find(rec), std::string::npos) << rec << " not in\n" << r.out;
  EXPECT_NE(r.out.find("5 problems found"), std::string::npos) << r.out;
  EXPECT_FALSE(qmtest::file_exists("log.txt"));
  EXPECT_FALSE(qmtest::file_exists("01BV.out"));
  qmtest::write_file("param.par", qmtest::small_par());
  const result ok = run("--check param.par");
  EXPECT_EQ(ok.status, 0);
  EXPECT_NE(ok.out.find("no problem found"), std::string::npos);
}

}  // namespace
