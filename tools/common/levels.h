// The arithmetic of the channel meters the live tools show: per-block sums of every channel, and
// RMS levels over the last 100 ms with a 2 s peak hold. Pure: no threads, no screen.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "frame.h"

namespace zeltool {

// One channel over one block of sample frames.
struct ChannelSums {
  int64_t sum = 0;
  unsigned __int128 squares = 0;
  uint32_t peak = 0;     // largest |sample|, 0 to 8388608
  bool clipped = false;  // a sample at either end of the 24-bit range
};

struct Block {
  int frames = 0;
  std::array<ChannelSums, kChannels> channels{};
};

// The sums of every channel over `frames` sample frames of 192 bytes.
Block measure_block(const unsigned char *data, int frames);

struct Level {
  double rms_dbfs = -INFINITY;   // RMS about the window's own mean; -inf for a constant channel
  double peak_dbfs = -INFINITY;  // largest |sample| of the hold time
  bool clipped = false;          // a sample at full scale within the hold time
};

// Levels in sample time: the RMS window and the hold are counted in frames received (frames the
// network lost arrive as silence), not on the wall clock, so that they are exact at any rate.
class LevelMeter {
 public:
  // Blocks of `block_frames` (> 0) at `rate` Hz (> 0): the RMS spans the blocks closest to
  // 100 ms (at least one), the hold those covering 2 s.
  LevelMeter(int rate, int block_frames);

  void add(const Block &block);
  std::array<Level, kChannels> levels() const;
  int rms_blocks() const { return rms_blocks_; }
  int hold_blocks() const { return static_cast<int>(history_.size()); }

 private:
  int rms_blocks_;
  std::vector<Block> history_;  // a ring of the last hold_blocks() blocks
  size_t next_ = 0;             // slot of the next block
  size_t count_ = 0;            // blocks held, at most history_.size()
};

}  // namespace zeltool
