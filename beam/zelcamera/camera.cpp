#include "camera.h"

#include <algorithm>
#include <chrono>
#include <ctime>

#include "clock.h"
#include "frame.h"

namespace zelcamera {
namespace {

using zeltool::now_seconds;

constexpr int kMapsPerSecond = 25;
constexpr double kMaxLagSeconds = 0.2;  // further behind the capture, the engine skips ahead
constexpr double kSilenceShown = 0.3;   // seconds without a buffer before the status says so
constexpr auto kSettingsWait = std::chrono::seconds(2);

// How long ago this host's kernel received the buffer stamped `ts`. Both sides are the wall
// clock, so a clock step misjudges only the buffers received before it.
double age_seconds(const int32_t ts[2]) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<double>(now.tv_sec - ts[0]) + (now.tv_nsec - ts[1]) * 1e-9;
}

}  // namespace

Camera::Camera(zelarray_t *handle, zelbeam_t *beam, CameraSetup setup)
    : handle_(handle),
      beam_(beam, zelbeam_delete),
      setup_(std::move(setup)),
      meter_(setup_.info.rate, setup_.req_frames),
      settings_(setup_.settings) {
  zelbeam_map_size(beam, &nx_, &ny_, nullptr);
  // The engine's cursor reads 10 ms at 44100 Hz (a divisor of the default buffer); a map is made
  // every few reads, as close to kMapsPerSecond as whole reads allow.
  cursor_frames_ = setup_.req_frames % 441 == 0 ? 441 : setup_.req_frames;
  const int reads = std::max(
      1, static_cast<int>(std::lround(setup_.info.rate / double(kMapsPerSecond) / cursor_frames_)));
  map_frames_ = reads * cursor_frames_;
  samples_.resize(static_cast<size_t>(cursor_frames_) * zeltool::kChannels);
  scratch_map_.resize(static_cast<size_t>(nx_) * ny_);
}

Camera::~Camera() {
  stop();
}

std::string Camera::start() {
  zelerror err = 0;
  cursor_ = zelcursor_create(handle_, cursor_frames_, &err);
  if (err != 0) return std::string("cannot make the engine's reader: ") + zelarray_strerror(err);
  zelarray_capture_on(handle_, &err);
  if (err != 0) return std::string("cannot start the capture: ") + zelarray_strerror(err);
  capturing_.store(true);
  host_ = zeltool::capture_host(handle_);
  last_buffer_ = now_seconds();
  meter_thread_ = std::thread(&Camera::meter_loop, this);
  engine_thread_ = std::thread(&Camera::engine_loop, this, cursor_);
  return "";
}

void Camera::stop() {
  if (stop_.exchange(true)) return;
  zelerror err = 0;
  if (capturing_.load()) zelarray_capture_off(handle_, &err);  // wakes both readers
  if (meter_thread_.joinable()) meter_thread_.join();
  if (engine_thread_.joinable()) engine_thread_.join();
  if (cursor_ != nullptr) zelcursor_delete(handle_, cursor_, &err);
  cursor_ = nullptr;
  settings_cv_.notify_all();
  wake_waiters();
}

std::string Camera::failure() {
  zelerror health = 0;
  // While the capture waits out a silence it reports 11; only 1 is the end.
  const bool ended = zelarray_check_capture_ok(handle_, &health) != zel_true && health == 1;
  if (!ended && !ended_.load()) return "";
  return "the array at " + setup_.address + " stopped streaming";
}

void Camera::meter_loop() {
  std::vector<unsigned char> buffer(static_cast<size_t>(setup_.req_frames) * zeltool::kFrameBytes);
  zelerror err = 0;
  zelcursor_t *cursor = zelarray_get_default_cursor(handle_, &err);
  uint64_t skipped = zelcursor_get_skipped_frames(handle_, cursor, &err);
  while (!stop_.load()) {
    if (zelarray_get_databuffer(handle_, buffer.data(), nullptr, &err) != zel_true) break;
    const uint64_t now = zelcursor_get_skipped_frames(handle_, cursor, &err);
    if (now != skipped) ++overflows_;  // the writer overwrote data before it was read
    skipped = now;
    const zeltool::Block block = zeltool::measure_block(buffer.data(), setup_.req_frames);
    const std::lock_guard<std::mutex> guard(meter_lock_);
    meter_.add(block);
    last_buffer_ = now_seconds();
  }
  if (!stop_.load()) ended_.store(true);
}

