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
