#include "random/stream_parts.hpp"

#include "base/threads.hpp"

namespace qm {

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
