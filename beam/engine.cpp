// The beamformer: settings, grid, bands, steering and the map over a whole signal.
#include "engine.h"

#include <cmath>
#include <memory>
#include <mutex>
#include <numbers>

using namespace zelbeam_detail;

namespace {

constexpr int max_grid_points = 1000000;
constexpr double longest_window = 60.0;
// A grid point this close to a microphone or to the reference point has no finite steering.
constexpr double too_close = 1e-9;

// FFTW's planner is not thread-safe; plans are made and destroyed under this lock.
std::mutex &planner_lock() {
  static std::mutex lock;
  return lock;
}

bool positive_finite(double v) {
  return std::isfinite(v) && v > 0;
}

// Points along one axis as acoular counts them: round((|max - min| + inc) / inc), with Python's
// round (half to even, as nearbyint in the default rounding mode).
int axis_points(double lo, double hi, double inc, int *code) {
  if (!std::isfinite(lo) || !std::isfinite(hi) || hi < lo) {
    *code = ZELBEAM_EGRID;
    return 0;
  }
  const double n = std::nearbyint((hi - lo + inc) / inc);
  if (!(n >= 1) || n > max_grid_points) {
    *code = ZELBEAM_EGRID;
    return 0;
  }
  return static_cast<int>(n);
}

int check_grid(const zelbeam_grid_t *grid, int *nx, int *ny) {
  if (!positive_finite(grid->increment)) return ZELBEAM_EINCREMENT;
  if (!std::isfinite(grid->z)) return ZELBEAM_EGRID;
  int code = ZELBEAM_OK;
  const int x = axis_points(grid->x_min, grid->x_max, grid->increment, &code);
  const int y = axis_points(grid->y_min, grid->y_max, grid->increment, &code);
  if (code != ZELBEAM_OK) return code;
  if (static_cast<long long>(x) * y > max_grid_points) return ZELBEAM_EGRID;
  *nx = x;
  *ny = y;
  return ZELBEAM_OK;
}

// Coordinates as numpy's mgrid spaces them: start + i * (stop - start) / (n - 1).
std::vector<double> axis(double lo, double hi, int n) {
  std::vector<double> values(n, lo);
  if (n > 1) {
    const double step = (hi - lo) / (n - 1);
    for (int i = 0; i < n; ++i) values[i] = i * step + lo;
  }
  return values;
}

// Blocks that fit in `seconds` of frames: the block count of the live window.
int blocks_in(double seconds, const zelbeam *beam) {
  const double frames = seconds * beam->rate;
  return static_cast<int>(std::floor((frames - beam->block) / beam->hop + 1e-9)) + 1;
}

int check_settings(const zelbeam_settings_t &s) {
  if (!positive_finite(s.rate)) return ZELBEAM_ERATE;
  if (s.block < 128 || s.block > 8192 || (s.block & (s.block - 1)) != 0) return ZELBEAM_EBLOCK;
  if (s.overlap != 0 && s.overlap != 50 && s.overlap != 75) return ZELBEAM_EOVERLAP;
  if (s.steer < ZELBEAM_STEER_CLASSIC || s.steer > ZELBEAM_STEER_TRUE_LOCATION) {
    return ZELBEAM_ESTEER;
  }
  if (!positive_finite(s.speed_of_sound)) return ZELBEAM_ESOUND;
  const double shortest = s.block / s.rate;
  if (!std::isfinite(s.window) || !std::isfinite(s.max_window) || s.window < shortest ||
      s.max_window < s.window || s.max_window > longest_window) {
    return ZELBEAM_EWINDOW;
  }
  return ZELBEAM_OK;
}

void apply_settings(zelbeam *beam, const zelbeam_settings_t &s) {
  beam->rate = s.rate;
  beam->sound = s.speed_of_sound;
  beam->block = s.block;
  beam->overlap_factor = s.overlap == 0 ? 1 : (s.overlap == 50 ? 2 : 4);
  beam->hop = s.block / beam->overlap_factor;
  beam->steer = s.steer;
  beam->diagonal_removal = s.diagonal_removal != 0;
  beam->max_window = s.max_window;
  beam->window_blocks = blocks_in(s.window, beam);
  beam->max_blocks = blocks_in(s.max_window, beam);
}

bool set_up_microphones(zelbeam *beam, const zelbeam_geometry &geometry) {
  beam->channels = static_cast<int>(geometry.x.size());
  for (int c = 0; c < beam->channels; ++c) {
    if (!geometry.left_out[c]) beam->active.push_back(c);
  }
  beam->mics = static_cast<int>(beam->active.size());
  return beam->mics >= 2;
}

// Distances, steering amplitudes and |v|^2 per microphone, and the steering factor s_g, of every
// point. Fails with EGRID when a point sits on a microphone or, for steerings that divide by it,
// on the reference point at the origin.
int set_up_points(zelbeam *beam, const zelbeam_geometry &geometry) {
  const size_t padded = beam->padded;
  const size_t cells = static_cast<size_t>(beam->mics) * padded;
  if (!beam->distance.allocate(cells) || !beam->amp.allocate(cells) ||
      !beam->amp2.allocate(cells) || !beam->turn_r.allocate(cells) ||
      !beam->turn_i.allocate(cells) || !beam->scale.allocate(padded) ||
      !beam->map_power.allocate(padded)) {
    return ZELBEAM_ENOMEM;
  }
  const int mics = beam->mics;
  const bool by_distance =
      beam->steer == ZELBEAM_STEER_TRUE_LEVEL || beam->steer == ZELBEAM_STEER_TRUE_LOCATION;
  const bool by_reference =
      beam->steer == ZELBEAM_STEER_TRUE_LEVEL || beam->steer == ZELBEAM_STEER_INVERSE;
  for (size_t g = 0; g < beam->points; ++g) {
    const double px = beam->gx[g / beam->ny], py = beam->gy[g % beam->ny], pz = beam->gz;
    const double r0 = std::hypot(px, py, pz);
    if (by_reference && r0 < too_close) return ZELBEAM_EGRID;
    double inverse_sq = 0;
    for (int m = 0; m < mics; ++m) {
      const int c = beam->active[m];
      const double r = std::hypot(px - geometry.x[c], py - geometry.y[c], pz - geometry.z[c]);
      if (by_distance && r < too_close) return ZELBEAM_EGRID;
      const size_t at = m * padded + g;
      beam->distance[at] = r;
      inverse_sq += 1 / (r * r);
      const double amp = beam->steer == ZELBEAM_STEER_CLASSIC   ? 1.0
                         : beam->steer == ZELBEAM_STEER_INVERSE ? r
                                                                : 1 / r;
      beam->amp[at] = amp;
      beam->amp2[at] = amp * amp;
    }
    double s = 0;
    switch (beam->steer) {
      case ZELBEAM_STEER_CLASSIC:
        s = 1.0 / (double(mics) * mics);
        break;
      case ZELBEAM_STEER_INVERSE:
        s = 1.0 / ((mics * r0) * (mics * r0));
        break;
      case ZELBEAM_STEER_TRUE_LEVEL:
        s = 1.0 / ((r0 * inverse_sq) * (r0 * inverse_sq));
        break;
      default:
        s = 1.0 / (mics * inverse_sq);
        break;
    }
    beam->scale[g] = s;
  }
  return ZELBEAM_OK;
}

// The turn of every steering vector from one bin to the next: exp(-i dk r), dk = 2 pi fs/(N c).
int set_up_turn(zelbeam *beam) {
  const double bin_width = 1.0 / (beam->block * (1.0 / beam->rate));
  const size_t cells = static_cast<size_t>(beam->mics) * beam->padded;
  DoubleBuffer ones;
  if (!ones.allocate(cells)) return ZELBEAM_ENOMEM;
  for (size_t at = 0; at < cells; ++at) ones[at] = 1;
  beam->kernels->steer(beam->distance.data(), ones.data(),
                       2 * std::numbers::pi * bin_width / beam->sound, cells, beam->turn_r.data(),
                       beam->turn_i.data());
  return ZELBEAM_OK;
}

// The symmetric Hann window, its energy, the FFT buffers and the plan for all microphones.
int set_up_fft(zelbeam *beam) {
  const int n_fft = beam->block;
  const size_t half = static_cast<size_t>(n_fft) / 2 + 1;
  if (!beam->window.allocate(n_fft) ||
      !beam->fft_in.allocate(static_cast<size_t>(beam->mics) * n_fft) ||
      !beam->fft_out.allocate(2 * half * beam->mics)) {
    return ZELBEAM_ENOMEM;
  }
  beam->window_energy = 0;
  for (int n = 0; n < n_fft; ++n) {
    const double w = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * n / (n_fft - 1));
    beam->window[n] = static_cast<float>(w);
    beam->window_energy += w * w;
  }
  int size = n_fft;
  std::lock_guard<std::mutex> hold(planner_lock());
  beam->plan = fftwf_plan_many_dft_r2c(1, &size, beam->mics, beam->fft_in.data(), nullptr, 1, n_fft,
                                       reinterpret_cast<fftwf_complex *>(beam->fft_out.data()),
                                       nullptr, 1, static_cast<int>(half), FFTW_ESTIMATE);
  return beam->plan != nullptr ? ZELBEAM_OK : ZELBEAM_ENOMEM;
}

