// Every observer of a run is registered here, in the order it is called.
#pragma once
#include "config/options.hpp"
#include "run/observer.hpp"

namespace qm {

observer_list registered_observers(const run_options& o);

}  // namespace qm
