// The quillmere executable end to end: command line, the prompt for the
// parameter file, exit status, and the stage and generation sequence as the
// console messages and the result files show it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support.hpp"

namespace fs = std::filesystem;

namespace {

struct outcome {
  int status;
  std::string out;  // standard output
};

// Runs the binary in the working directory; `answer` (when given) is typed
// at the prompt, otherwise standard input is empty.
outcome run(const std::string& args, const std::string& answer = "") {
  std::string cmd = std::string("'") + QM_BINARY + "' " + args + " > stdout.txt 2> stderr.txt";
  cmd = answer.empty() ? cmd + " < /dev/null" : "echo '" + answer + "' | " + cmd;
  const int rc = std::system(cmd.c_str());
  return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, qmtest::read_file("stdout.txt")};
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> v;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) v.push_back(l);
  return v;
}

// Console progress: generation and stage messages and the end lines, without
// the blank that starts every console line.
std::vector<std::string> progress(const std::string& console) {
  std::vector<std::string> v;
  for (const std::string& l : lines_of(console)) {
    const std::string s = l.empty() ? l : l.substr(1);
    if (s.ends_with("finished!") || s.find("Congratulation") != std::string::npos ||
        s.find("Program end") != std::string::npos)
      v.push_back(s);
  }
  return v;
}

std::string gen(int g) {
  char b[64];
  std::snprintf(b, sizeof b, "%5d   generation finished!", g);
  return b;
}

const std::vector<std::string> end_lines = {"        ========Congratulation========",
                                            "        Program end without any error!"};

std::set<std::string> result_files() {
  std::set<std::string> s;
  for (const auto& f : fs::directory_iterator("."))
    if (f.path().extension() == ".out") s.insert(f.path().filename().string());
  return s;
}

// A run of stage 1 only.
std::string history_par(int ngen) {
  std::string par = qmtest::set_record(qmtest::small_par(), 16, "1 0 12345");
  return qmtest::set_record(par, 18, "10 20 40 " + std::to_string(ngen));
}

// Three stages with few QTL; stage-2 and stage-3 ngen as given.
std::string staged_par(int ngen2, int ngen3) {
  std::string par = qmtest::set_record(qmtest::small_par(), 14, "0 3 1.0 1.0");
  par = qmtest::set_record(par, 22, "10 20 40 " + std::to_string(ngen2));
  return qmtest::set_record(par, 26, "10 20 40 " + std::to_string(ngen3));
}

std::string overwrite_warning(int g) {
  return "Warning: stage-2 result files (generation " + std::to_string(g) +
         ") will be overwritten by a later stage.";
}

TEST(DriverCommandLine, HelpVersionAndBadOptions) {
  qmtest::tempdir td;
  // -h and --help list every option with its default; -V and --version print the version.
  for (const char* help : {"--help", "-h"}) {
    outcome r = run(help);
    EXPECT_EQ(r.status, 0) << help;
    EXPECT_NE(r.out.find("Usage: quillmere"), std::string::npos) << r.out;
    for (const char* opt : {"--threads", "--outdir", "--overwrite", "--seed", "--max-memory", "--gblup-generations",
                            "--check", "--version"})
      EXPECT_NE(r.out.find(opt), std::string::npos) << opt << " missing from\n" << r.out;
    EXPECT_NE(r.out.find("the cores this process may use"), std::string::npos) << r.out;
  }
  outcome r = run("--version");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find(QM_VERSION), std::string::npos) << r.out;
  EXPECT_EQ(run("-V").out, r.out);

  // A command line that cannot be understood stops before anything runs.
  qmtest::write_file("param.par", history_par(30));
  for (const char* bad : {"--frobnicate param.par", "param.par -x", "--threads 0 param.par", "--threads",
                          "--threads=x param.par", "--seed=0 param.par", "param.par other.par",
                          "--gblup-generations 0 param.par", "--gblup-generations=two param.par"}) {
    r = run(bad);
    EXPECT_EQ(r.status, 2) << bad;
    EXPECT_FALSE(qmtest::file_exists("log.txt")) << bad;
    EXPECT_TRUE(result_files().empty()) << bad;
    EXPECT_EQ(r.out.find("generation finished!"), std::string::npos) << bad;
  }
}

TEST(DriverCommandLine, ParameterFileFromArgumentOrPrompt) {
  qmtest::tempdir td;
  const std::string prompt = " Please input the name of your parameter file.";
  const std::string seedline = "        With random seed  " + std::string(10, ' ') + "4242";
  std::string par = qmtest::set_record(history_par(12), 16, "1 0 4242");
  qmtest::write_file("param.par", par);

  // Named on the command line: no prompt.
  outcome r = run("param.par");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.find("Please input"), std::string::npos);
  std::vector<std::string> log = lines_of(qmtest::read_file("log.txt"));
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[log.size() - 2], seedline);

  // Without an argument the name is asked for and cut to 20 characters.
  fs::remove("log.txt");
  qmtest::write_file("abcdefghijklmnopqrst", par);
  r = run("", "abcdefghijklmnopqrstuvwxy");
  EXPECT_EQ(r.status, 0);
  const std::vector<std::string> out = lines_of(r.out);
  EXPECT_EQ(std::count(out.begin(), out.end(), prompt), 1) << r.out;
  EXPECT_EQ(progress(r.out).back(), end_lines[1]);
  log = lines_of(qmtest::read_file("log.txt"));
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[log.size() - 2], seedline);
  EXPECT_FALSE(qmtest::file_exists("abcdefghijklmnopqrstuvwxy"));

  // A missing parameter file stops the run (status 1) and is not created.
  for (const auto& [args, answer] : {std::pair<std::string, std::string>{"nosuch.par", ""}, {"", "nosuch.par"}}) {
    fs::remove("log.txt");
    r = run(args, answer);
    EXPECT_EQ(r.status, 1) << answer;
    EXPECT_FALSE(qmtest::file_exists("nosuch.par"));
    const std::string text = qmtest::read_file("log.txt");
    EXPECT_NE(text.find("nosuch.par"), std::string::npos) << text;
    const std::vector<std::string> l = lines_of(text);
    EXPECT_TRUE(!l.empty() && std::regex_match(l.back(), std::regex(R"( \d\d/\d\d/\d{4} \d\d:\d\d:\d\d)")))
        << "the stop message is followed by a time stamp:\n" << text;
    EXPECT_EQ(text.find("Program end"), std::string::npos);
  }
}

