#include "recorder.h"

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <thread>
#include <utility>
#include <vector>

#include "array.h"
#include "clock.h"

namespace zelrecord {
namespace {

using zeltool::clock_text;
using zeltool::now_seconds;
using zeltool::report;

// The reader's way to wake the controlling thread out of its signal wait.
constexpr int kWakeSignal = SIGUSR1;
constexpr long kStatusPeriodNs = 250'000'000;

}  // namespace

Recorder::Recorder(zelarray_t *handle, int req_frames, Sink *sink, RecorderSettings settings)
    : handle_(handle), req_frames_(req_frames), sink_(sink), settings_(std::move(settings)) {}

Recording Recorder::run(const sigset_t &stop_signals) {
  sigset_t signals = stop_signals;
  sigaddset(&signals, kWakeSignal);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  controller_ = pthread_self();

  zelerror err = 0;
  zelarray_capture_on(handle_, &err);
  if (err != 0) {
    report("cannot start the capture", err);
    result_.failed = true;
    return result_;
  }
  started_ = now_seconds();
  if (settings_.started) settings_.started();
  std::thread reader(&Recorder::read_loop, this);
  result_.stop_signal = wait_for_event(signals);
  stop_capture();
  reader.join();
  if (settings_.status_line) std::fputs("\r\033[K", stderr);
  result_.frames = written_.load();
  result_.skipped = reader_.skipped;
  result_.overflows = reader_.overflows;
  result_.peaks = reader_.peaks;
  result_.failed = result_.failed || reader_.failed;
  return result_;
}

// Returns the stop signal that ended the wait, or 0 when the reader finished or the capture
// failed.
int Recorder::wait_for_event(const sigset_t &signals) {
  for (;;) {
    const timespec period{0, kStatusPeriodNs};
    const int sig = sigtimedwait(&signals, nullptr, &period);
    watch_counters();
    if (sig > 0 && sig != kWakeSignal) return sig;
    if (reader_done_.load() || capture_failed()) return 0;
    if (settings_.status_line) draw_status();
  }
}

// The library fills an outage, or the silence of a numbering restart, when data returns: the
// counters move then, and the lost frames meanwhile tell the silence filled.
void Recorder::watch_counters() {
  zelerror err = 0;
  const int outages = zelarray_check_outages(handle_, &err);
  const int discontinuities = zelarray_check_discontinuities(handle_, &err);
  const int lost = zelarray_check_lostdataframes(handle_, &err);
  const double at = now_seconds() - started_;
  const double filled = static_cast<double>(lost - lost_seen_) / settings_.rate;
  if (outages > result_.outages) result_.events.push_back({Event::outage, at, filled});
  if (discontinuities > result_.discontinuities && outages == result_.outages) {
    result_.events.push_back({Event::discontinuity, at, filled});
  }
  result_.outages = outages;
  result_.discontinuities = discontinuities;
  lost_seen_ = lost;
}

bool Recorder::capture_failed() {
  zelerror err = 0;
  if (zelarray_check_capture_ok(handle_, &err) == zel_true || err != ZEL_ECAPTURE) return false;
  if (settings_.status_line) std::fputs("\r\033[K", stderr);
  report("the array stopped streaming", err);
  result_.failed = true;
  return true;
}

void Recorder::stop_capture() {
  stop_.store(true);
  zelerror err = 0;
  zelarray_capture_off(handle_, &err);
  if (err != 0) {
    report("stopping the capture", err);
    result_.failed = true;
  }
  result_.lost = zelarray_check_lostdataframes(handle_, &err);
  result_.kernel_drops = zelarray_check_kernel_drops(handle_, &err);
  watch_counters();
}

void Recorder::draw_status() {
  const int64_t frames = written_.load();
  zelerror err = 0;
  const int lost = zelarray_check_lostdataframes(handle_, &err);
  std::string text = clock_text(now_seconds() - started_) + "  frames " + std::to_string(frames) +
                     "  lost " + std::to_string(lost) + "  ";
  if (frames == 0 && settings_.wait_frame >= 0) {
    text += "waiting for frame " + std::to_string(settings_.wait_frame);
  } else {
    text += describe_levels(meter_.take());
  }
  std::fprintf(stderr, "\r%s\033[K", text.c_str());
  std::fflush(stderr);
}

void Recorder::read_loop() {
  std::vector<unsigned char> buffer(static_cast<size_t>(req_frames_) * kFrameBytes);
  zelerror err = 0;
  uint64_t skipped =
      zelcursor_get_skipped_frames(handle_, zelarray_get_default_cursor(handle_, &err), &err);
  while (!stop_.load() && !limit_reached() && read_one(&buffer, &skipped)) {
  }
  reader_done_.store(true);
  pthread_kill(controller_, kWakeSignal);
}

// Reads and writes one buffer; false when the recording is over for the reader.
bool Recorder::read_one(std::vector<unsigned char> *buffer, uint64_t *skipped) {
  zelerror err = 0;
  int32_t ts[2] = {0, 0};
  const zelbool got = zelarray_get_databuffer(handle_, buffer->data(), ts, &err);
  if (got != zel_true) {
    if (got == zel_unset && !stop_.load()) {
      report("reading the capture", err);
      reader_.failed = true;
    }
    return false;
  }
  // Frames the default cursor skipped since the last read are data the writer overwrote before
  // it was read. Silence in its place keeps the channels on time.
  const uint64_t now =
      zelcursor_get_skipped_frames(handle_, zelarray_get_default_cursor(handle_, &err), &err);
  const int64_t overwritten = static_cast<int64_t>(now - *skipped);
  *skipped = now;
  if (overwritten > 0) {
    ++reader_.overflows;
    if (!write_silence(overwritten)) return false;
  }
  if (written_.load() == 0 && overwritten <= 0) sink_->note_start(ts[0] + ts[1] / 1e9);
  return write_frames(buffer->data(), req_frames_);
}

bool Recorder::write_silence(int64_t frames) {
  const std::vector<unsigned char> zeros(static_cast<size_t>(req_frames_) * kFrameBytes);
  const int64_t before = written_.load();
  for (int64_t left = frames; left > 0 && !limit_reached(); left -= req_frames_) {
    if (!write_frames(zeros.data(), std::min<int64_t>(left, req_frames_))) return false;
  }
  reader_.skipped += written_.load() - before;
  return true;
}

bool Recorder::write_frames(const unsigned char *data, int64_t frames) {
  const int64_t written = written_.load();
  if (settings_.limit > 0) frames = std::min(frames, settings_.limit - written);
  Peaks latest{};
  add_peaks(data, frames, &latest);
  meter_.add(latest);
  merge_peaks(latest, &reader_.peaks);
  std::string error;
  if (!sink_->write(data, frames, &error)) {
    std::fprintf(stderr, "%szelrecord: %s\n", settings_.status_line ? "\r\033[K" : "",
                 error.c_str());
    reader_.failed = true;
    return false;
  }
  written_.store(written + frames);
  return true;
}

bool Recorder::limit_reached() const {
  return settings_.limit > 0 && written_.load() >= settings_.limit;
}

}  // namespace zelrecord
