// Passes over inputs held in memory: the result against the plain
// computation for any split of the channels, how a pass ends, and failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "calibration_reference.hpp"
#include "pass_engine.hpp"

namespace {

using namespace zelnorm;
using zelnorm_test::Bytes;

constexpr std::size_t kChunkFrames = kChunkBytes / kFrameBytes;

// Serves `raw` as a file would; fails from byte offset `fail_at` on.
ChunkReader memory_reader(const Bytes &raw, std::int64_t fail_at = -1) {
  return [&raw, fail_at](std::span<unsigned char> into, std::int64_t offset) -> long {
    if (fail_at >= 0 && offset + static_cast<std::int64_t>(into.size()) > fail_at) return -1;
    if (offset >= static_cast<std::int64_t>(raw.size())) return 0;
    const std::size_t n = std::min(into.size(), raw.size() - static_cast<std::size_t>(offset));
    std::memcpy(into.data(), raw.data() + offset, n);
    return static_cast<long>(n);
  };
}

struct Calibration {
  PassOutcome first = PassOutcome::complete;
  PassOutcome second = PassOutcome::complete;
  Accumulators acc;
  std::array<std::vector<std::int64_t>, 2> progress;  // per pass
};

Calibration calibrate(const Bytes &raw, int workers, std::int64_t frames,
                      std::int64_t fail_at = -1) {
  PassBuffers buffers(workers);
  const ChunkReader reader = memory_reader(raw, fail_at);
  Calibration c;
  auto progress = [&c](int pass) {
    return [&c, pass](std::int64_t done) { c.progress[pass].push_back(done); };
  };
  c.first = run_pass(PassKind::means, buffers, reader, frames, c.acc, progress(0));
  if (c.first == PassOutcome::complete)
    c.second = run_pass(PassKind::variances, buffers, reader, frames, c.acc, progress(1));
  return c;
}

Calibration calibrate(const Bytes &raw, int workers) {
  return calibrate(raw, workers, static_cast<std::int64_t>(raw.size() / kFrameBytes));
}

// Bit patterns, so that equal doubles of different representation still count as a mismatch.
std::uint64_t bits(double value) {
  return std::bit_cast<std::uint64_t>(value);
}

void expect_matches_reference(const Bytes &raw, int workers) {
  const zelnorm_test::Reference ref = zelnorm_test::reference_calibration(raw);
  const Calibration c = calibrate(raw, workers);
  ASSERT_EQ(c.first, PassOutcome::complete);
  ASSERT_EQ(c.second, PassOutcome::complete);
  for (const std::vector<std::int64_t> &reports : c.progress) {
    ASSERT_FALSE(reports.empty());
    EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
    EXPECT_EQ(reports.back(), static_cast<std::int64_t>(raw.size()));
  }
  for (int k = 0; k < kChannels; ++k) {
    // Compared as bits: equal doubles are not enough, the files must match.
    EXPECT_EQ(bits(c.acc.means[k]), bits(ref.means[k])) << "mean " << k;
    EXPECT_EQ(bits(c.acc.variances[k]), bits(ref.variances[k])) << "variance " << k;
  }
}

TEST(CalibrationPass, AnyNumberOfWorkersGivesThePlainResultBitForBit) {
  const Bytes raw =
      zelnorm_test::encode_frames(zelnorm_test::random_samples(24 * kChunkFrames + 7, 1));
  for (const int workers : {1, 2, 3, 8}) {
    SCOPED_TRACE(workers);
    expect_matches_reference(raw, workers);
  }
}

// 200 frames end with a 0-byte read, 201 with a 1-frame block; the same at
// the size of the tool's larger reads.
TEST(CalibrationPass, PassesEndAtExactAndShortReads) {
  for (const std::size_t frames : {std::size_t{2}, kBlockFrames, kBlockFrames + 1, kChunkFrames,
                                   kChunkFrames + 1, 2 * kChunkFrames - 1}) {
    SCOPED_TRACE(frames);
    expect_matches_reference(zelnorm_test::encode_frames(zelnorm_test::random_samples(frames, 2)),
                             2);
  }
}

TEST(CalibrationPass, ReadFailureInTheMiddleIsReported) {
  const Bytes raw = zelnorm_test::encode_frames(zelnorm_test::random_samples(5 * kChunkFrames, 3));
  for (const int workers : {1, 2}) {
    // The failing chunk is read by the second worker when there are two.
    const Calibration c = calibrate(raw, workers, 5 * kChunkFrames, 3 * kChunkBytes + 1);
    EXPECT_EQ(c.first, PassOutcome::read_failed) << workers;
  }
}

TEST(CalibrationPass, InputShorterOrLongerThanItsSizeIsAMismatch) {
  const std::size_t frames = kChunkFrames + 10;
  const Bytes raw = zelnorm_test::encode_frames(zelnorm_test::random_samples(frames, 4));
  const auto n = static_cast<std::int64_t>(frames);
  EXPECT_EQ(calibrate(raw, 2, n + 1).first, PassOutcome::size_mismatch);
  EXPECT_EQ(calibrate(raw, 2, n - 1).first, PassOutcome::size_mismatch);
  EXPECT_EQ(calibrate(raw, 2, n - static_cast<std::int64_t>(kChunkFrames)).first,
            PassOutcome::size_mismatch);
  const Bytes ragged(raw.begin(), raw.end() - 100);
  EXPECT_EQ(calibrate(ragged, 2, n).first, PassOutcome::size_mismatch);
}

Bytes two_value_input(int frames, int channel, std::int32_t first, std::int32_t rest,
                      std::uint32_t seed) {
  std::vector<std::int32_t> samples = zelnorm_test::random_samples(frames, seed);
  for (int f = 0; f < frames; ++f) samples[f * 64 + channel] = f == 0 ? first : rest;
  return zelnorm_test::encode_frames(samples);
}

TEST(CalibrationPass, VarianceDividesByFramesLessOne) {
  const Calibration c = calibrate(two_value_input(2, 7, 0, 2, 5), 2);
  EXPECT_EQ(c.acc.means[7], 1.0);
  EXPECT_EQ(c.acc.variances[7], 2.0);
  EXPECT_EQ(std::sqrt(c.acc.variances[7]), std::sqrt(2.0));
}

// A constant channel's mean is exact when the additions of s / N are, as
// for N a power of two; otherwise its deviation comes out tiny, not 0.
TEST(CalibrationPass, ConstantChannelIsNotSpecialCased) {
  const Calibration exact = calibrate(two_value_input(4, 9, 5, 5, 6), 2);
  EXPECT_EQ(exact.acc.means[9], 5.0);
  EXPECT_EQ(exact.acc.variances[9], 0.0);

  // Five additions of 1/5 give 0.99999999999999989.
  const Bytes inexact = two_value_input(5, 9, 1, 1, 6);
  const Calibration c = calibrate(inexact, 2);
  const zelnorm_test::Reference ref = zelnorm_test::reference_calibration(inexact);
  EXPECT_EQ(c.acc.means[9], ref.means[9]);
  EXPECT_LT(c.acc.means[9], 1.0);
  EXPECT_EQ(c.acc.variances[9], ref.variances[9]);
  EXPECT_GT(c.acc.variances[9], 0.0);
  EXPECT_LT(c.acc.variances[9], 1e-20);
}

}  // namespace
