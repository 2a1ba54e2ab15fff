#include "calibration_math.hpp"

#include <cmath>

namespace zelnorm {

FrameDivisor make_frame_divisor(std::int64_t frames) {
  FrameDivisor divisor;
  divisor.frames = static_cast<long double>(frames);
  if (frames < 2 || frames > (std::int64_t{1} << 32)) return divisor;
  // 1/N rounded = m * 2^-k with a 64-bit m; k <= 95 for N <= 2^32.
  int exponent = 0;
  const long double fraction = std::frexp(1.0L / divisor.frames, &exponent);
  const auto m = static_cast<std::uint64_t>(std::ldexp(fraction, 64));
  const int k = 64 - exponent;
  // 2^k - m * N, exactly: the part of 1/N that the rounded reciprocal misses.
  const auto missing = static_cast<std::int64_t>((static_cast<unsigned __int128>(1) << k) -
                                                 static_cast<unsigned __int128>(m) *
                                                     static_cast<std::uint64_t>(frames));
  constexpr std::uint64_t kLowBits = (std::uint64_t{1} << 24) - 1;
  divisor.high = std::ldexp(static_cast<long double>(m & ~kLowBits), -k);
  divisor.low = std::ldexp(static_cast<long double>(m & kLowBits), -k) +
                std::ldexp(static_cast<long double>(missing) / divisor.frames, -k);
  divisor.by_product = true;
  return divisor;
}

ChannelMeans integer_means(const ChannelDoubles &means) {
  ChannelMeans result{};
  for (int k = 0; k < kChannels; ++k) result[k] = static_cast<std::int32_t>(means[k]);
  return result;
}

Gains gains_from_variances(const ChannelDoubles &variances) {
  Gains gains{};
  double sum = 0.0;
  for (int k = 0; k < kChannels; ++k) {
    gains.deviations[k] = std::sqrt(variances[k]);
    sum += gains.deviations[k];
  }
  const double mean_deviation = sum / 64.0;
  for (int k = 0; k < kChannels; ++k) gains.factors[k] = gains.deviations[k] / mean_deviation;
  return gains;
}

}  // namespace zelnorm
