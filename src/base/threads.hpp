// A small pool of worker threads. run_parallel(n, parts, fn) calls fn(k) for
// k = 0..parts-1 on up to n threads (the caller's thread among them) and
// returns when every call has returned. Work is split into parts that each
// write their own output, so results never depend on the number of threads.
// A call made from inside a part runs its parts inline, one after the other,
// on the calling thread.
#pragma once
#include <cstdint>
#include <functional>


namespace qm {

// Starts the threads that a run on nthreads threads will need, ahead of its
// first job: a thread just started may wait a few milliseconds for the
// system to give it a processor of its own, and is then ready when the
// first job comes.
void start_threads(int nthreads);

void run_parallel(int nthreads, int parts, const std::function<void(int)>& fn);

// The same, and fn(k, t) also gets the number t (0..nthreads-1) of the thread
// that runs part k: parts with the same t never run at the same time, so each
// thread may gather into a table of its own. Inline calls all get t = 0.
void run_parallel_on(int nthreads, int parts, const std::function<void(int, int)>& fn);

// The same as run_parallel, with each thread taking a share of consecutive
// parts of its own first (thread t of n: parts parts*t/n .. parts*(t+1)/n-1)
// and then helping with what is left of the others'. For steps that go over
// the same blocks of the same vectors again and again (an iterative solver):
// a block's data stays in the cache of the thread that last wrote it, where
// parts handed out in turn would move it between the cores' caches.
void run_parallel_own_shares(int nthreads, int parts, const std::function<void(int)>& fn);

// Items 0..nitems-1 in parts of consecutive items, a few parts per thread:
// fn(a, b) handles items a..b-1. For items too small to be parts each.
void run_parallel_ranges(int nthreads, int64_t nitems, const std::function<void(int64_t, int64_t)>& fn);
// While an object of this type lives, a thread outside the pool (the one
// that writes result files) is working: threads of the pool waiting for
// their next job then leave it the processor after a short spin.
class background_work {
 public:
  background_work();
  ~background_work();
  background_work(const background_work&) = delete;
  background_work& operator=(const background_work&) = delete;
};

}  // namespace qm
