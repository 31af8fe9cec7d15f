// The instructions beyond baseline x86-64 that the vector paths use, asked
// of the processor once, and one switch that turns all those paths off.
//
// Every module with a vector path asks avx2_enabled() or popcnt_enabled()
// before taking it, and keeps a plain loop with the same results. The
// queries are inline: some sit in front of short loops that run millions of
// times.
#pragma once

namespace qm {

namespace cpu_detail {
bool detect_avx2();
bool detect_popcnt();
// Constant-initialized, so it holds before any other static initialization.
inline bool vector_paths_on = true;
}  // namespace cpu_detail

// The processor has the instructions (asked on first use; false off x86-64).
inline bool cpu_has_avx2() {
  static const bool yes = cpu_detail::detect_avx2();
  return yes;
}
inline bool cpu_has_popcnt() {
  static const bool yes = cpu_detail::detect_popcnt();
  return yes;
}

// Whether the vector paths may use them: the processor has them and
// use_vector_kernels has not turned them off.
inline bool avx2_enabled() { return cpu_detail::vector_paths_on && cpu_has_avx2(); }
inline bool popcnt_enabled() { return cpu_detail::vector_paths_on && cpu_has_popcnt(); }

// Tests: false makes every module use its plain loops, as on a processor
// with neither instruction set (meiosis events one state at a time, allele
// tallies byte by byte, plain stores, bit counts without popcnt, the PLINK
// rows without AVX2); true (the default) uses what the processor has. The
// results are the same either way, which the tests check. Not to be called
// while other threads run those paths.
void use_vector_kernels(bool on);

}  // namespace qm
