// Peak levels per channel, for the status line and the summary.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include "frame.h"

namespace zelrecord {

using zeltool::kChannels;
using zeltool::kFrameBytes;
using zeltool::sample_at;

using Peaks = std::array<uint32_t, kChannels>;  // absolute sample values, 0 to 8388608

// The largest absolute sample of every channel over `frames` sample frames, merged into *peaks.
void add_peaks(const unsigned char *data, int64_t frames, Peaks *peaks);

// Each channel of *into keeps the larger of its peak and that of `peaks`.
void merge_peaks(const Peaks &peaks, Peaks *into);

// Peaks shared between the reader, which adds, and the status line, which takes them.
class PeakMeter {
 public:
  void add(const Peaks &peaks);
  // The peaks since the last take, and starts again from silence.
  Peaks take();

 private:
  std::array<std::atomic<uint32_t>, kChannels> peaks_{};
};

// 20 log10(peak / full scale); full scale is 8388608.
double peak_dbfs(uint32_t peak);

// "quietest -12.3 dBFS (ch 5), loudest -0.1 dBFS (ch 40)"; "-inf" for silence.
std::string describe_levels(const Peaks &peaks);

}  // namespace zelrecord
