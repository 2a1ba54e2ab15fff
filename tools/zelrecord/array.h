// The array's handle, owned, and the steps that bring it to the point of capturing.
#pragma once

#include <memory>
#include <string>

#include "options.h"
#include "zellib.h"

namespace zelrecord {

// Stops a capture still running, then deletes the handle.
struct HandleCloser {
  void operator()(zelarray_t *handle) const;
};
using Handle = std::unique_ptr<zelarray_t, HandleCloser>;

struct ArrayInfo {
  int id = 0;
  std::string prom;
  int rate = 0;
};

// Prints "zelrecord: <what>: <the library's text for err>" on standard error.
void report(const std::string &what, zelerror err);

// Creates a handle with `req_frames` sample frames per buffer, loads the calibration files,
// sets the capture options, connects to the array and sets its rate and clock mode. On failure
// prints one message and returns null.
Handle open_array(const Options &options, int req_frames, bool warnings, ArrayInfo *info);

}  // namespace zelrecord
