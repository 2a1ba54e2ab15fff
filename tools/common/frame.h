// Sample frames as the array sends them, and levels relative to its full scale.
#pragma once

#include <cmath>
#include <cstdint>

namespace zeltool {

inline constexpr int kChannels = 64;
inline constexpr int kFrameBytes = 192;
inline constexpr double kFullScale = 8388608.0;  // 2^23: the magnitude of the 24-bit minimum

// Channel `channel` of a sample frame: 24-bit two's complement, most significant byte first.
inline int32_t sample_at(const unsigned char *frame, int channel) {
  const unsigned char *p = frame + 3 * channel;
  const int32_t v = (p[0] << 16) | (p[1] << 8) | p[2];
  return v >= 0x800000 ? v - 0x1000000 : v;
}

// 20 log10(amplitude / full scale); -inf for 0.
inline double dbfs(double amplitude) {
  if (amplitude <= 0) return -INFINITY;
  return 20.0 * std::log10(amplitude / kFullScale);
}

}  // namespace zeltool
