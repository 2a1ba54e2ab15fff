// Beamforming speed: libzelbeam beside a straightforward beamformer written here (per grid point
// and bin, h^H C h over the full cross-spectral matrix, in double), both on the reference
// recording, in one run.
//   bench_beam [--rounds N] [--seconds S]
// Whole signal: one 41 x 41 map from the 8192-frame recording, best of N rounds each.
// Live: 41 x 41 third-octave map at 8 kHz, 1024-point blocks, 50 % overlap, 0.25 s window, the
// recording looped for S seconds of input, pushed in 1/25 s pieces with one map after each.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <numbers>
#include <string>
#include <vector>

#include <fftw3.h>

#include "zelbeam.h"

namespace {

constexpr int channels = 64;
constexpr double rate = 44100;
constexpr double sound = 343;
const zelbeam_grid_t grid{-0.2, 0.2, -0.2, 0.2, -0.3, 0.01};

using cplx = std::complex<double>;

struct Case {
  const char *name;
  int block, overlap, steer, band;
  double freq;
};

double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

template <class F>
double best_seconds(int rounds, F &&run) {
  double best = 1e30;
  for (int r = 0; r < rounds; ++r) {
    const auto t = std::chrono::steady_clock::now();
    run();
    best =
        std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count());
  }
  return best;
}

