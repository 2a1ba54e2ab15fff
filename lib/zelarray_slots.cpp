#include "zelarray_slots.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "zel_misc.h"
#include "zelarray_ring.h"
#include "zelmsg.h"

namespace {

int next_number(int n) {
  return (n + 1) & 0xFFFF;
}

int64_t to_us(const timeval &t) {
  return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_usec;
}

timeval from_us(int64_t us) {
  timeval t{};
  t.tv_sec = static_cast<time_t>(us / 1000000);
  t.tv_usec = static_cast<suseconds_t>(us % 1000000);
  return t;
}

// The tolerance around the time estimate. The constant covers arrival jitter (50 datagrams are
// 5.7 ms at 44100 Hz); the relative part covers a sender whose clock, or whose pacing on a busy
// host, runs apart from this host's. Neighbouring candidates lie 65536 apart, so below about
// 1.6 million datagrams (three minutes) at most one of them can lie within it.
double tolerance(double estimate) {
  return 50.0 + estimate / 50.0;
}

void encode24(unsigned char *p, int32_t v) {
  p[0] = static_cast<unsigned char>(v >> 16);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v);
}

int32_t normalized_sample(int32_t v, int32_t mean, double gain) {
  const double q = static_cast<double>(v - static_cast<int64_t>(mean)) / gain;
  // Infinite, undefined or out-of-range quotients (a zero gain among them) give silence.
  if (!std::isfinite(q) || q >= 2147483648.0 || q <= -2147483649.0) return 0;
  return static_cast<int32_t>(q);
}

}  // namespace

void _zelarray_write_fixed_after(unsigned char *dest, const unsigned char *newer,
                                 const unsigned char *previous_frame, int nbytes) {
  for (int k = 0; ZEL_FRAME_BYTES * k < nbytes; ++k) {
    const unsigned char *current = newer + ZEL_FRAME_BYTES * k;
    const unsigned char *previous = k == 0 ? previous_frame : current - ZEL_FRAME_BYTES;
    unsigned char *out = dest + ZEL_FRAME_BYTES * k;
    for (int j = 0; j < 32; ++j) {
      memcpy(out + 6 * j, current + 6 * j, 3);
      memcpy(out + 6 * j + 3, previous + 6 * j + 3, 3);
    }
  }
}

void _zelarray_normalize(zelarray_t *handle, unsigned char *buf, int nbytes) {
  for (int offset = 0; offset < nbytes; offset += ZEL_FRAME_BYTES) {
    unsigned char *frame = buf + offset;
    for (int ch = 0; ch < 64; ++ch) {
      unsigned char *sample = frame + 3 * ch;
      encode24(sample,
               normalized_sample(_zelarray_sample24(sample), handle->means[ch], handle->gains[ch]));
    }
  }
}

zel_gap _zelarray_judge_gap(int gap, int64_t elapsed_us, int rate, int64_t kernel_drops) {
  const bool short_gap = elapsed_us < zel_outage_us;
  if (short_gap && gap == 0) return {zel_gap::in_sequence, 0};
  if (short_gap && gap >= 65536 - zel_stale_window) return {zel_gap::stale, 0};
  // Datagrams sent in between: one per period, less the one that just came.
  double estimate = static_cast<double>(elapsed_us) * rate / 1e6 - 1.0;
  estimate = std::fmax(estimate, static_cast<double>(kernel_drops));
  estimate = std::fmax(estimate, 0.0);
  const double laps = std::fmax(0.0, std::round((estimate - gap) / 65536.0));
  const int64_t candidate = gap + static_cast<int64_t>(laps) * 65536;
  const double off = static_cast<double>(candidate) - estimate;
  if (std::fabs(off) <= tolerance(estimate)) {
    return {candidate == 0 ? zel_gap::in_sequence : zel_gap::loss, candidate};
  }
  // Numbers that say less was lost than the times came late, not missing: after any short gap,
  // and after a long one when they go on all but unbroken (a sender or a path that held the
  // stream up, then let it through). A restart lands that close to the expected number once in
  // about 650 times.
  if (off < 0 && (short_gap || candidate <= zel_late_after_outage)) {
    return {candidate == 0 ? zel_gap::in_sequence : zel_gap::loss, candidate};
  }
  return {zel_gap::discontinuity, static_cast<int64_t>(std::llround(estimate))};
}

