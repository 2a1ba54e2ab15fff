// The capture loop: a reader thread copies buffers out of the ring and writes them to the file,
// while the controlling thread waits for a stop signal, draws the status line and watches the
// capture's health.
#pragma once

#include <signal.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "levels.h"
#include "sink.h"
#include "zellib.h"

namespace zelrecord {

// An outage ridden through, or a restart of the array's numbering, as the controlling thread
// saw it: when (seconds into the recording, when it was noticed) and the silence filled.
struct Event {
  enum Kind { outage, discontinuity } kind;
  double at_s;
  double filled_s;
};

// What a finished recording reports.
struct Recording {
  int64_t frames = 0;    // sample frames in the file, silence for overflows included
  int64_t skipped = 0;   // frames the ring overwrote before they were read, written as silence
  int overflows = 0;     // reads that found their data overwritten
  int lost = 0;          // frames lost before the ring, zero-filled by the library
  int kernel_drops = 0;  // datagrams this host's kernel dropped
  int outages = 0;       // silences ridden through, recorded as silence of their length
  int discontinuities = 0;
  std::vector<Event> events;
  double seconds = 0;   // wall time of the capture
  Peaks peaks{};        // over the whole recording
  int stop_signal = 0;  // SIGINT or SIGTERM when one ended the recording
  bool failed = false;  // a failure was printed
};

struct RecorderSettings {
  int rate = 44100;
  int64_t limit = 0;         // sample frames to record; 0: until a stop signal
  bool status_line = false;  // redraw a status line on standard error
  int wait_frame = -1;       // shown while the capture waits for it
  // Called once the capture runs, before the first buffer is read: what the capture got (its
  // priority, its socket buffer) is known from then on.
  std::function<void()> started;
};

class Recorder {
 public:
  // `handle` is in st_params_ready with `req_frames` sample frames per default buffer.
  Recorder(zelarray_t *handle, int req_frames, Sink *sink, RecorderSettings settings);

  // Starts the capture and records until the limit, one of `stop_signals` (blocked in every
  // thread), or a failure, which is printed. The file is left complete in every case.
  Recording run(const sigset_t &stop_signals);

 private:
  void read_loop();
  bool read_one(std::vector<unsigned char> *buffer, uint64_t *skipped);
  bool write_silence(int64_t frames);
  bool write_frames(const unsigned char *data, int64_t frames);
  bool limit_reached() const;

  int wait_for_event(const sigset_t &signals);
  bool capture_failed();
  void watch_counters();
  void draw_status();
  void stop_capture();

  zelarray_t *handle_;
  int req_frames_;
  Sink *sink_;
  RecorderSettings settings_;
  pthread_t controller_{};

  std::atomic<bool> stop_{false};
  std::atomic<bool> reader_done_{false};
  std::atomic<int64_t> written_{0};
  PeakMeter meter_;
  Recording result_;  // the controlling thread's findings
  int lost_seen_ = 0;
  // The reader's findings, read only after it is joined.
  struct {
    int64_t skipped = 0;
    int overflows = 0;
    Peaks peaks{};
    bool failed = false;
  } reader_;
  double started_ = 0;
};

}  // namespace zelrecord
