#include "base/messages.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <regex>
#include <string>

#include "base/textfile.hpp"
#include "support.hpp"

namespace {

std::string today() {
  const std::time_t t = std::time(nullptr);
  std::tm lt{};
  localtime_r(&t, &lt);
  char b[16];
  std::strftime(b, sizeof b, "%d/%m/%Y", &lt);
  return b;
}

TEST(Messages, ShowWritesLogAndConsole) {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  ASSERT_TRUE(qm::msg_open_log("log.txt"));
  qm::show("first line   ");
  qm::show("    ");
  qm::show("          ========banner========");
  qm::say("console only  ");
  qm::msg_close_log();
  EXPECT_EQ(qmtest::read_file("log.txt"), "first line\n\n          ========banner========\n");
  EXPECT_EQ(con.text(),
            " first line\n"
            " \n"
            "           ========banner========\n"
            " console only  \n");
}

TEST(Messages, StopStampsAndEndsTheRun) {
  qmtest::tempdir dir;
  qmtest::console_capture con;
  ASSERT_TRUE(qm::msg_open_log("log.txt"));
  const std::string before = today();
  EXPECT_THROW(qm::stop("Something failed. Program cannot run."), qm::run_stop);
  const std::string after = today();
  qm::msg_close_log();
  const std::regex shape("^(.*)\n (\\d\\d/\\d\\d/\\d{4}) (\\d\\d):(\\d\\d):(\\d\\d)\n$");
  std::smatch m;
  const std::string log = qmtest::read_file("log.txt");
  ASSERT_TRUE(std::regex_match(log, m, shape)) << log;
  EXPECT_EQ(m[1].str(), "Something failed. Program cannot run.");
  EXPECT_TRUE(m[2].str() == before || m[2].str() == after) << m[2].str();
  EXPECT_LE(std::stoi(m[3].str()), 23);
  EXPECT_LE(std::stoi(m[4].str()), 59);
  EXPECT_LE(std::stoi(m[5].str()), 60);
  const std::string stamp = log.substr(log.find('\n') + 1);
  EXPECT_EQ(con.text(), " Something failed. Program cannot run.\n" + stamp);

  // show with the stamp writes the same two-line shape without stopping.
  ASSERT_TRUE(qm::msg_open_log("log.txt"));
  qm::show("a warning that precedes a stop", true);
  qm::msg_close_log();
  EXPECT_TRUE(std::regex_match(qmtest::read_file("log.txt"), shape));
}

// Standard output and standard error of the process go to stdout.txt and
// stderr.txt for the life of the object, or both to stdout.txt (as 2>&1).
struct standard_streams {
  int saved_out, saved_err;
  explicit standard_streams(bool shared) {
    std::fflush(stdout);
    std::fflush(stderr);
    saved_out = dup(STDOUT_FILENO);
    saved_err = dup(STDERR_FILENO);
    const int out = open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = shared ? dup(out) : open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    close(out);
    close(err);
  }
  ~standard_streams() {
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(saved_out, STDOUT_FILENO);
    dup2(saved_err, STDERR_FILENO);
    close(saved_out);
    close(saved_err);
  }
};

size_t count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// Every stop reaches standard error too when the console is standard
// output: a stop of the run, a full disk met by a result file, a signal.
// Standard output and the log keep exactly what they had.
TEST(Messages, StopsReachStandardError) {
  qmtest::tempdir dir;
  const std::string text = "Result file 05BV.out cannot be written (No space left on device).";
  {
    standard_streams streams(false);
    qm::msg_open_log("log.txt");
    try {
      qm::stop(text);
    } catch (const qm::run_stop&) {
    }
    qm::msg_close_log();
  }
  EXPECT_EQ(qmtest::read_file("stderr.txt"), "quillmere: " + text + "\n");
  const std::string log = qmtest::read_file("log.txt");
  EXPECT_EQ(log.substr(0, log.find('\n') + 1), text + "\n");
  EXPECT_EQ(qmtest::read_file("stdout.txt"), " " + log);  // the time-stamp line has its blank in both

  // A write that meets a full disk (an injected fault) stops with the file's message.
  {
    standard_streams streams(false);
    qm::textfile::inject_write_fault_after(0);
    try {
      qm::textfile f("05BV.out");
      f.line("a line that does not fit");
      f.finish();
      ADD_FAILURE() << "the write did not fail";
    } catch (const qm::run_stop&) {
    }
    qm::textfile::inject_write_fault_after(-1);
  }
  const std::string full = qmtest::read_file("stderr.txt");
  EXPECT_EQ(full.rfind("quillmere: Result file 05BV.out cannot be written (No space left on device)", 0), 0u) << full;
  EXPECT_EQ(count(full, "\n"), 1u) << full;
  EXPECT_NE(qmtest::read_file("stdout.txt").find(full.substr(11)), std::string::npos);
  EXPECT_FALSE(qmtest::file_exists("05BV.out"));

  // A signal: the same, and the run_stop carries it.
  int signal = 0;
  {
    standard_streams streams(false);
    try {
      qm::stop_by_signal("Stopped by SIGTERM after generation 3 of stage 1.", 15);
    } catch (const qm::run_stop& e) {
      signal = e.signal;
    }
  }
  EXPECT_EQ(signal, 15);
  EXPECT_EQ(qmtest::read_file("stderr.txt"), "quillmere: Stopped by SIGTERM after generation 3 of stage 1.\n");
}

// Where standard error leads to standard output's file (2>&1, one
// terminal) the console line is there already: the stop appears once. A
// console of its own (a capture, --check's standard error) takes the stop
// alone.
TEST(Messages, StopOnceWhereTheStreamsMeet) {
  qmtest::tempdir dir;
  const std::string text = "Parameter file p.par, record 28: matetype = 5 is not allowed.";
  {
    standard_streams streams(true);
    EXPECT_THROW(qm::stop(text), qm::run_stop);
  }
  const std::string both = qmtest::read_file("stdout.txt");
  EXPECT_EQ(count(both, text), 1u) << both;
  EXPECT_EQ(both.rfind(" " + text + "\n", 0), 0u) << both;
  {
    standard_streams streams(false);
    qmtest::console_capture con;
    EXPECT_THROW(qm::stop(text), qm::run_stop);
    EXPECT_EQ(count(con.text(), text), 1u);
  }
  EXPECT_EQ(qmtest::read_file("stderr.txt"), "");
  EXPECT_EQ(qmtest::read_file("stdout.txt"), "");
}

}  // namespace