void Camera::engine_loop(zelcursor_t *cursor) {
  zelerror err = 0;
  uint64_t skipped = zelcursor_get_skipped_frames(handle_, cursor, &err);
  while (!stop_.load()) {
    serve_settings_request();
    void *data = nullptr;
    int32_t ts[2] = {0, 0};
    if (zelarray_get_cursorptr(handle_, cursor, &data, ts, &err) != zel_true) {
      if (err != 0) break;
      continue;
    }
    const uint64_t now = zelcursor_get_skipped_frames(handle_, cursor, &err);
    const uint64_t overtaken = now - skipped;
    const uint64_t caught = catch_up(cursor, ts);
    skipped = zelcursor_get_skipped_frames(handle_, cursor, &err);
    if (overtaken > 0 || caught > 0) {
      // Frames are missing from the window: start it afresh rather than join two times. The
      // buffer just read goes too, as it belongs to the old time.
      const uint64_t lost = overtaken + caught + static_cast<uint64_t>(cursor_frames_);
      skipped_frames_ += lost;
      ++skips_;
      zelbeam_reset(beam_.get(), nullptr);
      frames_pushed_ += lost;
      frames_since_map_ = 0;
      continue;
    }
    zelarray_decode_samples_float(data, cursor_frames_, samples_.data(), &err);
    zelbeam_push(beam_.get(), samples_.data(), static_cast<size_t>(cursor_frames_),
                 zeltool::kChannels, nullptr);
    frames_pushed_ += static_cast<uint64_t>(cursor_frames_);
    frames_since_map_ += cursor_frames_;
    if (frames_since_map_ >= map_frames_) {
      frames_since_map_ = 0;
      make_map();
    }
  }
  if (!stop_.load()) ended_.store(true);
  settings_cv_.notify_all();
  wake_waiters();
}

// When the buffer just read (stamped `ts`) came in more than kMaxLagSeconds ago, the engine has
// fallen behind the capture: passes over every buffer already there without beamforming it.
// Returns the frames passed over, overtaken ones included.
uint64_t Camera::catch_up(zelcursor_t *cursor, const int32_t ts[2]) {
  if (age_seconds(ts) <= kMaxLagSeconds) return 0;
  zelerror err = 0;
  const uint64_t before = zelcursor_get_skipped_frames(handle_, cursor, &err);
  uint64_t passed = 0;
  while (!stop_.load() &&
         zelarray_get_cursorptr_nonblocking(handle_, cursor, nullptr, nullptr, &err) == zel_true) {
    passed += static_cast<uint64_t>(cursor_frames_);
  }
  return passed + (zelcursor_get_skipped_frames(handle_, cursor, &err) - before);
}

void Camera::serve_settings_request() {
  std::unique_lock<std::mutex> lock(settings_lock_);
  if (!request_pending_) return;
  const LiveSettings wanted = request_;
  lock.unlock();
  zelbeam_error err = ZELBEAM_OK;
  int first = 0;
  int last = 0;
  zelbeam_band_bins(beam_.get(), wanted.freq, wanted.band, &first, &last, &err);
  std::string verdict;
  if (err != ZELBEAM_OK) {
    verdict = std::string("freq and band: ") + zelbeam_strerror(err);
  } else {
    zelbeam_set_window(beam_.get(), wanted.window, &err);
    if (err != ZELBEAM_OK) verdict = std::string("window: ") + zelbeam_strerror(err);
  }
  lock.lock();
  if (!request_pending_) {
    // The request timed out and its caller was told nothing changed: keep it so.
    zelbeam_set_window(beam_.get(), settings_.window, nullptr);
    return;
  }
  if (verdict.empty()) settings_ = wanted;
  verdict_ = verdict;
  request_pending_ = false;
  ++requests_served_;
  settings_cv_.notify_all();
}

std::string Camera::change_settings(const std::string &body, LiveSettings *now) {
  static std::mutex one_at_a_time;
  const std::lock_guard<std::mutex> serial(one_at_a_time);
  std::unique_lock<std::mutex> lock(settings_lock_);
  LiveSettings wanted = settings_;
  if (std::string why = merge_settings(body, setup_.limits, &wanted); !why.empty()) return why;
  request_ = wanted;
  request_pending_ = true;
  const uint64_t ticket = requests_served_ + 1;
  const bool answered = settings_cv_.wait_for(lock, kSettingsWait, [&] {
    return requests_served_ >= ticket || stop_.load() || ended_.load();
  });
  if (!answered || requests_served_ < ticket) {
    request_pending_ = false;
    return "the engine is not running (no data from the array); settings unchanged";
  }
  if (!verdict_.empty()) return verdict_;
  *now = settings_;
  return "";
}

