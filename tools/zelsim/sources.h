// Point sources in free field, as the array's microphones hear them.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "zelsim.h"

namespace zelsim::detail {

// Reads a sampled, band-limited signal between its samples: a Kaiser-windowed sinc in kPhases
// phases of kTaps taps. Up to 0.8 of the Nyquist frequency the error stays near 1e-4 of the
// amplitude, and the nearest phase is within 1/2048 of a sample (11 ns at 44100 Hz).
class FractionalDelay {
 public:
  static constexpr int kTaps = 32;
  static constexpr int kPhases = 1024;
  static constexpr int kBefore = kTaps / 2 - 1;  // taps before the sample at or left of the time
  static constexpr int kAfter = kTaps / 2;       // taps after it

  FractionalDelay();

  // The signal at time `t` (in samples, t >= kBefore), where x[k] is its sample at time k and
  // x holds at least floor(t) + kAfter + 2 values.
  float at(const float *x, double t) const;
  // The same in two steps, for many reads at one fractional delay: the taps for time t with the
  // index of the first sample they weigh, and their weighted sum of the kTaps samples from x.
  const float *taps_for(double t, int64_t *first) const;
  static float apply(const float *taps, const float *x);
  // The largest sum of absolute taps over the phases: how far the read signal can exceed the
  // samples' own bound.
  double peak_gain() const { return peak_gain_; }

 private:
  const std::vector<float> *taps_;  // kPhases rows of kTaps, shared by all
  double peak_gain_ = 0;
};

// The pressure every channel hears from Config::sources, in full-scale units (a 24-bit sample
// divided by 2^23). Each source plays a pure function of the sample index, so that any stretch
// of the stream can be rendered on its own, in any order.
class SourceField {
 public:
  // Checks the microphones, the sources and that their sum cannot clip; false with a one-line
  // reason otherwise.
  bool load(const Config &config, std::string *error);

  // Frames first .. first + frames - 1 of the stream at `speed` Hz into out[frame * kChannels +
  // channel]. Not reentrant: one thread renders at a time (it reuses a scratch buffer).
  void render(uint64_t first, int frames, int speed, float *out) const;

  // The bound on the absolute value of any rendered sample.
  double peak_bound() const { return peak_bound_; }

 private:
  struct Source {
    std::array<double, 3> from{}, to{};
    double seconds = 0;
    double amplitude = 0;  // rms at 1 m, full-scale units
    double r_min = 0, r_max = 0;
    uint64_t stream = 0;                // of its noise
    double phase = 0;                   // of its tone, in cycles
    std::array<double, kChannels> r{};  // distances while it stands still
  };

  void render_chunk(const Source &s, uint64_t first, int frames, int speed, float *out) const;
  std::array<double, 3> place(const Source &s, uint64_t frame, int speed) const;

  std::vector<std::array<double, 3>> microphones_;
  std::vector<Source> sources_;
  double c_ = 343.0;
  double tone_hz_ = 0;
  uint64_t seed_ = 0;
  double peak_bound_ = 0;
  FractionalDelay delay_;
  mutable std::vector<float> noise_;  // scratch for one chunk's stretch of a source's noise
};

}  // namespace zelsim::detail
