// Wall-clock helpers of the tools' status displays.
#pragma once

#include <string>

namespace zeltool {

// Seconds on the monotonic clock.
double now_seconds();

// "01:02:03.4": hours, minutes, seconds to a tenth.
std::string clock_text(double seconds);

}  // namespace zeltool
