#include "calibration_math.hpp"

#include <cmath>

namespace zelnorm {

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
