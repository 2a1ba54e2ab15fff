// Template steps of the engine, included by engine.h.
#ifndef ZELBEAM_ENGINE_IMPL_H
#define ZELBEAM_ENGINE_IMPL_H

#include <algorithm>
#include <cstring>

namespace zelbeam_detail {

template <class Row>
void transform_block(zelbeam *beam, Row row, const int *cols, int slot, BandSums *sums,
                     float *autos_out) {
  const int n_fft = beam->block, mics = beam->mics;
  float *in = beam->fft_in.data();
  const float *w = beam->window.data();
  for (int n = 0; n < n_fft; ++n) {
    const float *frame = row(n);
    if (cols != nullptr) {
      for (int m = 0; m < mics; ++m) in[static_cast<size_t>(m) * n_fft + n] = w[n] * frame[cols[m]];
    } else {
      for (int m = 0; m < mics; ++m) in[static_cast<size_t>(m) * n_fft + n] = w[n] * frame[m];
    }
  }
  fftwf_execute(beam->plan);
  const size_t half = static_cast<size_t>(n_fft / 2 + 1);
  const float *out = beam->fft_out.data();
  const int nb = sums->bins.count();
  for (int k = 0; k < nb; ++k) {
    const size_t row_at = (static_cast<size_t>(k) * chunk_blocks + slot) * mics;
    float *xr = sums->xr.data() + row_at;
    float *xi = sums->xi.data() + row_at;
    double *autos = sums->autos.data() + static_cast<size_t>(k) * mics;
    const size_t bin = static_cast<size_t>(sums->bins.first + k);
    for (int m = 0; m < mics; ++m) {
      const float re = out[2 * (m * half + bin)];
      const float im = out[2 * (m * half + bin) + 1];
      xr[m] = re;
      xi[m] = im;
      const float p = re * re + im * im;
      autos[m] += p;
      if (autos_out != nullptr) autos_out[static_cast<size_t>(k) * mics + m] = p;
    }
  }
}

template <class Out>
void beam_powers(zelbeam *beam, int blocks, BandSums *sums, Out row) {
  const size_t points = beam->padded;
  const int mics = beam->mics;
  const size_t steering = static_cast<size_t>(mics) * points;
  std::memcpy(sums->vr.data(), sums->v0r.data(), steering * sizeof(float));
  std::memcpy(sums->vi.data(), sums->v0i.data(), steering * sizeof(float));
  float *out[kernel_blocks];
  const int nb = sums->bins.count();
  for (int k = 0; k < nb; ++k) {
    // One bin's steering vectors are the previous bin's turned by exp(-i dk r).
    if (k > 0) {
      beam->kernels->rotate(sums->vr.data(), sums->vi.data(), beam->turn_r.data(),
                            beam->turn_i.data(), steering);
    }
    double *sum = sums->power.data() + static_cast<size_t>(k) * points;
    for (int b0 = 0; b0 < blocks; b0 += kernel_blocks) {
      const int n = std::min(kernel_blocks, blocks - b0);
      for (int i = 0; i < n; ++i) out[i] = row(b0 + i, k);
      const size_t x_at = (static_cast<size_t>(k) * chunk_blocks + b0) * mics;
      beam->kernels->power(sums->vr.data(), sums->vi.data(), sums->xr.data() + x_at,
                           sums->xi.data() + x_at, mics, points, n, out);
      for (int i = 0; i < n; ++i) {
        for (size_t g = 0; g < points; ++g) sum[g] += out[i][g];
      }
    }
  }
}

}  // namespace zelbeam_detail

#endif
