// The kernels built for AVX2 with fused multiply-add (compile options in CMakeLists.txt).
#define ZELBEAM_KERNEL_NAMESPACE avx2
#include "kernel_impl.h"

namespace zelbeam_detail {

const Kernels &kernels_avx2() {
  return avx2::kernels_set();
}

}  // namespace zelbeam_detail
