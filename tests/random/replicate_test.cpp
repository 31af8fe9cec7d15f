#include "random/replicate.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <vector>

#include "base/messages.hpp"
#include "random/stream.hpp"
#include "support.hpp"

namespace {

constexpr uint64_t prime = 2147483647u;  // modulus of the random stream
constexpr uint64_t period = prime - 1;

// a^e mod 2^31 - 1 by plain square-and-multiply (all products below 2^62).
uint64_t powmod(uint64_t a, uint64_t e) {
  uint64_t r = 1;
  a %= prime;
  while (e) {
    if (e & 1) r = r * a % prime;
    a = a * a % prime;
    e >>= 1;
  }
  return r;
}

}  // namespace

TEST(ReplicateSeed, ReplicateZeroIsTheBaseSeedAndOthersFollowTheStream) {
  for (int32_t s : {1, 2, 12345, 20261207, 2147483646}) {
    EXPECT_EQ(qm::replicate_seed(s, 0), s);
    for (int64_t k : {1, 2, 7, 100, 99999, 100000}) {
      // The seed is the base seed advanced (k * C mod P) steps along the
      // generator s -> 16807 s mod (2^31 - 1).
      const uint64_t steps = static_cast<uint64_t>(k) * qm::replicate_step % period;
      EXPECT_EQ(static_cast<uint64_t>(qm::replicate_seed(s, k)), static_cast<uint64_t>(s) * powmod(16807, steps) % prime)
          << s << " " << k;
    }
  }
  // The test's power agrees with the real generator over a few steps.
  uint32_t s = 987654321u;
  for (int i = 0; i < 5; ++i) s = qm::next_state(s);
  EXPECT_EQ(static_cast<uint64_t>(s), 987654321ull * powmod(16807, 5) % prime);
}

TEST(ReplicateSeed, DistinctInRangeForAHundredThousandReplicates) {
  for (int32_t s : {1, 20261207, 2147483646}) {
    std::vector<int32_t> v;
    v.reserve(100001);
    for (int64_t k = 0; k <= 100000; ++k) {
      const int32_t x = qm::replicate_seed(s, k);
      ASSERT_GE(x, 1);
      ASSERT_LE(x, 2147483646);
      v.push_back(x);
    }
    std::sort(v.begin(), v.end());
    EXPECT_EQ(std::adjacent_find(v.begin(), v.end()), v.end()) << "base seed " << s;
  }
}

TEST(ReplicateSeed, StartPointsSpreadOverTheCycle) {
  EXPECT_EQ(std::gcd(static_cast<uint64_t>(qm::replicate_step), period), 1u);
  // The stream offsets of replicates 0..99 cut the cycle into gaps no shorter
  // than a fixed share of P / 100 (random offsets would give about P / 100^2).
  std::vector<uint64_t> off;
  for (uint64_t k = 0; k < 100; ++k) off.push_back(k * qm::replicate_step % period);
  std::sort(off.begin(), off.end());
  uint64_t gap = period - off.back() + off.front();
  for (size_t i = 1; i < off.size(); ++i) gap = std::min(gap, off[i] - off[i - 1]);
  EXPECT_GT(gap, period / 300);
}

TEST(ReplicateSeed, RefusesSeedsOutOfRange) {
  qmtest::console_capture quiet;
  EXPECT_THROW(qm::replicate_seed(0, 1), qm::run_stop);
  EXPECT_THROW(qm::replicate_seed(-5, 1), qm::run_stop);
  EXPECT_THROW(qm::replicate_seed(2147483647, 1), qm::run_stop);
  EXPECT_THROW(qm::replicate_seed(5, -1), qm::run_stop);
  EXPECT_NE(quiet.text().find("1 to 2147483646"), std::string::npos);
}
