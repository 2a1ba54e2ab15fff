// What the camera's web interface says and accepts, as pure functions: the settings a client may
// change, the status document, the binary map frame and the grid fitted to an array.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "capture_host.h"
#include "zelbeam.h"

namespace zelcamera {

// What the running engine may be told to change.
struct LiveSettings {
  double freq = 4000;
  int band = ZELBEAM_BAND_THIRD;
  double window = 0.25;  // seconds each map covers
  double range_db = 15;  // dynamic range the page shows below the peak
};

// The bounds a request is checked against before the engine sees it.
struct SettingsLimits {
  double rate = 44100;
  double min_window = 1024 / 44100.0;  // one block
  double max_window = 2;
};

// Merges a JSON object of any of "freq" (Hz), "band" ("third", "octave", "bin"), "window" (s)
// and "range_db" into *settings. Returns "" or why the body is refused; *settings is untouched
// then. Unknown keys are refused too, so that a misspelt setting is not silently ignored.
std::string merge_settings(const std::string &body, const SettingsLimits &limits,
                           LiveSettings *settings);

std::string settings_json(const LiveSettings &settings);

// {"error": reason}
std::string error_json(const std::string &reason);

// The capture's losses; the status splits lost_frames into this host's and the network's share
// as every tool does (zeltool::split_losses).
struct Losses {
  int lost_frames = 0;
  int kernel_drops = 0;  // datagrams
  int overflows = 0;     // buffers the meters' reader lost to the ring
  int outages = 0;
  int discontinuities = 0;
};

struct Peak {
  double x = 0, y = 0, z = 0, level_db = -350;
};

// Everything GET /api/status reports.
struct Status {
  int array_id = 0;
  std::string prom;
  std::string address;
  int rate = 0;
  LiveSettings settings;
  zelbeam_grid_t grid{};
  int nx = 0, ny = 0;
  bool have_map = false;
  Peak peak;
  double map_time = 0;          // stream seconds at the end of the latest map
  uint64_t maps = 0;            // maps made since the start
  double maps_per_second = 0;   // made by the engine over the last second
  uint64_t skipped_frames = 0;  // the engine passed over to catch up with the capture
  int skips = 0;                // times it did
  int clients = 0;              // pages receiving the stream
  bool data_flowing = true;
  Losses losses;
  zeltool::CaptureHost host;      // real-time or not, what the socket buffer holds
  std::vector<double> rms_dbfs;   // per channel; -inf for a channel that does not move
  std::vector<double> peak_dbfs;  // over the last 2 s
  std::vector<bool> clipped;
};

std::string status_json(const Status &status);

// One map as the page receives it: a 96-byte little-endian header, then nx*ny float32 dB
// values, x slowest. Header: "ZMAP", uint32 nx, ny, band; float64 freq, time, peak x, y, z,
// level, x_min, y_min, increment; uint32 sequence, uint32 skips.
inline constexpr size_t kFrameHeaderBytes = 96;
struct FrameInfo {
  int nx = 0, ny = 0, band = 0;
  double freq = 0, time = 0;
  Peak peak;
  double x_min = 0, y_min = 0, increment = 0;
  uint32_t sequence = 0, skips = 0;
};
std::string encode_frame(const FrameInfo &f, const std::vector<double> &map_db);

// The microphones' positions as a JSON document for the page.
std::string geometry_json(const std::vector<double> &x, const std::vector<double> &y,
                          const std::vector<double> &z, const std::vector<bool> &left_out);

// A grid 1 m in front of the array (beyond its mean z), covering its aperture plus a fifth on
// each side, with about 41 points along the wider side. Needs at least one position.
zelbeam_grid_t default_grid(const std::vector<double> &x, const std::vector<double> &y,
                            const std::vector<double> &z);

}  // namespace zelcamera
