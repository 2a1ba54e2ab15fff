// The kernels for any x86-64 (or other) processor.
#define ZELBEAM_KERNEL_NAMESPACE generic
#include "kernel_impl.h"

namespace zelbeam_detail {

const Kernels &kernels_generic() {
  return generic::kernels_set();
}

}  // namespace zelbeam_detail
