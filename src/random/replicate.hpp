// The random seed of each replicate of a run.
//
// A run's random stream is the multiplicative generator s -> 16807 s mod
// (2^31 - 1). 16807 is a primitive root of that prime, so every seed in
// 1..2147483646 lies on one single cycle of length P = 2147483646, and two
// seeds differ only by where on that cycle their stream starts. Replicate K
// of base seed S therefore starts its stream a fixed number of steps further
// along the same cycle:
//
//   offset(K)  = (K * C) mod P,          C = 1327217887
//   seed(S, K) = S * 16807^offset(K) mod (2^31 - 1)
//
// C is the integer nearest P / phi (phi the golden ratio) that has no factor
// in common with P = 2 * 3^2 * 7 * 11 * 31 * 151 * 331. Consequences:
// - replicate 0 is S itself (offset 0);
// - the seed is never 0 and always in 1..2147483646 (a product of non-zero
//   residues modulo a prime);
// - the seeds of K = 0 .. P - 1 are all distinct (K * C mod P is a bijection
//   because gcd(C, P) = 1, and the powers of a primitive root are distinct);
// - the streams of replicates 0..K-1 start at golden-ratio points of the
//   cycle, which keeps them as far apart as the cycle allows (the three-gap
//   theorem: the K start points cut the cycle into gaps of at most three
//   lengths, the shortest about P / (2.6 K) steps). A run that draws more
//   uniforms than that shortest gap reuses part of another replicate's
//   stream, shifted; the generator's period is the limit, not the seeds.
#pragma once
#include <cstdint>

namespace qm {

constexpr uint32_t replicate_step = 1327217887u;

// Seed of replicate k (k >= 0) of base seed s (1..2147483646). Stops the run
// with a message when s or k is out of range.
int32_t replicate_seed(int32_t s, int64_t k);

}  // namespace qm
