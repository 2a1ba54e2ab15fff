// Bad and unusual input to the beamforming library: geometry files, coordinates, left-out
// channels, grids, settings, signals and bands. Each gets its status, never a crash or a map.
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "zelbeam.h"

namespace {

using Geometry = std::unique_ptr<zelbeam_geometry_t, decltype(&zelbeam_geometry_free)>;
using Beam = std::unique_ptr<zelbeam_t, decltype(&zelbeam_delete)>;

const double nan = std::numeric_limits<double>::quiet_NaN();
const double inf = std::numeric_limits<double>::infinity();

Geometry parse(const std::string &text, zelbeam_error *err) {
  return Geometry(zelbeam_geometry_parse(text.data(), text.size(), err), &zelbeam_geometry_free);
}

std::string pos(const std::string &x, const std::string &y = "0", const std::string &z = "0") {
  return "<pos Name=\"p\" x=\"" + x + "\" y=\"" + y + "\" z=\"" + z + "\"/>";
}

struct XmlCase {
  const char *what;
  std::string text;
  int code;
  int count;  // microphones read when code is OK
};

TEST(GeometryXml, EachFileGetsItsStatus) {
  const XmlCase cases[] = {
      {"CRLF, tabs and spaces around values",
       "<?xml version=\"1.0\"?>\r\n<MicArray name=\"a\">\r\n\t<pos Name=\"P \t1\t\" "
       "x=\"\t0.152\t\" "
       "y=\" 0.1 \" z=\"\t0\t\"/>\r\n\t<pos Name=\"P 2\" x=\"+0.3\" y=\"1e-1\" z=\"-0\"/>\r\n"
       "</MicArray>\r\n",
       ZELBEAM_OK, 2},
      {"any root name, pos at any depth",
       "<whatever><group><pos x=\"1\" y=\"0\" z=\"0\"/></group>" + pos("2") + "</whatever>",
       ZELBEAM_OK, 2},
      {"other elements ignored", "<a><mic x=\"9\" y=\"9\" z=\"9\"/>" + pos("1") + pos("2") + "</a>",
       ZELBEAM_OK, 2},
      {"empty text", "", ZELBEAM_EXML, 0},
      {"not XML", "x=1 y=2 z=3", ZELBEAM_EXML, 0},
      {"unclosed root", "<a>" + pos("1") + pos("2"), ZELBEAM_EXML, 0},
      {"no pos", "<a><b/></a>", ZELBEAM_EXML, 0},
      {"missing z", "<a><pos x=\"1\" y=\"2\"/>" + pos("2") + "</a>", ZELBEAM_EXML, 0},
      {"empty value", "<a>" + pos("") + pos("2") + "</a>", ZELBEAM_EXML, 0},
      {"trailing letters", "<a>" + pos("0.1m") + pos("2") + "</a>", ZELBEAM_EXML, 0},
      {"space inside a number", "<a>" + pos("0. 1") + pos("2") + "</a>", ZELBEAM_EXML, 0},
      {"comma as decimal point", "<a>" + pos("0,1") + pos("2") + "</a>", ZELBEAM_EXML, 0},
      {"two signs", "<a>" + pos("+-1") + pos("2") + "</a>", ZELBEAM_EXML, 0},
      {"nan", "<a>" + pos("nan") + pos("2") + "</a>", ZELBEAM_EPOSITION, 0},
      {"inf", "<a>" + pos("1", "-inf") + pos("2") + "</a>", ZELBEAM_EPOSITION, 0},
      {"overflow", "<a>" + pos("1", "0", "1e999") + pos("2") + "</a>", ZELBEAM_EPOSITION, 0},
      {"same position twice", "<a>" + pos("1", "2", "3") + pos("1.0", "2", "3") + "</a>",
       ZELBEAM_EDUPLICATE, 0},
      {"one microphone", "<a>" + pos("1") + "</a>", ZELBEAM_EMICS, 0},
  };
  for (const XmlCase &c : cases) {
    zelbeam_error err = -1;
    Geometry g = parse(c.text, &err);
    EXPECT_EQ(err, c.code) << c.what << ": " << zelbeam_err_name(err);
    EXPECT_EQ(g != nullptr, c.code == ZELBEAM_OK) << c.what;
    if (g) {
      EXPECT_EQ(zelbeam_geometry_count(g.get(), &err), c.count) << c.what;
    }
  }
}

TEST(GeometryXml, ValuesAreReadInChannelOrderAndOnlyWithinTheLength) {
  // The text after `length` would be a third microphone and is not read.
  const std::string text = "<a>" + pos("\t0.152\t", " -0.5", "2e-3") + pos("1") + "</a>" + pos("7");
  zelbeam_error err = -1;
  Geometry g(zelbeam_geometry_parse(text.data(), text.size() - pos("7").size(), &err),
             &zelbeam_geometry_free);
  ASSERT_EQ(err, ZELBEAM_OK);
  EXPECT_EQ(zelbeam_geometry_count(g.get(), &err), 2);
  double xyz[3];
  zelbeam_geometry_position(g.get(), 0, xyz, &err);
  EXPECT_EQ(xyz[0], 0.152);
  EXPECT_EQ(xyz[1], -0.5);
  EXPECT_EQ(xyz[2], 0.002);
  zelbeam_geometry_position(g.get(), 2, xyz, &err);
  EXPECT_EQ(err, ZELBEAM_ECHANNEL);
}

TEST(GeometryFile, MissingFileAndReferenceFile) {
  zelbeam_error err = -1;
  EXPECT_EQ(zelbeam_geometry_read("/nonexistent/array.xml", &err), nullptr);
  EXPECT_EQ(err, ZELBEAM_EFILE);
  Geometry g(zelbeam_geometry_read(ZELBEAM_TEST_DATA "/array_64.xml", &err),
             &zelbeam_geometry_free);
  ASSERT_EQ(err, ZELBEAM_OK);
  EXPECT_EQ(zelbeam_geometry_count(g.get(), &err), 64);
  double xyz[3];
  zelbeam_geometry_position(g.get(), 63, xyz, &err);
  EXPECT_EQ(err, ZELBEAM_OK);
  EXPECT_EQ(xyz[2], 0.0);
}

TEST(GeometryArrays, CoordinatesAreChecked) {
  struct {
    const char *what;
    std::vector<double> x, y, z;
    int code;
  } cases[] = {
      {"fine", {0, 1, 2}, {0, 0, 0}, {0, 0, 1}, ZELBEAM_OK},
      {"nan", {0, nan, 2}, {0, 0, 0}, {0, 0, 0}, ZELBEAM_EPOSITION},
      {"inf", {0, 1, 2}, {0, 0, inf}, {0, 0, 0}, ZELBEAM_EPOSITION},
      {"duplicate", {0, 1, 0}, {0, 0, 0}, {0, 0, 0}, ZELBEAM_EDUPLICATE},
      {"one", {0}, {0}, {0}, ZELBEAM_EMICS},
  };
  for (const auto &c : cases) {
    zelbeam_error err = -1;
    Geometry g(zelbeam_geometry_from_arrays(c.x.data(), c.y.data(), c.z.data(),
                                            static_cast<int>(c.x.size()), &err),
               &zelbeam_geometry_free);
    EXPECT_EQ(err, c.code) << c.what;
    EXPECT_EQ(g != nullptr, c.code == ZELBEAM_OK) << c.what;
  }
  zelbeam_error err = -1;
  EXPECT_EQ(zelbeam_geometry_from_arrays(nullptr, nullptr, nullptr, 2, &err), nullptr);
  EXPECT_EQ(err, ZELBEAM_ENULL);
}

TEST(GeometryLeaveOut, ChannelsLeaveAndReturn) {
  const double x[] = {0, 1, 2, 3}, y[] = {0, 0, 0, 0}, z[] = {0, 0, 0, 0};
  zelbeam_error err = -1;
  Geometry g(zelbeam_geometry_from_arrays(x, y, z, 4, &err), &zelbeam_geometry_free);
  const int two[] = {1, 3}, three[] = {0, 1, 2}, bad[] = {4}, negative[] = {-1};
  zelbeam_geometry_leave_out(g.get(), two, 2, &err);
  EXPECT_EQ(err, ZELBEAM_OK);
  EXPECT_EQ(zelbeam_geometry_active(g.get(), &err), 2);
  EXPECT_EQ(zelbeam_geometry_count(g.get(), &err), 4);
  EXPECT_EQ(zelbeam_geometry_is_left_out(g.get(), 3, &err), 1);
  EXPECT_EQ(zelbeam_geometry_is_left_out(g.get(), 2, &err), 0);
  // Refused lists leave the geometry as it was.
  for (const auto &[list, code] :
       {std::pair{three, ZELBEAM_EMICS}, {bad, ZELBEAM_ECHANNEL}, {negative, ZELBEAM_ECHANNEL}}) {
    zelbeam_geometry_leave_out(g.get(), list, list == three ? 3 : 1, &err);
    EXPECT_EQ(err, code);
    EXPECT_EQ(zelbeam_geometry_active(g.get(), &err), 2);
  }
  zelbeam_geometry_is_left_out(g.get(), 4, &err);
  EXPECT_EQ(err, ZELBEAM_ECHANNEL);
  zelbeam_geometry_leave_out(g.get(), nullptr, 0, &err);
  EXPECT_EQ(err, ZELBEAM_OK);
  EXPECT_EQ(zelbeam_geometry_active(g.get(), &err), 4);
}

// A small planar array and a signal of white noise: enough for the engine's checks.
struct Rig {
  Geometry geometry{nullptr, &zelbeam_geometry_free};
  zelbeam_grid_t grid{-0.1, 0.1, -0.1, 0.1, 0.5, 0.05};
  zelbeam_settings_t settings{};
  std::vector<float> signal;
  static constexpr int mics = 8;

