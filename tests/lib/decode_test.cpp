// Sample decoding: every value class of the 24-bit encoding, in both output types.
#include <array>
#include <climits>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "zellib.h"

namespace {

struct Case {
  std::array<unsigned char, 3> bytes;
  int32_t value;
};

constexpr Case kCases[] = {{{0x00, 0x00, 0x00}, 0},        {{0x7F, 0xFF, 0xFF}, 8388607},
                           {{0x80, 0x00, 0x00}, -8388608}, {{0xFF, 0xFF, 0xFF}, -1},
                           {{0x00, 0x00, 0x01}, 1},        {{0x12, 0x34, 0x56}, 0x123456},
                           {{0xED, 0xCB, 0xAA}, -0x123456}};
constexpr int kCaseCount = sizeof kCases / sizeof kCases[0];

// Frames whose channel c of frame f holds case (f + c) % kCaseCount, so every case lands on
// every byte offset of a vector and neighbours always differ.
std::vector<unsigned char> mixed_frames(int frames) {
  std::vector<unsigned char> data(static_cast<size_t>(frames) * ZEL_FRAME_BYTES);
  for (int f = 0; f < frames; ++f) {
    for (int c = 0; c < 64; ++c) {
      const Case &k = kCases[(f + c) % kCaseCount];
      for (int b = 0; b < 3; ++b) data[f * ZEL_FRAME_BYTES + 3 * c + b] = k.bytes[b];
    }
  }
  return data;
}

TEST(DecodeSamples, EveryValueClassInBothTypesFrameMajor) {
  const int frames = 9;
  const std::vector<unsigned char> data = mixed_frames(frames);
  std::vector<int32_t> ints(frames * 64, 0x5A5A5A5A);
  std::vector<float> floats(frames * 64, 7.0f);
  zelerror err = -1;
  zelarray_decode_samples(data.data(), frames, ints.data(), &err);
  EXPECT_EQ(err, ZEL_OK);
  err = -1;
  zelarray_decode_samples_float(data.data(), frames, floats.data(), &err);
  EXPECT_EQ(err, ZEL_OK);
  for (int f = 0; f < frames; ++f) {
    for (int c = 0; c < 64; ++c) {
      const int32_t want = kCases[(f + c) % kCaseCount].value;
      ASSERT_EQ(ints[64 * f + c], want) << "frame " << f << " channel " << c;
      ASSERT_EQ(floats[64 * f + c], static_cast<float>(want) / 8388608.0f) << f << "/" << c;
    }
  }
  // Frame 0: channel 1 holds 0x7FFFFF, just below 1; channel 2 holds 0x800000, exactly -1.
  EXPECT_LT(floats[1], 1.0f);
  EXPECT_EQ(floats[2], -1.0f);
}

TEST(DecodeSamples, WritesExactlyCountFrames) {
  const std::vector<unsigned char> data = mixed_frames(3);
  std::vector<int32_t> ints(4 * 64, 42);
  std::vector<float> floats(4 * 64, 42.0f);
  zelarray_decode_samples(data.data(), 3, ints.data(), nullptr);
  zelarray_decode_samples_float(data.data(), 3, floats.data(), nullptr);
  for (int i = 3 * 64; i < 4 * 64; ++i) {
    ASSERT_EQ(ints[i], 42);
    ASSERT_EQ(floats[i], 42.0f);
  }
}

TEST(DecodeSamples, BadArgumentsGiveTheirStatusAndWriteNothing) {
  const std::vector<unsigned char> data = mixed_frames(1);
  int32_t ints[64] = {};
  float floats[64] = {};
  struct Bad {
    const void *frames;
    int count;
    bool null_dest;
    zelerror want;
  };
  const Bad bad[] = {{nullptr, 1, false, 4},
                     {data.data(), 1, true, 4},
                     {data.data(), -1, false, 27},
                     {data.data(), INT_MIN, false, 27},
                     {data.data(), 0, false, 0}};
  for (const Bad &b : bad) {
    zelerror err = -1;
    zelarray_decode_samples(b.frames, b.count, b.null_dest ? nullptr : ints, &err);
    EXPECT_EQ(err, b.want) << "count " << b.count;
    err = -1;
    zelarray_decode_samples_float(b.frames, b.count, b.null_dest ? nullptr : floats, &err);
    EXPECT_EQ(err, b.want) << "count " << b.count;
  }
  for (int c = 0; c < 64; ++c) {
    ASSERT_EQ(ints[c], 0);
    ASSERT_EQ(floats[c], 0.0f);
  }
}

}  // namespace
