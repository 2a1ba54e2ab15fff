// The kernels' source, included by one file per instruction set (each defines
// ZELBEAM_KERNEL_NAMESPACE). Grid points sit in the vector lanes, so no horizontal sums are
// needed and one load of the steering vectors serves every block of the call.
#include <cstring>

#include "kernel.h"

namespace zelbeam_detail::ZELBEAM_KERNEL_NAMESPACE {
namespace {

typedef float vf __attribute__((vector_size(32)));
static_assert(sizeof(vf) == kernel_lanes * sizeof(float));

// Vectors pass by reference: the generic build has no 32-byte registers to pass them in.
inline void load(vf &v, const float *p) {
  std::memcpy(&v, p, sizeof v);
}

inline void store(float *p, const vf &v) {
  std::memcpy(p, &v, sizeof v);
}

template <int Blocks>
void power_blocks(const float *vr, const float *vi, const float *xr, const float *xi, int mics,
                  size_t points, float *const *power) {
  for (size_t g = 0; g < points; g += kernel_lanes) {
    vf re[Blocks], im[Blocks];
    for (int b = 0; b < Blocks; ++b) re[b] = im[b] = vf{};
    for (int m = 0; m < mics; ++m) {
      vf r, i;
      load(r, vr + m * points + g);
      load(i, vi + m * points + g);
      for (int b = 0; b < Blocks; ++b) {
        const float a = xr[b * mics + m];
        const float c = xi[b * mics + m];
        // conj(r + i i) * (a + i c)
        re[b] += r * a + i * c;
        im[b] += r * c - i * a;
      }
    }
    for (int b = 0; b < Blocks; ++b) store(power[b] + g, re[b] * re[b] + im[b] * im[b]);
  }
}

void power(const float *vr, const float *vi, const float *xr, const float *xi, int mics,
           size_t points, int blocks, float *const *out) {
  switch (blocks) {
    case 1:
      return power_blocks<1>(vr, vi, xr, xi, mics, points, out);
    case 2:
      return power_blocks<2>(vr, vi, xr, xi, mics, points, out);
    case 3:
      return power_blocks<3>(vr, vi, xr, xi, mics, points, out);
    case 4:
      return power_blocks<4>(vr, vi, xr, xi, mics, points, out);
    case 5:
      return power_blocks<5>(vr, vi, xr, xi, mics, points, out);
    default:
      return power_blocks<6>(vr, vi, xr, xi, mics, points, out);
  }
}
static_assert(kernel_blocks == 6);

void rotate(float *vr, float *vi, const float *zr, const float *zi, size_t count) {
  for (size_t n = 0; n < count; n += kernel_lanes) {
    vf a, b, c, d;
    load(a, vr + n);
    load(b, vi + n);
    load(c, zr + n);
    load(d, zi + n);
    store(vr + n, a * c - b * d);
    store(vi + n, a * d + b * c);
  }
}

}  // namespace

const Kernels &kernels_set() {
  static const Kernels set{power, rotate};
  return set;
}

}  // namespace zelbeam_detail::ZELBEAM_KERNEL_NAMESPACE
