// The array's handle, owned, and the steps that bring it to the point of capturing; shared by
// the tools.
#pragma once

#include <memory>
#include <string>

#include "zellib.h"

namespace zeltool {

// The name that starts every message of the tool ("zelrecord: ..."); set once by main.
void set_program_name(const char *name);
const char *program_name();

// Stops a capture still running, then deletes the handle.
struct HandleCloser {
  void operator()(zelarray_t *handle) const;
};
using Handle = std::unique_ptr<zelarray_t, HandleCloser>;

// How a tool wants the array and its capture set up.
struct ArraySetup {
  std::string address = "127.0.0.2";
  int rate = 0;  // 0: keep the array's current rate
  bool slave = false;
  bool keep_clock = false;  // leave the array's clock mode as it is, whatever `slave` says
  std::string mean_file;    // both calibration files, or neither
  std::string gain_file;
  int wait_frame = -1;  // -1: store from the first datagram
  int drop = 0;
  bool fix_delay = false;
  int ring_mb = 64;
  int silence_limit_ms = 0;  // outages shorter than this are ridden through; 0: the library's
  int req_frames = 2205;     // sample frames per buffer of the default reader
  bool warnings = true;      // the library's warnings on standard error
  bool realtime = true;      // the capture thread at real-time priority where the host allows
};

struct ArrayInfo {
  int id = 0;
  std::string prom;
  int rate = 0;
  bool slave = false;
};

// Prints "<program>: <what>: <the library's text for err>" on standard error.
void report(const std::string &what, zelerror err);

// Creates a handle, loads the calibration files, sets the capture options, connects to the
// array and sets its rate and clock mode. On failure prints one message and returns null.
Handle open_array(const ArraySetup &setup, ArrayInfo *info);

}  // namespace zeltool
