#include "health.h"

namespace zelmonitor {

int apply_silence_limit(zelarray_t *handle, int wanted_ms) {
  zelerror err = 0;
  zelarray_set_silence_limit(handle, wanted_ms, &err);
  return err == 0 ? wanted_ms : 100;
}

Breaks breaks(zelarray_t *handle) {
  zelerror err = 0;
  return Breaks{zelarray_check_discontinuities(handle, &err), zelarray_check_outages(handle, &err)};
}

}  // namespace zelmonitor