SlotAssembler::SlotAssembler(zelarray_t *handle)
    : handle_(handle),
      phase_(handle->wait_nfnbr != -1                ? Phase::waiting
             : handle->dropped < handle->drop_frames ? Phase::dropping
                                                     : Phase::first),
      rate_((handle->speed > 0 ? handle->speed : 44100) / zel_frames_per_datagram),
      fix_delay_(handle->fix_delay == zel_true) {
  if (handle->normalize == zel_true) _zelarray_normalize(handle, silence_, sizeof silence_);
}

void SlotAssembler::add(const zel_arrival &datagram) {
  switch (phase_) {
    case Phase::waiting:
      if (datagram.nfnbr != handle_->wait_nfnbr) return;
      phase_ = handle_->dropped < handle_->drop_frames ? Phase::dropping : Phase::first;
      return;
    case Phase::dropping:
      handle_->dropped += zel_frames_per_datagram;
      if (handle_->dropped >= handle_->drop_frames) phase_ = Phase::first;
      return;
    case Phase::first:
      start_streaming(datagram);
      phase_ = Phase::streaming;
      return;
    case Phase::streaming:
      stream(datagram);
      return;
  }
}

// The first datagram is taken as it is, whatever its number. With the delay fix it only
// provides the previous sample frame of the next one.
void SlotAssembler::start_streaming(const zel_arrival &datagram) {
  if (fix_delay_) {
    memcpy(previous_frame_, datagram.payload + 4 * ZEL_FRAME_BYTES, ZEL_FRAME_BYTES);
    last_slot_time_ = datagram.wall;
  } else {
    store(datagram.payload, datagram.nfnbr, datagram.wall);
  }
  last_slot_ = datagram.nfnbr;
  keep(datagram);
}

namespace {

// A silence in the arrivals is the array's unless this host dropped what would have filled it:
// the datagrams missing, the kernel's drops taken out, must still span an outage.
bool array_was_silent(int64_t elapsed_us, int64_t lost, int64_t drops, int rate) {
  if (elapsed_us < zel_outage_us) return false;
  if (drops == 0) return true;
  return (lost - drops) * 1000000 >= zel_outage_us * rate;
}

}  // namespace

void SlotAssembler::stream(const zel_arrival &datagram) {
  const int gap = (datagram.nfnbr - expected_) & 0xFFFF;
  const int64_t elapsed = datagram.mono_us - last_mono_us_;
  const int64_t drops =
      datagram.has_drops && have_drops_ ? static_cast<uint32_t>(datagram.drops - last_drops_) : 0;
  const zel_gap verdict = _zelarray_judge_gap(gap, elapsed, rate_, drops);
  if (verdict.kind == zel_gap::stale) return;
  if (array_was_silent(elapsed, verdict.lost, drops, rate_)) zel_add(handle_->outages, 1);
  if (verdict.kind == zel_gap::loss) warn_loss(datagram.nfnbr, verdict.lost);
  if (verdict.kind == zel_gap::discontinuity) {
    warn_discontinuity(datagram.nfnbr, verdict.lost);
    zel_add(handle_->discontinuities, 1);
  }
  if (verdict.lost > 0) {
    zel_add(handle_->lost_frames, static_cast<int>(verdict.lost));
    fill(verdict.lost, datagram.wall);
    // Nothing precedes the datagram that revealed the loss: its first odd samples are silence.
    memset(previous_frame_, 0, sizeof previous_frame_);
  }
  store(datagram.payload, datagram.nfnbr, datagram.wall);
  keep(datagram);
}