std::vector<float> read_signal(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> raw{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  std::vector<float> samples(raw.size() / 3);
  for (size_t s = 0; s < samples.size(); ++s) {
    const auto *p = reinterpret_cast<const unsigned char *>(raw.data() + 3 * s);
    int32_t v = (p[0] << 16) | (p[1] << 8) | p[2];
    if (v >= 0x800000) v -= 0x1000000;
    samples[s] = static_cast<float>(v) / 8388608.0f;
  }
  return samples;
}

// What one writes first, from the textbook: spectra, the cross-spectral matrix of the band's
// bins, then for every grid point and bin the steering vector and h^H C h over the whole matrix.
class Straightforward {
 public:
  Straightforward(const std::vector<double> &mx, const std::vector<double> &my, const Case &c)
      : mx_(mx), my_(my), c_(c), n_(c.block), hop_(c.block * (100 - c.overlap) / 100) {
    in_.resize(n_);
    out_.resize(n_ / 2 + 1);
    plan_ = fftw_plan_dft_r2c_1d(n_, in_.data(), reinterpret_cast<fftw_complex *>(out_.data()),
                                 FFTW_ESTIMATE);
    for (int n = 0; n < n_; ++n)
      window_.push_back(0.5 - 0.5 * std::cos(2 * std::numbers::pi * n / (n_ - 1)));
  }
  ~Straightforward() { fftw_destroy_plan(plan_); }

  // The band's bins as the library chooses them.
  void set_bins(int first, int last) {
    first_ = first;
    last_ = last;
  }

  // Cross-spectral matrix of the band's bins over the blocks starting at frames [from, to).
  void spectra(const float *samples, size_t from, size_t blocks, double k_average) {
    const int nb = last_ - first_ + 1;
    csm_.assign(static_cast<size_t>(nb) * channels * channels, cplx{});
    std::vector<cplx> x(static_cast<size_t>(nb) * channels);
    double energy = 0;
    for (double w : window_) energy += w * w;
    for (size_t b = 0; b < blocks; ++b) {
      for (int m = 0; m < channels; ++m) {
        for (int n = 0; n < n_; ++n) {
          in_[n] = window_[n] * samples[(from + b * hop_ + n) * channels + m];
        }
        fftw_execute(plan_);
        for (int k = 0; k < nb; ++k) x[k * channels + m] = out_[first_ + k];
      }
      for (int k = 0; k < nb; ++k) {
        for (int i = 0; i < channels; ++i) {
          for (int j = 0; j < channels; ++j) {
            csm_[(k * channels + i) * channels + j] +=
                x[k * channels + i] * std::conj(x[k * channels + j]);
          }
        }
      }
    }
    const double scale = 2.0 / (n_ * energy * k_average);
    for (cplx &v : csm_) v *= scale;
  }

  // The map in dB: true-level steering, the diagonal left out and scaled by M/(M-1).
  std::vector<double> map() const {
    const int nx = 41, ny = 41, nb = last_ - first_ + 1;
    std::vector<double> levels(static_cast<size_t>(nx) * ny);
    std::vector<cplx> h(channels);
    const double width = rate / n_;
    for (int i = 0; i < nx; ++i) {
      for (int j = 0; j < ny; ++j) {
        const double gx = grid.x_min + i * 0.01, gy = grid.y_min + j * 0.01, gz = grid.z;
        const double r0 = std::sqrt(gx * gx + gy * gy + gz * gz);
        double power = 0;
        for (int k = 0; k < nb; ++k) {
          const double kappa = 2 * std::numbers::pi * (first_ + k) * width / sound;
          double norm = 0;
          for (int m = 0; m < channels; ++m) {
            const double r = std::hypot(gx - mx_[m], gy - my_[m], gz);
            h[m] = (r0 / r) * std::exp(cplx(0, -kappa * (r - r0)));
            norm += std::norm(h[m]);
          }
          for (int m = 0; m < channels; ++m) h[m] /= norm;
          // h^H (C - diag C) h, as (C h) first and then h^H of it.
          cplx sum = 0;
          const cplx *c = csm_.data() + static_cast<size_t>(k) * channels * channels;
          for (int a = 0; a < channels; ++a) {
            cplx row = 0;
            for (int b = 0; b < channels; ++b) row += c[a * channels + b] * h[b];
            row -= c[a * channels + a] * h[a];
            sum += std::conj(h[a]) * row;
          }
          power += std::max(0.0, sum.real() * channels / (channels - 1.0));
        }
        levels[i * ny + j] = 10 * std::log10(std::max(power / 4e-10, 1e-35));
      }
    }
    return levels;
  }

 private:
  std::vector<double> mx_, my_;
  Case c_;
  int n_, hop_;
  int first_ = 0, last_ = 0;
  std::vector<double> window_, in_;
  std::vector<cplx> out_, csm_;
  fftw_plan plan_;
};

double max_deviation(const std::vector<double> &a, const std::vector<double> &b) {
  const double top = *std::max_element(a.begin(), a.end());
  double worst = 0;
  for (size_t g = 0; g < a.size(); ++g) {
    if (a[g] >= top - 20) worst = std::max(worst, std::fabs(a[g] - b[g]));
  }
  return worst;
}

zelbeam_t *make_beam(const zelbeam_geometry_t *geometry, const Case &c, double window) {
  zelbeam_settings_t settings;
  zelbeam_settings_default(&settings);
  settings.block = c.block;
  settings.overlap = c.overlap;
  settings.steer = c.steer;
  settings.window = window;
  zelbeam_error err = 0;
  zelbeam_t *beam = zelbeam_create(geometry, &grid, &settings, &err);
  if (beam == nullptr) {
    std::fprintf(stderr, "bench_beam: zelbeam_create: %s\n", zelbeam_strerror(err));
    std::exit(1);
  }
  return beam;
}

// One whole-signal case: the library's time, the baseline's, their ratio and their agreement.
void whole_signal(const zelbeam_geometry_t *geometry, const std::vector<double> &mx,
                  const std::vector<double> &my, const std::vector<float> &signal, const Case &c,
                  int rounds) {
  const size_t frames = signal.size() / channels;
  zelbeam_t *beam = make_beam(geometry, c, 0.25);
  zelbeam_error err = 0;
  int first = 0, last = 0;
  zelbeam_band_bins(beam, c.freq, c.band, &first, &last, &err);
  std::vector<double> ours(41 * 41);
  const double lib = best_seconds(rounds, [&] {
    zelbeam_map_signal(beam, signal.data(), frames, channels, c.freq, c.band, ours.data(), nullptr,
                       &err);
  });
  Straightforward base(mx, my, c);
  base.set_bins(first, last);
  std::vector<double> theirs;
  const int hop = c.block * (100 - c.overlap) / 100;
  const size_t blocks = (frames - c.block) / hop + 1;
  const double v = c.block / hop;
  const double k_average = v * frames / c.block - v + 1;
  const double baseline = best_seconds(std::max(1, rounds / 3), [&] {
    base.spectra(signal.data(), 0, blocks, k_average);
    theirs = base.map();
  });
  std::printf("%-34s %9.1f ms %9.1f ms %8.1fx   %.1e dB\n", c.name, lib * 1e3, baseline * 1e3,
              baseline / lib, max_deviation(theirs, ours));
  zelbeam_delete(beam);
}

// The live case: CPU seconds per second of input at 25 maps a second, and how many maps a second
// one core could produce that way; the baseline recomputes h^H C h per map.
void live(const zelbeam_geometry_t *geometry, const std::vector<double> &mx,
          const std::vector<double> &my, const std::vector<float> &signal, double seconds) {
  const Case c{"live", 1024, 50, ZELBEAM_STEER_TRUE_LEVEL, ZELBEAM_BAND_THIRD, 8000};
  zelbeam_t *beam = make_beam(geometry, c, 0.25);
  const size_t frames = signal.size() / channels;
  const size_t piece = static_cast<size_t>(rate / 25);
  const size_t total = static_cast<size_t>(seconds * rate);
  std::vector<float> chunk(piece * channels);
  std::vector<double> map(41 * 41);
  zelbeam_error err = 0;
  size_t at = 0;
  int maps = 0;
  const double start = cpu_seconds();
  while (at + piece <= total) {
    for (size_t f = 0; f < piece; ++f) {
      std::memcpy(chunk.data() + f * channels, signal.data() + ((at + f) % frames) * channels,
                  channels * sizeof(float));
    }
    zelbeam_push(beam, chunk.data(), piece, channels, &err);
    zelbeam_live_map(beam, c.freq, c.band, map.data(), nullptr, &err);
    if (err != ZELBEAM_OK) {
      std::fprintf(stderr, "bench_beam: zelbeam_live_map: %s\n", zelbeam_strerror(err));
      std::exit(1);
    }
    at += piece;
    ++maps;
  }
  const double cpu = cpu_seconds() - start;
  const double input = static_cast<double>(at) / rate;
  const double per_second = cpu / input;

  // The baseline's cost per map: h^H C h over a cross-spectral matrix it is given for free (as
  // if kept up to date block by block), so only the map itself is timed.
  Straightforward base(mx, my, c);
  int first = 0, last = 0;
  zelbeam_band_bins(beam, c.freq, c.band, &first, &last, &err);
  base.set_bins(first, last);
  base.spectra(signal.data(), 0, 15, 15);
  const double t0 = cpu_seconds();
  const int base_maps = 2;
  for (int r = 0; r < base_maps; ++r) (void)base.map();
  const double base_per_map = (cpu_seconds() - t0) / base_maps;

  std::printf(
      "\nlive: 41 x 41, third octave at 8 kHz, 1024-point blocks, 50 %% overlap, 0.25 s "
      "window, %d maps over %.1f s of input\n",
      maps, input);
  std::printf("  %-40s %10.3f   (aim <= 0.25)\n", "CPU-s per second of input at 25 maps/s",
              per_second);
  std::printf("  %-40s %10.0f   (aim >= 25)\n", "maps per second one core sustains", maps / cpu);
  std::printf("  %-40s %10.1f   baseline %.2f maps/s, %.0fx\n",
              "ms of CPU per map (with its blocks)", cpu / maps * 1e3, 1 / base_per_map,
              base_per_map / (cpu / maps));
  zelbeam_delete(beam);
}

}  // namespace