int set_up_live(zelbeam *beam) {
  beam->ring_frames = static_cast<size_t>(beam->max_blocks) * beam->hop + beam->block;
  return beam->ring.allocate(beam->ring_frames * beam->mics) ? ZELBEAM_OK : ZELBEAM_ENOMEM;
}

int build(zelbeam *beam, const zelbeam_geometry &geometry, const zelbeam_grid_t &grid,
          const zelbeam_settings_t &settings) {
  int code = check_settings(settings);
  if (code != ZELBEAM_OK) return code;
  code = check_grid(&grid, &beam->nx, &beam->ny);
  if (code != ZELBEAM_OK) return code;
  apply_settings(beam, settings);
  if (!set_up_microphones(beam, geometry)) return ZELBEAM_EMICS;
  beam->points = static_cast<size_t>(beam->nx) * beam->ny;
  beam->padded = (beam->points + kernel_lanes - 1) / kernel_lanes * kernel_lanes;
  beam->gx = axis(grid.x_min, grid.x_max, beam->nx);
  beam->gy = axis(grid.y_min, grid.y_max, beam->ny);
  beam->gz = grid.z;
  beam->kernels = &kernels();
  code = set_up_points(beam, geometry);
  if (code == ZELBEAM_OK) code = set_up_turn(beam);
  if (code == ZELBEAM_OK) code = set_up_fft(beam);
  if (code == ZELBEAM_OK) code = set_up_live(beam);
  return code;
}

