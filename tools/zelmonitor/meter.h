// The arithmetic of the monitor's meters: the channel levels (shared with the other live tools)
// and the spectrum of one channel. Pure: no threads, no screen.
#pragma once

#include <array>
#include <complex>
#include <cstdint>
#include <span>
#include <vector>

#include "frame.h"
#include "levels.h"

namespace zelmonitor {

using zeltool::kChannels;

using zeltool::Block;
using zeltool::ChannelSums;
using zeltool::Level;
using zeltool::LevelMeter;
using zeltool::measure_block;

// The last `capacity` samples of one channel, oldest first once full.
class SampleHistory {
 public:
  explicit SampleHistory(int capacity);
  void add(const unsigned char *data, int frames, int channel);
  void clear();
  bool full() const { return count_ == ring_.size(); }
  std::vector<double> ordered() const;

 private:
  std::vector<double> ring_;
  size_t next_ = 0;
  size_t count_ = 0;
};

// In-place radix-2 decimation-in-time FFT. The size must be a power of two (else nothing is
// done and false is returned).
bool fft(std::span<std::complex<double>> x);

// Magnitudes in dBFS of bins 0..n/2 of `samples` (n a power of two, at least 2), after removing
// their mean and applying a Hann window, scaled so that a full-scale sine on a bin reads 0 dBFS.
// Empty when n is not a power of two.
std::vector<double> spectrum_dbfs(std::span<const double> samples);

// The frequency of the strongest bin above DC, refined by a parabola through it and its
// neighbours' dB values. 0 when the spectrum has fewer than three bins or is silent.
double peak_frequency(std::span<const double> spectrum, int rate);

// `count` bars over bins 1..n/2 in equal widths of frequency, each the loudest bin it covers.
std::vector<double> spectrum_bars(std::span<const double> spectrum, int count);

}  // namespace zelmonitor
