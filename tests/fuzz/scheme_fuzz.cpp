// libFuzzer target: the scheme-file (TOML) reader on arbitrary text, in the
// run mode (stop at the first problem) and the --check mode (collect them
// all), then what a run computes from the parameters before it allocates
// anything, and the conversion of what was read to a classic file and back.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "base/messages.hpp"
#include "config/parameters.hpp"
#include "config/scheme_convert.hpp"
#include "config/stage_plan.hpp"
#include "run/memory_estimate.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::FILE* quiet = [] {
    std::FILE* f = std::fopen("/dev/null", "w");
    qm::msg_set_console(f);
    return f;
  }();
  (void)quiet;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  {
    qm::run_parameters p;
    p.parafile = "fuzz.toml";
    try {
      qm::read_parameter_text(p, text);
      (void)qm::estimate_peak_memory(p);
      (void)qm::stage_plan(p).generations();
      if (p.scheme) {
        // A scheme that reads converts to a classic file that reads as the same values.
        const qm::classic_conversion c = qm::classic_text_of(p);
        qm::run_parameters back;
        back.parafile = "fuzz.par";
        qm::read_parameter_text(back, c.text);
        if (qm::classic_text_of(back).text != c.text) __builtin_trap();
      }
    } catch (const qm::run_stop&) {
    }
  }
  {
    qm::run_parameters p;
    p.parafile = "fuzz.toml";
    try {
      (void)qm::check_parameter_text(p, &text);
    } catch (const qm::run_stop&) {
    }
  }
  return 0;
}
