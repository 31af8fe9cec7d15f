#include "run/threads.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace qm {

namespace {

// True on a thread while it runs a part: a nested call then runs inline.
thread_local bool inside_part = false;

struct part_scope {
  bool was = inside_part;
  part_scope() { inside_part = true; }
  ~part_scope() { inside_part = was; }
};

// A short wait on the processor: a pause instruction where there is one.
inline void relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#else
  std::this_thread::yield();
#endif
}

// How long a thread waits on the processor before it sleeps. The next job
// of a generation, or the last part of this one, often comes within tens of
// microseconds, and waking a sleeping thread costs about as much (more on a
// virtual machine); two threads on bench/large.par gain some 2%.
constexpr auto spin_time = std::chrono::microseconds(50);

// Waits on the processor until ready() or spin_time has passed.
template <class Ready>
void spin_until(Ready&& ready) {
  const auto until = std::chrono::steady_clock::now() + spin_time;
  for (;;) {
    for (int i = 0; i < 64; ++i) {
      if (ready()) return;
      relax();
    }
    if (std::chrono::steady_clock::now() >= until) return;
  }
}

struct pool {
  std::mutex mu;
  std::condition_variable wake, done;
  std::vector<std::thread> workers;
  const std::function<void(int, int)>* fn = nullptr;
  int parts = 0;                      // parts of the current job
  std::atomic<int> active{0};         // workers still in it (changed under mu)
  std::atomic<unsigned long> job{0};  // job counter, so a worker joins each job once (changed under mu)
  int wanted = 0;                // workers that join the current job
  std::atomic<int> next{0};
  std::exception_ptr error;
  bool quit = false;

  ~pool() {
    {
      std::lock_guard<std::mutex> l(mu);
      quit = true;
    }
    wake.notify_all();
    for (std::thread& t : workers) t.join();
  }

  void work(int thread) {
    part_scope scope;
    for (int k; (k = next.fetch_add(1)) < parts;) {
      try {
        (*fn)(k, thread);
      } catch (...) {
        std::lock_guard<std::mutex> l(mu);
        if (!error) error = std::current_exception();
      }
    }
  }

  void worker(int id) {
    unsigned long seen = 0;
    std::unique_lock<std::mutex> l(mu);
    for (;;) {
      l.unlock();
      spin_until([&] { return job.load(std::memory_order_acquire) != seen; });
      l.lock();
      wake.wait(l, [&] { return quit || (job != seen && id < wanted); });
      if (quit) return;
      seen = job;
      l.unlock();
      work(id + 1);
      l.lock();
      if (--active == 0) done.notify_all();
    }
  }
};

pool& the_pool() {
  static pool p;
  return p;
}

}  // namespace

void run_parallel(int nthreads, int parts, const std::function<void(int)>& fn) {
  if (nthreads > parts) nthreads = parts;
  if (nthreads <= 1 || inside_part) {
    for (int k = 0; k < parts; ++k) fn(k);
    return;
  }
  run_parallel_on(nthreads, parts, [&fn](int k, int) { fn(k); });
}

void run_parallel_on(int nthreads, int parts, const std::function<void(int, int)>& fn) {
  if (nthreads > parts) nthreads = parts;
  if (nthreads <= 1 || inside_part) {
    for (int k = 0; k < parts; ++k) fn(k, 0);
    return;
  }
  pool& p = the_pool();
  std::unique_lock<std::mutex> l(p.mu);
  while (static_cast<int>(p.workers.size()) < nthreads - 1) {
    const int id = static_cast<int>(p.workers.size());
    p.workers.emplace_back([&p, id] { p.worker(id); });
  }
  p.fn = &fn;
  p.parts = parts;
  p.next = 0;
  p.error = nullptr;
  p.wanted = nthreads - 1;
  p.active = nthreads - 1;
  ++p.job;
  l.unlock();
  p.wake.notify_all();
  p.work(0);
  spin_until([&] { return p.active.load(std::memory_order_acquire) == 0; });
  l.lock();
  p.done.wait(l, [&] { return p.active == 0; });
  p.fn = nullptr;
  if (p.error) std::rethrow_exception(p.error);
}

void run_stream_parts(int nthreads, int64_t nitems, int parts, uint64_t draws_per_item, random_stream& rng,
                      const std::function<void(int, int64_t, int64_t, uint32_t)>& fn) {
  run_stream_parts_on(nthreads, nitems, parts, draws_per_item, rng,
                      [&fn](int k, int64_t a, int64_t b, uint32_t st, int) { fn(k, a, b, st); });
}

void run_stream_parts_on(int nthreads, int64_t nitems, int parts, uint64_t draws_per_item, random_stream& rng,
                         const std::function<void(int, int64_t, int64_t, uint32_t, int)>& fn) {
  const uint32_t start = static_cast<uint32_t>(rng.state);
  run_parallel_on(nthreads, parts, [&](int k, int t) {
    const int64_t a = nitems * k / parts, b = nitems * (k + 1) / parts;
    if (a >= b) return;
    fn(k, a, b, mulmod31(start, jump_multiplier(draws_per_item * static_cast<uint64_t>(a))), t);
  });
  rng.state = static_cast<int32_t>(mulmod31(start, jump_multiplier(draws_per_item * static_cast<uint64_t>(nitems))));
}

}  // namespace qm
