// The live view: a reader thread takes buffers from the ring and adds their sums to the meters;
// the controlling thread redraws the screen 15 times a second, answers keys and stop signals,
// and watches the capture's health.
#pragma once

#include <signal.h>

#include <atomic>
#include <mutex>
#include <string>

#include "array.h"
#include "capture_host.h"
#include "meter.h"
#include "screen.h"
#include "terminal.h"
#include "zellib.h"

namespace zelmonitor {

struct MonitorSettings {
  zeltool::ArrayInfo info;
  std::string address;
  bool normalized = false;
  int req_frames = 2205;  // sample frames per buffer of the default reader
};

// What the monitor saw, for the line printed once the terminal is given back.
struct MonitorResult {
  int status = 0;       // the program's exit status
  std::string failure;  // why it failed; empty on success
  double seconds = 0;
  int lost = 0;
  int kernel_drops = 0;
  int overflows = 0;
  zeltool::CaptureHost host;  // what the capture got on this host
};

class Monitor {
 public:
  // `handle` is in st_params_ready with settings.req_frames frames per default buffer.
  Monitor(zelarray_t *handle, MonitorSettings settings);

  // Captures and shows the array on `terminal` until q, a stop signal (blocked in every thread)
  // or a failure; gives the terminal back before returning.
  MonitorResult run(Terminal *terminal, const sigset_t &stop_signals);

 private:
  void read_loop();
  // False when the key asks to quit.
  bool on_key(int key, double now);
  void select(int channel);
  View view(double now);
  std::string silence_message(double now);
  std::string failure_message();

  zelarray_t *handle_;
  MonitorSettings settings_;
  int silence_limit_ms_ = 0;
  zeltool::CaptureHost host_;

  std::atomic<bool> stop_{false};
  std::atomic<bool> reader_done_{false};
  std::atomic<int> selected_{0};
  std::atomic<int> overflows_{0};

  std::mutex lock_;  // guards the meters and what follows
  LevelMeter meter_;
  SampleHistory history_;
  int history_channel_ = 0;
  int64_t blocks_ = 0;
  double last_block_ = 0;  // when the last buffer came, on the monotonic clock

  double started_ = 0;
  int pending_digit_ = -1;  // a first digit typed, waiting for a second
  double digit_time_ = 0;
};

}  // namespace zelmonitor