  explicit Rig(size_t frames = 4096) {
    double x[mics], y[mics], z[mics];
    for (int m = 0; m < mics; ++m) {
      x[m] = 0.1 * std::cos(m * 0.785);
      y[m] = 0.1 * std::sin(m * 0.785);
      z[m] = 0;
    }
    geometry.reset(zelbeam_geometry_from_arrays(x, y, z, mics, nullptr));
    zelbeam_settings_default(&settings);
    signal.resize(frames * mics);
    uint32_t state = 1;
    for (float &v : signal) {
      state = state * 1664525u + 1013904223u;
      v = static_cast<float>(state >> 8) / 16777216.0f - 0.5f;
    }
  }
  Beam create(zelbeam_error *err) const {
    return Beam(zelbeam_create(geometry.get(), &grid, &settings, err), &zelbeam_delete);
  }
};

TEST(Create, SettingsAndGridsAreChecked) {
  struct {
    const char *what;
    void (*change)(Rig &);
    int code;
  } cases[] = {
      {"defaults", [](Rig &) {}, ZELBEAM_OK},
      {"one point", [](Rig &r) { r.grid.x_max = r.grid.x_min, r.grid.y_max = r.grid.y_min; },
       ZELBEAM_OK},
      {"block 100", [](Rig &r) { r.settings.block = 100; }, ZELBEAM_EBLOCK},
      {"block 64", [](Rig &r) { r.settings.block = 64; }, ZELBEAM_EBLOCK},
      {"block 16384", [](Rig &r) { r.settings.block = 16384; }, ZELBEAM_EBLOCK},
      {"overlap 25", [](Rig &r) { r.settings.overlap = 25; }, ZELBEAM_EOVERLAP},
      {"steer 4", [](Rig &r) { r.settings.steer = 4; }, ZELBEAM_ESTEER},
      {"steer -1", [](Rig &r) { r.settings.steer = -1; }, ZELBEAM_ESTEER},
      {"rate 0", [](Rig &r) { r.settings.rate = 0; }, ZELBEAM_ERATE},
      {"rate nan", [](Rig &r) { r.settings.rate = nan; }, ZELBEAM_ERATE},
      {"sound -343", [](Rig &r) { r.settings.speed_of_sound = -343; }, ZELBEAM_ESOUND},
      {"window below a block", [](Rig &r) { r.settings.window = 0.01; }, ZELBEAM_EWINDOW},
      {"window over max", [](Rig &r) { r.settings.window = 3; }, ZELBEAM_EWINDOW},
      {"max window 61 s", [](Rig &r) { r.settings.max_window = 61; }, ZELBEAM_EWINDOW},
      {"increment 0", [](Rig &r) { r.grid.increment = 0; }, ZELBEAM_EINCREMENT},
      {"increment -0.01", [](Rig &r) { r.grid.increment = -0.01; }, ZELBEAM_EINCREMENT},
      {"increment nan", [](Rig &r) { r.grid.increment = nan; }, ZELBEAM_EINCREMENT},
      {"reversed x", [](Rig &r) { std::swap(r.grid.x_min, r.grid.x_max); }, ZELBEAM_EGRID},
      {"z inf", [](Rig &r) { r.grid.z = inf; }, ZELBEAM_EGRID},
      {"y nan", [](Rig &r) { r.grid.y_min = nan; }, ZELBEAM_EGRID},
      {"1002001 points", [](Rig &r) { r.grid = {0, 1, 0, 1, 1, 0.000999}; }, ZELBEAM_EGRID},
      {"an axis of 1e12 points", [](Rig &r) { r.grid = {0, 1, 0, 0, 1, 1e-12}; }, ZELBEAM_EGRID},
      {"point on a microphone", [](Rig &r) { r.grid = {0.1, 0.1, 0, 0, 0, 0.01}; }, ZELBEAM_EGRID},
      {"point at the reference, true level", [](Rig &r) { r.grid = {0, 0, 0, 0, 0, 0.01}; },
       ZELBEAM_EGRID},
      {"point at the reference, classic",
       [](Rig &r) {
         r.grid = {0, 0, 0, 0, 0, 0.01};
         r.settings.steer = ZELBEAM_STEER_CLASSIC;
       },
       ZELBEAM_OK},
  };
  for (const auto &c : cases) {
    Rig rig;
    c.change(rig);
    zelbeam_error err = -1;
    Beam beam = rig.create(&err);
    EXPECT_EQ(err, c.code) << c.what << ": " << zelbeam_err_name(err);
    EXPECT_EQ(beam != nullptr, c.code == ZELBEAM_OK) << c.what;
  }
}

TEST(Grid, ShapeFollowsAcoularsCount) {
  struct {
    zelbeam_grid_t grid;
    int nx, ny;
  } cases[] = {
      {{-0.2, 0.2, -0.2, 0.2, -0.3, 0.01}, 41, 41},
      {{0, 1, 0, 0.5, 1, 0.3}, 4, 3},      // round(4.33) and round(2.67)
      {{0, 0.75, 0, 1.25, 1, 0.5}, 2, 4},  // round(2.5) is 2, round(3.5) is 4: half to even
      {{1, 1, 2, 2, 1, 0.1}, 1, 1},
  };
  for (const auto &c : cases) {
    int nx = 0, ny = 0;
    zelbeam_error err = -1;
    EXPECT_EQ(zelbeam_grid_shape(&c.grid, &nx, &ny, &err), c.nx * c.ny);
    EXPECT_EQ(err, ZELBEAM_OK);
    EXPECT_EQ(nx, c.nx);
    EXPECT_EQ(ny, c.ny);
  }
}

TEST(Maps, SignalsAndBandsAreChecked) {
  Rig rig;
  zelbeam_error err = -1;
  Beam beam = rig.create(&err);
  ASSERT_EQ(err, ZELBEAM_OK);
  std::vector<double> map(zelbeam_map_size(beam.get(), nullptr, nullptr, &err), 1.0);
  struct {
    const char *what;
    size_t frames;
    int channels;
    double freq;
    int band;
    int code;
  } cases[] = {
      {"fine", 4096, Rig::mics, 4000, ZELBEAM_BAND_THIRD, ZELBEAM_OK},
      {"top bin", 4096, Rig::mics, 22049, ZELBEAM_BAND_BIN, ZELBEAM_OK},
      {"too few channels", 4096, Rig::mics - 1, 4000, ZELBEAM_BAND_THIRD, ZELBEAM_ECHANNELS},
      {"shorter than a block", 1023, Rig::mics, 4000, ZELBEAM_BAND_THIRD, ZELBEAM_ESHORT},
      {"0 Hz", 4096, Rig::mics, 0, ZELBEAM_BAND_THIRD, ZELBEAM_EFREQ},
      {"negative", 4096, Rig::mics, -1000, ZELBEAM_BAND_THIRD, ZELBEAM_EFREQ},
      {"Nyquist", 4096, Rig::mics, 22050, ZELBEAM_BAND_BIN, ZELBEAM_EFREQ},
      {"nan", 4096, Rig::mics, nan, ZELBEAM_BAND_BIN, ZELBEAM_EFREQ},
      {"band 2", 4096, Rig::mics, 4000, 2, ZELBEAM_EBAND},
      {"third octave between two bins", 4096, Rig::mics, 30, ZELBEAM_BAND_THIRD, ZELBEAM_EBAND},
  };
  for (const auto &c : cases) {
    zelbeam_map_signal(beam.get(), rig.signal.data(), c.frames, c.channels, c.freq, c.band,
                       map.data(), nullptr, &err);
    EXPECT_EQ(err, c.code) << c.what << ": " << zelbeam_err_name(err);
  }
  for (double v : map) EXPECT_TRUE(std::isfinite(v));
  zelbeam_live_map(beam.get(), 4000, ZELBEAM_BAND_THIRD, map.data(), nullptr, &err);
  EXPECT_EQ(err, ZELBEAM_ENODATA);
  zelbeam_push(beam.get(), rig.signal.data(), 4096, Rig::mics + 1, &err);
  EXPECT_EQ(err, ZELBEAM_ECHANNELS);
  EXPECT_EQ(zelbeam_live_blocks(beam.get(), &err), 0);
  for (double seconds : {0.0, 1023 / 44100.0, 2.5, nan}) {
    zelbeam_set_window(beam.get(), seconds, &err);
    EXPECT_EQ(err, ZELBEAM_EWINDOW) << seconds;
  }
  zelbeam_map_signal(nullptr, rig.signal.data(), 4096, Rig::mics, 4000, 3, map.data(), nullptr,
                     &err);
  EXPECT_EQ(err, ZELBEAM_ENULL);
  zelbeam_map_signal(beam.get(), rig.signal.data(), 4096, Rig::mics, 4000, 3, nullptr, nullptr,
                     &err);
  EXPECT_EQ(err, ZELBEAM_ENULL);
}

// Left-out channels are read and ignored: the map equals one from a geometry and data without
// them, even when they carry NaN.
TEST(Maps, LeftOutChannelsAreIgnored) {
  Rig rig;
  zelbeam_error err = -1;
  const int out[] = {2, 5};
  zelbeam_geometry_leave_out(rig.geometry.get(), out, 2, &err);
  ASSERT_EQ(err, ZELBEAM_OK);
  std::vector<double> x, y, z;
  std::vector<float> kept;
  const size_t frames = rig.signal.size() / Rig::mics;
  for (int m = 0; m < Rig::mics; ++m) {
    if (m == 2 || m == 5) continue;
    double xyz[3];
    zelbeam_geometry_position(rig.geometry.get(), m, xyz, &err);
    x.push_back(xyz[0]), y.push_back(xyz[1]), z.push_back(xyz[2]);
  }
  for (size_t f = 0; f < frames; ++f) {
    for (int m = 0; m < Rig::mics; ++m) {
      if (m == 2 || m == 5) {
        rig.signal[f * Rig::mics + m] = std::numeric_limits<float>::quiet_NaN();
      } else {
        kept.push_back(rig.signal[f * Rig::mics + m]);
      }
    }
  }
  Beam with_left_out = rig.create(&err);
  ASSERT_EQ(err, ZELBEAM_OK);
  Geometry smaller(zelbeam_geometry_from_arrays(x.data(), y.data(), z.data(), 6, &err),
                   &zelbeam_geometry_free);
  Beam without(zelbeam_create(smaller.get(), &rig.grid, &rig.settings, &err), &zelbeam_delete);
  ASSERT_EQ(err, ZELBEAM_OK);
  std::vector<double> a(25), b(25), live(25);
  zelbeam_map_signal(with_left_out.get(), rig.signal.data(), frames, Rig::mics, 2000,
                     ZELBEAM_BAND_OCTAVE, a.data(), nullptr, &err);
  ASSERT_EQ(err, ZELBEAM_OK);
  zelbeam_map_signal(without.get(), kept.data(), frames, 6, 2000, ZELBEAM_BAND_OCTAVE, b.data(),
                     nullptr, &err);
  ASSERT_EQ(err, ZELBEAM_OK);
  zelbeam_push(with_left_out.get(), rig.signal.data(), frames, Rig::mics, &err);
  zelbeam_live_map(with_left_out.get(), 2000, ZELBEAM_BAND_OCTAVE, live.data(), nullptr, &err);
  ASSERT_EQ(err, ZELBEAM_OK);
  for (size_t g = 0; g < a.size(); ++g) {
    EXPECT_TRUE(std::isfinite(a[g]));
    EXPECT_NEAR(a[g], b[g], 1e-9);
    EXPECT_TRUE(std::isfinite(live[g]));
  }
}

// acoular divides by K = V*T/N - V + 1 even when the blocks do not tile the signal: 6000 frames
// of 1024-point blocks at 50 % hold 10 blocks and K = 10.71875. The live window divides by the
// blocks it holds.
TEST(Maps, RaggedSignalIsAveragedWithAcoularsK) {
  Rig rig(6000);
  rig.settings.window = 1.0;
  zelbeam_error err = -1;
  Beam beam = rig.create(&err);
  std::vector<double> whole(25), live(25);
  zelbeam_map_signal(beam.get(), rig.signal.data(), 6000, Rig::mics, 4000, ZELBEAM_BAND_THIRD,
                     whole.data(), nullptr, &err);
  ASSERT_EQ(err, ZELBEAM_OK);
  zelbeam_push(beam.get(), rig.signal.data(), 6000, Rig::mics, &err);
  EXPECT_EQ(zelbeam_live_blocks(beam.get(), &err), 10);
  zelbeam_live_map(beam.get(), 4000, ZELBEAM_BAND_THIRD, live.data(), nullptr, &err);
  ASSERT_EQ(err, ZELBEAM_OK);
  const double shift = 10 * std::log10(10 / 10.71875);
  for (size_t g = 0; g < whole.size(); ++g) {
    if (whole[g] > -300) {
      EXPECT_NEAR(whole[g], live[g] + shift, 1e-4) << g;
    }
  }
}

TEST(Status, EveryCodeHasANameAndAText) {
  for (int code = 0; code < ZELBEAM_ERRNO_COUNT; ++code) {
    EXPECT_STRNE(zelbeam_err_name(code), "unknown");
    EXPECT_STRNE(zelbeam_strerror(code), "unknown error");
  }
  EXPECT_STREQ(zelbeam_err_name(ZELBEAM_EGRID), "EGRID");
  EXPECT_STREQ(zelbeam_strerror(ZELBEAM_ERRNO_COUNT), "unknown error");
  EXPECT_STREQ(zelbeam_err_name(-1), "unknown");
}

}  // namespace

