#include "base/threads.hpp"

#include <algorithm>
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
// of a generation often comes within a few hundred microseconds (the serial
// steps between two meiosis passes of a 500-animal generation take 0.1 to
// 0.3 ms), and waking a sleeping thread costs some 200 us on a virtual
// machine. A thread writing result files in the background needs the
// processor more: while it works, waiting threads sleep after the short
// spin. On bench/large.par at two threads, 500 us instead of 50 gains
// 1-2 %. A 2 ms spin whether the writer works or not lost 3-5 %: the
// spinning thread took the processor the writer needed.
constexpr auto short_spin_time = std::chrono::microseconds(50);
constexpr auto long_spin_time = std::chrono::microseconds(500);

std::atomic<int> background_threads_working{0};

// Waits on the processor until ready(), or until the spin time has passed.
template <class Ready>
void spin_until(Ready&& ready) {
  const auto start = std::chrono::steady_clock::now();
  const auto short_until = start + short_spin_time, long_until = start + long_spin_time;
  for (;;) {
    for (int i = 0; i < 64; ++i) {
      if (ready()) return;
      relax();
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= long_until) return;
    if (now >= short_until && background_threads_working.load(std::memory_order_relaxed) > 0) return;
  }
}

// A job is handed out part by part through words that each hold the job's
// number in the high half and the next unclaimed part of a range of parts in
// the low half: one range of every part, or, for a job that keeps parts to
// threads, one range per thread, which that thread takes first before it
// helps with the others. A thread claims a part by moving a word on, and
// only while it still names the job it joined, so a thread that wakes late
// claims nothing of a job that is over; the caller waits for the parts that
// were claimed, not for every thread. Before a new job's ranges are set, its
// words already name the new job (closed), so that a thread of the job
// before cannot take a new range for its own; the ranges of a job that is
// over have no part left.
struct pool {
  std::mutex mu;
  std::condition_variable wake, done;
  std::vector<std::thread> workers;
  const std::function<void(int, int)>* fn = nullptr;  // set while a job runs
  std::atomic<int> parts{0};            // parts of the current job
  struct alignas(64) range {
    std::atomic<uint64_t> next{0};      // job number << 32 | next part
    std::atomic<uint32_t> end{0};       // one past the range's last part
  };
  static constexpr int max_ranges = 64;
  range ranges[max_ranges];
  std::atomic<int> nranges{1};          // ranges of the current job
  static constexpr uint32_t closed = 0x7fffffffu;  // next part of a job not yet open
  std::atomic<int> completed{0};        // parts of the current job that returned
  std::atomic<unsigned long> job{0};    // job counter (changed under mu)
  int wanted = 0;                       // workers that may join the current job
  std::exception_ptr error;
  std::atomic<bool> quit{false};       // set under mu; read by spinning workers too

  ~pool() {
    {
      std::lock_guard<std::mutex> l(mu);
      quit = true;
    }
    wake.notify_all();
    for (std::thread& t : workers) t.join();
  }

  // Claims the next part k of job `mine` from range r; false when none is left.
  bool claim_from(int r, uint64_t mine, uint32_t& k) {
    range& g = ranges[r];
    uint64_t v = g.next.load(std::memory_order_acquire);
    do {
      k = static_cast<uint32_t>(v);
      // the end is read after the word: an end of a later job is only seen
      // once the word names that job, and then the exchange fails
      if ((v >> 32) != mine || k >= g.end.load(std::memory_order_acquire)) return false;
    } while (!g.next.compare_exchange_weak(v, v + 1, std::memory_order_acq_rel, std::memory_order_acquire));
    return true;
  }

  // Runs parts of job j until none is left to claim: those of the thread's
  // own range first, then those left in the others.
  void work(unsigned long j, int thread) {
    part_scope scope;
    const uint64_t mine = static_cast<uint32_t>(j);
    const int n = nranges.load(std::memory_order_acquire);
    for (int i = 0; i < n; ++i) {
      const int r = (thread + i) % n;
      uint32_t k;
      while (claim_from(r, mine, k)) {
        // Part k of job j is claimed, so job j goes on until it returns.
        try {
          (*fn)(static_cast<int>(k), thread);
        } catch (...) {
          std::lock_guard<std::mutex> l(mu);
          if (!error) error = std::current_exception();
        }
        if (completed.fetch_add(1, std::memory_order_acq_rel) + 1 == parts.load(std::memory_order_relaxed)) {
          std::lock_guard<std::mutex> l(mu);
          done.notify_all();
        }
      }
    }
  }

