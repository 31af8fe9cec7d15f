// With an output folder: when a run stops part-way, a last line in log.txt
// and on the console says which generations have complete result files.
#pragma once
#include <memory>

#include "run/observer.hpp"

namespace qm {

std::unique_ptr<generation_observer> make_completion_note();

}  // namespace qm
