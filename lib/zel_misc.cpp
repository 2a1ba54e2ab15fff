#include "zel_misc.h"

#include <climits>
#include <ctime>

char *_zelarray_showtime() {
  // ctime_r needs 26 bytes; one buffer per thread keeps concurrent warnings intact.
  thread_local char text[32];
  const time_t now = time(nullptr);
  if (ctime_r(&now, text) == nullptr) {
    text[0] = '\n';
    text[1] = '\0';
  }
  return text;
}

int _zelarray_gcd(int a, int b) {
  if (a <= 0 || b <= 0) return 0;
  while (b != 0) {
    const int r = a % b;
    a = b;
    b = r;
  }
  return a;
}

int _zelarray_lcm(int a, int b) {
  if (a <= 0 || b <= 0) return 0;
  if (a % b == 0) return a;
  if (b % a == 0) return b;
  const long long lcm = static_cast<long long>(a) * (b / _zelarray_gcd(a, b));
  return lcm > INT_MAX ? 0 : static_cast<int>(lcm);
}

int64_t _zelarray_now_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int64_t _zelarray_now_us() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

uint64_t _zelarray_uint64ts(uint32_t sec, uint32_t nsec) {
  return static_cast<uint64_t>(sec) * 1000000000ULL + nsec;
}
