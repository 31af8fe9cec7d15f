// The processor's instruction sets as the vector paths see them, and the
// switch that turns those paths off.
#include "base/cpu_features.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace {

// The flags of the first processor in /proc/cpuinfo, each followed by a
// blank; empty where there is no such file or line.
std::string cpuinfo_flags() {
  std::ifstream in("/proc/cpuinfo");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("flags", 0) == 0) {
      const size_t colon = line.find(':');
      return colon == std::string::npos ? std::string() : line.substr(colon + 1) + " ";
    }
  return {};
}

TEST(CpuFeatures, DetectionAgreesWithProcCpuinfo) {
  // Linux lists the flags the processor reports; the compiler's runtime
  // check asks the processor itself. They agree on these two.
  const std::string flags = cpuinfo_flags();
#if defined(__x86_64__) || defined(__i386__)
  if (flags.empty()) GTEST_SKIP() << "no /proc/cpuinfo flags";
  EXPECT_EQ(qm::cpu_has_avx2(), flags.find(" avx2 ") != std::string::npos);
  EXPECT_EQ(qm::cpu_has_popcnt(), flags.find(" popcnt ") != std::string::npos);
#else
  EXPECT_FALSE(qm::cpu_has_avx2());
  EXPECT_FALSE(qm::cpu_has_popcnt());
#endif
}

TEST(CpuFeatures, OneSwitchTurnsEveryVectorPathOffAndOnAgain) {
  const bool avx2 = qm::cpu_has_avx2(), popcnt = qm::cpu_has_popcnt();
  qm::use_vector_kernels(false);
  EXPECT_FALSE(qm::avx2_enabled());
  EXPECT_FALSE(qm::popcnt_enabled());
  // What the processor has does not change with the switch.
  EXPECT_EQ(qm::cpu_has_avx2(), avx2);
  EXPECT_EQ(qm::cpu_has_popcnt(), popcnt);
  qm::use_vector_kernels(true);
  EXPECT_EQ(qm::avx2_enabled(), avx2);
  EXPECT_EQ(qm::popcnt_enabled(), popcnt);
}

}  // namespace
