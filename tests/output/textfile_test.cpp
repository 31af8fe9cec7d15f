// The checked result-file writer: text goes to NAME.tmp and becomes NAME
// only when finished; a failure stops the run and leaves neither name behind.
#include "output/textfile.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "output/fixed.hpp"
#include "output/results.hpp"
#include "run/messages.hpp"
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
    EXPECT_THROW(qm::write_generation_files(p, pop, a, 3), qm::run_stop);
  }
  EXPECT_EQ(files_ending(".out"), 0);
  EXPECT_EQ(files_ending(".tmp"), 0);
  qm::write_generation_files(p, pop, a, 3);
  EXPECT_EQ(files_ending(".out"), 3);
  EXPECT_EQ(files_ending(".tmp"), 0);
}

}  // namespace
