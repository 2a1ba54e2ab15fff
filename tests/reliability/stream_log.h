// What a reader saw of the stream, network-frame slot by network-frame slot: the number it
// carried and whether it held the emulator's ramp for that number, silence, or anything else.
// Free of GoogleTest, so that the soak bench uses the same checks.
#ifndef ZEL_TESTS_STREAM_LOG_H
#define ZEL_TESTS_STREAM_LOG_H

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "zellib.h"
#include "zelsim.h"

namespace zelrel {

enum class SlotKind : uint8_t { ramp, silence, wrong };

struct SlotSeen {
  int nfnbr;
  SlotKind kind;
};

inline SlotKind classify(const unsigned char *slot, int nfnbr) {
  bool ramp = true;
  bool silent = true;
  for (int k = 0; k < zelsim::kFramesPerDatagram; ++k) {
    for (int c = 0; c < zelsim::kChannels; ++c) {
      const unsigned char *p = slot + zelsim::kSampleFrameBytes * k + 3 * c;
      const uint32_t v = (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
      ramp = ramp && v == zelsim::ramp_value(c, nfnbr, k);
      silent = silent && v == 0;
    }
  }
  // No ramp slot is all zero: channel 1 never is.
  return ramp ? SlotKind::ramp : silent ? SlotKind::silence : SlotKind::wrong;
}

class StreamLog {
 public:
  explicit StreamLog(bool keep_slots = false) : keep_slots_(keep_slots) {}

  // One buffer of `frames` sample frames (a multiple of 5) whose first slot carries `nfnbr`;
  // the slots after it are numbered on.
  void add_buffer(const unsigned char *data, int frames, int nfnbr) {
    for (int j = 0; j < frames / zelsim::kFramesPerDatagram; ++j) {
      const int n = (nfnbr + j) & 0xFFFF;
      add_slot(data + j * zelsim::kPayloadBytes, n);
    }
  }

  long long slots() const { return slots_; }
  long long silent() const { return silent_; }
  long long wrong() const { return wrong_; }
  // Slots whose number does not follow the previous slot's.
  long long breaks() const { return breaks_; }
  int first() const { return first_; }
  int last() const { return last_; }
  const std::vector<SlotSeen> &seen() const { return seen_; }

 private:
  void add_slot(const unsigned char *slot, int n) {
    if (slots_ > 0 && n != ((last_ + 1) & 0xFFFF)) ++breaks_;
    if (slots_ == 0) first_ = n;
    last_ = n;
    ++slots_;
    const SlotKind kind = classify(slot, n);
    if (kind == SlotKind::silence) ++silent_;
    if (kind == SlotKind::wrong) ++wrong_;
    if (keep_slots_) seen_.push_back({n, kind});
  }

  bool keep_slots_;
  long long slots_ = 0;
  long long silent_ = 0;
  long long wrong_ = 0;
  long long breaks_ = 0;
  int first_ = -1;
  int last_ = -1;
  std::vector<SlotSeen> seen_;
};

// Reads one cursor on a thread of its own, logging every slot, until the capture stops. The
// cursor's frames must be a multiple of 5.
class CursorReader {
 public:
  CursorReader(zelarray_t *handle, zelcursor_t *cursor, bool keep_slots = false)
      : handle_(handle), cursor_(cursor), log_(keep_slots) {}
  CursorReader(const CursorReader &) = delete;
  CursorReader &operator=(const CursorReader &) = delete;
  ~CursorReader() { join(); }

  void start() {
    thread_ = std::thread([this] { run(); });
  }
  void join() {
    if (thread_.joinable()) thread_.join();
  }
  // Buffers read so far; any thread.
  long long buffers() const { return buffers_.load(); }
  // The log, once joined.
  const StreamLog &log() const { return log_; }
  // Non-zero when a read ended with a failure status.
  zelerror error() const { return error_; }

 private:
  void run() {
    for (;;) {
      void *data = nullptr;
      int nfnbr = -1;
      zelerror err = 0;
      const zelbool got =
          zelarray_get_cursorptr_with_nfnbr(handle_, cursor_, &data, nullptr, &nfnbr, &err);
      if (got != zel_true) {
        error_ = err;
        return;
      }
      log_.add_buffer(static_cast<const unsigned char *>(data), cursor_->frames, nfnbr);
      buffers_.fetch_add(1);
    }
  }

  zelarray_t *handle_;
  zelcursor_t *cursor_;
  StreamLog log_;
  std::thread thread_;
  std::atomic<long long> buffers_{0};
  zelerror error_ = 0;
};

}  // namespace zelrel

#endif
