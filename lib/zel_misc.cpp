#include "zel_misc.h"

#include "zelerror.h"
#include "zellib.h"

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

namespace {

constexpr int kChannels = ZEL_FRAME_BYTES / 3;

// Each sample goes into the top three bytes of a 32-bit word and an arithmetic shift brings it
// back sign-extended. The inner loop's fixed trip count of 64 lets the compiler replace it
// whole with vector code at -O2. Gathering 3-byte groups takes a byte shuffle, which plain
// x86-64 (SSE2) lacks: the clones give the loader a shuffling version where the CPU has one.
// The clones are chosen by an ifunc resolver that runs before ThreadSanitizer's runtime is up,
// which crashes at load: that build keeps the default version only.
#if defined(__SANITIZE_THREAD__)
#define ZEL_DECODE_CLONES
#else
#define ZEL_DECODE_CLONES __attribute__((target_clones("avx2", "ssse3", "default")))
#endif

ZEL_DECODE_CLONES void decode_ints(const unsigned char *__restrict src, int count,
                                   int32_t *__restrict dest) {
  for (int64_t f = 0; f < count; ++f) {
    const unsigned char *__restrict s = src + f * ZEL_FRAME_BYTES;
    int32_t *__restrict d = dest + f * kChannels;
    for (int c = 0; c < kChannels; ++c) d[c] = _zelarray_sample24(s + 3 * c);
  }
}

ZEL_DECODE_CLONES void decode_floats(const unsigned char *__restrict src, int count,
                                     float *__restrict dest) {
  constexpr float kScale = 1.0f / 8388608.0f;  // 2^-23: full scale is [-1, 1)
  for (int64_t f = 0; f < count; ++f) {
    const unsigned char *__restrict s = src + f * ZEL_FRAME_BYTES;
    float *__restrict d = dest + f * kChannels;
    for (int c = 0; c < kChannels; ++c)
      d[c] = static_cast<float>(_zelarray_sample24(s + 3 * c)) * kScale;
  }
}

zelerror check_decode_arguments(const void *frames, int count, const void *dest) {
  if (frames == nullptr || dest == nullptr) return ZEL_ENULL;
  return count < 0 ? ZEL_ECOUNT : ZEL_OK;
}

}  // namespace

extern "C" {

void zelarray_decode_samples(const void *frames, int count, int32_t *dest, zelerror *err) {
  const zelerror code = check_decode_arguments(frames, count, dest);
  if (code == ZEL_OK) decode_ints(static_cast<const unsigned char *>(frames), count, dest);
  zel_report(err, code);
}

void zelarray_decode_samples_float(const void *frames, int count, float *dest, zelerror *err) {
  const zelerror code = check_decode_arguments(frames, count, dest);
  if (code == ZEL_OK) decode_floats(static_cast<const unsigned char *>(frames), count, dest);
  zel_report(err, code);
}

}  // extern "C"
