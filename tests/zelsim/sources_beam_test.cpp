// The emulator's point sources as a beamformer sees them: found where they were put.
#include <gtest/gtest.h>
#include <zelbeam.h>

#include <cmath>
#include <memory>

#include "cli.h"
#include "payload.h"

namespace {

constexpr int kFrames = 8192;
constexpr const char *kGeometry = ZELSIM_TEST_DATA "/beam-reference/array_64.xml";
constexpr int M = zelsim::kChannels;

// The samples of kFrames frames from datagram `from` on as the emulator puts them on the wire,
// as floats.
std::vector<float> stream_of(const zelsim::Config &config, int from = 0) {
  zelsim::detail::PayloadSource source;
  std::string why;
  EXPECT_TRUE(source.load(config, &why)) << why;
  std::vector<float> samples(static_cast<size_t>(kFrames) * M);
  std::vector<uint8_t> payload(zelsim::kPayloadBytes);
  for (int d = 0; d < kFrames / zelsim::kFramesPerDatagram + 1; ++d) {
    source.fill(static_cast<uint16_t>(d), static_cast<uint64_t>(from) + static_cast<uint64_t>(d),
                44100, payload.data());
    for (int i = 0; i < zelsim::kFramesPerDatagram * M; ++i) {
      size_t at = static_cast<size_t>(d) * zelsim::kFramesPerDatagram * M + i;
      if (at >= samples.size()) break;
      const uint8_t *b = &payload[3 * i];
      int32_t v = (b[0] << 16) | (b[1] << 8) | b[2];
      samples[at] = static_cast<float>((v ^ 0x800000) - 0x800000) / 8388608.0f;
    }
  }
  return samples;
}

using Beam = std::unique_ptr<zelbeam_t, decltype(&zelbeam_delete)>;

Beam beamformer_over_the_reference_grid() {
  zelbeam_error err = ZELBEAM_OK;
  std::unique_ptr<zelbeam_geometry_t, decltype(&zelbeam_geometry_free)> geometry(
      zelbeam_geometry_read(kGeometry, &err), zelbeam_geometry_free);
  EXPECT_EQ(err, ZELBEAM_OK);
  const zelbeam_grid_t grid{-0.2, 0.2, -0.2, 0.2, -0.3, 0.01};
  return Beam(zelbeam_create(geometry.get(), &grid, nullptr, &err), zelbeam_delete);
}

TEST(SourcesUnderTheBeamformer, MovingSourceFoundAlongItsPath) {
  zelsim::cli::Options o;
  ASSERT_EQ(zelsim::cli::parse(
                {"--geometry", kGeometry, "--source-path", "-0.15,0,-0.3:0.15,0,-0.3:2"}, &o),
            "");
  Beam beam = beamformer_over_the_reference_grid();
  ASSERT_NE(beam, nullptr);
  // 8192 frames (0.19 s) centred on 0.5 s, 1 s and 2 s: x = -0.075, 0 and 0.15 (the turn).
  for (auto [seconds, i] : {std::pair{0.5, 12.5}, {1.0, 20.0}, {2.0, 35.0}}) {
    const int from = static_cast<int>(seconds * 44100 - kFrames / 2.0) / zelsim::kFramesPerDatagram;
    const std::vector<float> samples = stream_of(o.config, from);
    std::vector<double> map(41 * 41);
    zelbeam_peak_t peak{};
    zelbeam_error err = ZELBEAM_OK;
    zelbeam_map_signal(beam.get(), samples.data(), kFrames, M, 8000, ZELBEAM_BAND_THIRD, map.data(),
                       &peak, &err);
    ASSERT_EQ(err, ZELBEAM_OK);
    EXPECT_LE(std::abs(peak.i - i), 1.0) << seconds << " s";
    EXPECT_LE(std::abs(peak.j - 20), 1) << seconds << " s";
  }
}

TEST(SourcesUnderTheBeamformer, BothSourcesFoundAtFourAndEightKilohertz) {
  zelsim::cli::Options o;
  ASSERT_EQ(zelsim::cli::parse({"--geometry", kGeometry, "--source", "0.1,-0.05,-0.3", "--source",
                                "-0.12,0.08,-0.3,54"},
                               &o),
            "");
  const std::vector<float> samples = stream_of(o.config);

  Beam beam = beamformer_over_the_reference_grid();
  ASSERT_NE(beam, nullptr);
  zelbeam_error err = ZELBEAM_OK;
  for (double hz : {4000.0, 8000.0}) {
    std::vector<double> map(41 * 41);
    zelbeam_peak_t peak{};
    zelbeam_map_signal(beam.get(), samples.data(), kFrames, M, hz, ZELBEAM_BAND_THIRD, map.data(),
                       &peak, &err);
    ASSERT_EQ(err, ZELBEAM_OK);
    EXPECT_LE(std::abs(peak.i - 30), 1) << hz << " Hz";  // x = 0.10
    EXPECT_LE(std::abs(peak.j - 15), 1) << hz << " Hz";  // y = -0.05
    // The quieter source is the highest point of its neighbourhood, at (-0.12, 0.08).
    int bi = 0, bj = 0;
    for (int i = 8 - 4; i <= 8 + 4; ++i)
      for (int j = 28 - 4; j <= 28 + 4; ++j)
        if (map[i * 41 + j] > map[bi * 41 + bj] || bi == 0) bi = i, bj = j;
    EXPECT_LE(std::abs(bi - 8), 1) << hz << " Hz";
    EXPECT_LE(std::abs(bj - 28), 1) << hz << " Hz";
  }
}

}  // namespace
