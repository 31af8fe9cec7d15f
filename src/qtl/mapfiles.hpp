// "QMAP.out" (the QTL in the order drawn, with their effects) and
// "MMAP.out" (marker names and numbers).
#pragma once
#include "run/state.hpp"

namespace qm {

void write_map_files(popstate& p);

}  // namespace qm
