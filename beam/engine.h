// The beamformer record and the steps the whole-signal map and the live window share.
#ifndef ZELBEAM_ENGINE_H
#define ZELBEAM_ENGINE_H

#include <cstdint>
#include <vector>

#include <fftw3.h>

#include "beam_internal.h"
#include "kernel.h"

namespace zelbeam_detail {

using FloatBuffer = Buffer<float>;
using DoubleBuffer = Buffer<double>;

// Blocks whose spectra are held at once while beam powers are formed.
constexpr int chunk_blocks = 32;

// The bins a band sums, first..last inclusive.
struct Bins {
  int first = 0, last = -1;
  int count() const { return last - first + 1; }
  bool operator==(const Bins &) const = default;
};

// Spectra of up to chunk_blocks blocks for the bins of a band, and the beam powers summed over
// every block seen so far.
struct BandSums {
  Bins bins;
  FloatBuffer xr, xi;        // [bin][block][mic]
  DoubleBuffer power;        // [bin][point]: sum over blocks of |v^H x|^2
  DoubleBuffer autos;        // [bin][mic]: sum over blocks of |x_m|^2
  FloatBuffer v0r, v0i;      // steering vectors of the band's first bin, [mic][point]
  FloatBuffer scratch;       // the power kernel's steering tile
  DoubleBuffer diagonal;     // [bin][point]
  std::vector<float *> out;  // where the power kernel writes, per bin and block
  bool allocate(const Bins &b, int mics, size_t points);
};

}  // namespace zelbeam_detail

struct zelbeam {
  // Settings.
  double rate = 0, sound = 0;
  int block = 0, hop = 0, overlap_factor = 0, steer = 0;
  bool diagonal_removal = true;
  double max_window = 0;

  // Microphones: the geometry's channel count and the channels that take part.
  int channels = 0, mics = 0;
  std::vector<int> active;

  // Grid: shape, coordinates, and rows padded to whole kernel groups.
  int nx = 0, ny = 0;
  size_t points = 0, padded = 0;
  std::vector<double> gx, gy;
  double gz = 0;

  // Per grid point and microphone ([mic][point]): distance, |v|^2, and the steering vectors'
  // turn from one bin to the next, exp(-i dk r).
  zelbeam_detail::DoubleBuffer distance, amp, amp2;
  zelbeam_detail::FloatBuffer turn_r, turn_i;
  zelbeam_detail::DoubleBuffer scale;  // per point: the steering's factor s_g

  // FFT of one block for every microphone at once.
  std::vector<double> window_d;
  zelbeam_detail::FloatBuffer window, fft_in, fft_out;
  double window_energy = 0;
  fftwf_plan plan = nullptr;
  const zelbeam_detail::Kernels *kernels = nullptr;

  // Live: the last frames pushed (active channels only) and the window over them.
  zelbeam_detail::FloatBuffer ring;
  size_t ring_frames = 0;
  uint64_t pushed = 0;
  int window_blocks = 0, max_blocks = 0;
  zelbeam_detail::BandSums live;
  zelbeam_detail::FloatBuffer live_power;  // [slot][bin][point] per-block beam powers
  zelbeam_detail::FloatBuffer live_autos;  // [slot][bin][mic]
  bool live_valid = false;
  uint64_t live_oldest = 0, live_next = 0;  // blocks [oldest, next) are in the sums
  zelbeam_detail::DoubleBuffer map_power;   // per point, the band's power
};

namespace zelbeam_detail {

// The bins of a band, or EFREQ/EBAND.
int band_bins(const zelbeam *beam, double freq, int band, Bins *bins);
// Steering vectors of the band's first bin into sums->v0r/v0i.
void steer_to_first_bin(const zelbeam *beam, BandSums *sums);
// Windows and transforms one block whose frame n is at row(n) (channel c of it at row(n)[c], or
// at row(n)[cols[c]] when cols is given), then stores its spectrum as block `slot` of the chunk
// and adds its auto-powers to sums->autos (and writes them to autos_out, when given).
template <class Row>
void transform_block(zelbeam *beam, Row row, const int *cols, int slot, BandSums *sums,
                     float *autos_out);
// Beam powers of `blocks` transformed blocks for every bin, added to sums->power. row(b, bin)
// names where block b's powers go, or with sum_blocks, row(0, bin) where their sum goes.
template <class Out>
void beam_powers(zelbeam *beam, int blocks, BandSums *sums, Out row, bool sum_blocks);
// Band power per point from the sums over `count` blocks, then levels and the peak.
void finish_map(zelbeam *beam, BandSums &sums, double count, double *map_db, zelbeam_peak_t *peak);

}  // namespace zelbeam_detail

#include "engine_impl.h"

#endif
