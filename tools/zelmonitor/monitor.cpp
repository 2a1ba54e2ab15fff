#include "monitor.h"

#include <pthread.h>
#include <time.h>

#include <cstdio>
#include <thread>
#include <vector>

#include "clock.h"
#include "health.h"

namespace zelmonitor {
namespace {

constexpr int kSpectrumSamples = 4096;
constexpr double kFramePeriod = 1.0 / 15;
constexpr double kSilenceShown = 0.3;  // seconds without a buffer before the screen says so
constexpr double kFailureShown = 2.0;  // seconds the failure stays on screen before the exit
constexpr double kDigitPause = 1.0;    // seconds within which a second digit completes a number
constexpr int kWantedSilenceLimitMs = 3000;

using zeltool::now_seconds;

}  // namespace

Monitor::Monitor(zelarray_t *handle, MonitorSettings settings)
    : handle_(handle),
      settings_(std::move(settings)),
      meter_(settings_.info.rate, settings_.req_frames),
      history_(kSpectrumSamples) {}

MonitorResult Monitor::run(Terminal *terminal, const sigset_t &stop_signals) {
  MonitorResult result;
  silence_limit_ms_ = apply_silence_limit(handle_, kWantedSilenceLimitMs);
  zelerror err = 0;
  zelarray_capture_on(handle_, &err);
  if (err != 0) {
    terminal->restore();
    zeltool::report("cannot start the capture", err);
    result.status = 1;
    return result;
  }
  started_ = now_seconds();
  last_block_ = started_;
  host_ = zeltool::capture_host(handle_);
  result.host = host_;
  std::thread reader(&Monitor::read_loop, this);
  // Only this thread takes the resize signal, so that the terminal's handler runs here.
  sigset_t resize;
  sigemptyset(&resize);
  sigaddset(&resize, SIGWINCH);
  pthread_sigmask(SIG_UNBLOCK, &resize, nullptr);

  double failed_at = 0;
  double next_frame = started_;
  for (;;) {
    const timespec zero{0, 0};
    if (sigtimedwait(&stop_signals, nullptr, &zero) > 0) break;
    const double now = now_seconds();
    if (result.failure.empty()) {
      zelerror health = 0;
      // While the capture waits out a silence it reports 11; only 1 is the end.
      if ((zelarray_check_capture_ok(handle_, &health) != zel_true && health == 1) ||
          reader_done_.load()) {
        result.failure = failure_message();
        result.status = 1;
        failed_at = now;
      }
    } else if (now - failed_at >= kFailureShown) {
      break;
    }
    bool redraw = now >= next_frame;
    const int wait_ms = redraw ? 0 : static_cast<int>((next_frame - now) * 1000) + 1;
    const int key = terminal->key(wait_ms);
    if (key != kNoKey) {
      if (!on_key(key, now_seconds())) break;
      redraw = true;
    }
    if (!redraw) continue;
    View v = view(now_seconds());
    if (!result.failure.empty()) v.banner = result.failure + "; exiting";
    int cols = 0;
    int rows = 0;
    terminal->size(&cols, &rows);
    terminal->show(render(v, cols, rows), key != kNoKey);
    next_frame = std::max(next_frame + kFramePeriod, now_seconds() - kFramePeriod);
  }

  stop_.store(true);
  zelarray_capture_off(handle_, &err);  // wakes the reader
  reader.join();
  terminal->restore();
  if (err != 0 && result.failure.empty()) {
    zeltool::report("stopping the capture", err);
    result.status = 1;
  }
  result.seconds = now_seconds() - started_;
  result.lost = zelarray_check_lostdataframes(handle_, &err);
  result.kernel_drops = zelarray_check_kernel_drops(handle_, &err);
  result.overflows = overflows_.load();
  return result;
}

void Monitor::read_loop() {
  std::vector<unsigned char> buffer(static_cast<size_t>(settings_.req_frames) *
                                    zeltool::kFrameBytes);
  zelerror err = 0;
  zelcursor_t *cursor = zelarray_get_default_cursor(handle_, &err);
  uint64_t skipped = zelcursor_get_skipped_frames(handle_, cursor, &err);
  while (!stop_.load()) {
    if (zelarray_get_databuffer(handle_, buffer.data(), nullptr, &err) != zel_true) break;
    // Frames the default cursor skipped since the last read: data the writer overwrote before
    // it was read.
    const uint64_t now = zelcursor_get_skipped_frames(handle_, cursor, &err);
    if (now != skipped) ++overflows_;
    skipped = now;
    const Block block = measure_block(buffer.data(), settings_.req_frames);
    const int channel = selected_.load();
    const std::lock_guard<std::mutex> guard(lock_);
    meter_.add(block);
    if (channel != history_channel_) {
      history_.clear();
      history_channel_ = channel;
    }
    history_.add(buffer.data(), settings_.req_frames, channel);
    ++blocks_;
    last_block_ = now_seconds();
  }
  reader_done_.store(true);
}

bool Monitor::on_key(int key, double now) {
  const int selected = selected_.load();
  switch (key) {
    case 'q':
    case 'Q':
      return false;
    case kKeyLeft:
      select(selected - 1);
      break;
    case kKeyRight:
      select(selected + 1);
      break;
    case kKeyUp:
      select(selected - 8);
      break;
    case kKeyDown:
      select(selected + 8);
      break;
    default:
      if (key >= '0' && key <= '9') {
        const int digit = key - '0';
        const int two = pending_digit_ * 10 + digit;
        if (pending_digit_ >= 0 && now - digit_time_ <= kDigitPause && two < kChannels) {
          select(two);
          pending_digit_ = -1;
        } else {
          select(digit);
          pending_digit_ = digit;
          digit_time_ = now;
        }
        return true;
      }
      break;
  }
  pending_digit_ = -1;
  return true;
}

void Monitor::select(int channel) {
  selected_.store(((channel % kChannels) + kChannels) % kChannels);
}

View Monitor::view(double now) {
  View v;
  v.id = settings_.info.id;
  v.prom = settings_.info.prom;
  v.address = settings_.address;
  v.rate = settings_.info.rate;
  v.slave = settings_.info.slave;
  v.normalized = settings_.normalized;
  v.elapsed_s = now - started_;
  v.realtime = host_.realtime;
  zelerror err = 0;
  v.lost = zelarray_check_lostdataframes(handle_, &err);
  v.kernel_drops = zelarray_check_kernel_drops(handle_, &err);
  v.overflows = overflows_.load();
  const Breaks b = breaks(handle_);
  v.discontinuities = b.discontinuities;
  v.outages = b.outages;
  v.selected = selected_.load();
  std::vector<double> samples;
  {
    const std::lock_guard<std::mutex> guard(lock_);
    v.have_data = blocks_ > 0;
    v.levels = meter_.levels();
    if (history_channel_ == v.selected && history_.full()) samples = history_.ordered();
  }
  if (!samples.empty()) v.spectrum = spectrum_dbfs(samples);
  v.banner = silence_message(now);
  return v;
}

// Empty while data flows.
std::string Monitor::silence_message(double now) {
  double last = 0;
  {
    const std::lock_guard<std::mutex> guard(lock_);
    last = last_block_;
  }
  if (now - last < kSilenceShown) return "";
  char text[160];
  std::snprintf(text, sizeof text, "no data from the array at %s for %.1f s",
                settings_.address.c_str(), now - last);
  return text;
}

std::string Monitor::failure_message() {
  char text[160];
  std::snprintf(text, sizeof text, "the array at %s stopped streaming (no data for %d ms)",
                settings_.address.c_str(), silence_limit_ms_);
  return text;
}

}  // namespace zelmonitor
