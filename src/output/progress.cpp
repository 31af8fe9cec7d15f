#include "output/progress.hpp"

#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "config/stage_plan.hpp"

namespace qm {

namespace {

using clock_type = std::chrono::steady_clock;

class progress_line : public generation_observer {
 public:
  void on_map(const run_parameters& p, const genome_map&) override {
    total_ = stage_plan(p).generations();
    start_ = last_ = clock_type::now();
  }
  void on_history_resumed(const history_resume& r) override { total_ -= r.generations; }
  void on_generation(const generation_view& v) override {
    ++done_;
    const auto now = clock_type::now();
    if (now - last_ < std::chrono::milliseconds(200) && done_ < total_) return;
    last_ = now;
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    const double share = total_ > 0 ? static_cast<double>(done_) / static_cast<double>(total_) : 1.0;
    const double left = share > 0.0 ? elapsed * (1.0 - share) / share : 0.0;
    const long secs = static_cast<long>(left + 0.5);
    std::fprintf(stderr, "\r  stage %d  generation %lld  %5.1f %%  about %ld:%02ld:%02ld left   ", v.step.stage,
                 static_cast<long long>(v.step.number), 100.0 * share, secs / 3600, secs / 60 % 60, secs % 60);
    std::fflush(stderr);
    shown_ = true;
  }
  void on_run_end(const run_parameters&, bool) override {
    if (!shown_) return;
    std::fputs("\r\033[K", stderr);  // clear the line
    std::fflush(stderr);
  }

 private:
  int64_t total_ = 0, done_ = 0;
  clock_type::time_point start_, last_;
  bool shown_ = false;
};

}  // namespace

std::unique_ptr<generation_observer> make_progress_line() {
  if (!isatty(STDERR_FILENO)) return nullptr;
  return std::make_unique<progress_line>();
}

}  // namespace qm
