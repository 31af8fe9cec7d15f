#include "base/cpu_features.hpp"

namespace qm {

namespace cpu_detail {

// __builtin_cpu_init first: the answers may be asked for before the static
// constructors that would otherwise set them up have run.
bool detect_avx2() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
#else
  return false;
#endif
}

bool detect_popcnt() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  return __builtin_cpu_supports("popcnt") != 0;
#else
  return false;
#endif
}

}  // namespace cpu_detail

void use_vector_kernels(bool on) { cpu_detail::vector_paths_on = on; }

}  // namespace qm
