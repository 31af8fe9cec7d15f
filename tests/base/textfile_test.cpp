// The checked result-file writer: text goes to NAME.tmp and becomes NAME
// only when finished; a failure stops the run and leaves neither name behind,
// also when a thread of its own writes the files in the background.
#include "base/textfile.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/fixed.hpp"
#include "base/messages.hpp"
#include "output/results.hpp"
#include "support.hpp"

namespace fs = std::filesystem;

namespace {

// Files of the working folder whose names end with suffix.
int files_ending(const std::string& suffix) {
  int n = 0;
  for (const auto& f : fs::directory_iterator("."))
    if (f.path().filename().string().ends_with(suffix)) ++n;
  return n;
}

// Writing in the background for the life of the object.
struct background {
  background() { qm::textfile::write_in_background(true); }
  ~background() { qm::textfile::write_in_background(false); }
};

// Injects a write fault for the life of the object.
struct write_fault {
  explicit write_fault(long long after) { qm::textfile::inject_write_fault_after(after); }
  ~write_fault() { qm::textfile::inject_write_fault_after(-1); }
};

TEST(TextFile, WritesExactlyTheComposedTextUnderItsNameWhenFinished) {
  qmtest::tempdir dir;
  qmtest::write_file("out.txt", "an earlier run's file\n");
  qm::textfile t("out.txt");
  EXPECT_EQ(t.name(), "out.txt");
  char* p = t.room(40);
  p = qm::put_x(p, 2);
  p = qm::put_im(p, 50012, 6, 6);
  p = qm::put_f(p, 1.5, 8, 3);
  *p++ = '\n';
  t.commit(p);
  t.line("second line");
  std::string want = "  050012   1.500\nsecond line\n";
  for (int n = 0; n < 400000; ++n) {  // several large blocks
    std::string line;
    qm::add_i(line, n, 12);
    t.line(line);
    want += line + "\n";
  }
  const std::string direct = "written directly\n";
  t.write(direct.data(), direct.size());
  want += direct;
  // Until it is finished the text is only under the temporary name; the
  // file of an earlier run keeps its name and contents.
  EXPECT_TRUE(qmtest::file_exists("out.txt.tmp"));
  EXPECT_EQ(qmtest::read_file("out.txt"), "an earlier run's file\n");
  t.finish();
  EXPECT_EQ(qmtest::read_file("out.txt"), want);
  EXPECT_FALSE(qmtest::file_exists("out.txt.tmp"));
  t.finish();  // a second finish changes nothing
  EXPECT_EQ(qmtest::read_file("out.txt"), want);
}

TEST(TextFile, FolderThatDoesNotExistStops) {
  qmtest::tempdir dir;
  qmtest::console_capture cap;
  EXPECT_THROW(qm::textfile("no_such_folder/res.out"), qm::run_stop);
  EXPECT_NE(cap.text().find("no_such_folder/res.out"), std::string::npos) << cap.text();
  EXPECT_FALSE(fs::exists("no_such_folder"));
}

TEST(TextFile, WriteFaultStopsAndLeavesNoFile) {
  qmtest::tempdir dir;
  qmtest::console_capture cap;
  {
    write_fault fault(1000);
    qm::textfile t("big.out");
    for (int n = 0; n < 100; ++n) t.line("a line of some thirty characters");
    EXPECT_THROW(t.finish(), qm::run_stop);
  }
  EXPECT_FALSE(qmtest::file_exists("big.out"));
  EXPECT_FALSE(qmtest::file_exists("big.out.tmp"));
  const std::string out = cap.text();
  EXPECT_NE(out.find("big.out"), std::string::npos) << out;
  EXPECT_NE(out.find("No space left on device"), std::string::npos) << out;
  EXPECT_NE(out.find("free space"), std::string::npos) << out;  // says what to change

  // A file written directly past the fault: the same.
  {
    write_fault fault(10);
    qm::textfile t("direct.out");
    const std::string text(64, 'x');
    EXPECT_THROW(t.write(text.data(), text.size()), qm::run_stop);
  }
  EXPECT_EQ(files_ending(".out") + files_ending(".tmp"), 0);

  // Below the budget the file is written as usual.
  {
    write_fault fault(1000);
    qm::textfile t("small.out");
    t.line("fits");
    t.finish();
  }
  EXPECT_EQ(qmtest::read_file("small.out"), "fits\n");
}

TEST(TextFile, UnfinishedFileDestroyedByAnExceptionLeavesNothing) {
  qmtest::tempdir dir;
  qmtest::write_file("half.out", "an earlier run's file\n");
  try {
    qm::textfile t("half.out");
    t.line("some text");
    t.maybe_flush();
    throw std::runtime_error("the run stopped elsewhere");
  } catch (const std::runtime_error&) {
  }
  EXPECT_FALSE(qmtest::file_exists("half.out.tmp"));
  EXPECT_EQ(qmtest::read_file("half.out"), "an earlier run's file\n");  // never replaced by half a file
  try {
    qm::textfile t("fresh.out");
    t.write("abc", 3);
    throw std::runtime_error("stop");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(files_ending(".tmp"), 0);
  EXPECT_FALSE(qmtest::file_exists("fresh.out"));
}

TEST(TextFile, FaultWhileWritingResultFilesLeavesNoneOfThem) {
  qmtest::tempdir dir;
  qmtest::console_capture cap;
  qm::run_parameters p;
  p.ntrait = 1;
  qm::population pop;
  pop.nind = 500;
  pop.markers.resize(200, 1000);
  pop.markers.fill(1);
  pop.candidates.resize(10, 1000);
  pop.candidates.fill(2);
  pop.parents.assign(500, {1, 2});
  pop.tbv.assign(500, 0.5);
  pop.phenotype.assign(500, -0.5);
  qm::trait_architecture a;
  a.ntrait = 1;
  a.qtl_locus = {2, 7};
  a.effects = {0.1, 0.2};
  {
    write_fault fault(100000);  // the marker file alone takes more
    EXPECT_THROW(qm::write_generation_files(qm::output_folder{}, p, pop, a, 3), qm::run_stop);
  }
  EXPECT_EQ(files_ending(".out"), 0);
  EXPECT_EQ(files_ending(".tmp"), 0);
  qm::write_generation_files(qm::output_folder{}, p, pop, a, 3);
  EXPECT_EQ(files_ending(".out"), 3);
  EXPECT_EQ(files_ending(".tmp"), 0);
}

// The result files of a generation written in the background, their lines
// formatted in parts on three threads: the same bytes as on one thread
// directly, listed for the run's record; a name written again while its
// first text still waits gets the later text.
TEST(TextFile, BackgroundWritingGivesTheSameFiles) {
  qmtest::tempdir dir;
  qm::run_parameters p;
  p.ntrait = 1;
  p.threads = 1;
  qm::population pop;
  pop.nind = 700;
  pop.markers.resize(3000, 1400);
  for (size_t i = 0; i < pop.markers.size(); ++i) pop.markers.data()[i] = static_cast<int8_t>(1 + i % 13);
  pop.candidates.resize(10, 1400);
  pop.candidates.fill(2);
  pop.parents.assign(700, {1, 2});
  pop.tbv.assign(700, 0.5);
  pop.phenotype.assign(700, -0.5);
  qm::trait_architecture a;
  a.ntrait = 1;
  a.qtl_locus = {2, 7};
  a.effects = {0.1, 0.2};
  qm::write_generation_files(qm::output_folder{}, p, pop, a, 3);
  std::vector<std::string> want;
  for (const char* n : {"03MTYPE.out", "03QTYPE.out", "03BV.out"}) want.push_back(qmtest::read_file(n));
  ASSERT_GT(want[0].size(), size_t{8} << 20);  // more than may wait for the writing thread
  fs::create_directory("bg");
  fs::current_path("bg");
  qm::forget_files_written();
  bool named = false;
  p.threads = 3;
  {
    background on;
    qm::write_generation_files(qm::output_folder{}, p, pop, a, 3);
    qm::textfile::when_written([&] { named = qmtest::file_exists("03BV.out"); });
    for (int round = 0; round < 3; ++round) {
      qm::textfile t("again.out");
      t.line("round " + std::to_string(round));
      t.finish();
    }
    qm::textfile::settle();
  }
  EXPECT_TRUE(named);
  EXPECT_EQ(qmtest::read_file("03MTYPE.out"), want[0]);
  EXPECT_EQ(qmtest::read_file("03QTYPE.out"), want[1]);
  EXPECT_EQ(qmtest::read_file("03BV.out"), want[2]);
  EXPECT_EQ(qmtest::read_file("again.out"), "round 2\n");
  EXPECT_EQ(files_ending(".tmp"), 0);
  const std::vector<std::string> listed = qm::files_written();
  for (const char* n : {"03MTYPE.out", "03QTYPE.out", "03BV.out", "again.out"})
    EXPECT_NE(std::find(listed.begin(), listed.end(), n), listed.end()) << n;
  fs::current_path("..");
}

// A write that fails on the writing thread (the temporary name leads to
// /dev/full) stops the run at the next call, naming the file;
// later files stop at once; nothing of the failing file is left, and the
// file finished before it keeps its name.
TEST(TextFile, BackgroundWriteFailureStopsAndLeavesNoFile) {
  qmtest::tempdir dir;
  qmtest::console_capture cap;
  fs::create_symlink("/dev/full", "huge.out.tmp");
  {
    background on;
    qm::textfile ok("ok.out");
    ok.line("fits");
    ok.finish();
    const std::string text(1 << 16, 'x');
    // The stop comes at a later write of the file, at its finish or at the settling.
    EXPECT_THROW(
        {
          qm::textfile t("huge.out");
          for (int n = 0; n < 64; ++n) t.write(text.data(), text.size());
          t.finish();
          qm::textfile::settle();
        },
        qm::run_stop);
    EXPECT_THROW(qm::textfile::stop_if_background_failed(), qm::run_stop);
    EXPECT_THROW(qm::textfile("later.out"), qm::run_stop);
  }
  EXPECT_EQ(qmtest::read_file("ok.out"), "fits\n");
  EXPECT_FALSE(qmtest::file_exists("huge.out"));
  EXPECT_FALSE(fs::exists(fs::symlink_status("huge.out.tmp")));
  EXPECT_FALSE(qmtest::file_exists("later.out"));
  EXPECT_EQ(files_ending(".tmp"), 0);
  const std::string out = cap.text();
  EXPECT_NE(out.find("Result file huge.out cannot be written (No space left on device)"), std::string::npos) << out;
}

// In the background too: an injected fault stops at once, and a file left
// unfinished (the run stopped elsewhere) is removed once its text is written.
TEST(TextFile, BackgroundFaultOrUnfinishedFileLeavesNothing) {
  qmtest::tempdir dir;
  qmtest::console_capture cap;
  {
    background on;
    {
      write_fault fault(1000);
      qm::textfile t("big.out");
      for (int n = 0; n < 100; ++n) t.line("a line of some thirty characters");
      EXPECT_THROW(t.finish(), qm::run_stop);
    }
    try {
      qm::textfile t("half.out");
      t.write(std::string(3 << 20, 'y').data(), 3 << 20);
      throw std::runtime_error("the run stopped elsewhere");
    } catch (const std::runtime_error&) {
    }
    qm::textfile::settle();  // the injected fault is not a failure of the writing thread
  }
  EXPECT_EQ(files_ending(".out") + files_ending(".tmp"), 0);
  EXPECT_NE(cap.text().find("big.out"), std::string::npos);
}

}  // namespace
