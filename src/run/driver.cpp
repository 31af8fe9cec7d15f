#include "run/driver.hpp"

#include <optional>
#include <string>

#include "base/fixed.hpp"
#include "base/messages.hpp"
#include "base/page_pool.hpp"
#include "base/textfile.hpp"
#include "base/threads.hpp"
#include "config/stage_plan.hpp"
#include "run/generation.hpp"
#include "run/history_state.hpp"
#include "run/memory_estimate.hpp"
#include "run/run_state.hpp"

namespace qm {

namespace {

void banner() {
  show("Quillmere ___________Last modified 2014/10/17");
  show("          ========================================");
  show("          |              QUILLMERE               |");
  show("          |  Genome-level breeding simulation    |");
  show("          |  Quillmere developers, 2026          |");
  show("          |  Manual: README.md of the project    |");
  show("          |Function module-                      |");
  show("                       Multiple correlated traits|");
  show("          |  Markers, QTL, selection, mating     |");
  show("          |  Repeatable from its random seed     |");
  show("          ========================================");
}

// A later stage-2 generation number would reuse the stage-2 file names.
void overwrite_warning(const run_parameters& p, const stage_block& b2) {
  int64_t later = 0;
  for (int s = 3; s <= p.nstage; ++s) {
    const stage_entry& e = p.stages[static_cast<size_t>(s)];
    if (e.readable && e.block.ngen > 0) later += e.block.ngen;
  }
  if (b2.ngen >= 2 && b2.ngen <= 1 + later)
    show("Warning: stage-2 result files (generation " + std::to_string(b2.ngen) +
         ") will be overwritten by a later stage.");
}

void stage_finished(int s) {
  if (s <= 2) {
    show("Stage " + std::to_string(s) + " finished!");
    return;
  }
  std::string m = "Stage";
  add_imin(m, s, 4, 1);
  m += " finished!";
  show(m);
}

// What stage 1 writes to the log and the console, kept for the history
// file while the stage runs (and no longer once the scope ends).
class stage1_text {
 public:
  explicit stage1_text(bool keep) : on_(keep) {
    if (on_) msg_capture_begin();
  }
  ~stage1_text() {
    if (on_) msg_capture_end();
  }
  captured_text take() {
    on_ = false;
    return msg_capture_end();
  }

 private:
  bool on_;
};

void run_stages(run_state& st, const observer_list& observers, const history_options& h) {
  const run_parameters& p = st.params;
  for (const planned_stage& stage : stage_plan(p, h.from_path.empty() ? 1 : 2)) {
    const int s = stage.number();
    const stage_block& b =
        s == 1 ? p.stage1()
        : parents_allocated(st.pop)
            ? enter_stage(p, s, 0, 0)  // paired by allocation whatever the design: no design rule on the lists
            : enter_stage(p, s, static_cast<int32_t>(st.pop.sires.size()), static_cast<int32_t>(st.pop.dams.size()));
    if (s == 2) overwrite_warning(p, b);
    stage1_text text(s == 1 && !h.save_path.empty());
    stage.for_each_generation([&](const generation_step& g) { run_generation(st, b, g, observers); });
    stage_finished(s);
    if (s == 1 && !h.save_path.empty()) {
      captured_text t = text.take();
      history_extras extras{std::move(t.log), std::move(t.console), {}};
      observers.history_saved(extras.observer_sections);
      save_history(st, h.save_path, extras);
    }
  }
}

// The state at the end of stage 1 from the history file, read and checked
// now when it was not before the run.
void start_from_history(run_state& st, const observer_list& observers, const history_options& h) {
  std::optional<saved_history> own;
  saved_history* from = h.from;
  try {
    if (!from) from = &own.emplace(read_history_for_run(st.params, observers));
  } catch (const history_error& e) {
    stop(e.what());
  }
  resume_from_history(st, *from, observers);
}

void summary(const std::string& start, int32_t seed) {
  const std::string end = clock_hms();
  console_blank_line();
  show(" ");
  show("        ========Congratulation========");
  show("        Program end without any error!");
  show("         " + start + " --> " + end);
  std::string seedline = "        With random seed  ";
  add_i(seedline, seed, 14);
  show(seedline);
  show("        ==============================");
}

}  // namespace

void quillmere(run_parameters& parameters, const observer_list& observers, const history_options& h,
               run_outcome& outcome) {
  start_threads(parameters.threads);
  banner();
  const std::string start = clock_hms();
  const run_parameters& p = parameters;
  try {
    read_parameters(parameters);
    for (const std::string& w : p.warnings) warn(w);
    check_memory_estimate(p);
    set_page_limit(static_cast<size_t>(pages_worth_keeping(p)));
    // With two threads or more, a thread of its own writes the result files
    // of the generations while the next ones are made.
    textfile::write_in_background(p.threads >= 2);
    run_state st(p);
    if (h.from_path.empty())
      start_population(st, observers);
    else
      start_from_history(st, observers, h);
    outcome.seed = st.rng.start_seed;
    run_stages(st, observers, h);
    textfile::settle();
    textfile::write_in_background(false);
    summary(start, st.rng.start_seed);
  } catch (...) {
    // The files handed over are complete or removed before the run ends.
    textfile::write_in_background(false);
    observers.run_ended(p, false);
    throw;
  }
  observers.run_ended(p, true);
}

void quillmere(run_parameters& p, const observer_list& observers, const history_options& h) {
  run_outcome unused;
  quillmere(p, observers, h, unused);
}

}  // namespace qm
