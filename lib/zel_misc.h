// Time text, gcd/lcm, 64-bit timestamps and the atomic accessors shared by the library.
#ifndef ZEL_ZEL_MISC_H
#define ZEL_ZEL_MISC_H

#include <atomic>
#include <cstdint>

// Local time as ctime text (24 characters and a newline), in storage owned by the calling
// thread: valid until the same thread calls again.
char *_zelarray_showtime();
// Greatest common divisor of two positive ints; 0 when either is 0 or below.
int _zelarray_gcd(int a, int b);
// Least common multiple of two positive ints; 0 when either is 0 or below or it exceeds INT_MAX.
int _zelarray_lcm(int a, int b);
// Monotonic clock in milliseconds: the deadlines of the exchanges.
int64_t _zelarray_now_ms();
// The same clock in microseconds: arrival times and silences of the capture.
int64_t _zelarray_now_us();
// sec * 1e9 + nsec in unsigned 64-bit arithmetic.
uint64_t _zelarray_uint64ts(uint32_t sec, uint32_t nsec);

// One 24-bit big-endian two's-complement sample, sign-extended. Written as one shifted word, so
// that loops over it vectorise.
inline int32_t _zelarray_sample24(const unsigned char *p) {
  const uint32_t word = (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
                        (static_cast<uint32_t>(p[2]) << 8);
  return static_cast<int32_t>(word) >> 8;
}

// Plain fields of the public records that cross threads are only touched through these.
template <class T>
inline T zel_load(T &field, std::memory_order order = std::memory_order_relaxed) {
  return std::atomic_ref<T>(field).load(order);
}
template <class T>
inline void zel_store(T &field, T value, std::memory_order order = std::memory_order_relaxed) {
  std::atomic_ref<T>(field).store(value, order);
}
template <class T>
inline void zel_add(T &field, T value) {
  std::atomic_ref<T>(field).fetch_add(value, std::memory_order_relaxed);
}

#endif
