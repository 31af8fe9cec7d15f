// In the classic mode (no --outdir) the run writes into the working folder.
// Files of an earlier run there that this run will not replace would lie
// beside the new ones with nothing to tell them apart, so the run names them
// in a warning at its start.
#pragma once
#include <memory>
#include <set>
#include <string>

#include "run/observer.hpp"
#include "config/options.hpp"

namespace qm {

// The names of the files a run of p with options o writes.
std::set<std::string> planned_file_names(const run_parameters& p, const run_options& o);

std::unique_ptr<generation_observer> make_earlier_files_warning(const run_options& o);

}  // namespace qm
