// In the classic mode (no --outdir) the run writes into the working folder.
// Files of an earlier run there that this run will not replace would lie
// beside the new ones with nothing to tell them apart, so the run names them
// in a warning at its start. Which files those are comes from the
// observers' declarations: the names this run writes, and the shapes of the
// names any run writes.
#pragma once
#include <memory>

#include "base/output_folder.hpp"
#include "run/observer.hpp"

namespace qm {

std::unique_ptr<generation_observer> make_earlier_files_warning(const output_folder& folder);

}  // namespace qm