void Camera::make_map() {
  LiveSettings s;
  {
    const std::lock_guard<std::mutex> guard(settings_lock_);
    s = settings_;
  }
  zelbeam_peak_t peak{};
  zelbeam_error err = ZELBEAM_OK;
  zelbeam_live_map(beam_.get(), s.freq, s.band, scratch_map_.data(), &peak, &err);
  if (err != ZELBEAM_OK) return;  // no block in the window yet
  publish(scratch_map_, peak);
}

void Camera::publish(std::vector<double> map_db, const zelbeam_peak_t &p) {
  LiveSettings s;
  {
    const std::lock_guard<std::mutex> guard(settings_lock_);
    s = settings_;
  }
  auto frame = std::make_shared<MapFrame>();
  frame->nx = nx_;
  frame->ny = ny_;
  frame->peak = Peak{p.x, p.y, p.z, p.level_db};
  frame->time = static_cast<double>(frames_pushed_) / setup_.info.rate;
  FrameInfo info;
  info.nx = nx_;
  info.ny = ny_;
  info.band = s.band;
  info.freq = s.freq;
  info.time = frame->time;
  info.peak = frame->peak;
  info.x_min = setup_.grid.x_min;
  info.y_min = setup_.grid.y_min;
  info.increment = setup_.grid.increment;
  info.skips = skips_;
  const double now = now_seconds();
  const std::lock_guard<std::mutex> guard(map_lock_);
  frame->sequence = ++maps_;
  info.sequence = static_cast<uint32_t>(frame->sequence);
  frame->frame = encode_frame(info, map_db);
  frame->map_db = std::move(map_db);
  latest_ = std::move(frame);
  map_times_.push_back(now);
  std::erase_if(map_times_, [&](double t) { return now - t > 1.0; });
  map_cv_.notify_all();
}

std::shared_ptr<const MapFrame> Camera::latest() {
  const std::lock_guard<std::mutex> guard(map_lock_);
  return latest_;
}

std::shared_ptr<const MapFrame> Camera::wait_newer(uint64_t sequence,
                                                   const std::atomic<bool> &cancelled) {
  std::unique_lock<std::mutex> lock(map_lock_);
  map_cv_.wait(lock, [&] {
    return cancelled.load() || stop_.load() || (latest_ && latest_->sequence > sequence);
  });
  if (cancelled.load() || stop_.load()) return nullptr;
  return latest_;
}

void Camera::wake_waiters() {
  // Taking the lock orders the wake-up after a waiter's check of its flag.
  const std::lock_guard<std::mutex> guard(map_lock_);
  map_cv_.notify_all();
}

Status Camera::current_status() {
  Status s;
  s.array_id = setup_.info.id;
  s.prom = setup_.info.prom;
  s.address = setup_.address;
  s.rate = setup_.info.rate;
  {
    const std::lock_guard<std::mutex> guard(settings_lock_);
    s.settings = settings_;
  }
  s.grid = setup_.grid;
  s.nx = nx_;
  s.ny = ny_;
  {
    const std::lock_guard<std::mutex> guard(map_lock_);
    if (latest_) {
      s.have_map = true;
      s.peak = latest_->peak;
      s.map_time = latest_->time;
    }
    s.maps = maps_;
    const double now = now_seconds();
    s.maps_per_second = static_cast<double>(std::count_if(
        map_times_.begin(), map_times_.end(), [&](double t) { return now - t <= 1.0; }));
  }
  zelerror err = 0;
  s.losses.lost_frames = zelarray_check_lostdataframes(handle_, &err);
  s.losses.kernel_drops = zelarray_check_kernel_drops(handle_, &err);
  s.losses.overflows = overflows_.load();
  s.losses.outages = zelarray_check_outages(handle_, &err);
  s.losses.discontinuities = zelarray_check_discontinuities(handle_, &err);
  s.host = host_;
  s.clients = clients_.load();
  s.skips = static_cast<int>(skips_.load());
  s.skipped_frames = skipped_frames_.load();
  std::array<zeltool::Level, zeltool::kChannels> levels{};
  {
    const std::lock_guard<std::mutex> guard(meter_lock_);
    levels = meter_.levels();
    s.data_flowing = now_seconds() - last_buffer_ < kSilenceShown;
  }
  for (const zeltool::Level &l : levels) {
    s.rms_dbfs.push_back(l.rms_dbfs);
    s.peak_dbfs.push_back(l.peak_dbfs);
    s.clipped.push_back(l.clipped);
  }
  return s;
}

}  // namespace zelcamera
