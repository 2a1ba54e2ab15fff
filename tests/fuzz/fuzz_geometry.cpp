// libFuzzer harness for microphone geometry files: arbitrary bytes go to the XML reader. A
// geometry it accepts must hold at least two finite, distinct positions that read back, and
// leaving out its first channel must work; anything else must be refused with a status and
// no geometry.
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "zelbeam.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  zelbeam_error err = -1;
  zelbeam_geometry_t *g = zelbeam_geometry_parse(reinterpret_cast<const char *>(data), size, &err);
  if (g == nullptr) {
    if (err <= ZELBEAM_OK || err >= ZELBEAM_ERRNO_COUNT) abort();  // a failure code
    return 0;
  }
  if (err != ZELBEAM_OK) abort();
  const int count = zelbeam_geometry_count(g, &err);
  if (count < 2) abort();
  for (int c = 0; c < count; ++c) {
    double xyz[3];
    zelbeam_geometry_position(g, c, xyz, &err);
    if (err != ZELBEAM_OK || !std::isfinite(xyz[0]) || !std::isfinite(xyz[1]) ||
        !std::isfinite(xyz[2])) {
      abort();
    }
  }
  const int first = 0;
  zelbeam_geometry_leave_out(g, &first, 1, &err);
  const int expected = count > 2 ? ZELBEAM_OK : ZELBEAM_EMICS;
  if (err != expected) abort();
  zelbeam_geometry_free(g);
  return 0;
}
