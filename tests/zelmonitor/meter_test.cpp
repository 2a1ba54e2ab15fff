#include "meter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <numbers>
#include <random>

namespace zelmonitor {
namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kFullScale = zeltool::kFullScale;

// Sample frames whose channel c sample f is signal(c, f), clamped to the 24-bit range.
std::vector<unsigned char> frames_of(int frames, const std::function<double(int, int)> &signal) {
  std::vector<unsigned char> data(static_cast<size_t>(frames) * zeltool::kFrameBytes);
  for (int f = 0; f < frames; ++f) {
    for (int c = 0; c < kChannels; ++c) {
      const double v = std::clamp(std::round(signal(c, f)), -kFullScale, kFullScale - 1);
      const uint32_t u = static_cast<uint32_t>(static_cast<int32_t>(v)) & 0xFFFFFF;
      unsigned char *p = &data[static_cast<size_t>(f) * zeltool::kFrameBytes + 3 * c];
      p[0] = static_cast<unsigned char>(u >> 16);
      p[1] = static_cast<unsigned char>(u >> 8);
      p[2] = static_cast<unsigned char>(u);
    }
  }
  return data;
}

void feed(LevelMeter *meter, int blocks, int block_frames, int *clock,
          const std::function<double(int, int)> &signal) {
  for (int b = 0; b < blocks; ++b) {
    const int start = *clock;
    const auto data = frames_of(block_frames, [&](int c, int f) { return signal(c, start + f); });
    meter->add(measure_block(data.data(), block_frames));
    *clock += block_frames;
  }
}

TEST(LevelMeter, KnownSignalsReadTheirLevels) {
  struct Case {
    const char *name;
    std::function<double(int)> signal;  // of the frame number, at 44100 Hz
    double rms_dbfs;
    double peak_dbfs;
    bool clipped;
  };
  const double sine_db = 20 * std::log10(0.25 / std::sqrt(2.0));
  const std::vector<Case> cases = {
      {"silence", [](int) { return 0.0; }, -INFINITY, -INFINITY, false},
      {"negative DC alone", [](int) { return -30000.0; }, -INFINITY, zeltool::dbfs(30000), false},
      {"quarter-scale 1 kHz sine",
       [](int f) { return 0.25 * kFullScale * std::sin(2 * kPi * 1000 * f / 44100); }, sine_db,
       20 * std::log10(0.25), false},
      {"the same sine on a DC offset",
       [](int f) { return 500000 + 0.25 * kFullScale * std::sin(2 * kPi * 1000 * f / 44100); },
       sine_db, zeltool::dbfs(500000 + 0.25 * kFullScale), false},
      {"full-scale square", [](int f) { return (f / 20) % 2 ? kFullScale : -kFullScale; }, 0.0, 0.0,
       true},
      // 45 pulses in every 100 ms window.
      {"positive full scale clips", [](int f) { return f % 98 == 7 ? kFullScale - 1 : 0.0; },
       zeltool::dbfs(std::sqrt(97.0) / 98 * (kFullScale - 1)), zeltool::dbfs(kFullScale - 1), true},
  };
  // Every case on channels of its own, so that one pass also shows the channels kept apart.
  LevelMeter meter(44100, 735);
  int clock = 0;
  feed(&meter, 10, 735, &clock, [&](int c, int f) { return cases[c % cases.size()].signal(f); });
  const auto levels = meter.levels();
  for (int c = 0; c < kChannels; ++c) {
    const Case &k = cases[c % cases.size()];
    SCOPED_TRACE(std::string(k.name) + ", channel " + std::to_string(c));
    if (std::isinf(k.rms_dbfs)) {
      EXPECT_TRUE(std::isinf(levels[c].rms_dbfs) && levels[c].rms_dbfs < 0) << levels[c].rms_dbfs;
    } else {
      EXPECT_NEAR(levels[c].rms_dbfs, k.rms_dbfs, 0.01);
    }
    if (std::isinf(k.peak_dbfs)) {
      EXPECT_TRUE(std::isinf(levels[c].peak_dbfs));
    } else {
      EXPECT_NEAR(levels[c].peak_dbfs, k.peak_dbfs, 0.02);  // a sampled sine misses its crest
    }
    EXPECT_EQ(levels[c].clipped, k.clipped);
  }
}

TEST(LevelMeter, WindowsAreCountedInSampleTimeAtBothRates) {
  struct Case {
    int rate;
    int block;
    int rms_blocks;
    int hold_blocks;
  };
  for (const Case &k : {Case{44100, 735, 6, 120}, Case{22050, 735, 3, 60}, Case{44100, 2205, 2, 40},
                        Case{22050, 4410, 1, 10}}) {
    const LevelMeter meter(k.rate, k.block);
    EXPECT_EQ(meter.rms_blocks(), k.rms_blocks) << k.rate << " Hz, blocks of " << k.block;
    EXPECT_EQ(meter.hold_blocks(), k.hold_blocks) << k.rate << " Hz, blocks of " << k.block;
  }
}

TEST(LevelMeter, RmsFollowsTheLast100MsWhilePeakAndClipHoldTwoSeconds) {
  LevelMeter meter(44100, 735);
  int clock = 0;
  auto loud = [](int, int f) { return f % 2 ? kFullScale : -kFullScale; };
  auto quiet = [](int, int f) { return f % 2 ? 1000.0 : -1000.0; };
  feed(&meter, 6, 735, &clock, loud);
  feed(&meter, 6, 735, &clock, quiet);  // 100 ms later
  Level level = meter.levels()[5];
  EXPECT_NEAR(level.rms_dbfs, zeltool::dbfs(1000), 1e-9);
  EXPECT_DOUBLE_EQ(level.peak_dbfs, 0.0);
  EXPECT_TRUE(level.clipped);
  feed(&meter, 120 - 7, 735, &clock, quiet);  // the last loud block is 2 s old
  EXPECT_TRUE(meter.levels()[5].clipped);
  feed(&meter, 1, 735, &clock, quiet);
  level = meter.levels()[5];
  EXPECT_NEAR(level.peak_dbfs, zeltool::dbfs(1000), 1e-9);
  EXPECT_FALSE(level.clipped);
}

TEST(SampleHistory, KeepsTheLastSamplesOfItsChannelOldestFirst) {
  SampleHistory history(8);
  const auto data = frames_of(5, [](int c, int f) { return c * 100 + f; });
  history.add(data.data(), 5, 3);
  EXPECT_FALSE(history.full());
  history.add(data.data(), 5, 3);
  ASSERT_TRUE(history.full());
  EXPECT_EQ(history.ordered(), (std::vector<double>{302, 303, 304, 300, 301, 302, 303, 304}));
  history.clear();
  EXPECT_TRUE(history.ordered().empty());
}

TEST(Fft, MatchesTheDirectTransform) {
  std::mt19937 random(7);
  std::uniform_real_distribution<double> uniform(-1, 1);
  for (size_t n : {1u, 2u, 8u, 64u, 1024u}) {
    std::vector<std::complex<double>> x(n);
    for (auto &v : x) v = {uniform(random), uniform(random)};
    std::vector<std::complex<double>> fast = x;
    ASSERT_TRUE(fft(fast));
    for (size_t k = 0; k < n; ++k) {
      std::complex<double> direct = 0;
      for (size_t t = 0; t < n; ++t)
        direct += x[t] * std::polar(1.0, -2 * kPi * double(k * t % n) / double(n));
      EXPECT_NEAR(std::abs(fast[k] - direct), 0, 1e-9 * double(n)) << "n " << n << ", bin " << k;
    }
  }
  std::vector<std::complex<double>> odd(12);
  EXPECT_FALSE(fft(odd));
}

TEST(Spectrum, SinesReadTheirLevelAndFrequency) {
  struct Case {
    int rate;
    double hz;
    double amplitude;  // of full scale
    double dc;
  };
  for (const Case &k : {Case{44100, 44100.0 * 93 / 4096, 1.0, 0}, Case{44100, 1000, 0.5, 0},
                        Case{22050, 440, 0.01, 30000}, Case{44100, 15000, 0.1, -200000},
                        Case{22050, 10000, 0.25, 0}}) {
    SCOPED_TRACE(std::to_string(k.hz) + " Hz at " + std::to_string(k.rate));
    std::vector<double> samples(4096);
    for (size_t t = 0; t < samples.size(); ++t) {
      samples[t] = k.dc + k.amplitude * kFullScale * std::sin(2 * kPi * k.hz * double(t) / k.rate);
    }
    const auto spectrum = spectrum_dbfs(samples);
    ASSERT_EQ(spectrum.size(), 2049u);
    const double bin_hz = double(k.rate) / 4096;
    EXPECT_NEAR(peak_frequency(spectrum, k.rate), k.hz, 0.1 * bin_hz);
    // Off a bin centre the Hann window loses at most 1.42 dB.
    const double peak = *std::max_element(spectrum.begin() + 1, spectrum.end());
    EXPECT_LE(peak, 20 * std::log10(k.amplitude) + 0.01);
    EXPECT_GE(peak, 20 * std::log10(k.amplitude) - 1.43);
  }
}

TEST(Spectrum, BadSizesAndSilenceGiveNoPeak) {
  EXPECT_TRUE(spectrum_dbfs(std::vector<double>(4095)).empty());
  EXPECT_TRUE(spectrum_dbfs(std::vector<double>(1)).empty());
  const auto flat = spectrum_dbfs(std::vector<double>(4096, 1234.0));  // DC only
  EXPECT_EQ(peak_frequency(flat, 44100), 0.0);
  EXPECT_EQ(peak_frequency(std::vector<double>{0, 0}, 44100), 0.0);
}

TEST(Spectrum, BarsTakeTheLoudestBinTheyCover) {
  const std::vector<double> spectrum = {0,   -50, -10, -40, -30,
                                        -60, -20, -70, -80};  // 8 bins above DC
  EXPECT_EQ(spectrum_bars(spectrum, 4), (std::vector<double>{-10, -30, -20, -70}));
  EXPECT_EQ(spectrum_bars(spectrum, 8).size(), 8u);
  EXPECT_EQ(spectrum_bars(spectrum, 16).front(), -50);  // more bars than bins: each shows one
  EXPECT_TRUE(spectrum_bars(spectrum, 0).empty());
}

}  // namespace
}  // namespace zelmonitor
