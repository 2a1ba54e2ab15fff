// The kernels' source, included by one file per instruction set (each defines
// ZELBEAM_KERNEL_NAMESPACE). Grid points sit in the vector lanes, so no horizontal sums are
// needed and one load of the steering vectors serves every block of the call. The plain loops
// are left to the compiler's vectorizer.
#include <cstring>
#include <numbers>

#include "kernel.h"

namespace zelbeam_detail::ZELBEAM_KERNEL_NAMESPACE {
namespace {

// Vector width of this build: 32 bytes where the build has AVX, 16 otherwise, so that every
// vector maps onto one register; a group of kernel_lanes points is `parts` vectors.
#if defined(__AVX__)
constexpr size_t vector_bytes = 32;
#else
constexpr size_t vector_bytes = 16;
#endif
typedef float vf __attribute__((vector_size(vector_bytes)));
typedef double vd __attribute__((vector_size(vector_bytes)));
constexpr size_t float_lanes = vector_bytes / sizeof(float);
constexpr size_t double_lanes = vector_bytes / sizeof(double);
constexpr size_t parts = kernel_lanes / float_lanes;
static_assert(kernel_lanes % float_lanes == 0);

// Vectors pass by reference, never by value across a call.
inline void load(vf &v, const float *p) {
  std::memcpy(&v, p, sizeof v);
}

inline void store(float *p, const vf &v) {
  std::memcpy(p, &v, sizeof v);
}

// One group of kernel_lanes points, one bin, Blocks blocks; v is the group's [mic][lane] tile.
// Each vector-wide part of the group is done in turn, so the accumulators fit in registers.
template <int Blocks, bool Sum>
void power_group(const float *vr, const float *vi, const float *xr, const float *xi, int mics,
                 float *const *out, size_t g, bool first) {
  for (size_t part = 0; part < parts; ++part) {
    const size_t lane = part * float_lanes;
    vf re[Blocks], im[Blocks];
#pragma GCC unroll 8
    for (int b = 0; b < Blocks; ++b) re[b] = im[b] = vf{};
    for (int m = 0; m < mics; ++m) {
      vf r, i;
      load(r, vr + m * kernel_lanes + lane);
      load(i, vi + m * kernel_lanes + lane);
#pragma GCC unroll 8
      for (int b = 0; b < Blocks; ++b) {
        const float a = xr[b * mics + m];
        const float c = xi[b * mics + m];
        // conj(r + i i) * (a + i c)
        re[b] += r * a + i * c;
        im[b] += r * c - i * a;
      }
    }
    if constexpr (Sum) {
      vf total = re[0] * re[0] + im[0] * im[0];
#pragma GCC unroll 8
      for (int b = 1; b < Blocks; ++b) total += re[b] * re[b] + im[b] * im[b];
      if (!first) {
        vf before;
        load(before, out[0] + g + lane);
        total += before;
      }
      store(out[0] + g + lane, total);
    } else {
#pragma GCC unroll 8
      for (int b = 0; b < Blocks; ++b) store(out[b] + g + lane, re[b] * re[b] + im[b] * im[b]);
    }
  }
}

template <bool Sum>
void power_any(int blocks, const float *vr, const float *vi, const float *xr, const float *xi,
               int mics, float *const *out, size_t g, bool first) {
  switch (blocks) {
    case 1:
      return power_group<1, Sum>(vr, vi, xr, xi, mics, out, g, first);
    case 2:
      return power_group<2, Sum>(vr, vi, xr, xi, mics, out, g, first);
    case 3:
      return power_group<3, Sum>(vr, vi, xr, xi, mics, out, g, first);
    case 4:
      return power_group<4, Sum>(vr, vi, xr, xi, mics, out, g, first);
    case 5:
      return power_group<5, Sum>(vr, vi, xr, xi, mics, out, g, first);
    default:
      return power_group<6, Sum>(vr, vi, xr, xi, mics, out, g, first);
  }
}
static_assert(kernel_blocks == 6);

void band_power(const float *v0r, const float *v0i, const float *turn_r, const float *turn_i,
                const float *xr, const float *xi, size_t x_stride, int bins, int blocks, int mics,
                size_t points, float *const *out, bool sum_blocks, float *scratch) {
  float *tr = scratch;
  float *ti = scratch + static_cast<size_t>(mics) * kernel_lanes;
  for (size_t g = 0; g < points; g += kernel_lanes) {
    for (int m = 0; m < mics; ++m) {
      std::memcpy(tr + m * kernel_lanes, v0r + m * points + g, kernel_lanes * sizeof(float));
      std::memcpy(ti + m * kernel_lanes, v0i + m * points + g, kernel_lanes * sizeof(float));
    }
    for (int k = 0; k < bins; ++k) {
      const size_t x_at = static_cast<size_t>(k) * x_stride * mics;
      for (int b0 = 0; b0 < blocks; b0 += kernel_blocks) {
        const int n = blocks - b0 < kernel_blocks ? blocks - b0 : kernel_blocks;
        const size_t at = x_at + static_cast<size_t>(b0) * mics;
        if (sum_blocks) {
          power_any<true>(n, tr, ti, xr + at, xi + at, mics, out + k, g, b0 == 0);
        } else {
          power_any<false>(n, tr, ti, xr + at, xi + at, mics, out + k * blocks + b0, g, true);
        }
      }
      if (k + 1 == bins) break;
      // exp(-i k_{n+1} r) = exp(-i k_n r) exp(-i dk r)
      for (int m = 0; m < mics; ++m) {
        for (size_t lane = 0; lane < kernel_lanes; lane += float_lanes) {
          float *pr = tr + m * kernel_lanes + lane;
          float *pi = ti + m * kernel_lanes + lane;
          vf r, i, c, d;
          load(r, pr);
          load(i, pi);
          load(c, turn_r + m * points + g + lane);
          load(d, turn_i + m * points + g + lane);
          store(pr, r * c - i * d);
          store(pi, r * d + i * c);
        }
      }
    }
  }
}

void add_row(double *sum, const float *row, size_t points, double sign) {
  for (size_t g = 0; g < points; ++g) sum[g] += sign * row[g];
}

// One group of Vectors * double_lanes points for every bin; the accumulators stay in registers.
template <size_t Vectors>
void diagonal_group(const double *weight, const double *autos, int bins, int mics, size_t points,
                    size_t g0, double *out) {
  for (int k = 0; k < bins; ++k) {
    vd acc[Vectors] = {};
    const double *a = autos + static_cast<size_t>(k) * mics;
    for (int m = 0; m < mics; ++m) {
      const double *w = weight + m * points + g0;
#pragma GCC unroll 8
      for (size_t v = 0; v < Vectors; ++v) {
        vd wv;
        std::memcpy(&wv, w + v * double_lanes, sizeof wv);
        acc[v] += wv * a[m];
      }
    }
    std::memcpy(out + k * points + g0, acc, sizeof acc);
  }
}

void diagonal(const double *weight, const double *autos, int bins, int mics, size_t points,
              double *out) {
  // Groups of 16 points whose weights stay in the first-level cache while every bin uses them;
  // points is a multiple of 8, so the last group may hold 8.
  constexpr size_t group = 2 * kernel_lanes;
  constexpr size_t vectors = group / double_lanes;
  size_t g0 = 0;
  for (; g0 + group <= points; g0 += group) {
    diagonal_group<vectors>(weight, autos, bins, mics, points, g0, out);
  }
  if (g0 < points) diagonal_group<vectors / 2>(weight, autos, bins, mics, points, g0, out);
}

void add_band(double *total, const double *power, const double *diagonal, double factor,
              const double *scale, size_t points) {
  if (diagonal == nullptr) {
    for (size_t g = 0; g < points; ++g) total[g] += power[g] * factor * scale[g];
    return;
  }
  for (size_t g = 0; g < points; ++g) {
    const double b = (power[g] - diagonal[g]) * factor * scale[g];
    total[g] += b > 0 ? b : 0;
  }
}

// sin and cos without branches, so that the loop vectorizes: the angle is reduced to a quarter
// of [-pi, pi], where short Taylor series are exact to about 1e-13, and doubled twice.
inline void sin_cos(double x, double &s, double &c) {
  constexpr double round_magic = 6755399441055744.0;  // 1.5 * 2^52: adds and drops the fraction
  double turns = x * (0.5 / std::numbers::pi);
  turns -= (turns + round_magic) - round_magic;
  const double t = turns * (std::numbers::pi / 2);  // a quarter of the reduced angle
  const double t2 = t * t;
  const double sq =
      t * (1 - t2 / 6 *
                   (1 - t2 / 20 * (1 - t2 / 42 * (1 - t2 / 72 * (1 - t2 / 110 * (1 - t2 / 156))))));
  const double cq =
      1 - t2 / 2 * (1 - t2 / 12 * (1 - t2 / 30 * (1 - t2 / 56 * (1 - t2 / 90 * (1 - t2 / 132)))));
  const double sh = 2 * sq * cq, ch = cq * cq - sq * sq;
  s = 2 * sh * ch;
  c = ch * ch - sh * sh;
}

void steer(const double *distance, const double *amp, double wavenumber, size_t count, float *re,
           float *im) {
  for (size_t n = 0; n < count; ++n) {
    double s, c;
    sin_cos(wavenumber * distance[n], s, c);
    re[n] = static_cast<float>(amp[n] * c);
    im[n] = static_cast<float>(-amp[n] * s);
  }
}

}  // namespace

const Kernels &kernels_set() {
  static const Kernels set{band_power, add_row, diagonal, add_band, steer};
  return set;
}

}  // namespace zelbeam_detail::ZELBEAM_KERNEL_NAMESPACE
