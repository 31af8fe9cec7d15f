// Observers of the generation loop. After each generation the loop calls
// every registered observer with a read-only view of the run; result files
// and per-generation statistics are observers. Each observer declares the
// files it writes into the output folder. A new output is one new observer
// plus one registration line in main/observers.cpp.
#pragma once
#include <map>
#include <span>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "base/output_folder.hpp"
#include "config/output_choice.hpp"
#include "config/parameters.hpp"
#include "config/stage_plan.hpp"
#include "ebv/evaluation.hpp"
#include "population/genome_map.hpp"
#include "population/pedigree_history.hpp"
#include "population/population.hpp"
#include "population/snp_chip.hpp"
#include "qtl/architecture.hpp"
#include "run/parent_choice.hpp"

namespace qm {

struct generation_view {
  const generation_step& step;
  const run_parameters& params;
  const genome_map& map;
  const population& pop;
  const trait_architecture* architecture;  // null until the QTL are chosen
  const pedigree_history& history;
  // The estimated breeding values; ebv->estimated_for(history.generations() - 1)
  // tells whether the generation of the view was evaluated.
  const ebv_evaluation* ebv;
  // The seed the run's random stream started from.
  int32_t seed = 0;
  // The index the parents were chosen on when the stage selects on an index
  // (index i - 1 for animal i); empty otherwise.
  std::span<const double> index = {};
  // The SNP chip (empty until the first generation of stage 2, and in a run
  // without one); null where a view is made without it.
  const snp_chip* chip = nullptr;
  // What optimum contribution selection found when it chose the parents of
  // this generation's offspring (made = false otherwise); null where a view
  // is made without it.
  const contribution_report* contributions = nullptr;
};

// What a run that starts from a saved history (--from-history) tells the
// observers in place of the stage-1 generations it does not make.
struct history_resume {
  const run_parameters& params;
  int64_t generations = 0;  // stage-1 generations the history made (the base not counted)
  generation_step last;     // the last of them
  // What observers kept when the history was saved, by name (save_to_history).
  const std::map<std::string, std::string>& sections;
};

class generation_observer {
 public:
  virtual ~generation_observer() = default;
  // The files it writes into the output folder in a run of p that goes
  // through the stages of plan, all of them: the run's planned files are the
  // union of every observer's.
  virtual void plan_files(const run_parameters& /*p*/, const stage_plan& /*plan*/, file_plan& /*files*/) const {}
  // The shapes of the names it writes in any run, whatever the options:
  // what tells the files of an earlier run in a folder from others.
  virtual void name_patterns(std::vector<file_name_pattern>& /*patterns*/) const {}
  // Once, with the files of the run, right before on_map.
  virtual void on_run_files(const run_files&) {}
  // Once, when the genetic map has been built (before the base generation).
  virtual void on_map(const run_parameters&, const genome_map&) {}
  // Once, right after the QTL were chosen in the generation of the view.
  virtual void on_architecture(const generation_view&) {}
  // After every generation, once its parents have been selected.
  virtual void on_generation(const generation_view&) {}
  // Once at the end of a run; completed is false when the run stopped.
  virtual void on_run_end(const run_parameters&, bool /*completed*/) {}
  // --save-history: once stage 1 is complete, what this observer needs
  // again in a run that starts from the history, as a named section (its
  // own bytes; a name no other observer uses).
  virtual void save_to_history(std::map<std::string, std::string>& /*sections*/) const {}
  // --from-history, before anything is written: whether the section it
  // saved is one it can use in this run (a decode_error saying what is
  // wrong when not). on_history_resumed gets only sections that passed.
  virtual void check_history_section(const history_resume&) const {}
  // --from-history: once, after on_map, in place of the stage-1 generations.
  virtual void on_history_resumed(const history_resume&) {}
};

// The observers of a run, with the choice of output (--files,
// --generations) applied in one place: an observer added with a kind of
// file is called only when that kind is chosen, and sees a generation
// whose files are not chosen as one without files (files_due false), in
// its plan as in the run; so does an observer of the run as a whole (add).
// An observer added as one of every generation (the summary) sees every
// generation as it is.
class observer_list {
 public:
  observer_list() = default;
  explicit observer_list(output_choice c) : choice_(std::move(c)) {}
  const output_choice& choice() const { return choice_; }
  // Adds o (nothing when o is null), an observer of the run as a whole.
  void add(std::unique_ptr<generation_observer> o) { add_entry(std::move(o), true, true); }
  // Adds o, which writes the files of `kind` (an output_kinds() name).
  void add_kind(std::unique_ptr<generation_observer> o, const std::string& kind) {
    add_entry(std::move(o), choice_.wants(kind), true);
  }
  // Adds o, which sees every generation with its own files_due.
  void add_every_generation(std::unique_ptr<generation_observer> o) { add_entry(std::move(o), true, false); }
  // The files of a run of p: the names every observer plans, the shapes of
  // the names they write in any run.
  run_files files_of(const run_parameters& p) const;
  // The shapes of the names alone, for a run whose parameters are not read yet.
  run_files name_patterns() const;
  void map_built(const run_parameters& p, const genome_map& m) const {
    last_file_generation_ = stage_plan(p).last_file_generation();
    const run_files files = files_of(p);
    for (const auto& e : list_)
      if (e.called) e.o->on_run_files(files);
    for (const auto& e : list_)
      if (e.called) e.o->on_map(p, m);
  }
  void architecture_fixed(const generation_view& v) const {
    for (const auto& e : list_)
      if (e.called) e.o->on_architecture(v);
  }
  void generation_done(const generation_view& v) const;
  void run_ended(const run_parameters& p, bool completed) const {
    for (const auto& e : list_)
      if (e.called) e.o->on_run_end(p, completed);
  }
  void history_saved(std::map<std::string, std::string>& sections) const {
    for (const auto& e : list_) e.o->save_to_history(sections);
  }
  void check_history_sections(const history_resume& r) const {
    for (const auto& e : list_) e.o->check_history_section(r);
  }
  void history_resumed(const history_resume& r) const {
    for (const auto& e : list_)
      if (e.called) e.o->on_history_resumed(r);
  }
  size_t size() const { return list_.size(); }

 private:
  struct entry {
    std::unique_ptr<generation_observer> o;
    bool called = true;  // its kind is chosen
    bool masked = true;  // sees the generations whose files are not chosen as without files
  };
  void add_entry(std::unique_ptr<generation_observer> o, bool called, bool masked) {
    if (o) list_.push_back({std::move(o), called, masked});
  }
  output_choice choice_;
  std::vector<entry> list_;
  mutable int64_t last_file_generation_ = -1;  // of the run, once its map is built
};

}  // namespace qm