namespace {

std::vector<double> live_map(zelbeam_t *beam, double freq, int band) {
  std::vector<double> map(25);
  zelbeam_error err = -1;
  zelbeam_live_map(beam, freq, band, map.data(), nullptr, &err);
  EXPECT_EQ(err, ZELBEAM_OK);
  return map;
}

// A new band or window is computed from the frames held: the map equals that of a beamformer
// that saw the same frames and was asked for that band and window from the start.
TEST(Live, BandAndWindowChangesRebuildFromTheFramesHeld) {
  Rig rig(20000);
  zelbeam_error err = -1;
  Beam beam = rig.create(&err);
  zelbeam_push(beam.get(), rig.signal.data(), 20000, Rig::mics, &err);
  (void)live_map(beam.get(), 4000, ZELBEAM_BAND_THIRD);
  const std::vector<double> changed_band = live_map(beam.get(), 2000, ZELBEAM_BAND_OCTAVE);
  zelbeam_set_window(beam.get(), 0.1, &err);
  ASSERT_EQ(err, ZELBEAM_OK);
  const std::vector<double> changed_window = live_map(beam.get(), 2000, ZELBEAM_BAND_OCTAVE);

  Beam fresh = rig.create(&err);
  zelbeam_push(fresh.get(), rig.signal.data(), 20000, Rig::mics, &err);
  const std::vector<double> band = live_map(fresh.get(), 2000, ZELBEAM_BAND_OCTAVE);
  rig.settings.window = 0.1;
  Beam short_window = rig.create(&err);
  zelbeam_push(short_window.get(), rig.signal.data(), 20000, Rig::mics, &err);
  EXPECT_EQ(zelbeam_live_blocks(short_window.get(), &err), 7);
  const std::vector<double> window = live_map(short_window.get(), 2000, ZELBEAM_BAND_OCTAVE);
  for (size_t g = 0; g < band.size(); ++g) {
    EXPECT_NEAR(changed_band[g], band[g], 1e-6);
    EXPECT_NEAR(changed_window[g], window[g], 1e-6);
  }
  zelbeam_reset(beam.get(), &err);
  EXPECT_EQ(zelbeam_live_blocks(beam.get(), &err), 0);
  std::vector<double> map(25);
  zelbeam_live_map(beam.get(), 2000, ZELBEAM_BAND_OCTAVE, map.data(), nullptr, &err);
  EXPECT_EQ(err, ZELBEAM_ENODATA);
}

}  // namespace
