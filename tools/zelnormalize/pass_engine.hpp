// One pass over the input: every sample of every frame, each channel's terms
// added in file order. The 64 channel chains are independent, so groups of
// channels are shared out among worker threads chunk by chunk; each chain
// keeps its own order of additions, and the result is the same, bit for bit,
// for any number of workers.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "calibration_math.hpp"
#include "sample_frame.hpp"

namespace zelnorm {

// The input is read in chunks of whole 200-frame blocks. A chunk shorter than
// kChunkBytes (a 0-byte one when the size is an exact multiple) ends the pass,
// just as a short block read would.
inline constexpr std::size_t kChunkBlocks = 16;
inline constexpr std::size_t kChunkBytes = kChunkBlocks * kBlockBytes;

inline constexpr int kMaxWorkers = 8;

// Reads up to `into.size()` bytes at file offset `offset`: the count, 0 at the
// end of the file, or a negative value when the read fails.
using ChunkReader = std::function<long(std::span<unsigned char> into, std::int64_t offset)>;

// Called by one worker after each chunk with the bytes processed so far.
using ProgressReport = std::function<void(std::int64_t bytes_done)>;

enum class PassKind { means, variances };

enum class PassOutcome {
  complete,       // exactly the expected frames were read
  read_failed,    // a read returned an error
  size_mismatch,  // the input ended early, grew, or ended inside a frame
};

struct Accumulators {
  ChannelDoubles means{};
  ChannelDoubles variances{};
};

// The chunk ring, the decode scratch of every worker and the hand-over
// counters. All memory is obtained here, once, and does not depend on the
// input's size.
class PassBuffers {
 public:
  explicit PassBuffers(int workers);
  ~PassBuffers();
  PassBuffers(const PassBuffers &) = delete;
  PassBuffers &operator=(const PassBuffers &) = delete;

  int workers() const { return workers_; }

  struct Ring;

 private:
  friend PassOutcome run_pass(PassKind, PassBuffers &, const ChunkReader &, std::int64_t,
                              Accumulators &, const ProgressReport &);
  int workers_;
  std::unique_ptr<Ring> ring_;
};

// Adds one pass's terms for `frames` frames to `acc`: pass 1 the quotients to
// `acc.means`, pass 2 the squared deviations from `acc.means` to
// `acc.variances`. On anything but `complete` the accumulators hold partial
// sums and must not be used.
PassOutcome run_pass(PassKind kind, PassBuffers &buffers, const ChunkReader &read_at,
                     std::int64_t frames, Accumulators &acc, const ProgressReport &progress);

// Workers worth starting: one per CPU this process may use, at most kMaxWorkers.
int default_workers();

}  // namespace zelnorm
