// The capture's logic between the socket and the ring: the start number, the dropped leading
// frames, numbering and loss, restarts of the numbering, the delay fix, zero fill, normalization
// and publication. It is fed data datagrams with their arrival times and reads no socket and no
// clock, so that every sequence of numbers and times can be played to it in memory.
#ifndef ZEL_ZELARRAY_SLOTS_H
#define ZEL_ZELARRAY_SLOTS_H

#include <sys/time.h>

#include <cstdint>

#include "zellib.h"

// A datagram at most this far behind the expected number, soon after the last one kept, is a
// duplicate or a late one: it is dropped.
constexpr int zel_stale_window = 100;
// Arrival gaps from this long on are outages: the numbers alone no longer decide the loss.
constexpr int64_t zel_outage_us = 100000;
// After an outage, numbers at most this far past the expected one are taken as they are.
constexpr int64_t zel_late_after_outage = 50;

// One data datagram as the capture thread received it.
struct zel_arrival {
  int nfnbr;                     // 0..65535
  const unsigned char *payload;  // 960 bytes
  timeval wall;                  // receive time on the wall clock: the slot times
  int64_t mono_us;               // the same instant on a monotonic clock: the loss arithmetic
  uint32_t drops;                // the socket's drop counter when it was queued
  bool has_drops;                // drops is known
};

// What a numbering gap means, judged against the arrival times.
struct zel_gap {
  enum Kind { in_sequence, stale, loss, discontinuity } kind;
  int64_t lost;  // network frames to fill (loss, discontinuity)
};

// Judges the gap between the number expected and the one received (`gap`, 0..65535, modulo
// 65536) after `elapsed_us` since the last kept datagram, for an array sending `rate` datagrams a
// second; `kernel_drops` datagrams are known to have been dropped by this host meanwhile.
// Counts congruent to the gap are candidates; the one closest to what the times say is the loss
// when it lies within 50 datagrams plus 2 % of that estimate. Numbers that say less was lost
// than the times are trusted (the datagrams came late, not missing) short of an outage, or
// after one when they go on unbroken; a datagram a little behind soon after the last is stale.
// Any other gap is a discontinuity: the times decide.
zel_gap _zelarray_judge_gap(int gap, int64_t elapsed_us, int rate, int64_t kernel_drops);

// One slot with the odd channels delayed by one sample frame: the first frame's odd samples come
// from previous_frame.
void _zelarray_write_fixed_after(unsigned char *dest, const unsigned char *newer,
                                 const unsigned char *previous_frame, int nbytes);
// (sample - mean) / gain for every sample of whole sample frames, in place.
void _zelarray_normalize(zelarray_t *handle, unsigned char *buf, int nbytes);

class SlotAssembler {
 public:
  // Takes the capture options, the calibration and the rate from the handle, whose ring,
  // counters and cursors have been reset for the capture.
  explicit SlotAssembler(zelarray_t *handle);

  // One data datagram: consumed by the wait for the start number or the drop phase, or turned
  // into slots (with the zero slots of whatever it reveals lost) that are published at once.
  void take(const zel_arrival &datagram) {
    add(datagram);
    flush();
  }
  // The same, its slots left unpublished until flush, or until zel_publish_batch_slots of them
  // are waiting: the writer never runs more than that far ahead of the published total.
  void add(const zel_arrival &datagram);
  // Publishes the slots written since the last publication, all under one lock.
  void flush();

  // Still looking for the start number: silence does not end this phase.
  bool waiting() const { return phase_ == Phase::waiting; }

 private:
  enum class Phase { waiting, dropping, first, streaming };

  void start_streaming(const zel_arrival &datagram);
  void stream(const zel_arrival &datagram);
  void fill(int64_t count, const timeval &until);
  void store(const unsigned char *payload, int nfnbr, const timeval &when);
  void publish(int nfnbr, const timeval &when);
  void keep(const zel_arrival &datagram);
  unsigned char *write_slot() const;
  void warn_loss(int received, int64_t lost) const;
  void warn_discontinuity(int received, int64_t filled) const;

  zelarray_t *handle_;
  Phase phase_;
  int rate_;  // datagrams a second
  bool fix_delay_;
  int pending_ = 0;           // slots written past the handle's wpos, not yet published
  int expected_ = 0;          // number of the next datagram
  int last_slot_ = 0;         // number of the last slot
  timeval last_slot_time_{};  // time given to the last slot, or to the first datagram
  timeval last_wall_{};       // arrival of the last kept datagram
  int64_t last_mono_us_ = 0;  // the same, monotonic
  uint32_t last_drops_ = 0;
  bool have_drops_ = false;
  // The delay fix's previous sample frame: the last frame of the last datagram, zero after a
  // fill (nothing precedes the datagram that revealed a loss).
  unsigned char previous_frame_[ZEL_FRAME_BYTES] = {};
  unsigned char silence_[5 * ZEL_FRAME_BYTES] = {};  // a zero slot, normalized when calibrated
};

#endif