void fill_peak(const zelbeam *beam, const double *map_db, zelbeam_peak_t *peak) {
  size_t best = 0;
  for (size_t g = 1; g < beam->points; ++g) {
    if (map_db[g] > map_db[best]) best = g;
  }
  peak->i = static_cast<int>(best / beam->ny);
  peak->j = static_cast<int>(best % beam->ny);
  peak->x = beam->gx[peak->i];
  peak->y = beam->gy[peak->j];
  peak->z = beam->gz;
  peak->level_db = map_db[best];
}

}  // namespace

namespace zelbeam_detail {

bool BandSums::allocate(const Bins &b, int mics, size_t points) {
  bins = b;
  const size_t nb = static_cast<size_t>(b.count());
  const size_t steering = static_cast<size_t>(mics) * points;
  try {
    out.assign(nb * chunk_blocks, nullptr);
  } catch (const std::bad_alloc &) {
    return false;
  }
  return xr.allocate(nb * chunk_blocks * mics) && xi.allocate(nb * chunk_blocks * mics) &&
         power.allocate(nb * points) && autos.allocate(nb * mics) && v0r.allocate(steering) &&
         v0i.allocate(steering) && scratch.allocate(2 * kernel_lanes * mics) &&
         diagonal.allocate(nb * points);
}

int band_bins(const zelbeam *beam, double freq, int band, Bins *bins) {
  if (!std::isfinite(freq) || freq <= 0 || freq >= beam->rate / 2) return ZELBEAM_EFREQ;
  // numpy's fftfreq: k * (1 / (N * (1 / fs))).
  const double width = 1.0 / (beam->block * (1.0 / beam->rate));
  const int last_bin = beam->block / 2;
  if (band == ZELBEAM_BAND_BIN) {
    int k = 0;
    while (k <= last_bin && k * width < freq) ++k;
    if (k > last_bin) return ZELBEAM_EBAND;
    *bins = Bins{k, k};
    return ZELBEAM_OK;
  }
  if (band != ZELBEAM_BAND_OCTAVE && band != ZELBEAM_BAND_THIRD) return ZELBEAM_EBAND;
  const double lo = freq * std::pow(2.0, -0.5 / band);
  const double hi = freq * std::pow(2.0, 0.5 / band);
  Bins found{-1, -2};
  for (int k = 0; k <= last_bin; ++k) {
    const double f = k * width;
    if (f >= lo && f < hi) {
      if (found.first < 0) found.first = k;
      found.last = k;
    }
  }
  if (found.first < 0) return ZELBEAM_EBAND;
  *bins = found;
  return ZELBEAM_OK;
}

void steer_to_first_bin(const zelbeam *beam, BandSums *sums) {
  const double width = 1.0 / (beam->block * (1.0 / beam->rate));
  const double wavenumber = 2 * std::numbers::pi * (sums->bins.first * width) / beam->sound;
  // Padding points have distance 0 and amplitude 0: their vectors stay 0.
  beam->kernels->steer(beam->distance.data(), beam->amp.data(), wavenumber,
                       static_cast<size_t>(beam->mics) * beam->padded, sums->v0r.data(),
                       sums->v0i.data());
}

void finish_map(zelbeam *beam, BandSums &sums, double count, double *map_db, zelbeam_peak_t *peak) {
  const size_t points = beam->padded;
  const int mics = beam->mics;
  const double norm = 2.0 / (beam->block * beam->window_energy * count);
  const double removal = beam->diagonal_removal ? double(mics) / (mics - 1) : 1.0;
  double *total = beam->map_power.data();
  beam->map_power.zero();
  const int nb = sums.bins.count();
  if (beam->diagonal_removal) {
    beam->kernels->diagonal(beam->amp2.data(), sums.autos.data(), nb, mics, points,
                            sums.diagonal.data());
  }
  for (int k = 0; k < nb; ++k) {
    const size_t at = static_cast<size_t>(k) * points;
    // Negative powers, left by removing the diagonal, are set to 0 per bin before the band sum.
    beam->kernels->add_band(total, sums.power.data() + at,
                            beam->diagonal_removal ? sums.diagonal.data() + at : nullptr,
                            removal * norm, beam->scale.data(), points);
  }
  for (size_t g = 0; g < beam->points; ++g) {
    map_db[g] = 10 * std::log10(std::max(total[g] / 4e-10, 1e-35));
  }
  if (peak != nullptr) fill_peak(beam, map_db, peak);
}

}  // namespace zelbeam_detail

