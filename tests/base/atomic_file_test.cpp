#include "base/atomic_file.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <string>

#include "support.hpp"

namespace {

TEST(AtomicFile, TheNameAppearsOnlyWhenComplete) {
  qmtest::tempdir dir;
  qmtest::write_file("out.txt", "old\n");
  {
    qm::atomic_file f("out.txt");
    EXPECT_EQ(f.temp_name(), "out.txt.tmp");
    f.write("new ");
    f.write(std::string(3 << 20, 'x'));  // past the buffer: written directly
    f.write("\n");
    // Until the commit the old file is untouched.
    EXPECT_EQ(qmtest::read_file("out.txt"), "old\n");
    EXPECT_TRUE(qmtest::file_exists("out.txt.tmp"));
    f.commit();
    EXPECT_FALSE(qmtest::file_exists("out.txt.tmp"));
    EXPECT_THROW(f.write("late"), qm::file_error);
  }
  EXPECT_EQ(qmtest::read_file("out.txt"), "new " + std::string(3 << 20, 'x') + "\n");
  // Space set aside does not change the size.
  {
    qm::atomic_file f("reserved.txt");
    f.reserve(1 << 20);
    f.write("ten bytes\n");
    f.commit();
  }
  EXPECT_EQ(qmtest::read_file("reserved.txt"), "ten bytes\n");
  // Abandoned (an exception on the way): nothing new, no temporary file.
  try {
    qm::atomic_file f("other.txt");
    f.write("partial");
    throw std::runtime_error("stop");
  } catch (const std::runtime_error&) {
  }
  EXPECT_FALSE(qmtest::file_exists("other.txt"));
  EXPECT_FALSE(qmtest::file_exists("other.txt.tmp"));
}

TEST(AtomicFile, FailuresNameTheFile) {
  qmtest::tempdir dir;
  try {
    qm::atomic_file f("no/such/folder/x.txt");
    ADD_FAILURE() << "created in a missing folder";
  } catch (const qm::file_error& e) {
    EXPECT_EQ(e.file, "no/such/folder/x.txt");
    EXPECT_EQ(std::string(e.what()),
              "Result file no/such/folder/x.txt cannot be created (No such file or directory). Check the free "
              "space and the permissions of the folder.");
  }
  // The final name is a folder: the rename fails and the temporary goes.
  ASSERT_EQ(system("mkdir taken && touch taken/inside"), 0);
  {
    qm::atomic_file f("taken");
    f.write("x");
    EXPECT_THROW(f.commit(), qm::file_error);
  }
  EXPECT_FALSE(qmtest::file_exists("taken.tmp"));
  // A write beyond a file size limit.
  rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  rlimit small = old;
  small.rlim_cur = 4096;
  auto* previous = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  std::string what;
  try {
    qm::atomic_file f("big.txt");
    f.write(std::string(100, 'y'));
    f.commit();  // the buffered bytes reach the file only here
    qm::atomic_file g("bigger.txt");
    g.write(std::string(2 << 20, 'y'));
  } catch (const qm::file_error& e) {
    what = e.what();
  }
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, previous);
  EXPECT_NE(what.find("bigger.txt cannot be written (File too large)"), std::string::npos) << what;
  EXPECT_TRUE(qmtest::file_exists("big.txt"));
  EXPECT_FALSE(qmtest::file_exists("bigger.txt"));
  EXPECT_FALSE(qmtest::file_exists("bigger.txt.tmp"));
}

}  // namespace
