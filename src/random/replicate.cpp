#include "random/replicate.hpp"

#include <string>

#include "base/messages.hpp"
#include "random/stream.hpp"

namespace qm {

int32_t replicate_seed(int32_t s, int64_t k) {
  if (s < 1 || static_cast<uint32_t>(s) >= rmod)
    stop("The base seed " + std::to_string(s) +
         " cannot be split into replicates: give a seed from 1 to 2147483646 (0, the clock, is "
         "resolved to a seed before replicates are derived).");
  if (k < 0) stop("Replicate " + std::to_string(k) + " does not exist: give a replicate number of 0 or more.");
  constexpr uint64_t period = rmod - 1u;
  // (k mod P) * C < 2^62: no overflow.
  const uint64_t offset = (static_cast<uint64_t>(k) % period) * replicate_step % period;
  return static_cast<int32_t>(mulmod31(static_cast<uint32_t>(s), jump_multiplier(offset)));
}

}  // namespace qm
