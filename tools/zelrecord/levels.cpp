#include "levels.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace zelrecord {

void add_peaks(const unsigned char *data, int64_t frames, Peaks *peaks) {
  Peaks &p = *peaks;
  for (int64_t f = 0; f < frames; ++f) {
    const unsigned char *frame = data + f * kFrameBytes;
    for (int c = 0; c < kChannels; ++c) {
      const uint32_t a = static_cast<uint32_t>(std::abs(sample_at(frame, c)));
      if (a > p[c]) p[c] = a;
    }
  }
}

void merge_peaks(const Peaks &peaks, Peaks *into) {
  for (int c = 0; c < kChannels; ++c) (*into)[c] = std::max((*into)[c], peaks[c]);
}

void PeakMeter::add(const Peaks &peaks) {
  for (int c = 0; c < kChannels; ++c) {
    uint32_t seen = peaks_[c].load(std::memory_order_relaxed);
    while (peaks[c] > seen && !peaks_[c].compare_exchange_weak(seen, peaks[c])) {
    }
  }
}

Peaks PeakMeter::take() {
  Peaks out{};
  for (int c = 0; c < kChannels; ++c) out[c] = peaks_[c].exchange(0);
  return out;
}

double peak_dbfs(uint32_t peak) {
  return zeltool::dbfs(peak);
}

namespace {

std::string format_level(const char *label, const Peaks &peaks, int channel) {
  char text[64];
  const double db = peak_dbfs(peaks[channel]);
  if (std::isinf(db)) {
    std::snprintf(text, sizeof text, "%s -inf dBFS (ch %d)", label, channel);
  } else {
    std::snprintf(text, sizeof text, "%s %.1f dBFS (ch %d)", label, db, channel);
  }
  return text;
}

}  // namespace

std::string describe_levels(const Peaks &peaks) {
  int quiet = 0;
  int loud = 0;
  for (int c = 1; c < kChannels; ++c) {
    if (peaks[c] < peaks[quiet]) quiet = c;
    if (peaks[c] > peaks[loud]) loud = c;
  }
  return format_level("quietest", peaks, quiet) + ", " + format_level("loudest", peaks, loud);
}

}  // namespace zelrecord
