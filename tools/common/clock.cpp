#include "clock.h"

#include <time.h>

#include <cstdio>

namespace zeltool {

double now_seconds() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

std::string clock_text(double seconds) {
  char text[32];
  const int whole = static_cast<int>(seconds);
  std::snprintf(text, sizeof text, "%02d:%02d:%04.1f", whole / 3600, whole / 60 % 60,
                seconds - (whole - whole % 60));
  return text;
}

}  // namespace zeltool
