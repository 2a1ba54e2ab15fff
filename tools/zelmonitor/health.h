// What the monitor asks the library about the capture's health beyond the counters every
// capture has, in one place.
#pragma once

#include "zellib.h"

namespace zelmonitor {

// Asks the capture to ride through silences shorter than `wanted_ms` and returns the limit in
// force, in milliseconds (the library's default of 100 when it refuses).
int apply_silence_limit(zelarray_t *handle, int wanted_ms);

struct Breaks {
  int discontinuities = 0;  // restarts of the array's numbering
  int outages = 0;          // silences of 100 ms or more ridden through
};
Breaks breaks(zelarray_t *handle);

}  // namespace zelmonitor
