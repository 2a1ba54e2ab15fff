// The inner loops of the beamformer, built once for any x86-64 (or other) processor and once for
// AVX2 with FMA; kernels() picks the build this processor runs fastest.
#ifndef ZELBEAM_KERNEL_H
#define ZELBEAM_KERNEL_H

#include <cstddef>

namespace zelbeam_detail {

// Grid points are handled in groups of this many; every per-point row is padded to a multiple.
constexpr size_t kernel_lanes = 8;
// Blocks one call of the power kernel handles at most.
constexpr int kernel_blocks = 6;

struct Kernels {
  // Beam powers of `blocks` blocks (1..chunk) at `bins` consecutive bins: |sum_m conj(v_mg)
  // x_bm|^2 for every point g. v starts as (v0r, v0i), [mic][point], and is turned from one bin
  // to the next by (turn_r, turn_i), which is exp(-i dk r). x is planar, bin k's block b at row
  // (k * x_stride + b), each row `mics` values. With sum_blocks, out[k] receives the sum over
  // the blocks; otherwise out[k * blocks + b] receives block b's powers. points is a multiple of
  // kernel_lanes and every per-point row starts 32-byte aligned. scratch holds
  // 2 * mics * kernel_lanes floats, 32-byte aligned: one group's steering vectors, which stay in
  // the first-level cache while every bin is done.
  void (*band_power)(const float *v0r, const float *v0i, const float *turn_r, const float *turn_i,
                     const float *xr, const float *xi, size_t x_stride, int bins, int blocks,
                     int mics, size_t points, float *const *out, bool sum_blocks, float *scratch);
  // sum[g] += sign * row[g] over `points` values; sign is +1 or -1.
  void (*add_row)(double *sum, const float *row, size_t points, double sign);
  // out[k][g] = sum_m weight[m][g] * autos[k][m] for `bins` bins: the diagonal's share of
  // v^H C v.
  void (*diagonal)(const double *weight, const double *autos, int bins, int mics, size_t points,
                   double *out);
  // total[g] += max(0, (power[g] - diagonal[g]) * factor * scale[g]); diagonal may be null.
  void (*add_band)(double *total, const double *power, const double *diagonal, double factor,
                   const double *scale, size_t points);
  // re + i im = amp * exp(-i wavenumber * distance), elementwise over `count` values.
  void (*steer)(const double *distance, const double *amp, double wavenumber, size_t count,
                float *re, float *im);
};

const Kernels &kernels_generic();
const Kernels &kernels_avx2();
// The fastest set this processor runs.
const Kernels &kernels();

}  // namespace zelbeam_detail

#endif