TEST(DriverRun, HistoricalStageNumbering) {
  qmtest::tempdir td;
  // ngen 100: 1..90, the recoding generation 91, then 91..100.
  qmtest::write_file("param.par", history_par(100));
  outcome r = run("param.par");
  EXPECT_EQ(r.status, 0);
  std::vector<std::string> want;
  for (int g = 1; g <= 90; ++g) want.push_back(gen(g));
  for (int g = 91; g <= 100; ++g) want.push_back(gen(g));
  want.insert(want.begin() + 90, gen(91));
  want.push_back("Stage 1 finished!");
  want.insert(want.end(), end_lines.begin(), end_lines.end());
  EXPECT_EQ(progress(r.out), want);
  EXPECT_TRUE(result_files().empty());  // stage 1 writes no result files

  // ngen 5: the recoding generation prints 1, then -4..5.
  qmtest::write_file("param.par", history_par(5));
  r = run("param.par");
  EXPECT_EQ(r.status, 0);
  want = {gen(1)};
  for (int g = -4; g <= 5; ++g) want.push_back(gen(g));
  want.push_back("Stage 1 finished!");
  want.insert(want.end(), end_lines.begin(), end_lines.end());
  EXPECT_EQ(progress(r.out), want);
  EXPECT_TRUE(result_files().empty());
}

// First identifier, sire and dam fields of the first animal of a BV file.
std::string first_record(const std::string& file) {
  const std::vector<std::string> l = lines_of(qmtest::read_file(file));
  return l.size() < 2 ? "" : l[1].substr(0, 24);
}

std::set<std::string> files_for(std::initializer_list<const char*> gens) {
  std::set<std::string> s = {"QMAP.out", "MMAP.out", "Genetic_paramenters.out"};
  for (const char* g : gens)
    for (const char* f : {"MTYPE.out", "QTYPE.out", "BV.out"}) s.insert(std::string(g) + f);
  return s;
}

TEST(DriverRun, LaterStageNumbering) {
  qmtest::tempdir td;
  // Stage 2 writes generation 1, stage 3 continues with 2..6.
  qmtest::write_file("param.par", staged_par(1, 5));
  outcome r = run("param.par");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(result_files(), files_for({"01", "02", "03", "04", "05", "06"}));
  EXPECT_EQ(first_record("01BV.out").substr(0, 12), "  010001  00");
  EXPECT_EQ(first_record("06BV.out").substr(0, 12), "  060001  05");
  std::vector<std::string> p = progress(r.out);
  std::vector<std::string> tail = {"Stage 1 finished!", gen(1), "Stage 2 finished!", gen(2), gen(3), gen(4),
                                   gen(5), gen(6), "Stage   3 finished!", end_lines[0], end_lines[1]};
  ASSERT_GE(p.size(), tail.size());
  EXPECT_EQ(std::vector<std::string>(p.end() - static_cast<long>(tail.size()), p.end()), tail);
  EXPECT_EQ(qmtest::read_file("log.txt").find("Warning: stage-2"), std::string::npos);

  // Stage-2 ngen 3 and one stage-3 generation (number 2): no file clash.
  for (const auto& f : result_files()) fs::remove(f);
  qmtest::write_file("param.par", staged_par(3, 1));
  r = run("param.par");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(result_files(), files_for({"02", "03"}));
  EXPECT_EQ(first_record("03BV.out").substr(0, 12), "  030001  02");
  EXPECT_EQ(qmtest::read_file("log.txt").find("Warning: stage-2"), std::string::npos);

  // Stage 3 reaches generation 3 (and 2 with ngen2 = 2): the stage-2 files
  // will be replaced, said right after the stage-2 block is read.
  for (const auto& [n2, n3] : {std::pair{3, 2}, std::pair{2, 1}}) {
    for (const auto& f : result_files()) fs::remove(f);
    qmtest::write_file("param.par", staged_par(n2, n3));
    r = run("param.par");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(result_files(), n2 == 3 ? files_for({"02", "03"}) : files_for({"02"}));
    const std::vector<std::string> log = lines_of(qmtest::read_file("log.txt"));
    const auto at = std::find(log.begin(), log.end(), overwrite_warning(n2));
    ASSERT_NE(at, log.end()) << "no warning for stage-2 ngen " << n2;
    EXPECT_EQ(*(at - 1), "Stage 1 finished!");
    EXPECT_EQ((at + 1)->find("Total QTL number"), 0u) << *(at + 1);  // a warning has no time stamp
  }
}

}  // namespace
