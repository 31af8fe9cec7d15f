#include "output/completion.hpp"

#include <mutex>
#include <string>
#include <vector>

#include "base/fixed.hpp"
#include "base/messages.hpp"
#include "base/textfile.hpp"

namespace qm {

namespace {

class completion_note : public generation_observer {
 public:
  void on_history_resumed(const history_resume& r) override {
    stage_ = 1;
    number_ = r.last.number;
  }
  void on_generation(const generation_view& v) override {
    stage_ = v.step.stage;
    number_ = v.step.number;
    // Complete once its files have their names (they may still be written
    // in the background).
    if (v.step.files_due)
      textfile::when_written([this, g = v.step.file_generation] {
        std::lock_guard<std::mutex> l(mu_);
        complete_.push_back(g);
      });
  }
  void on_run_end(const run_parameters&, bool completed) override {
    if (completed) return;
    std::lock_guard<std::mutex> l(mu_);
    std::string m = "The run stopped";
    if (stage_ > 0) m += " after generation " + std::to_string(number_) + " of stage " + std::to_string(stage_);
    m += ". ";
    if (complete_.empty()) {
      m += "No generation has complete result files.";
    } else {
      m += "Result files are complete for generation" + std::string(complete_.size() > 1 ? "s " : " ");
      for (size_t k = 0; k < complete_.size(); ++k) {
        if (k) m += ", ";
        add_imin(m, complete_[k], 2, 2);
      }
      m += ".";
    }
    show(m);
  }

 private:
  int stage_ = 0;
  int64_t number_ = 0;
  std::mutex mu_;
  std::vector<int64_t> complete_;
};

}  // namespace

std::unique_ptr<generation_observer> make_completion_note() { return std::make_unique<completion_note>(); }

}  // namespace qm
