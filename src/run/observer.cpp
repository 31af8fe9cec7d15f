#include "run/observer.hpp"

namespace qm {

run_files observer_list::name_patterns() const {
  run_files f;
  for (const auto& e : list_) e.o->name_patterns(f.patterns);
  return f;
}

run_files observer_list::files_of(const run_parameters& p) const {
  run_files f = name_patterns();
  const stage_plan plan(p);
  const stage_plan chosen = plan.with_files_chosen(choice_.generations);
  for (const auto& e : list_)
    if (e.called) e.o->plan_files(p, e.masked ? chosen : plan, f.planned);
  return f;
}

void observer_list::generation_done(const generation_view& v) const {
  generation_step step = v.step;
  step.files_due = step.files_due && choice_.generations.contains(step.file_generation, last_file_generation_);
  const generation_view masked{step, v.params, v.map, v.pop, v.architecture, v.history, v.ebv, v.seed, v.index, v.chip};
  for (const auto& e : list_)
    if (e.called) e.o->on_generation(e.masked ? masked : v);
}

}  // namespace qm
