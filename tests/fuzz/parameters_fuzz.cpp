// libFuzzer target: the parameter reader on arbitrary text, in the normal
// mode (stop at the first problem) and in the --check mode (collect them
// all), followed by what a run computes from the parameters before it
// allocates anything: the generation plan and the memory estimate.
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "base/messages.hpp"
#include "config/parameters.hpp"
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
    p.parafile = "fuzz.par";
    try {
      qm::read_parameter_text(p, text);
      (void)qm::estimate_peak_memory(p);
      (void)qm::stage_plan(p).generations();
    } catch (const qm::run_stop&) {
    }
  }
  {
    qm::run_parameters p;
    p.parafile = "fuzz.par";
    try {
      (void)qm::check_parameter_text(p, &text);
    } catch (const qm::run_stop&) {
    }
  }
  return 0;
}
