#include "levels.h"

#include <algorithm>
#include <cstdlib>

namespace zeltool {
namespace {

constexpr int32_t kMax24 = 8388607;
constexpr int32_t kMin24 = -8388608;

}  // namespace

Block measure_block(const unsigned char *data, int frames) {
  Block block;
  block.frames = std::max(frames, 0);
  for (int f = 0; f < frames; ++f) {
    const unsigned char *frame = data + static_cast<size_t>(f) * kFrameBytes;
    for (int c = 0; c < kChannels; ++c) {
      const int32_t s = sample_at(frame, c);
      ChannelSums &sums = block.channels[c];
      sums.sum += s;
      sums.squares += static_cast<uint64_t>(static_cast<int64_t>(s) * s);
      sums.peak = std::max(sums.peak, static_cast<uint32_t>(std::abs(s)));
      sums.clipped = sums.clipped || s == kMax24 || s == kMin24;
    }
  }
  return block;
}

LevelMeter::LevelMeter(int rate, int block_frames) {
  rate = std::max(rate, 1);
  block_frames = std::max(block_frames, 1);
  rms_blocks_ = std::max(1, static_cast<int>(std::lround(rate / 10.0 / block_frames)));
  const int hold = (2 * rate + block_frames - 1) / block_frames;
  history_.resize(static_cast<size_t>(std::max(hold, rms_blocks_)));
}

void LevelMeter::add(const Block &block) {
  history_[next_] = block;
  next_ = (next_ + 1) % history_.size();
  count_ = std::min(count_ + 1, history_.size());
}

std::array<Level, kChannels> LevelMeter::levels() const {
  std::array<Level, kChannels> out{};
  const size_t size = history_.size();
  for (int c = 0; c < kChannels; ++c) {
    __int128 n = 0;
    __int128 sum = 0;
    unsigned __int128 squares = 0;
    uint32_t peak = 0;
    bool clipped = false;
    for (size_t k = 0; k < count_; ++k) {
      const Block &b = history_[(next_ + size - 1 - k) % size];
      const ChannelSums &s = b.channels[c];
      if (k < static_cast<size_t>(rms_blocks_)) {
        n += b.frames;
        sum += s.sum;
        squares += s.squares;
      }
      peak = std::max(peak, s.peak);
      clipped = clipped || s.clipped;
    }
    // n^2 times the variance, exactly: a constant channel gives 0 and so -inf.
    const __int128 scaled = n * static_cast<__int128>(squares) - sum * sum;
    if (n > 0 && scaled > 0) {
      out[c].rms_dbfs = dbfs(std::sqrt(static_cast<double>(scaled)) / static_cast<double>(n));
    }
    out[c].peak_dbfs = dbfs(peak);
    out[c].clipped = clipped;
  }
  return out;
}

}  // namespace zeltool
