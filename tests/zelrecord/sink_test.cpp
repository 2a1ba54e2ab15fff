#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <vector>

#include "levels.h"
#include "sink.h"

namespace zelrecord {
namespace {

// Two sample frames whose channels run through the corners of the 24-bit range.
std::vector<unsigned char> CornerFrames() {
  const int32_t values[] = {-8388608, 8388607, -1, 0, 1, 256, -256, 0x123456};
  std::vector<unsigned char> bytes(2 * kFrameBytes);
  for (int f = 0; f < 2; ++f) {
    for (int c = 0; c < kChannels; ++c) {
      const uint32_t v = static_cast<uint32_t>(values[(c + f) % 8]) & 0xFFFFFF;
      unsigned char *p = bytes.data() + f * kFrameBytes + 3 * c;
      p[0] = v >> 16;
      p[1] = (v >> 8) & 0xFF;
      p[2] = v & 0xFF;
    }
  }
  return bytes;
}

class SinkTest : public ::testing::Test {
 protected:
  std::filesystem::path dir_ =
      std::filesystem::temp_directory_path() / ("zelrecord_sink." + std::to_string(getpid()));
  void SetUp() override { std::filesystem::create_directories(dir_); }
  void TearDown() override { std::filesystem::remove_all(dir_); }
};

TEST_F(SinkTest, WavHoldsEvery24BitSampleExactly) {
  const auto frames = CornerFrames();
  for (FileType type : {FileType::wav, FileType::rf64}) {
    const std::string path = (dir_ / "t.wav").string();
    std::string error;
    auto sink = open_sink(path, type, 22050, &error);
    ASSERT_TRUE(sink) << error;
    ASSERT_TRUE(sink->write(frames.data(), 2, &error)) << error;
    ASSERT_TRUE(sink->finish(&error)) << error;

    SF_INFO info{};
    SNDFILE *file = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(info.channels, 64);
    EXPECT_EQ(info.samplerate, 22050);
    EXPECT_EQ(info.frames, 2);
    EXPECT_EQ(info.format & SF_FORMAT_SUBMASK, SF_FORMAT_PCM_24);
    EXPECT_EQ(info.format & SF_FORMAT_TYPEMASK,
              type == FileType::wav ? SF_FORMAT_WAV : SF_FORMAT_RF64);
    std::vector<int> read(2 * 64);
    ASSERT_EQ(sf_readf_int(file, read.data(), 2), 2);
    sf_close(file);
    for (int f = 0; f < 2; ++f) {
      for (int c = 0; c < 64; ++c) {
        ASSERT_EQ(read[f * 64 + c] >> 8, sample_at(frames.data() + f * kFrameBytes, c))
            << "frame " << f << " channel " << c;
      }
    }
  }
}

TEST_F(SinkTest, RawHoldsTheFramesAsCaptured) {
  const auto frames = CornerFrames();
  const auto path = dir_ / "t.raw";
  std::string error;
  auto sink = open_sink(path.string(), FileType::raw, 44100, &error);
  ASSERT_TRUE(sink) << error;
  ASSERT_TRUE(sink->write(frames.data(), 2, &error));
  ASSERT_TRUE(sink->write(frames.data(), 1, &error));
  ASSERT_TRUE(sink->finish(&error));
  std::ifstream in(path, std::ios::binary);
  std::vector<unsigned char> back((std::istreambuf_iterator<char>(in)), {});
  ASSERT_EQ(back.size(), 3u * kFrameBytes);
  EXPECT_TRUE(std::equal(frames.begin(), frames.end(), back.begin()));
  EXPECT_TRUE(
      std::equal(frames.begin(), frames.begin() + kFrameBytes, back.begin() + 2 * kFrameBytes));
}

TEST_F(SinkTest, FullDiskIsAnErrorNamingTheCause) {
  const auto frames = CornerFrames();
  for (FileType type : {FileType::raw, FileType::wav}) {
    std::string error;
    auto sink = open_sink("/dev/full", type, 44100, &error);
    // libsndfile may already fail to write the header.
    if (!sink) {
      EXPECT_NE(error.find("No space left on device"), std::string::npos) << error;
      continue;
    }
    EXPECT_FALSE(sink->write(frames.data(), 2, &error));
    EXPECT_NE(error.find("No space left on device"), std::string::npos) << error;
  }
}

TEST_F(SinkTest, UnwritablePathIsRefusedBeforeRecording) {
  std::string error;
  EXPECT_FALSE(open_sink((dir_ / "missing" / "t.wav").string(), FileType::wav, 44100, &error));
  EXPECT_EQ(error, "cannot open '" + (dir_ / "missing" / "t.wav").string() +
                       "' for writing: No such file or directory");
}

TEST(Levels, QuietestAndLoudestChannelsAreNamed) {
  Peaks peaks{};
  peaks.fill(83886);   // -40 dBFS
  peaks[7] = 8388608;  // full scale
  peaks[41] = 0;       // a dead microphone
  EXPECT_EQ(describe_levels(peaks), "quietest -inf dBFS (ch 41), loudest 0.0 dBFS (ch 7)");
  EXPECT_NEAR(peak_dbfs(83886), -40.0, 0.01);
}

TEST(Levels, PeakMeterKeepsTheLargestUntilTaken) {
  std::vector<unsigned char> frame(kFrameBytes, 0);
  frame[3 * 5] = 0x80;   // channel 5: -8388608
  frame[3 * 9 + 2] = 9;  // channel 9: 9
  Peaks peaks{};
  add_peaks(frame.data(), 1, &peaks);
  PeakMeter meter;
  meter.add(peaks);
  Peaks smaller{};
  smaller[9] = 3;
  meter.add(smaller);
  const Peaks taken = meter.take();
  EXPECT_EQ(taken[5], 8388608u);
  EXPECT_EQ(taken[9], 9u);
  EXPECT_EQ(meter.take()[5], 0u);
}

}  // namespace
}  // namespace zelrecord
