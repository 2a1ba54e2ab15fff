#include "kernel.h"

namespace zelbeam_detail {

const Kernels &kernels() {
#if defined(__x86_64__) && defined(ZELBEAM_HAVE_AVX2_KERNELS)
  static const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  if (avx2) return kernels_avx2();
#endif
  return kernels_generic();
}

}  // namespace zelbeam_detail
