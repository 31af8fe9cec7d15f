#include "base/messages.hpp"

#include <gtest/gtest.h>

#include <ctime>
#include <regex>
#include <string>

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

}  // namespace
