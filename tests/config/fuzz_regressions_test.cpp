// Every input that once crashed the parameter reader or ran slowly in the
// fuzzer (tests/fuzz/regressions) is read again, in the normal and the
// --check mode, followed by the memory estimate: each ends, and a problem
// ends as a stop with a message, never as a crash.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "base/messages.hpp"
#include "config/parameters.hpp"
#include "run/memory_estimate.hpp"
#include "support.hpp"

namespace {

TEST(FuzzRegressions, EveryKeptInputEndsCleanly) {
  qmtest::console_capture quiet;
  int n = 0;
  for (const auto& e : std::filesystem::directory_iterator(QM_TESTDATA "/../fuzz/regressions")) {
    const std::string text = qmtest::read_file(e.path().string());
    ++n;
    qm::run_parameters p;
    p.parafile = e.path().filename().string();
    try {
      qm::read_parameter_text(p, text);
      EXPECT_GT(qm::estimate_peak_memory(p), 0);
    } catch (const qm::run_stop& s) {
      EXPECT_FALSE(std::string(s.what()).empty());
    }
    qm::run_parameters c;
    c.parafile = p.parafile;
    const std::string_view view(text);
    EXPECT_NO_THROW((void)qm::check_parameter_text(c, &view)) << p.parafile;
  }
  EXPECT_GE(n, 1);
}

}  // namespace
