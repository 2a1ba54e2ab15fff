// The camera's web interface in memory: settings requests, the map frame, the status document's
// loss split, the default grid and the routes' answers and refusals.
#include <gtest/gtest.h>

#include <cstring>
#include <nlohmann/json.hpp>

#include "api.h"
#include "npy.h"
#include "options.h"
#include "routes.h"

namespace zelcamera {
namespace {

using nlohmann::json;

TEST(MergeSettings, AcceptsValidChangesAndRefusesTheRestUnchanged) {
  const SettingsLimits limits{44100, 1024 / 44100.0, 2};
  struct Case {
    const char *body;
    bool accepted;
    const char *reason_part;
  } cases[] = {
      {R"({"freq": 2000, "band": "octave"})", true, ""},
      {R"({"window": 0.5, "range_db": 30})", true, ""},
      {R"({})", true, ""},
      {R"({"band": "fifth"})", false, "band"},
      {R"({"band": 3})", false, "band"},
      {R"({"freq": 0})", false, "freq"},
      {R"({"freq": 22050})", false, "freq"},
      {R"({"freq": "4000"})", false, "number"},
      {R"({"window": 0.01})", false, "window"},
      {R"({"window": 3})", false, "window"},
      {R"({"range_db": 0})", false, "range_db"},
      {R"({"freq": 1000, "colour": "red"})", false, "unknown setting 'colour'"},
      {R"([1, 2])", false, "object"},
      {R"({"freq": 1000)", false, "not JSON"},
      {"", false, "not JSON"},
      {R"({"freq": 1e999})", false, ""},  // out of double range: refused either way
  };
  for (const Case &c : cases) {
    LiveSettings s;
    const std::string why = merge_settings(c.body, limits, &s);
    EXPECT_EQ(why.empty(), c.accepted) << c.body << ": " << why;
    EXPECT_NE(why.find(c.reason_part), std::string::npos) << c.body << ": " << why;
    if (!c.accepted) {
      EXPECT_EQ(s.freq, 4000) << c.body;  // a refused request changes nothing, even in part
      EXPECT_EQ(s.band, ZELBEAM_BAND_THIRD) << c.body;
    }
  }
  LiveSettings s;
  ASSERT_EQ(merge_settings(R"({"freq": 2000, "band": "octave"})", limits, &s), "");
  EXPECT_EQ(json::parse(settings_json(s)),
            json::parse(R"({"freq":2000,"band":"octave","window":0.25,"range_db":15})"));
}

TEST(EncodeFrame, HeaderCarriesShapeBandPeakAndMapInXSlowestOrder) {
  FrameInfo f;
  f.nx = 2;
  f.ny = 3;
  f.band = 3;
  f.freq = 4000;
  f.time = 1.5;
  f.peak = Peak{0.1, -0.05, -0.3, 53.6};
  f.x_min = -0.2;
  f.y_min = -0.1;
  f.increment = 0.01;
  f.sequence = 7;
  f.skips = 2;
  const std::vector<double> map = {1, 2, 3, 4, 5, -350};
  const std::string bytes = encode_frame(f, map);
  ASSERT_EQ(bytes.size(), kFrameHeaderBytes + 6 * 4);
  EXPECT_EQ(bytes.substr(0, 4), "ZMAP");
  auto u32 = [&](size_t at) {
    uint32_t v;
    std::memcpy(&v, bytes.data() + at, 4);
    return v;
  };
  auto f64 = [&](size_t at) {
    double v;
    std::memcpy(&v, bytes.data() + at, 8);
    return v;
  };
  EXPECT_EQ(u32(4), 2u);
  EXPECT_EQ(u32(8), 3u);
  EXPECT_EQ(u32(12), 3u);
  EXPECT_EQ(f64(16), 4000);
  EXPECT_EQ(f64(32), 0.1);
  EXPECT_EQ(f64(56), 53.6);
  EXPECT_EQ(f64(80), 0.01);
  EXPECT_EQ(u32(88), 7u);
  EXPECT_EQ(u32(92), 2u);
  float last;
  std::memcpy(&last, bytes.data() + kFrameHeaderBytes + 5 * 4, 4);
  EXPECT_EQ(last, -350.0f);
}

TEST(StatusJson, LossesAreSplitBetweenThisHostAndTheNetwork) {
  struct Case {
    int lost, kernel_drops, host, network;
  } cases[] = {{0, 0, 0, 0}, {25, 5, 25, 0}, {40, 5, 25, 15}, {10, 0, 0, 10}, {10, 7, 10, 0}};
  for (const Case &c : cases) {
    Status s;
    s.losses.lost_frames = c.lost;
    s.losses.kernel_drops = c.kernel_drops;
    const json doc = json::parse(status_json(s));
    EXPECT_EQ(doc["loss"]["host_dropped_frames"], c.host) << c.lost << " " << c.kernel_drops;
    EXPECT_EQ(doc["loss"]["network_missing_frames"], c.network) << c.lost << " " << c.kernel_drops;
    EXPECT_EQ(doc["loss"]["host_warning"] != "", c.host > 0) << c.lost << " " << c.kernel_drops;
  }
  Status s;
  s.rms_dbfs = {-INFINITY};
  s.peak_dbfs = {-20};
  s.clipped = {false};
  const json doc = json::parse(status_json(s));  // infinities would make it unparsable
  EXPECT_TRUE(doc["levels"][0]["rms_dbfs"].is_null());
  EXPECT_TRUE(doc["peak"].is_null());
}

TEST(DefaultGrid, CoversTheApertureWithMarginAtOneMetreIn41Points) {
  const std::vector<double> x = {-0.5, 0.5, 0.0}, y = {-0.25, 0.25, 0.0}, z = {0, 0, 0};
  const zelbeam_grid_t g = default_grid(x, y, z);
  EXPECT_LT(g.x_min, -0.5);
  EXPECT_GT(g.x_max, 0.5);
  EXPECT_LT(g.y_min, -0.5);  // square: the wider side sets both
  EXPECT_DOUBLE_EQ(g.z, 1.0);
  EXPECT_NEAR((g.x_max - g.x_min) / g.increment, 40, 1e-9);
}

TEST(ParseGrid, SixFiniteNumbersOnly) {
  zelbeam_grid_t g{};
  EXPECT_TRUE(parse_grid("-0.2,0.2,-0.2,0.2,-0.3,0.01", &g));
  EXPECT_EQ(g.z, -0.3);
  for (const char *bad : {"", "1,2,3,4,5", "1,2,3,4,5,6,7", "1,2,3,4,5,", "1,2,3,4,5,x",
                          "1,2,3,4,5,nan", "1,,3,4,5,6"}) {
    EXPECT_FALSE(parse_grid(bad, &g)) << bad;
  }
}

class FakeBackend : public Backend {
 public:
  Status current_status() override { return Status{}; }
  bool latest_map(std::vector<double> *map, int *nx, int *ny) override {
    if (!have_map) return false;
    *map = {1, 2, 3, 4, 5, 6};
    *nx = 2;
    *ny = 3;
    return true;
  }
  std::string change_settings(const std::string &body, LiveSettings *now) override {
    last_body = body;
    return body == "refuse" ? "refused" : (*now = LiveSettings{}, "");
  }
  std::string geometry() override { return R"({"microphones":[]})"; }
  bool have_map = false;
  std::string last_body;
};

TEST(Route, AnswersKnownPathsAndRefusesTheRest) {
  FakeBackend b;
  struct Case {
    const char *method, *uri, *body;
    int status;
  } cases[] = {
      {"GET", "/", "", 200},
      {"GET", "/camera.js", "", 200},
      {"HEAD", "/api/status", "", 200},
      {"GET", "/api/geometry", "", 200},
      {"GET", "/api/map.npy", "", 503},  // no map yet
      {"POST", "/api/settings", "{}", 200},
      {"POST", "/api/settings", "refuse", 400},
      {"GET", "/api/settings", "", 405},
      {"DELETE", "/api/status", "", 405},
      {"GET", "/api/status/", "", 404},
      {"GET", "/../etc/passwd", "", 404},
      {"GET", "/nothing", "", 404},
  };
  for (const Case &c : cases) {
    const Response r = route(&b, c.method, c.uri, c.body);
    EXPECT_EQ(r.status, c.status) << c.method << " " << c.uri;
    if (r.status >= 400) {
      EXPECT_TRUE(json::parse(r.body).contains("error")) << c.uri;
    }
  }
  EXPECT_NE(std::string(route(&b, "GET", "/", "").body).find("camera.js"), std::string::npos);
}

TEST(Route, MapDownloadIsTheLatestMapAsNpy) {
  FakeBackend b;
  b.have_map = true;
  const Response r = route(&b, "GET", "/api/map.npy", "");
  ASSERT_EQ(r.status, 200);
  EXPECT_EQ(r.body, zelbeam_tools::npy_bytes({1, 2, 3, 4, 5, 6}, 2, 3));
  EXPECT_NE(r.disposition.find("map.npy"), std::string::npos);
}

TEST(NpyBytes, HeaderIsAlignedAndDescribesTheShape) {
  const std::string bytes = zelbeam_tools::npy_bytes({1.5, -2, 3, 4, 5, 6}, 3, 2);
  ASSERT_GE(bytes.size(), 64u + 48u);
  EXPECT_EQ(bytes.substr(0, 8), std::string("\x93NUMPY\x01\x00", 8));
  const size_t header = static_cast<unsigned char>(bytes[8]) | (bytes[9] << 8);
  EXPECT_EQ((10 + header) % 64, 0u);
  EXPECT_NE(bytes.find("'shape': (3, 2)"), std::string::npos);
  EXPECT_EQ(bytes.size(), 10 + header + 48);
  double first;
  std::memcpy(&first, bytes.data() + 10 + header, 8);
  EXPECT_EQ(first, 1.5);
  EXPECT_EQ(zelbeam_tools::npy_bytes({1, 2, 3}, 2, 2), "");  // shape and data disagree
}

}  // namespace
}  // namespace zelcamera
