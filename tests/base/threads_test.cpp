// The worker pool: every part runs once (also when a worker spins or sleeps
// between jobs, and when jobs that share parts out in turn alternate with
// jobs that give each thread a share of its own), each thread starts with
// its own share, and nested calls run inline.
#include "base/threads.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>


namespace {

TEST(RunParallel, EveryPartOnce) {
  for (bool own_shares : {false, true}) {
    for (int threads : {1, 2, 3, 8}) {
      for (int parts : {0, 1, 2, 5, 100}) {
        std::vector<std::atomic<int>> hits(static_cast<size_t>(parts));
        const auto count = [&](int k) { hits[static_cast<size_t>(k)].fetch_add(1); };
        if (own_shares)
          qm::run_parallel_own_shares(threads, parts, count);
        else
          qm::run_parallel(threads, parts, count);
        for (int k = 0; k < parts; ++k)
          EXPECT_EQ(hits[k].load(), 1) << threads << " threads, part " << k << (own_shares ? ", own shares" : "");
      }
    }
  }
}

// Two threads, eight parts of 1 ms: the caller's first part is 0, and the
// first part the worker runs, if it runs any, is one of its own share
// (4..7); each thread then runs its share in order, and whatever it takes
// from the other's share comes after.
TEST(RunParallel, EachThreadStartsWithItsOwnShare) {
  for (int job = 0; job < 20; ++job) {
    std::vector<int> caller, worker;
    std::mutex mu;
    const std::thread::id me = std::this_thread::get_id();
    qm::run_parallel_own_shares(2, 8, [&](int k) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      std::lock_guard<std::mutex> l(mu);
      (std::this_thread::get_id() == me ? caller : worker).push_back(k);
    });
    ASSERT_FALSE(caller.empty());
    EXPECT_EQ(caller.front(), 0) << "job " << job;
    if (!worker.empty()) {
      EXPECT_GE(worker.front(), 4) << "job " << job;
    }
    for (const std::vector<int>* order : {&caller, &worker}) {
      const int own_first = order == &caller ? 0 : 4;
      std::vector<int> own, other;
      for (int k : *order) (k >= own_first && k < own_first + 4 ? own : other).push_back(k);
      EXPECT_TRUE(std::is_sorted(own.begin(), own.end())) << "job " << job;
      // nothing of the other share before the last part of its own
      if (!other.empty() && !own.empty()) {
        EXPECT_GT(std::find(order->begin(), order->end(), other.front()) - order->begin(),
                  std::find(order->begin(), order->end(), own.back()) - order->begin())
            << "job " << job;
      }
    }
    EXPECT_EQ(caller.size() + worker.size(), 8u);
  }
}

