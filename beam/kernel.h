// The two inner loops of the beamformer, built once for any x86-64 and once for AVX2 with FMA;
// kernels() picks the build the processor runs fastest.
#ifndef ZELBEAM_KERNEL_H
#define ZELBEAM_KERNEL_H

#include <cstddef>

namespace zelbeam_detail {

// Grid points are handled in groups of this many; every per-point row is padded to a multiple.
constexpr size_t kernel_lanes = 8;
// Blocks one call of the power kernel handles at most.
constexpr int kernel_blocks = 6;

struct Kernels {
  // For one frequency bin and `blocks` (1..kernel_blocks) blocks: power[b][g] =
  // |sum_m conj(v_mg) x_bm|^2 for g < points. v is planar (vr, vi), row m holding `points`
  // values; x is planar, block b's row holding `mics` values. points is a multiple of
  // kernel_lanes and every row starts 32-byte aligned.
  void (*power)(const float *vr, const float *vi, const float *xr, const float *xi, int mics,
                size_t points, int blocks, float *const *power);
  // v *= z elementwise, complex and planar, over `count` values (a multiple of kernel_lanes).
  void (*rotate)(float *vr, float *vi, const float *zr, const float *zi, size_t count);
};

const Kernels &kernels_generic();
const Kernels &kernels_avx2();
// The fastest set this processor runs.
const Kernels &kernels();

}  // namespace zelbeam_detail

#endif
