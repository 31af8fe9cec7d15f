// A small pool of worker threads. run_parallel(n, parts, fn) calls fn(k) for
// k = 0..parts-1 on up to n threads (the caller's thread among them) and
// returns when every call has returned. Work is split into parts that each
// write their own output, so results never depend on the number of threads.
#pragma once
#include <functional>

namespace qm {

void run_parallel(int nthreads, int parts, const std::function<void(int)>& fn);

}  // namespace qm
