// zelcamera: where the sound comes from, live, in a web browser.
#include <signal.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "api.h"
#include "array.h"
#include "camera.h"
#include "capture_host.h"
#include "options.h"
#include "routes.h"
#include "server.h"
#include "tool_main.h"

namespace zelcamera {
namespace {

// Sample frames per buffer of the meters' reader: 50 ms at 44100 Hz, so that the meters' 100 ms
// window is exact at both rates, as in zelmonitor.
constexpr int kReqFrames = 2205;
constexpr int kChannels = 64;

using Geometry = std::unique_ptr<zelbeam_geometry_t, void (*)(zelbeam_geometry_t *)>;

struct Positions {
  std::vector<double> x, y, z;
  std::vector<bool> left_out;
};

class CameraBackend : public Backend {
 public:
  CameraBackend(Camera *camera, std::string geometry)
      : camera_(camera), geometry_(std::move(geometry)) {}
  Status current_status() override { return camera_->current_status(); }
  bool latest_map(std::vector<double> *map_db, int *nx, int *ny) override {
    const std::shared_ptr<const MapFrame> frame = camera_->latest();
    if (!frame) return false;
    *map_db = frame->map_db;
    *nx = frame->nx;
    *ny = frame->ny;
    return true;
  }
  std::string change_settings(const std::string &body, LiveSettings *now) override {
    return camera_->change_settings(body, now);
  }
  std::string geometry() override { return geometry_; }