// Zero slots numbered on from the last one, their times spread evenly between the last kept
// datagram and the one that revealed the loss. A fill longer than the ring only needs to write
// the ring once: the slots before the last ring's worth are passed over unwritten.
void SlotAssembler::fill(int64_t count, const timeval &until) {
  const int64_t start_us = to_us(last_wall_);
  const int64_t span_us = to_us(until) - start_us;
  const int64_t ring_slots = handle_->ring_frames / zel_frames_per_datagram;
  int64_t first = 0;
  if (count > ring_slots) {
    first = count - ring_slots;
    flush();
    _zelarray_rb_publish(handle_, first);
    last_slot_ = static_cast<int>((last_slot_ + first) & 0xFFFF);
  }
  for (int64_t i = first; i < count; ++i) {
    if (zel_load(handle_->running) == 0) return;
    last_slot_ = next_number(last_slot_);
    memcpy(write_slot(), silence_, sizeof silence_);
    publish(last_slot_, from_us(start_us + span_us * (i + 1) / (count + 1)));
  }
}

// The slot of a datagram, rebuilt by the delay fix when it is on. With the fix a slot takes the
// time of the datagram before it, whose last odd samples it begins with.
void SlotAssembler::store(const unsigned char *payload, int nfnbr, const timeval &when) {
  unsigned char *slot = write_slot();
  timeval stamp = when;
  if (fix_delay_) {
    _zelarray_write_fixed_after(slot, payload, previous_frame_, zel_payload_bytes);
    memcpy(previous_frame_, payload + 4 * ZEL_FRAME_BYTES, ZEL_FRAME_BYTES);
    stamp = last_slot_time_;
  } else {
    memcpy(slot, payload, zel_payload_bytes);
  }
  if (handle_->normalize == zel_true) _zelarray_normalize(handle_, slot, zel_payload_bytes);
  last_slot_ = nfnbr;
  publish(nfnbr, stamp);
  last_slot_time_ = when;
}

// The slot after the unpublished ones.
unsigned char *SlotAssembler::write_slot() const {
  const int pos = _zelarray_rb_write_pos(handle_, pending_);
  return handle_->ring + static_cast<size_t>(pos) * ZEL_FRAME_BYTES;
}

// Records the slot just written; a stop request that came meanwhile publishes nothing more.
void SlotAssembler::publish(int nfnbr, const timeval &when) {
  if (zel_load(handle_->running) == 0) return;
  const int pos = _zelarray_rb_write_pos(handle_, pending_);
  const int slot = pos / zel_frames_per_datagram;
  handle_->ring_ts[2 * slot] = static_cast<int32_t>(when.tv_sec);
  handle_->ring_ts[2 * slot + 1] = static_cast<int32_t>(when.tv_usec * 1000);
  handle_->ring_nfnbr[slot] = nfnbr;
  last_slot_time_ = when;
  if (++pending_ == zel_publish_batch_slots) flush();
}

void SlotAssembler::flush() {
  if (pending_ == 0) return;
  _zelarray_rb_publish(handle_, pending_);
  pending_ = 0;
}

void SlotAssembler::keep(const zel_arrival &datagram) {
  expected_ = next_number(datagram.nfnbr);
  last_wall_ = datagram.wall;
  last_mono_us_ = datagram.mono_us;
  last_drops_ = datagram.drops;
  have_drops_ = datagram.has_drops;
}

void SlotAssembler::warn_loss(int received, int64_t lost) const {
  if (handle_->warnings != zel_true) return;
  fprintf(stderr, "[ZELLIB] Lost %d-%d=>%lld at %s", expected_, (received - 1) & 0xFFFF,
          static_cast<long long>(lost), _zelarray_showtime());
  fflush(stderr);
}

void SlotAssembler::warn_discontinuity(int received, int64_t filled) const {
  if (handle_->warnings != zel_true) return;
  fprintf(stderr, "[ZELLIB] Discontinuity %d=>%d, filled %lld by time at %s", expected_, received,
          static_cast<long long>(filled), _zelarray_showtime());
  fflush(stderr);
}
