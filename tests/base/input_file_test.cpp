#include "base/input_file.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "support.hpp"

namespace {

using kind = qm::input_file_error::kind;

// The refusal read_input_file(path, max) throws, with its message in *text;
// fails the test when it reads the file instead.
kind refusal(const std::string& path, uint64_t max, std::string* text = nullptr) {
  try {
    qm::read_input_file(path, max);
  } catch (const qm::input_file_error& e) {
    if (text) *text = e.what();
    EXPECT_EQ(e.file, path);
    return e.why;
  }
  ADD_FAILURE() << path << " was read";
  return kind::unreadable;
}

// Runs read_input_file on path in a child process, so that a read that
// blocks fails the test after a few seconds instead of hanging it. The
// child's exit status: 0 refused as not a regular file with the message
// given, 1 read, 2 refused otherwise; -1 when it had to be killed.
int refusal_in_child(const std::string& path, const std::string& message) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    try {
      qm::read_input_file(path, 1 << 20);
    } catch (const qm::input_file_error& e) {
      ::_exit(e.why == kind::not_regular && e.what() == message ? 0 : 2);
    }
    ::_exit(1);
  }
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > until) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(InputFile, ReadsRegularFilesUpToTheLimit) {
  qmtest::tempdir dir;
  const std::string bytes = std::string("a,b\n1,2\n") + std::string(1016, 'x');  // 1024 bytes
  qmtest::write_file("f.csv", bytes);
  EXPECT_EQ(qm::read_input_file("f.csv", 1024), bytes);
  ASSERT_EQ(::symlink("f.csv", "link.csv"), 0);
  EXPECT_EQ(qm::read_input_file("link.csv", 1 << 20), bytes);  // a link to a regular file is that file
  qmtest::write_file("empty", "");
  EXPECT_EQ(qm::read_input_file("empty", 0), "");
  // One byte over the limit.
  std::string text;
  EXPECT_EQ(refusal("f.csv", 1023, &text), kind::too_large);
  EXPECT_EQ(text, "f.csv has 1024 bytes, more than the limit of 1023 bytes");
  EXPECT_EQ(refusal("link.csv", 512, &text), kind::too_large);
  EXPECT_EQ(text, "link.csv has 1024 bytes, more than the limit of 512 bytes");
  // A file of /proc says it has 0 bytes and has more: the limit holds while it is read.
  EXPECT_EQ(refusal("/proc/self/maps", 64, &text), kind::too_large);
  EXPECT_EQ(text, "/proc/self/maps grew past the limit of 64 bytes while it was read");
  EXPECT_NE(qm::read_input_file("/proc/self/maps", 1 << 24).find('\n'), std::string::npos);

  EXPECT_EQ(qm::byte_limit_text(uint64_t{64} << 20), "64 MiB");
  EXPECT_EQ(qm::byte_limit_text(3 << 10), "3 KiB");
  EXPECT_EQ(qm::byte_limit_text((1 << 20) + 1), "1048577 bytes");
}

TEST(InputFile, RefusesWhatIsNotARegularFileWithoutReadingIt) {
  qmtest::tempdir dir;
  std::string text;
  EXPECT_EQ(refusal("nothing", 100, &text), kind::missing);
  EXPECT_EQ(text, "nothing cannot be opened (No such file or directory)");
  ASSERT_EQ(::symlink("nothing", "dangling"), 0);
  EXPECT_EQ(refusal("dangling", 100), kind::missing);
  ASSERT_EQ(::mkdir("folder", 0755), 0);
  EXPECT_EQ(refusal("folder", 100, &text), kind::not_regular);
  EXPECT_EQ(text, "folder is a folder, not a regular file");
  EXPECT_EQ(refusal("folder/x", 100), kind::missing);
  // /dev/zero never ends, /dev/null is empty: both are devices, under their own name or a link.
  EXPECT_EQ(refusal("/dev/zero", 1 << 20, &text), kind::not_regular);
  EXPECT_EQ(text, "/dev/zero is a device, not a regular file");
  EXPECT_EQ(refusal("/dev/null", 1 << 20), kind::not_regular);
  ASSERT_EQ(::symlink("/dev/zero", "zero"), 0);
  EXPECT_EQ(refusal("zero", 1 << 20, &text), kind::not_regular);
  EXPECT_EQ(text, "zero is a device, not a regular file");
  // A pipe without a writer: opening it for a blocking read would wait for ever.
  ASSERT_EQ(::mkfifo("pipe", 0644), 0);
  EXPECT_EQ(refusal_in_child("pipe", "pipe is a pipe (FIFO), not a regular file"), 0);
  ASSERT_EQ(::symlink("pipe", "pipe-link"), 0);
  EXPECT_EQ(refusal_in_child("pipe-link", "pipe-link is a pipe (FIFO), not a regular file"), 0);
}

}  // namespace
