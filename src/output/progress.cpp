#include "output/progress.hpp"

#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "config/stage_plan.hpp"
#include "output/size_estimate.hpp"
#include "run/work_estimate.hpp"

namespace qm {

namespace {

// The estimated seconds of every generation of the plan, and the part of
// them that is the text of its files.
void weights_of(const run_parameters& p, const output_choice& c, std::vector<double>& all,
                std::vector<double>& text) {
  const stage_plan chosen = stage_plan(p).with_files_chosen(c.generations);
  std::vector<int64_t> bytes;
  for (const planned_stage& st : chosen)
    st.for_each_generation([&](const generation_step& g) {
      int64_t n = 0;
      for (const auto& [kind, b] : generation_file_sizes(p, c, st.block(), g)) n += b;
      bytes.push_back(n);
    });
  size_t k = 0;
  all.clear();
  text.clear();
  for (const generation_work& w :
       work_of_run(p, [&](const stage_block&, const generation_step&) { return k < bytes.size() ? bytes[k++] : 0; })) {
    all.push_back(w.seconds());
    text.push_back(w.text_seconds());
  }
}

// The share of the files' time that comes after the last generation, when
// the files written in the background are closed and reach the disk
// (measured with bench/estimate_check.py, scenario later-files: 1.3 s of
// 3.3 s).
constexpr double text_after_the_run = 0.4;

}  // namespace

std::vector<double> generation_weights(const run_parameters& p, const output_choice& c) {
  std::vector<double> all, text;
  weights_of(p, c, all, text);
  return all;
}

namespace {

using clock_type = std::chrono::steady_clock;

class progress_line : public generation_observer {
 public:
  explicit progress_line(output_choice c) : choice_(std::move(c)) {}
  void on_map(const run_parameters& p, const genome_map&) override {
    weights_of(p, choice_, weights_, text_);
    total_ = 0;
    for (double w : weights_) total_ += w;
    done_work_ = 0;
    next_ = 0;
    start_ = last_ = clock_type::now();
  }
  void on_history_resumed(const history_resume& r) override {
    // Stage 1 is not made: the share counts from the first generation after it.
    for (int64_t k = 0; k < r.generations && next_ < weights_.size(); ++k) total_ -= weights_[next_++];
  }
  void on_generation(const generation_view& v) override {
    if (next_ < weights_.size()) {
      done_work_ += weights_[next_] - text_after_the_run * text_[next_];
      ++next_;
    }
    const auto now = clock_type::now();
    if (now - last_ < std::chrono::milliseconds(200) && next_ < weights_.size()) return;
    last_ = now;
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    const double share = share_done();
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
  double share_done() const { return total_ > 0 ? std::min(1.0, done_work_ / total_) : 1.0; }

 private:
  output_choice choice_;
  std::vector<double> weights_;  // the estimated seconds of each generation of the plan
  std::vector<double> text_;     // the part of them that is the text of its files
  double total_ = 0, done_work_ = 0;
  size_t next_ = 0;
  clock_type::time_point start_, last_;
  bool shown_ = false;
};

}  // namespace

std::unique_ptr<generation_observer> make_progress_line(const output_choice& c) {
  if (!isatty(STDERR_FILENO)) return nullptr;
  return std::make_unique<progress_line>(c);
}

}  // namespace qm
