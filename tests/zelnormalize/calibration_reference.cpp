#include "calibration_reference.hpp"

#include <stdlib.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace zelnorm_test {

Bytes encode_frames(const std::vector<std::int32_t> &samples) {
  Bytes raw;
  raw.reserve(samples.size() * 3);
  for (const std::int32_t s : samples) {
    const auto u = static_cast<std::uint32_t>(s);
    raw.push_back(static_cast<unsigned char>(u >> 16));
    raw.push_back(static_cast<unsigned char>(u >> 8));
    raw.push_back(static_cast<unsigned char>(u));
  }
  return raw;
}

std::vector<std::int32_t> random_samples(std::size_t frames, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::uniform_int_distribution<std::int32_t> full(-8388608, 8388607);
  std::uniform_int_distribution<std::int32_t> noise(-300, 300);
  std::vector<std::int32_t> samples(frames * 64);
  for (std::size_t f = 0; f < frames; ++f)
    for (int k = 0; k < 64; ++k)
      samples[f * 64 + k] = k < 56 ? full(gen) : (k - 60) * 1000 + noise(gen);
  return samples;
}

Reference reference_calibration(const Bytes &raw) {
  Reference ref;
  const long long n = static_cast<long long>(raw.size() / 192);
  auto sample = [&](long long frame, int k) {
    const unsigned char *b = raw.data() + frame * 192 + 3 * k;
    return (signed char)b[0] * 65536 + b[1] * 256 + b[2];
  };
  for (long long f = 0; f < n; ++f)
    for (int k = 0; k < 64; ++k) ref.means[k] = ref.means[k] + (long double)sample(f, k) / n;
  for (long long f = 0; f < n; ++f)
    for (int k = 0; k < 64; ++k) {
      double d = (long double)sample(f, k) - ref.means[k];
      ref.variances[k] = ref.variances[k] + (long double)d * d / (n - 1);
    }
  double deviations[64];
  double sum = 0.0;
  for (int k = 0; k < 64; ++k) {
    deviations[k] = std::sqrt(ref.variances[k]);
    sum += deviations[k];
  }
  sum /= 64.0;
  std::int32_t integer_means[64];
  for (int k = 0; k < 64; ++k) {
    ref.gains[k] = deviations[k] / sum;
    integer_means[k] = (std::int32_t)ref.means[k];
  }
  ref.mean_file.resize(sizeof integer_means);
  std::memcpy(ref.mean_file.data(), integer_means, sizeof integer_means);
  ref.gain_file.resize(sizeof ref.gains);
  std::memcpy(ref.gain_file.data(), ref.gains.data(), sizeof ref.gains);
  return ref;
}

Bytes read_file(const std::filesystem::path &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const std::filesystem::path &path, const Bytes &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace zelnorm_test