extern "C" {

void zelbeam_settings_default(zelbeam_settings_t *settings) {
  if (settings == nullptr) return;
  settings->rate = 44100;
  settings->block = 1024;
  settings->overlap = 50;
  settings->steer = ZELBEAM_STEER_TRUE_LEVEL;
  settings->diagonal_removal = 1;
  settings->speed_of_sound = 343;
  settings->window = 0.25;
  settings->max_window = 2;
}

int zelbeam_grid_shape(const zelbeam_grid_t *grid, int *nx, int *ny, zelbeam_error *err) {
  if (grid == nullptr) {
    zelbeam_report(err, ZELBEAM_ENULL);
    return 0;
  }
  int x = 0, y = 0;
  const int code = check_grid(grid, &x, &y);
  zelbeam_report(err, code);
  if (code != ZELBEAM_OK) return 0;
  if (nx != nullptr) *nx = x;
  if (ny != nullptr) *ny = y;
  return x * y;
}

zelbeam_t *zelbeam_create(const zelbeam_geometry_t *geometry, const zelbeam_grid_t *grid,
                          const zelbeam_settings_t *settings, zelbeam_error *err) {
  if (geometry == nullptr || grid == nullptr) {
    zelbeam_report(err, ZELBEAM_ENULL);
    return nullptr;
  }
  zelbeam_settings_t chosen;
  zelbeam_settings_default(&chosen);
  if (settings != nullptr) chosen = *settings;
  try {
    std::unique_ptr<zelbeam, decltype(&zelbeam_delete)> beam(new zelbeam, &zelbeam_delete);
    const int code = build(beam.get(), *geometry, *grid, chosen);
    zelbeam_report(err, code);
    return code == ZELBEAM_OK ? beam.release() : nullptr;
  } catch (const std::bad_alloc &) {
    zelbeam_report(err, ZELBEAM_ENOMEM);
    return nullptr;
  }
}

void zelbeam_delete(zelbeam_t *beam) {
  if (beam == nullptr) return;
  if (beam->plan != nullptr) {
    std::lock_guard<std::mutex> hold(planner_lock());
    fftwf_destroy_plan(beam->plan);
  }
  delete beam;
}

int zelbeam_map_size(const zelbeam_t *beam, int *nx, int *ny, zelbeam_error *err) {
  if (beam == nullptr) {
    zelbeam_report(err, ZELBEAM_ENULL);
    return 0;
  }
  if (nx != nullptr) *nx = beam->nx;
  if (ny != nullptr) *ny = beam->ny;
  zelbeam_report(err, ZELBEAM_OK);
  return static_cast<int>(beam->points);
}

void zelbeam_band_bins(const zelbeam_t *beam, double freq, int band, int *first, int *last,
                       zelbeam_error *err) {
  if (beam == nullptr || first == nullptr || last == nullptr) {
    zelbeam_report(err, ZELBEAM_ENULL);
    return;
  }
  Bins bins;
  const int code = band_bins(beam, freq, band, &bins);
  zelbeam_report(err, code);
  if (code != ZELBEAM_OK) return;
  *first = bins.first;
  *last = bins.last;
}

void zelbeam_map_signal(zelbeam_t *beam, const float *samples, size_t frames, int channels,
                        double freq, int band, double *map_db, zelbeam_peak_t *peak,
                        zelbeam_error *err) {
  if (beam == nullptr || samples == nullptr || map_db == nullptr) {
    zelbeam_report(err, ZELBEAM_ENULL);
    return;
  }
  if (channels != beam->channels) {
    zelbeam_report(err, ZELBEAM_ECHANNELS);
    return;
  }
  if (frames < static_cast<size_t>(beam->block)) {
    zelbeam_report(err, ZELBEAM_ESHORT);
    return;
  }
  Bins bins;
  int code = band_bins(beam, freq, band, &bins);
  if (code != ZELBEAM_OK) {
    zelbeam_report(err, code);
    return;
  }
  BandSums sums;
  FloatBuffer rows;
  if (!sums.allocate(bins, beam->mics, beam->padded) ||
      !rows.allocate(static_cast<size_t>(bins.count()) * beam->padded)) {
    zelbeam_report(err, ZELBEAM_ENOMEM);
    return;
  }
  steer_to_first_bin(beam, &sums);
  const size_t blocks = (frames - beam->block) / beam->hop + 1;
  for (size_t c0 = 0; c0 < blocks; c0 += chunk_blocks) {
    const int count = static_cast<int>(std::min<size_t>(chunk_blocks, blocks - c0));
    for (int b = 0; b < count; ++b) {
      const float *start = samples + (c0 + b) * beam->hop * channels;
      transform_block(
          beam, [&](int n) { return start + static_cast<size_t>(n) * channels; },
          beam->active.data(), b, &sums, nullptr);
    }
    beam_powers(
        beam, count, &sums,
        [&](int, int k) { return rows.data() + static_cast<size_t>(k) * beam->padded; }, true);
  }
  // acoular divides by K = V*T/N - V + 1, which is the block count only when the blocks tile
  // the signal exactly.
  const double v = beam->overlap_factor;
  const double k_average = v * static_cast<double>(frames) / beam->block - v + 1;
  finish_map(beam, sums, k_average, map_db, peak);
  zelbeam_report(err, ZELBEAM_OK);
}

}  // extern "C"
