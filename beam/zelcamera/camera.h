// The live camera: the library's capture thread fills the ring; the meter thread reads it through
// the default cursor into the channel meters; the engine thread reads it through a cursor of its
// own into the beamformer and publishes the latest map. Nothing here waits on a web client: the
// server takes the latest map when it is ready to send one.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api.h"
#include "array.h"
#include "levels.h"
#include "zelbeam.h"
#include "zellib.h"

namespace zelcamera {

// One published map; shared, immutable, as long as a sender still holds it.
struct MapFrame {
  uint64_t sequence = 0;
  std::string frame;  // encode_frame's bytes, sent to every page as they are
  std::vector<double> map_db;
  int nx = 0, ny = 0;
  Peak peak;
  double time = 0;
};

struct CameraSetup {
  zeltool::ArrayInfo info;
  std::string address;
  zelbeam_grid_t grid{};
  LiveSettings settings;
  SettingsLimits limits;
  int req_frames = 2205;  // frames per buffer of the handle's default cursor
};

class Camera {
 public:
  // Takes `beam`; `handle` is in st_params_ready with setup.req_frames per default buffer.
  Camera(zelarray_t *handle, zelbeam_t *beam, CameraSetup setup);
  ~Camera();
  Camera(const Camera &) = delete;
  Camera &operator=(const Camera &) = delete;

  // Starts the capture and the two readers. "" or why it could not.
  std::string start();
  // Stops the readers and the capture; wakes every waiter. Idempotent.
  void stop();
  // How the capture runs on this host; set by start().
  const zeltool::CaptureHost &host() const { return host_; }
  // Non-empty once the capture ended on its own.
  std::string failure();

  // The latest map (null before the first), and a wait for one newer than `sequence`, which
  // returns early (null) when `cancelled` becomes true or the camera stops.
  std::shared_ptr<const MapFrame> latest();
  std::shared_ptr<const MapFrame> wait_newer(uint64_t sequence, const std::atomic<bool> &cancelled);
  // Wakes every wait_newer so that it looks at its `cancelled` flag.
  void wake_waiters();

  // Asks the engine to take new settings; the engine checks the band against its FFT bins.
  // Returns "" and *now the settings in force, or why they were refused.
  std::string change_settings(const std::string &body, LiveSettings *now);

  Status current_status();
  void set_clients(int clients) { clients_.store(clients); }

 private:
  void meter_loop();
  void engine_loop(zelcursor_t *cursor);
  uint64_t catch_up(zelcursor_t *cursor, const int32_t ts[2]);
  void serve_settings_request();
  void make_map();
  void publish(std::vector<double> map_db, const zelbeam_peak_t &peak);

  zelarray_t *handle_;
  std::unique_ptr<zelbeam_t, void (*)(zelbeam_t *)> beam_;
  CameraSetup setup_;
  int nx_ = 0, ny_ = 0;
  int cursor_frames_ = 441;
  int map_frames_ = 1764;  // frames between maps: 25 a second

  std::atomic<bool> stop_{false};
  std::atomic<bool> capturing_{false};
  std::atomic<int> clients_{0};
  std::atomic<int> overflows_{0};
  std::atomic<bool> ended_{false};
  std::thread meter_thread_;
  std::thread engine_thread_;
  zelcursor_t *cursor_ = nullptr;
  zeltool::CaptureHost host_;  // written by start() before the readers exist

  std::mutex meter_lock_;  // guards the meter and the time of the last buffer
  zeltool::LevelMeter meter_;
  double last_buffer_ = 0;

  // Engine state, touched by the engine thread only.
  std::vector<float> samples_;
  std::vector<double> scratch_map_;
  uint64_t frames_pushed_ = 0;  // frames since the start, skipped ones included
  int frames_since_map_ = 0;
  std::atomic<uint32_t> skips_{0};
  std::atomic<uint64_t> skipped_frames_{0};

  // Settings: requests wait here for the engine's verdict.
  std::mutex settings_lock_;
  std::condition_variable settings_cv_;
  LiveSettings settings_;         // in force
  bool request_pending_ = false;  // request_ holds settings to check
  LiveSettings request_;
  std::string verdict_;
  uint64_t requests_served_ = 0;

  std::mutex map_lock_;  // guards what follows
  std::condition_variable map_cv_;
  std::shared_ptr<const MapFrame> latest_;
  std::vector<double> map_times_;  // when the recent maps were made, steady seconds
  uint64_t maps_ = 0;
};

}  // namespace zelcamera
