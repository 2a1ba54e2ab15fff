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
  // Eight frames at a time, so that each microphone's row is written in runs rather than one
  // value per cache line.
  constexpr int run = 8;
  const float *frames[run];
  for (int n0 = 0; n0 < n_fft; n0 += run) {
    for (int i = 0; i < run; ++i) frames[i] = row(n0 + i);
    for (int m = 0; m < mics; ++m) {
      float *to = in + static_cast<size_t>(m) * n_fft + n0;
      const int c = cols != nullptr ? cols[m] : m;
      for (int i = 0; i < run; ++i) to[i] = w[n0 + i] * frames[i][c];
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
void beam_powers(zelbeam *beam, int blocks, BandSums *sums, Out row, bool sum_blocks) {
  const size_t points = beam->padded;
  const int nb = sums->bins.count();
  const int per_bin = sum_blocks ? 1 : blocks;
  float **out = sums->out.data();
  for (int k = 0; k < nb; ++k) {
    for (int b = 0; b < per_bin; ++b) out[k * per_bin + b] = row(b, k);
  }
  beam->kernels->band_power(sums->v0r.data(), sums->v0i.data(), beam->turn_r.data(),
                            beam->turn_i.data(), sums->xr.data(), sums->xi.data(), chunk_blocks, nb,
                            blocks, beam->mics, points, out, sum_blocks, sums->scratch.data());
  for (int k = 0; k < nb; ++k) {
    double *sum = sums->power.data() + static_cast<size_t>(k) * points;
    for (int b = 0; b < per_bin; ++b)
      beam->kernels->add_row(sum, out[k * per_bin + b], points, 1.0);
  }
}

}  // namespace zelbeam_detail

#endif
