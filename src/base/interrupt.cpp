#include "base/interrupt.hpp"

#include <csignal>
#include <string>

#include "base/messages.hpp"

namespace qm {

namespace {
volatile std::sig_atomic_t signal_seen = 0;
int last_stage = 0;
int64_t last_number = 0;
bool any_generation = false;

extern "C" void note_signal(int s) { signal_seen = s; }
}  // namespace

void install_signal_handlers() {
  struct sigaction sa {};
  sa.sa_handler = note_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

void note_generation_done(int stage, int64_t number) {
  last_stage = stage;
  last_number = number;
  any_generation = true;
}

int pending_signal() { return static_cast<int>(signal_seen); }

void stop_if_signalled() {
  const int s = pending_signal();
  if (s == 0) return;
  const std::string name = s == SIGINT ? "SIGINT" : s == SIGTERM ? "SIGTERM" : "signal " + std::to_string(s);
  std::string m = "Stopped by " + name;
  if (any_generation)
    m += " after generation " + std::to_string(last_number) + " of stage " + std::to_string(last_stage) + ".";
  else
    m += " before the first generation was complete.";
  stop_by_signal(m, s);
}

}  // namespace qm
