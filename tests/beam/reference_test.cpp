// The engine against the reference maps: nine cases over block, overlap, steering, diagonal
// removal and band, from the whole signal and from the live window.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "zelbeam.h"

namespace {

const std::string data = ZELBEAM_TEST_DATA;
constexpr int side = 41;
constexpr size_t map_points = side * side;
constexpr size_t frames = 8192;
constexpr int channels = 64;

struct Case {
  const char *name;
  int block, overlap, steer, diagonal, band;
  double freq;
  int first_bin, last_bin;
};

// The reference README's table.
const Case cases[] = {
    {"b1024_o50_truelevel_rdiag1_third_2000", 1024, 50, ZELBEAM_STEER_TRUE_LEVEL, 1,
     ZELBEAM_BAND_THIRD, 2000, 42, 52},
    {"b1024_o50_truelevel_rdiag1_third_4000", 1024, 50, ZELBEAM_STEER_TRUE_LEVEL, 1,
     ZELBEAM_BAND_THIRD, 4000, 83, 104},
    {"b1024_o50_truelevel_rdiag1_third_8000", 1024, 50, ZELBEAM_STEER_TRUE_LEVEL, 1,
     ZELBEAM_BAND_THIRD, 8000, 166, 208},
    {"b1024_o50_truelevel_rdiag1_octave_4000", 1024, 50, ZELBEAM_STEER_TRUE_LEVEL, 1,
     ZELBEAM_BAND_OCTAVE, 4000, 66, 131},
    {"b1024_o50_truelevel_rdiag1_bin_4000", 1024, 50, ZELBEAM_STEER_TRUE_LEVEL, 1, ZELBEAM_BAND_BIN,
     4000, 93, 93},
    {"b1024_o50_classic_rdiag0_third_4000", 1024, 50, ZELBEAM_STEER_CLASSIC, 0, ZELBEAM_BAND_THIRD,
     4000, 83, 104},
    {"b1024_o50_inverse_rdiag1_third_4000", 1024, 50, ZELBEAM_STEER_INVERSE, 1, ZELBEAM_BAND_THIRD,
     4000, 83, 104},
    {"b1024_o50_truelocation_rdiag1_third_4000", 1024, 50, ZELBEAM_STEER_TRUE_LOCATION, 1,
     ZELBEAM_BAND_THIRD, 4000, 83, 104},
    {"b256_o0_truelevel_rdiag1_third_8000", 256, 0, ZELBEAM_STEER_TRUE_LEVEL, 1, ZELBEAM_BAND_THIRD,
     8000, 42, 52},
};

std::vector<char> read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// 24-bit big-endian two's complement, divided by 2^23.
std::vector<float> reference_signal() {
  const std::vector<char> raw = read_file(data + "/two_sources.raw");
  std::vector<float> samples(raw.size() / 3);
  for (size_t s = 0; s < samples.size(); ++s) {
    const auto *p = reinterpret_cast<const unsigned char *>(raw.data() + 3 * s);
    int32_t v = (p[0] << 16) | (p[1] << 8) | p[2];
    if (v >= 0x800000) v -= 0x1000000;
    samples[s] = static_cast<float>(v) / 8388608.0f;
  }
  return samples;
}

std::vector<double> reference_map(const char *name) {
  const std::vector<char> raw = read_file(data + "/maps/" + name + ".f64");
  std::vector<double> map(raw.size() / sizeof(double));
  std::memcpy(map.data(), raw.data(), map.size() * sizeof(double));
  return map;
}

size_t first_max(const std::vector<double> &map) {
  size_t best = 0;
  for (size_t g = 1; g < map.size(); ++g) best = map[g] > map[best] ? g : best;
  return best;
}

// Largest |a - b| over the points where `reference` is within 20 dB of its peak.
double deviation_near_peak(const std::vector<double> &reference, const std::vector<double> &map) {
  const double top = reference[first_max(reference)];
  double worst = 0;
  for (size_t g = 0; g < reference.size(); ++g) {
    if (reference[g] >= top - 20) worst = std::max(worst, std::fabs(reference[g] - map[g]));
  }
  return worst;
}

using Beam = std::unique_ptr<zelbeam_t, decltype(&zelbeam_delete)>;

Beam make_beam(const Case &c, double window = 0.25) {
  zelbeam_error err = -1;
  std::unique_ptr<zelbeam_geometry_t, decltype(&zelbeam_geometry_free)> geometry(
      zelbeam_geometry_read((data + "/array_64.xml").c_str(), &err), &zelbeam_geometry_free);
  EXPECT_EQ(err, ZELBEAM_OK);
  const zelbeam_grid_t grid{-0.2, 0.2, -0.2, 0.2, -0.3, 0.01};
  zelbeam_settings_t settings;
  zelbeam_settings_default(&settings);
  settings.block = c.block;
  settings.overlap = c.overlap;
  settings.steer = c.steer;
  settings.diagonal_removal = c.diagonal;
  settings.window = window;
  Beam beam(zelbeam_create(geometry.get(), &grid, &settings, &err), &zelbeam_delete);
  EXPECT_EQ(err, ZELBEAM_OK);
  return beam;
}

class Reference : public testing::TestWithParam<Case> {
 protected:
  static void SetUpTestSuite() { signal_ = new std::vector<float>(reference_signal()); }
  static void TearDownTestSuite() { delete signal_; }
  static std::vector<float> *signal_;
};
std::vector<float> *Reference::signal_ = nullptr;

TEST_P(Reference, WholeSignalMapMatchesWithinATenthOfADecibel) {
  const Case &c = GetParam();
  ASSERT_EQ(signal_->size(), frames * channels);
  Beam beam = make_beam(c);
  ASSERT_TRUE(beam);
  zelbeam_error err = -1;
  int first = -1, last = -1;
  zelbeam_band_bins(beam.get(), c.freq, c.band, &first, &last, &err);
  EXPECT_EQ(err, ZELBEAM_OK);
  EXPECT_EQ(first, c.first_bin);
  EXPECT_EQ(last, c.last_bin);

  std::vector<double> map(map_points);
  zelbeam_peak_t peak{};
  zelbeam_map_signal(beam.get(), signal_->data(), frames, channels, c.freq, c.band, map.data(),
                     &peak, &err);
  ASSERT_EQ(err, ZELBEAM_OK);
  const std::vector<double> reference = reference_map(c.name);
  ASSERT_EQ(reference.size(), map_points);
  const double worst = deviation_near_peak(reference, map);
  EXPECT_LE(worst, 0.1) << c.name;
  std::printf("%-42s max |dL| near the peak %.2e dB\n", c.name, worst);
  const size_t best = first_max(reference);
  EXPECT_EQ(peak.i * side + peak.j, static_cast<int>(best));
  EXPECT_NEAR(peak.x, 0.10, 1e-12);
  EXPECT_NEAR(peak.y, -0.05, 1e-12);
  EXPECT_DOUBLE_EQ(peak.z, -0.3);
  EXPECT_NEAR(peak.level_db, reference[best], 0.1);
}

// A window as long as the signal holds exactly its blocks, so the live map is the whole-signal
// map; the signal is pushed twice in uneven pieces with maps in between, so that by the end every
// block of the first pass has left the window again.
TEST_P(Reference, LiveWindowOverTheSignalEqualsTheWholeSignalMap) {
  const Case &c = GetParam();
  Beam whole = make_beam(c);
  Beam live = make_beam(c, frames / 44100.0);
  ASSERT_TRUE(whole && live);
  zelbeam_error err = -1;
  std::vector<double> expected(map_points), map(map_points);
  zelbeam_map_signal(whole.get(), signal_->data(), frames, channels, c.freq, c.band,
                     expected.data(), nullptr, &err);
  ASSERT_EQ(err, ZELBEAM_OK);
  for (int pass = 0; pass < 2; ++pass) {
    for (size_t at = 0; at < frames;) {
      const size_t piece = std::min<size_t>(frames - at, 700 + 91 * (at % 7));
      zelbeam_push(live.get(), signal_->data() + at * channels, piece, channels, &err);
      ASSERT_EQ(err, ZELBEAM_OK);
      at += piece;
      if (pass == 1 && at < frames) {
        zelbeam_live_map(live.get(), c.freq, c.band, map.data(), nullptr, &err);
        ASSERT_EQ(err, ZELBEAM_OK);
      }
    }
  }
  EXPECT_EQ(zelbeam_live_blocks(live.get(), &err), c.block == 1024 ? 15 : 32);
  zelbeam_peak_t peak{};
  zelbeam_live_map(live.get(), c.freq, c.band, map.data(), &peak, &err);
  ASSERT_EQ(err, ZELBEAM_OK);
  EXPECT_LE(deviation_near_peak(expected, map), 1e-3) << c.name;
  EXPECT_EQ(peak.i * side + peak.j, static_cast<int>(first_max(expected)));
}

INSTANTIATE_TEST_SUITE_P(Cases, Reference, testing::ValuesIn(cases),
                         [](const testing::TestParamInfo<Case> &info) {
                           return std::string(info.param.name);
                         });

}  // namespace