 private:
  Camera *camera_;
  std::string geometry_;
};

void complain(const std::string &text) {
  std::fprintf(stderr, "zelcamera: %s\n", text.c_str());
}

Positions positions_of(const zelbeam_geometry_t *geometry) {
  Positions p;
  const int count = zelbeam_geometry_count(geometry, nullptr);
  for (int c = 0; c < count; ++c) {
    double xyz[3] = {0, 0, 0};
    zelbeam_geometry_position(geometry, c, xyz, nullptr);
    p.x.push_back(xyz[0]);
    p.y.push_back(xyz[1]);
    p.z.push_back(xyz[2]);
    p.left_out.push_back(zelbeam_geometry_is_left_out(geometry, c, nullptr) == 1);
  }
  return p;
}

// The geometry and grid are checked before the array is touched. Returns null after a message.
Geometry read_geometry(const Options &o) {
  zelbeam_error err = ZELBEAM_OK;
  Geometry geometry(zelbeam_geometry_read(o.geometry.c_str(), &err), zelbeam_geometry_free);
  if (!geometry) {
    complain("geometry '" + o.geometry + "': " + zelbeam_strerror(err));
    return geometry;
  }
  const int count = zelbeam_geometry_count(geometry.get(), &err);
  if (count != kChannels) {
    complain("geometry '" + o.geometry + "' holds " + std::to_string(count) +
             " microphones; the array has " + std::to_string(kChannels) + " channels");
    geometry.reset();
  }
  return geometry;
}

zeltool::ArraySetup array_setup(const Options &o) {
  zeltool::ArraySetup setup;
  setup.address = o.address;
  setup.keep_clock = true;
  setup.mean_file = o.mean_file;
  setup.gain_file = o.gain_file;
  setup.req_frames = kReqFrames;
  setup.realtime = !o.no_realtime;
  // As zelmonitor: a live view rides through short silences (filled, counted as lost) instead of
  // ending at the library's 100 ms.
  setup.silence_limit_ms = 3000;
  return setup;
}

bool stop_requested(const sigset_t &stop, int wait_ms) {
  const timespec wait{wait_ms / 1000, (wait_ms % 1000) * 1000000L};
  return sigtimedwait(&stop, nullptr, &wait) > 0;
}

// Makes the beamformer at the array's rate and checks the starting band against its bins.
zelbeam_t *make_beamformer(const Options &o, const zelbeam_geometry_t *geometry,
                           const zelbeam_grid_t &grid, int rate, int *status) {
  zelbeam_settings_t settings;
  zelbeam_settings_default(&settings);
  settings.rate = rate;
  settings.window = o.window;
  settings.max_window = 2;
  zelbeam_error err = ZELBEAM_OK;
  zelbeam_t *beam = zelbeam_create(geometry, &grid, &settings, &err);
  if (beam == nullptr) {
    complain(std::string("cannot make the beamformer: ") + zelbeam_strerror(err));
    *status = err == ZELBEAM_ENOMEM ? 1 : 2;
    return nullptr;
  }
  int first = 0;
  int last = 0;
  zelbeam_band_bins(beam, o.freq, o.band, &first, &last, &err);
  if (err != ZELBEAM_OK) {
    complain("--freq " + std::to_string(o.freq) + " --band " + band_name(o.band) + " at " +
             std::to_string(rate) + " Hz: " + zelbeam_strerror(err));
    zelbeam_delete(beam);
    *status = 2;
    return nullptr;
  }
  return beam;
}

int serve(Camera *camera, Server *server, const Options &o, const zeltool::ArrayInfo &info,
          const zelbeam_grid_t &grid, const sigset_t &stop) {
  if (std::string why = server->start(o.listen, o.port); !why.empty()) {
    complain(why);
    return 1;
  }
  if (std::string why = camera->start(); !why.empty()) {
    complain(why);
    return 1;
  }
  int nx = 0;
  int ny = 0;
  zelbeam_grid_shape(&grid, &nx, &ny, nullptr);
  const bool loopback = o.listen.rfind("127.", 0) == 0;
  std::fprintf(stderr,
               "zelcamera: array %d (PROM %s) at %s, %d Hz; map %d x %d at z=%.3f m; serving "
               "http://%s:%d/ (%s), %s\n",
               info.id, info.prom.c_str(), o.address.c_str(), info.rate, nx, ny, grid.z,
               loopback ? "127.0.0.1" : o.listen.c_str(), o.port,
               loopback ? "this machine only" : "other machines may connect",
               zeltool::priority_text(camera->host()).c_str());
  const std::string warning = zeltool::buffer_warning(camera->host());
  if (!warning.empty()) complain(warning);
  std::fflush(stderr);
  int status = 0;
  while (!stop_requested(stop, 200)) {
    if (std::string why = camera->failure(); !why.empty()) {
      complain(why);
      status = 1;
      break;
    }
  }
  server->stop();
  camera->stop();
  const Status end = camera->current_status();
  std::fprintf(stderr,
               "zelcamera: %llu maps; %s, kernel drops %d, ring overflows %d, engine skips %d\n",
               static_cast<unsigned long long>(end.maps),
               zeltool::loss_counters_text(end.losses.lost_frames, end.losses.kernel_drops).c_str(),
               end.losses.kernel_drops, end.losses.overflows, end.skips);
  const zeltool::LossSplit split =
      zeltool::split_losses(end.losses.lost_frames, end.losses.kernel_drops);
  if (split.host > 0) complain("warning: " + zeltool::host_drops_text(split.host));
  return status;
}

int run(const Options &o, const sigset_t &stop) {
  Geometry geometry = read_geometry(o);
  if (!geometry) return 2;
  const Positions p = positions_of(geometry.get());
  const zelbeam_grid_t grid = o.has_grid ? o.grid : default_grid(p.x, p.y, p.z);
  zeltool::ArrayInfo info;
  zeltool::Handle handle = zeltool::open_array(array_setup(o), &info);
  if (!handle) return 1;
  int status = 0;
  zelbeam_t *beam = make_beamformer(o, geometry.get(), grid, info.rate, &status);
  if (beam == nullptr) return status;
  CameraSetup setup;
  setup.info = info;
  setup.address = o.address;
  setup.grid = grid;
  setup.settings = LiveSettings{o.freq, o.band, o.window, 15};
  setup.limits = SettingsLimits{static_cast<double>(info.rate), 1024.0 / info.rate, 2};
  setup.req_frames = kReqFrames;
  Camera camera(handle.get(), beam, setup);
  CameraBackend backend(&camera, geometry_json(p.x, p.y, p.z, p.left_out));
  Server server(&camera, &backend);
  return serve(&camera, &server, o, info, grid, stop);
}

}  // namespace
}  // namespace zelcamera

int main(int argc, char **argv) {
  zeltool::set_program_name("zelcamera");
  const std::vector<std::string> args(argv + 1, argv + argc);
  zelcamera::Options options;
  const std::string why = zelcamera::parse(args, &options);
  const int status = zeltool::settle_command_line("zelcamera", why, options.help, zelcamera::usage);
  if (status >= 0) return status;
  // Blocked before any thread exists, so that only the main thread's wait takes them.
  const sigset_t stop = zeltool::block_stop_signals({SIGPIPE});
  return zelcamera::run(options, stop);
}
