// The arithmetic of one calibration, operation by operation. Every quotient and
// sum is formed in extended precision (long double: the x87 64-bit significand
// on x86-64) and rounded to double when stored. The files written depend on
// these exact roundings, so the order and kind of each operation is fixed.
#pragma once

#include <array>
#include <cstdint>

#include "sample_frame.hpp"

namespace zelnorm {

static_assert(sizeof(long double) >= 10, "calibration needs a 64-bit significand");

using ChannelDoubles = std::array<double, kChannels>;
using ChannelMeans = std::array<std::int32_t, kChannels>;

inline double add_mean_term(double mean, std::int32_t sample, long double frames) {
  return static_cast<double>(mean + static_cast<long double>(sample) / frames);
}

// sample / N, rounded to 64 bits exactly as the x87 division rounds it, from
// two multiplications, which cost a third of a division. 1/N is split as
// high + low: high holds the top 40 bits of the 64-bit reciprocal, so
// sample * high (at most 63 bits) is exact, and low carries the rest of 1/N
// to about 2^-103 relative. The one rounding of the final addition then
// lands where the division's rounding lands unless sample / N lies within
// 2^-102 (relative) of a midpoint between two 64-bit values; a quotient of a
// 24-bit integer by N is at least 2^-65 / N away from every midpoint, so the
// shortcut is exact for N up to 2^37. It is used up to 2^32.
struct FrameDivisor {
  long double frames = 0;
  long double high = 0;
  long double low = 0;
  bool by_product = false;
};

FrameDivisor make_frame_divisor(std::int64_t frames);

inline long double sample_over_frames(std::int32_t sample, const FrameDivisor &divisor) {
  const long double x = sample;
  return x * divisor.high + x * divisor.low;
}

inline double add_mean_term(double mean, std::int32_t sample, const FrameDivisor &divisor) {
  return static_cast<double>(mean + sample_over_frames(sample, divisor));
}

inline double add_variance_term(double variance, std::int32_t sample, double mean,
                                long double frames_less_one) {
  const double d = static_cast<double>(static_cast<long double>(sample) - mean);
  return static_cast<double>(variance + static_cast<long double>(d) * d / frames_less_one);
}

// Truncation toward zero: 2.9 gives 2 and -2.9 gives -2.
ChannelMeans integer_means(const ChannelDoubles &means);

struct Gains {
  ChannelDoubles deviations;
  ChannelDoubles factors;
};

// Square roots of the variances, their mean summed in channel order, and each
// channel's deviation divided by that mean.
Gains gains_from_variances(const ChannelDoubles &variances);

}  // namespace zelnorm
