#include "run/observer.hpp"

namespace qm {

run_files observer_list::name_patterns() const {
  run_files f;
  for (const auto& o : list_) o->name_patterns(f.patterns);
  return f;
}

run_files observer_list::files_of(const run_parameters& p) const {
  run_files f = name_patterns();
  const stage_plan plan(p);
  for (const auto& o : list_) o->plan_files(p, plan, f.planned);
  return f;
}

}  // namespace qm