int main(int argc, char **argv) {
  int rounds = 9;
  double seconds = 20;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--rounds") == 0) {
      rounds = std::atoi(argv[i + 1]);
    } else if (std::strcmp(argv[i], "--seconds") == 0) {
      seconds = std::atof(argv[i + 1]);
    }
  }
  if (rounds < 1 || !(seconds >= 1)) {
    std::fprintf(stderr, "usage: bench_beam [--rounds N] [--seconds S>=1]\n");
    return 2;
  }
  const std::string data = ZELBEAM_BENCH_DATA;
  zelbeam_error err = 0;
  zelbeam_geometry_t *geometry = zelbeam_geometry_read((data + "/array_64.xml").c_str(), &err);
  const std::vector<float> signal = read_signal(data + "/two_sources.raw");
  if (geometry == nullptr || signal.size() != 8192u * channels) {
    std::fprintf(stderr, "bench_beam: reference data missing under %s\n", data.c_str());
    return 1;
  }
  std::vector<double> mx(channels), my(channels);
  for (int m = 0; m < channels; ++m) {
    double xyz[3];
    zelbeam_geometry_position(geometry, m, xyz, &err);
    mx[m] = xyz[0];
    my[m] = xyz[1];
  }
  std::printf(
      "whole signal: 41 x 41 map, 8192 frames x 64 channels, true level, diagonal removed\n");
  std::printf("%-34s %12s %12s %9s   %s\n", "case", "library", "baseline", "ratio",
              "max |dL| within 20 dB");
  const Case cases[] = {
      {"1024 50% third 4000 Hz (reference)", 1024, 50, ZELBEAM_STEER_TRUE_LEVEL, ZELBEAM_BAND_THIRD,
       4000},
      {"1024 50% third 8000 Hz", 1024, 50, ZELBEAM_STEER_TRUE_LEVEL, ZELBEAM_BAND_THIRD, 8000},
      {"1024 50% octave 4000 Hz", 1024, 50, ZELBEAM_STEER_TRUE_LEVEL, ZELBEAM_BAND_OCTAVE, 4000},
      {"256 0% third 8000 Hz", 256, 0, ZELBEAM_STEER_TRUE_LEVEL, ZELBEAM_BAND_THIRD, 8000},
  };
  for (const Case &c : cases) whole_signal(geometry, mx, my, signal, c, rounds);
  live(geometry, mx, my, signal, seconds);
  zelbeam_geometry_free(geometry);
  return 0;
}
