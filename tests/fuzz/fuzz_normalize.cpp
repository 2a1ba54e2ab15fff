// libFuzzer harness for calibration files: arbitrary mean and gain files go to
// zelarray_normalize, and a loaded calibration is applied to arbitrary sample frames. A short
// file must be refused with 25 and leave the calibration as it was; a loaded one must give, for
// every sample, what the arithmetic below gives on its own.
//
// Input layout: byte 0 (k) makes the mean file the next 2k bytes (at most 510); the gain file
// takes up to 520 bytes after it; the rest, in whole sample frames, is what gets normalized
// (a ramp when none is left).
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "zelarray_slots.h"
#include "zellib.h"

namespace {

zelarray_t *handle() {
  static zelarray_t *h = [] {
    zelerror err = 0;
    zelarray_t *made = zelarray_create(16, 5, &err);
    if (err != 0) abort();
    return made;
  }();
  return h;
}

// A stream over the bytes; empty files are streams that are at their end at once.
FILE *stream_of(std::vector<uint8_t> &bytes) {
  if (bytes.empty()) return fopen("/dev/null", "r");
  return fmemopen(bytes.data(), bytes.size(), "r");
}

int32_t decode(const unsigned char *p) {
  const int32_t v = (p[0] << 16) | (p[1] << 8) | p[2];
  return (v ^ 0x800000) - 0x800000;
}

// (v - mean) / gain truncated toward zero; 0 where that is no 32-bit integer; low 24 bits kept.
// The division may be carried out in double or in any wider precision.
template <class Real>
uint32_t expected_sample(int32_t v, int32_t mean, double gain) {
  const Real q = static_cast<Real>(static_cast<int64_t>(v) - mean) / static_cast<Real>(gain);
  if (std::isnan(q) || q >= Real(2147483648.0) || q <= Real(-2147483649.0)) return 0;
  return static_cast<uint32_t>(static_cast<int32_t>(q)) & 0xFFFFFF;
}

bool acceptable(uint32_t got, int32_t v, int32_t mean, double gain) {
  return got == expected_sample<double>(v, mean, gain) ||
         got == expected_sample<long double>(v, mean, gain);
}

void check_normalized(zelarray_t *h, const std::vector<uint8_t> &frames) {
  std::vector<uint8_t> out(frames);
  _zelarray_normalize(h, out.data(), static_cast<int>(out.size()));
  for (size_t f = 0; f < out.size() / 192; ++f) {
    for (int ch = 0; ch < 64; ++ch) {
      const unsigned char *in = frames.data() + 192 * f + 3 * ch;
      const unsigned char *got = out.data() + 192 * f + 3 * ch;
      const uint32_t value = (uint32_t{got[0]} << 16) | (uint32_t{got[1]} << 8) | got[2];
      if (!acceptable(value, decode(in), h->means[ch], h->gains[ch])) abort();
    }
  }
}

std::vector<uint8_t> ramp_frames() {
  std::vector<uint8_t> frames(960);
  for (size_t i = 0; i < frames.size(); ++i) frames[i] = static_cast<uint8_t>(i * 37 + 11);
  return frames;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  zelarray_t *h = handle();
  const size_t mean_len = std::min<size_t>(2 * data[0], size - 1);
  const size_t gain_len = std::min<size_t>(520, size - 1 - mean_len);
  std::vector<uint8_t> means(data + 1, data + 1 + mean_len);
  std::vector<uint8_t> gains(data + 1 + mean_len, data + 1 + mean_len + gain_len);
  const uint8_t *rest = data + 1 + mean_len + gain_len;
  std::vector<uint8_t> frames(rest, rest + (size - 1 - mean_len - gain_len) / 192 * 192);
  if (frames.empty()) frames = ramp_frames();

  std::vector<uint8_t> old_means(256), old_gains(512);
  memcpy(old_means.data(), h->means, 256);
  memcpy(old_gains.data(), h->gains, 512);
  const zelbool old_flag = h->normalize;
  FILE *mean_file = stream_of(means);
  FILE *gain_file = stream_of(gains);
  zelerror err = -1;
  zelarray_normalize(h, mean_file, gain_file, &err);
  fclose(mean_file);
  fclose(gain_file);

  const bool whole = means.size() >= 256 && gains.size() >= 512;
  if (whole) {
    if (err != 0 || h->normalize != zel_true) abort();
    if (memcmp(h->means, means.data(), 256) != 0 || memcmp(h->gains, gains.data(), 512) != 0) {
      abort();
    }
    check_normalized(h, frames);
  } else {
    if (err != 25 || h->normalize != old_flag) abort();
    if (memcmp(h->means, old_means.data(), 256) != 0 ||
        memcmp(h->gains, old_gains.data(), 512) != 0) {
      abort();
    }
  }
  return 0;
}
