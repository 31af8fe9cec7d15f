// "QMAP.out" (the QTL in the order drawn, with their effects) and
// "MMAP.out" (marker names and numbers).
#pragma once
#include "run/state.hpp"

namespace qm {

void outputmq(popstate& p);

}  // namespace qm
