#include "meter.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numbers>

namespace zelmonitor {
namespace {

bool is_power_of_two(size_t n) {
  return n >= 1 && (n & (n - 1)) == 0;
}

}  // namespace

SampleHistory::SampleHistory(int capacity) : ring_(static_cast<size_t>(std::max(capacity, 1))) {}

void SampleHistory::add(const unsigned char *data, int frames, int channel) {
  if (channel < 0 || channel >= kChannels) return;
  for (int f = 0; f < frames; ++f) {
    ring_[next_] =
        zeltool::sample_at(data + static_cast<size_t>(f) * zeltool::kFrameBytes, channel);
    next_ = (next_ + 1) % ring_.size();
  }
  count_ = std::min(count_ + static_cast<size_t>(std::max(frames, 0)), ring_.size());
}

void SampleHistory::clear() {
  next_ = 0;
  count_ = 0;
}

std::vector<double> SampleHistory::ordered() const {
  std::vector<double> out;
  out.reserve(count_);
  const size_t start = (next_ + ring_.size() - count_) % ring_.size();
  for (size_t k = 0; k < count_; ++k) out.push_back(ring_[(start + k) % ring_.size()]);
  return out;
}

bool fft(std::span<std::complex<double>> x) {
  const size_t n = x.size();
  if (!is_power_of_two(n)) return false;
  for (size_t i = 1, j = 0; i < n; ++i) {  // bit-reversed order
    size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(x[i], x[j]);
  }
  // Twiddles computed each from its angle, not by repeated multiplication, so that rounding does
  // not accumulate along the transform.
  std::vector<std::complex<double>> twiddle(n / 2);
  for (size_t k = 0; k < n / 2; ++k) {
    twiddle[k] =
        std::polar(1.0, -2 * std::numbers::pi * static_cast<double>(k) / static_cast<double>(n));
  }
  for (size_t len = 2; len <= n; len <<= 1) {
    const size_t step = n / len;
    for (size_t start = 0; start < n; start += len) {
      for (size_t k = 0; k < len / 2; ++k) {
        const std::complex<double> even = x[start + k];
        const std::complex<double> odd = x[start + k + len / 2] * twiddle[k * step];
        x[start + k] = even + odd;
        x[start + k + len / 2] = even - odd;
      }
    }
  }
  return true;
}

std::vector<double> spectrum_dbfs(std::span<const double> samples) {
  const size_t n = samples.size();
  if (n < 2 || !is_power_of_two(n)) return {};
  double mean = 0;
  for (double s : samples) mean += s;
  mean /= static_cast<double>(n);
  std::vector<std::complex<double>> x(n);
  for (size_t k = 0; k < n; ++k) {
    const double hann =
        0.5 *
        (1 - std::cos(2 * std::numbers::pi * static_cast<double>(k) / static_cast<double>(n)));
    x[k] = (samples[k] - mean) * hann;
  }
  fft(x);
  // A sine of amplitude A on a bin gives A n / 4 there: n / 2 from the transform, times the
  // window's mean of 1/2.
  std::vector<double> out(n / 2 + 1);
  for (size_t k = 0; k <= n / 2; ++k) {
    out[k] = zeltool::dbfs(std::abs(x[k]) * 4.0 / static_cast<double>(n));
  }
  return out;
}

double peak_frequency(std::span<const double> spectrum, int rate) {
  const size_t bins = spectrum.size();
  if (bins < 3) return 0;
  size_t best = 1;
  for (size_t k = 2; k < bins; ++k) {
    if (spectrum[k] > spectrum[best]) best = k;
  }
  if (std::isinf(spectrum[best])) return 0;
  double shift = 0;
  if (best + 1 < bins && std::isfinite(spectrum[best - 1]) && std::isfinite(spectrum[best + 1])) {
    const double a = spectrum[best - 1];
    const double b = spectrum[best];
    const double c = spectrum[best + 1];
    const double denominator = a - 2 * b + c;
    if (denominator < 0) shift = std::clamp(0.5 * (a - c) / denominator, -0.5, 0.5);
  }
  const double n = 2.0 * static_cast<double>(bins - 1);
  return (static_cast<double>(best) + shift) * rate / n;
}

std::vector<double> spectrum_bars(std::span<const double> spectrum, int count) {
  if (count <= 0 || spectrum.size() < 2) return {};
  const size_t bins = spectrum.size() - 1;  // bins 1..n/2
  std::vector<double> bars(static_cast<size_t>(count), -INFINITY);
  for (size_t i = 0; i < bars.size(); ++i) {
    const size_t lo = 1 + i * bins / bars.size();
    const size_t hi = std::max(lo + 1, 1 + (i + 1) * bins / bars.size());
    for (size_t k = lo; k < hi && k < spectrum.size(); ++k)
      bars[i] = std::max(bars[i], spectrum[k]);
  }
  return bars;
}

}  // namespace zelmonitor
