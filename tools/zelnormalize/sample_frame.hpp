// Layout of the array's sample frames as they sit in a raw capture file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zelnorm {

inline constexpr int kChannels = 64;
inline constexpr std::size_t kSampleBytes = 3;
inline constexpr std::size_t kFrameBytes = kChannels * kSampleBytes;  // 192
inline constexpr std::size_t kBlockFrames = 200;
inline constexpr std::size_t kBlockBytes = kBlockFrames * kFrameBytes;  // 38400

// A 24-bit two's-complement sample, most significant byte first.
inline std::int32_t decode_sample(const unsigned char *p) {
  return static_cast<std::int32_t>(static_cast<signed char>(p[0])) * 65536 + p[1] * 256 + p[2];
}

// Same value as decode_sample, from one 4-byte load. It reads one byte past the
// sample, so the buffer must hold at least one byte after it.
inline std::int32_t decode_sample_wide(const unsigned char *p) {
  std::uint32_t word;
  std::memcpy(&word, p, sizeof word);
  return static_cast<std::int32_t>(__builtin_bswap32(word)) >> 8;
}

}  // namespace zelnorm
