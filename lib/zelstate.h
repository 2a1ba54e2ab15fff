// The handle's state and its run flag. The library moves them; unit tests that play a capture
// without its thread set them through these calls rather than writing the fields.
#ifndef ZEL_ZELSTATE_H
#define ZEL_ZELSTATE_H

#include "zel_misc.h"
#include "zellib.h"

inline int _zelarray_state(zelarray_t *handle) {
  return zel_load(handle->status, std::memory_order_acquire);
}

// Release ordering: a thread that sees the new state also sees what was set up before it.
inline void _zelarray_set_state(zelarray_t *handle, int state) {
  zel_store(handle->status, state, std::memory_order_release);
}

// While set, the capture thread goes on and readers may block for data.
inline void _zelarray_set_running(zelarray_t *handle, bool running) {
  zel_store(handle->running, running ? 1 : 0);
}

#endif