// Jobs back to back and after pauses longer than a waiting worker spins
// before it sleeps: every part of every job runs once, whether the worker is
// still spinning or has to be woken, and a part that ends late is waited for.
TEST(RunParallel, JobsAfterShortAndLongPausesRunEveryPart) {
  for (int threads : {2, 3}) {
    for (int job = 0; job < 400; ++job) {
      if (job % 4 == 1) std::this_thread::sleep_for(std::chrono::microseconds(job % 3 == 0 ? 20 : 300));
      std::vector<std::atomic<int>> hits(5);
      qm::run_parallel(threads, 5, [&](int k) {
        if (k == 4 && job % 5 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
        hits[static_cast<size_t>(k)].fetch_add(1);
      });
      for (int k = 0; k < 5; ++k) ASSERT_EQ(hits[static_cast<size_t>(k)].load(), 1) << threads << " threads, job " << job;
    }
  }
}

// Many tiny jobs back to back: a thread that finishes the last part of a
// job looks for the next part just as the caller starts the next job. A part
// it took then would run twice, and the caller would wait for ever on a part
// count that overshoots (this hung within a few hundred jobs when the part
// count of a new job could be read with the claim word of the old one).
TEST(RunParallel, TinyJobsBackToBackRunEveryPartOnce) {
  // A hang is the failure to expect: it ends the test program after a minute.
  std::atomic<bool> finished{false};
  std::thread watchdog([&finished] {
    for (int t = 0; t < 600 && !finished.load(); ++t) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (!finished.load()) {
      std::fprintf(stderr, "run_parallel hung on tiny jobs back to back\n");
      std::_Exit(1);
    }
  });
  for (int threads : {2, 3}) {
    std::vector<std::atomic<int>> hits(8);
    uint32_t x = 12345;
    for (int job = 0; job < 100000; ++job) {
      x = x * 1103515245u + 12345u;
      const int parts = 2 + static_cast<int>((x >> 16) % 7);
      for (int k = 0; k < parts; ++k) hits[static_cast<size_t>(k)] = 0;
      // jobs that share parts out in turn and jobs with shares of their own,
      // in an irregular mix: a late thread of one kind claims nothing of the other
      const auto count = [&](int k) { hits[static_cast<size_t>(k)].fetch_add(1); };
      if ((x >> 8) & 1)
        qm::run_parallel_own_shares(threads, parts, count);
      else
        qm::run_parallel(threads, parts, count);
      for (int k = 0; k < parts; ++k)
        EXPECT_EQ(hits[static_cast<size_t>(k)].load(), 1) << threads << " threads, job " << job << ", part " << k;
    }
  }
  finished = true;
  watchdog.join();
}

// Ranges cover every item once, each range consecutive, for item counts
// below, at and above the number of ranges a thread count asks for.
TEST(RunParallel, RangesCoverEveryItemOnce) {
  for (int threads : {1, 2, 3}) {
    for (int64_t n : {0, 1, 5, 16, 17, 1000}) {
      std::vector<std::atomic<int>> hits(static_cast<size_t>(n));
      std::atomic<int> ranges{0};
      qm::run_parallel_ranges(threads, n, [&](int64_t a, int64_t b) {
        EXPECT_LT(a, b) << "an empty range";
        ranges.fetch_add(1);
        for (int64_t i = a; i < b; ++i) hits[static_cast<size_t>(i)].fetch_add(1);
      });
      for (int64_t i = 0; i < n; ++i) EXPECT_EQ(hits[static_cast<size_t>(i)].load(), 1) << threads << " threads, item " << i;
      EXPECT_LE(ranges.load(), std::min<int64_t>(n, 8 * threads)) << threads << " threads, " << n << " items";
    }
  }
}

TEST(RunParallel, NestedCallsRunEveryInnerPartInline) {
  for (int threads : {2, 4, 8}) {
    std::vector<std::atomic<int>> hits(64);
    std::atomic<int> other_thread{0};
    qm::run_parallel(threads, 8, [&](int outer) {
      const std::thread::id mine = std::this_thread::get_id();
      qm::run_parallel(threads, 8, [&](int inner) {
        hits[static_cast<size_t>(8 * outer + inner)].fetch_add(1);
        if (std::this_thread::get_id() != mine) other_thread.fetch_add(1);
      });
    });
    for (int k = 0; k < 64; ++k) EXPECT_EQ(hits[k].load(), 1) << threads << " threads, part " << k;
    EXPECT_EQ(other_thread.load(), 0);  // inner parts ran on their outer part's thread
  }
  // The pool is usable again after nested calls.
  std::atomic<int> n{0};
  qm::run_parallel(3, 10, [&](int) { n.fetch_add(1); });
  EXPECT_EQ(n.load(), 10);
}

TEST(RunParallel, AFailingPartReachesTheCaller) {
  std::atomic<int> done{0};
  EXPECT_THROW(qm::run_parallel(3, 12,
                                [&](int k) {
                                  if (k == 5) throw std::runtime_error("a failing piece of work");
                                  done.fetch_add(1);
                                }),
               std::runtime_error);
  EXPECT_EQ(done.load(), 11);  // the other parts still ran
  std::atomic<int> n{0};
  qm::run_parallel(3, 4, [&](int) { n.fetch_add(1); });
  EXPECT_EQ(n.load(), 4);
}

}  // namespace
