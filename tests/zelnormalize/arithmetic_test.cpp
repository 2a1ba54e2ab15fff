// Sample decoding and the rounding of each step of the calibration.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "calibration_math.hpp"
#include "sample_frame.hpp"

namespace {

using namespace zelnorm;

std::int32_t decode_bytes(unsigned char b0, unsigned char b1, unsigned char b2) {
  const unsigned char bytes[4] = {b0, b1, b2, 0xAA};
  EXPECT_EQ(decode_sample(bytes), decode_sample_wide(bytes));
  return decode_sample(bytes);
}

TEST(SampleDecoding, DecodesTheEndsOfTheRangeAndByteOrder) {
  EXPECT_EQ(decode_bytes(0x80, 0x00, 0x00), -8388608);
  EXPECT_EQ(decode_bytes(0x7F, 0xFF, 0xFF), 8388607);
  EXPECT_EQ(decode_bytes(0xFF, 0xFF, 0xFF), -1);
  EXPECT_EQ(decode_bytes(0x00, 0x01, 0x00), 256);
}

TEST(SampleDecoding, WideDecodeAgreesForEveryValueWhateverFollows) {
  for (std::uint32_t v = 0; v < (1u << 24); ++v) {
    const unsigned char bytes[4] = {
        static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 8),
        static_cast<unsigned char>(v), static_cast<unsigned char>(v * 7)};
    ASSERT_EQ(decode_sample_wide(bytes), decode_sample(bytes)) << v;
  }
}

bool same_bits(long double a, long double b) {
  return std::memcmp(&a, &b, 10) == 0;
}

// The pass-1 shortcut must round every sample's quotient as the x87 division
// does: checked for every 24-bit sample against a spread of frame counts.
TEST(FrameDivisor, ProductsRoundLikeTheDivisionForEverySample) {
  std::vector<std::int64_t> counts = {2, 3, 200, 201, 1398101, 4294967295, 4294967296};
  std::mt19937_64 gen(11);
  for (int i = 0; i < 3; ++i) counts.push_back(2 + static_cast<std::int64_t>(gen() % 4294967295u));
  for (const std::int64_t n : counts) {
    const FrameDivisor divisor = make_frame_divisor(n);
    ASSERT_TRUE(divisor.by_product) << n;
    for (std::int32_t s = -8388608; s < 8388608; ++s)
      ASSERT_TRUE(same_bits(sample_over_frames(s, divisor), s / divisor.frames))
          << "n " << n << " sample " << s;
  }
}

TEST(FrameDivisor, CountsBeyondThirtyTwoBitsDivideByTheFullCount) {
  const std::int64_t n = (std::int64_t{1} << 33) + 5;  // a 1.6 TB input
  const FrameDivisor divisor = make_frame_divisor(n);
  EXPECT_FALSE(divisor.by_product);
  EXPECT_EQ(divisor.frames, static_cast<long double>(n));
  EXPECT_EQ(add_mean_term(0.0, 8388607, divisor.frames),
            static_cast<double>(8388607.0L / 8589934597.0L));
}

TEST(CalibrationArithmetic, MeansAreTruncatedTowardZero) {
  ChannelDoubles means{};
  means[0] = 2.9;
  means[1] = -2.9;
  means[2] = -0.5;
  means[3] = 8388607.0;
  const ChannelMeans truncated = integer_means(means);
  EXPECT_EQ(truncated[0], 2);
  EXPECT_EQ(truncated[1], -2);
  EXPECT_EQ(truncated[2], 0);
  EXPECT_EQ(truncated[3], 8388607);
}

TEST(CalibrationArithmetic, GainIsDeviationOverMeanDeviation) {
  ChannelDoubles variances{};
  for (int k = 0; k < kChannels; ++k) variances[k] = (k % 2 == 0) ? 4.0 : 16.0;
  const Gains gains = gains_from_variances(variances);
  EXPECT_EQ(gains.deviations[0], 2.0);
  EXPECT_EQ(gains.deviations[1], 4.0);
  EXPECT_EQ(gains.factors[0], 2.0 / 3.0);
  EXPECT_EQ(gains.factors[1], 4.0 / 3.0);
}

}  // namespace
