// Parallel parts of a step that draws: each part starts where one serial
// walk of the stream would be, for any number of threads and parts.
#include "random/stream_parts.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <vector>

namespace {

TEST(RunStreamParts, SameStatesAsOneSerialWalk) {
  const uint64_t draws = 7;
  for (int64_t nitems : {0, 1, 5, 37, 200}) {
    // The serial walk: the state before the first draw of every item, and the end.
    std::vector<uint32_t> serial;
    uint32_t s = 12345;
    for (int64_t i = 0; i < nitems; ++i) {
      serial.push_back(s);
      for (uint64_t d = 0; d < draws; ++d) s = qm::next_state(s);
    }
    for (int threads : {1, 2, 3}) {
      for (int parts : {1, 2, 3, 8, 250}) {
        qm::random_stream rng;
        rng.state = 12345;
        std::vector<uint32_t> got(static_cast<size_t>(nitems), 0);
        std::vector<std::atomic<int>> seen(static_cast<size_t>(nitems));
        qm::run_stream_parts(threads, nitems, parts, draws, rng, [&](int k, int64_t a, int64_t b, uint32_t st) {
          EXPECT_GE(k, 0);
          EXPECT_LT(k, parts);
          EXPECT_LT(a, b);
          for (int64_t i = a; i < b; ++i) {
            got[static_cast<size_t>(i)] = st;
            seen[static_cast<size_t>(i)].fetch_add(1);
            for (uint64_t d = 0; d < draws; ++d) st = qm::next_state(st);
          }
        });
        for (int64_t i = 0; i < nitems; ++i) {
          ASSERT_EQ(seen[static_cast<size_t>(i)].load(), 1) << "item " << i;
          ASSERT_EQ(got[static_cast<size_t>(i)], serial[static_cast<size_t>(i)])
              << nitems << " items, " << threads << " threads, " << parts << " parts, item " << i;
        }
        EXPECT_EQ(static_cast<uint32_t>(rng.state), s) << nitems << " items, " << parts << " parts";
      }
    }
  }
}

}  // namespace
