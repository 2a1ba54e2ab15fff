#include "payload.h"

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <numbers>

namespace zelsim {

int32_t calib_offset(int channel) {
  return (channel - 32) * 1000;
}

double calib_gain(int channel) {
  return 0.5 + channel / 63.0;
}

std::array<int32_t, kChannels> calib_offsets() {
  std::array<int32_t, kChannels> offsets{};
  for (int c = 0; c < kChannels; ++c) offsets[c] = calib_offset(c);
  return offsets;
}

std::array<double, kChannels> calib_gains() {
  std::array<double, kChannels> gains{};
  for (int c = 0; c < kChannels; ++c) gains[c] = calib_gain(c);
  return gains;
}

uint32_t ramp_value(int channel, int nfnbr, int k) {
  uint32_t position = (static_cast<uint32_t>(nfnbr) * 5 + static_cast<uint32_t>(k)) & 0x3FFFF;
  return ((static_cast<uint32_t>(channel) << 18) | position) & 0xFFFFFF;
}

namespace detail {
namespace {

uint64_t mix(uint64_t x) {  // splitmix64 finalizer: a stateless, seedable hash
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

int32_t clamp24(double value) {
  if (!(value > -8388608.0)) return -8388608;  // also catches NaN
  if (value > 8388607.0) return 8388607;
  return static_cast<int32_t>(value);
}

void put24(uint8_t *out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value >> 16);
  out[1] = static_cast<uint8_t>(value >> 8);
  out[2] = static_cast<uint8_t>(value);
}

constexpr uint64_t kCalibStream = 0xCA11B;

}  // namespace

double uniform(uint64_t seed, uint64_t stream, uint64_t position) {
  uint64_t h = mix(mix(mix(seed) ^ stream) ^ position);
  return static_cast<double>(h >> 11) * 0x1.0p-52 - 1.0;
}

bool PayloadSource::load(const Config &config, std::string *error) {
  kind_ = config.signal;
  offsets_ = config.offsets;
  gains_ = config.gains;
  amplitude_ = config.amplitude;
  tone_hz_ = config.tone_hz;
  seed_ = config.seed;
  file_frames_.clear();
  if (kind_ == SignalKind::sources) return sources_.load(config, error);
  if (kind_ != SignalKind::file) return true;
  std::ifstream in(config.signal_file, std::ios::binary);
  if (!in) {
    if (error) *error = "cannot open signal file '" + config.signal_file + "'";
    return false;
  }
  file_frames_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad() || file_frames_.empty() || file_frames_.size() % kSampleFrameBytes != 0) {
    if (error)
      *error = "signal file '" + config.signal_file +
               "' is not a non-empty sequence of 192-byte sample frames";
    file_frames_.clear();
    return false;
  }
  return true;
}

int32_t PayloadSource::sample(int channel, uint64_t sample_index, int speed) const {
  double unit = 0;
  switch (kind_) {
    case SignalKind::tone:
      // The phase is reduced before the sine so that it keeps its precision in long runs.
      unit = std::sin(2 * std::numbers::pi *
                      std::fmod(tone_hz_ * static_cast<double>(sample_index) / speed, 1.0));
      break;
    case SignalKind::noise:
      unit = uniform(seed_, static_cast<uint64_t>(channel), sample_index);
      break;
    case SignalKind::calib: {
      // Pairs of opposite values: the mean over any even number of sample frames is exactly 0,
      // so a calibration run recovers the offsets to the count.
      double v = uniform(seed_, kCalibStream, sample_index >> 1);
      unit = (sample_index & 1) ? -v : v;
      break;
    }
    default:
      break;
  }
  return clamp24(offsets_[channel] + std::lround(gains_[channel] * amplitude_ * unit));
}

void PayloadSource::fill_ramp(uint16_t nfnbr, uint8_t *payload) const {
  for (int k = 0; k < kFramesPerDatagram; ++k)
    for (int c = 0; c < kChannels; ++c)
      put24(payload + k * kSampleFrameBytes + 3 * c, ramp_value(c, nfnbr, k));
}

void PayloadSource::fill_file(uint64_t index, uint8_t *payload) const {
  uint64_t frames = file_frames_.size() / kSampleFrameBytes;
  for (int k = 0; k < kFramesPerDatagram; ++k) {
    uint64_t frame = (index * kFramesPerDatagram + k) % frames;
    std::memcpy(payload + k * kSampleFrameBytes, file_frames_.data() + frame * kSampleFrameBytes,
                kSampleFrameBytes);
  }
}

void PayloadSource::fill_sources(uint64_t index, int speed, uint8_t *payload) const {
  std::array<float, kFramesPerDatagram * kChannels> pressure;
  sources_.render(index * kFramesPerDatagram, kFramesPerDatagram, speed, pressure.data());
  for (size_t i = 0; i < pressure.size(); ++i)
    put24(payload + 3 * i,
          static_cast<uint32_t>(clamp24(std::nearbyint(pressure[i] * 8388608.0))) & 0xFFFFFF);
}

void PayloadSource::fill(uint16_t nfnbr, uint64_t index, int speed, uint8_t *payload) const {
  if (kind_ == SignalKind::ramp) return fill_ramp(nfnbr, payload);
  if (kind_ == SignalKind::file) return fill_file(index, payload);
  if (kind_ == SignalKind::sources) return fill_sources(index, speed, payload);
  for (int k = 0; k < kFramesPerDatagram; ++k) {
    uint64_t sample_index = index * kFramesPerDatagram + k;
    for (int c = 0; c < kChannels; ++c)
      put24(payload + k * kSampleFrameBytes + 3 * c,
            static_cast<uint32_t>(sample(c, sample_index, speed)) & 0xFFFFFF);
  }
}

}  // namespace detail
}  // namespace zelsim
