// What the monitor asks the library about the capture's health beyond the counters every
// capture has, in one place so that newer calls are wired here alone.
#pragma once

#include <optional>

#include "zellib.h"

namespace zelmonitor {

// Asks the capture to give up on the array after `wanted_ms` of silence where the library lets
// that be set, and returns the limit in force, in milliseconds. This library's receive ends
// after a fixed 100 ms of silence.
int apply_silence_limit(zelarray_t *handle, int wanted_ms);

// Breaks in the array's stream that the library counted, or nothing where it does not count
// them (shown as "n/a").
std::optional<int> discontinuities(zelarray_t *handle);

}  // namespace zelmonitor
