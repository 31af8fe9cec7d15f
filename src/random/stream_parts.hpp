// Parallel steps that draw from the run's random stream. Items that each
// consume a fixed number of draws are split into parts of consecutive
// items; every part starts at its own, precomputed stream position (a jump
// of 16807^k), so the draws, and so the results, are those of the serial
// walk for any number of threads.
#pragma once
#include <cstdint>
#include <functional>

#include "random/stream.hpp"

namespace qm {

// Items 0..nitems-1 that each consume draws_per_item draws of the stream, in
// item order, split into parts of consecutive items: fn(k, a, b, state) makes
// items a..b-1 starting from the stream state before the first draw of item
// a. The stream is left after the draws of every item, as if they had been
// made one after the other.
void run_stream_parts(int nthreads, int64_t nitems, int parts, uint64_t draws_per_item, random_stream& rng,
                      const std::function<void(int, int64_t, int64_t, uint32_t)>& fn);
// The same with the thread number of run_parallel_on as the last argument.
void run_stream_parts_on(int nthreads, int64_t nitems, int parts, uint64_t draws_per_item, random_stream& rng,
                         const std::function<void(int, int64_t, int64_t, uint32_t, int)>& fn);

}  // namespace qm