  // Call with mu held.
  void start_workers(int n) {
    while (static_cast<int>(workers.size()) < n) {
      const int id = static_cast<int>(workers.size());
      workers.emplace_back([this, id] { worker(id); });
    }
  }

  void worker(int id) {
    unsigned long seen = 0;
    for (;;) {
      spin_until([&] { return job.load(std::memory_order_acquire) != seen || quit.load(std::memory_order_relaxed); });
      std::unique_lock<std::mutex> l(mu);
      wake.wait(l, [&] { return quit || (job != seen && id < wanted); });
      if (quit) return;
      seen = job;
      l.unlock();
      work(seen, id + 1);
    }
  }
};

pool& the_pool() {
  static pool p;
  return p;
}

// parts over up to nthreads threads; with own_share, thread t takes parts
// [parts * t / n, parts * (t + 1) / n) first.
void run_job(int nthreads, int parts, const std::function<void(int, int)>& fn, bool own_share) {
  if (nthreads > parts) nthreads = parts;
  if (nthreads <= 1 || inside_part) {
    for (int k = 0; k < parts; ++k) fn(k, 0);
    return;
  }
  pool& p = the_pool();
  std::unique_lock<std::mutex> l(p.mu);
  p.start_workers(nthreads - 1);
  const unsigned long j = p.job + 1;
  const uint64_t tag = static_cast<uint64_t>(static_cast<uint32_t>(j)) << 32;
  const int nr = own_share ? std::min(nthreads, pool::max_ranges) : 1;
  // the job before is over for everyone
  for (int r = 0; r < nr; ++r) p.ranges[r].next.store(tag | pool::closed, std::memory_order_seq_cst);
  p.fn = &fn;
  p.parts.store(parts, std::memory_order_release);
  for (int r = 0; r < nr; ++r)
    p.ranges[r].end.store(static_cast<uint32_t>(static_cast<int64_t>(parts) * (r + 1) / nr), std::memory_order_release);
  p.nranges.store(nr, std::memory_order_release);
  p.completed.store(0, std::memory_order_relaxed);
  p.error = nullptr;
  p.wanted = nthreads - 1;
  p.job = j;
  for (int r = 0; r < nr; ++r)  // open
    p.ranges[r].next.store(tag | static_cast<uint32_t>(static_cast<int64_t>(parts) * r / nr), std::memory_order_release);
  l.unlock();
  p.wake.notify_all();
  p.work(j, 0);
  const auto finished = [&] { return p.completed.load(std::memory_order_acquire) == parts; };
  spin_until(finished);
  l.lock();
  p.done.wait(l, finished);
  p.fn = nullptr;
  if (p.error) std::rethrow_exception(p.error);
}

// run_job for fn(k); a call that runs inline needs no wrapper around fn.
void run_each(int nthreads, int parts, const std::function<void(int)>& fn, bool own_share) {
  if (nthreads > parts) nthreads = parts;
  if (nthreads <= 1 || inside_part) {
    for (int k = 0; k < parts; ++k) fn(k);
    return;
  }
  run_job(nthreads, parts, [&fn](int k, int) { fn(k); }, own_share);
}

}  // namespace

background_work::background_work() { background_threads_working.fetch_add(1, std::memory_order_relaxed); }
background_work::~background_work() { background_threads_working.fetch_sub(1, std::memory_order_relaxed); }

void start_threads(int nthreads) {
  if (nthreads <= 1) return;
  pool& p = the_pool();
  std::lock_guard<std::mutex> l(p.mu);
  p.start_workers(nthreads - 1);
}

void run_parallel(int nthreads, int parts, const std::function<void(int)>& fn) {
  run_each(nthreads, parts, fn, false);
}

void run_parallel_on(int nthreads, int parts, const std::function<void(int, int)>& fn) {
  run_job(nthreads, parts, fn, false);
}

void run_parallel_own_shares(int nthreads, int parts, const std::function<void(int)>& fn) {
  run_each(nthreads, parts, fn, true);
}

void run_parallel_ranges(int nthreads, int64_t nitems, const std::function<void(int64_t, int64_t)>& fn) {
  if (nitems <= 0) return;
  const int parts = static_cast<int>(std::min<int64_t>(nitems, 8 * static_cast<int64_t>(std::max(1, nthreads))));
  run_parallel(nthreads, parts, [&](int k) { fn(nitems * k / parts, nitems * (k + 1) / parts); });
}

}  // namespace qm
