// Test helpers: raw capture files and a calibration computed the plain way,
// frame after frame, channel after channel, independent of the tool's code.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "../support/temp_dir.h"

namespace zelnorm_test {

using Bytes = std::vector<unsigned char>;

// Samples frame after frame, 64 per frame, encoded as the array sends them.
Bytes encode_frames(const std::vector<std::int32_t> &samples);

// Full-range random samples, plus a few channels held near a DC level, as a
// real array's channels are.
std::vector<std::int32_t> random_samples(std::size_t frames, std::uint32_t seed);

struct Reference {
  std::array<double, 64> means{};
  std::array<double, 64> variances{};
  std::array<double, 64> gains{};
  Bytes mean_file;  // 256 bytes
  Bytes gain_file;  // 512 bytes
};

Reference reference_calibration(const Bytes &raw);

Bytes read_file(const std::filesystem::path &path);
void write_file(const std::filesystem::path &path, const Bytes &bytes);

using TempDir = zeltest::TempDir;

}  // namespace zelnorm_test
