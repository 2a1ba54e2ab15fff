#include "zelarray.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <sys/time.h>

#include "zel_misc.h"
#include "zelarray_slots.h"
#include "zelcursor.h"
#include "zelerror.h"
#include "zelmsg.h"

namespace {

// ---- Device commands -------------------------------------------------------------------------

constexpr unsigned char cmd_set_slave = 1;
constexpr unsigned char cmd_query_slave = 2;
constexpr unsigned char cmd_query_ids = 3;
constexpr unsigned char cmd_set_capture = 4;
constexpr unsigned char cmd_query_capture = 5;
constexpr unsigned char cmd_set_speed = 7;
constexpr unsigned char cmd_query_speed = 8;

struct MsgDeleter {
  void operator()(zelmsg_t *msg) const {
    zelerror ignored;
    _zelmsg_delete(msg, &ignored);
  }
};
using MsgPtr = std::unique_ptr<zelmsg_t, MsgDeleter>;

MsgPtr make_request(unsigned char code, bool on, zelerror *err) {
  MsgPtr msg(_zelmsg_create(err));
  if (msg) {
    msg->data[1] = code;
    msg->data[2] = msg->data[3] = on ? 0xFF : 0x00;
    msg->len = zel_request_bytes;
  }
  return msg;
}

// Sends a query and leaves the awaited reply in `reply`. False (err set) on any failure.
bool query(zelarray_t *handle, unsigned char code, int type, MsgPtr &reply, zelerror *err) {
  MsgPtr request = make_request(code, false, err);
  if (!request) return false;
  reply.reset(_zelmsg_create(err));
  if (!reply) return false;
  _zelmsg_queryloop(handle, request.get(), reply.get(), type, err);
  return *err == ze_ok;
}

// Byte 2 of a status reply: 1 or 0, anything else is error 12 (-1 returned).
int query_status_byte(zelarray_t *handle, unsigned char code, int type, zelerror *err) {
  MsgPtr reply;
  if (!query(handle, code, type, reply, err)) return -1;
  const unsigned char value = reply->data[2];
  if (value > 1) {
    zel_report(err, ze_parse);
    return -1;
  }
  return value;
}

// Sends `request` and reads the value back with `read_back` (the matching query) until the
// array reports `wanted`, within zel_enforce_max_passes passes and zel_enforce_deadline_ms.
template <class ReadBack>
void enforce(zelarray_t *handle, zelmsg_t *request, int wanted, int current, ReadBack read_back,
             zelerror *err) {
  const int64_t give_up = _zelarray_now_ms() + zel_enforce_deadline_ms;
  for (int pass = 0; current != wanted; ++pass) {
    if (pass == zel_enforce_max_passes || _zelarray_now_ms() >= give_up) {
      zel_report(err, ze_parse);
      return;
    }
    _zelmsg_send(handle, request, err);
    if (*err != ze_ok) return;
    current = read_back(err);
    if (*err != ze_ok) return;
  }
  zel_report(err, ze_ok);
}

// ---- Capture thread helpers ----------------------------------------------------------------

bool is_running(zelarray_t *handle) {
  return zel_load(handle->running) != 0;
}

int64_t wall_us(const timeval &t) {
  return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_usec;
}

int64_t wall_now_us() {
  timeval now{};
  gettimeofday(&now, nullptr);
  return wall_us(now);
}

// Both clocks read once for a batch of datagrams.
struct Now {
  int64_t wall_us;
  int64_t mono_us;
};

Now now() {
  return {wall_now_us(), _zelarray_now_us()};
}

// The datagram's arrival on the monotonic clock: its age by the wall clock, read now, taken from
// the monotonic time now. A wall-clock step between two datagrams then changes neither the
// loss arithmetic nor the silence limit.
zel_arrival arrival_of(zelmsg_t *msg, const Now &at) {
  const int64_t age_us = at.wall_us - wall_us(msg->arrival);
  return {_zelmsg_extract_framenumber(msg),
          _zelmsg_extract_dataptr(msg),
          msg->arrival,
          age_us > 0 && age_us < at.mono_us ? at.mono_us - age_us : at.mono_us,
          msg->drops,
          msg->has_drops};
}

// Below this receive period the thread waits for each datagram instead of sleeping: a sleep
// and wake-up cost about as much as a wait that a datagram ends.
constexpr int64_t zel_poll_below_us = 1000;

// Waits for the next receive: until input comes when the readers need every datagram soon, else
// until the next tick of a timer of the receive period. Never longer than
// zel_max_receive_period_us, so that a stop request is seen that soon, nor than `bound_us`, a
// quarter of what the socket buffer holds. False when the socket failed.
bool wait_for_receive(zelarray_t *handle, int64_t bound_us, int64_t &next_us) {
  const int64_t period_us = _zelarray_receive_period_us(handle, bound_us);
  if (period_us < zel_poll_below_us) {
    next_us = 0;
    return _zelmsg_wait_input(handle, zel_max_receive_period_us / 1000) != zel_wait::failed;
  }
  const int64_t now_us = _zelarray_now_us();
  if (next_us <= now_us || next_us > now_us + period_us) next_us = now_us + period_us;
  const timespec at{static_cast<time_t>(next_us / 1000000),
                    static_cast<long>(next_us % 1000000 * 1000)};
  clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
  next_us += period_us;
  return true;
}

// Takes every datagram queued into the assembler, publishing once per system call. The arrival
// of the last data datagram goes to heard_us. The data datagrams taken, -1 when the socket failed.
int drain(zelarray_t *handle, zelmsg_batch *batch, SlotAssembler &slots, int64_t &heard_us) {
  int taken = 0;
  for (;;) {
    const int n = _zelmsg_take_batch(handle, batch);
    if (n < 0) return -1;
    const Now at = now();
    for (int i = 0; i < n; ++i) {
      zelmsg_t *msg = &batch->msgs[i];
      if (!_zelmsg_is_dataframe(msg)) continue;
      const zel_arrival datagram = arrival_of(msg, at);
      heard_us = datagram.mono_us;
      slots.add(datagram);
      ++taken;
    }
    slots.flush();
    if (n < zel_batch_datagrams || !is_running(handle)) return taken;
  }
}

// The capture ends on its own: readers blocked on it are woken under ring_lock, so that none can
// miss the end, and are told the capture's status.
void end_capture(zelarray_t *handle, zelerror code) {
  zel_store(handle->capture_error, static_cast<int>(code));
  pthread_mutex_lock(&handle->ring_lock);
  zel_store(handle->running, 0);
  for (zelcursor_t *cursor : handle->cursors) {
    if (cursor != nullptr) pthread_cond_broadcast(&cursor->cond);
  }
  pthread_mutex_unlock(&handle->ring_lock);
}

int32_t decode24(const unsigned char *p) {
  const int32_t v = (p[0] << 16) | (p[1] << 8) | p[2];
  return (v ^ 0x800000) - 0x800000;
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

// ---- Device commands ---------------------------------------------------------------------

void _zelarray_query_ids(zelarray_t *handle, zelerror *err) {
  MsgPtr reply;
  if (!query(handle, cmd_query_ids, type_ids, reply, err)) return;
  handle->id = reply->data[2] + 256 * reply->data[3];
  memcpy(handle->prom_nb, reply->data + 6, 8);
  handle->prom_nb[8] = '\0';
}

zelbool _zelarray_query_capture(zelarray_t *handle, zelerror *err) {
  const int value = query_status_byte(handle, cmd_query_capture, type_capture, err);
  if (value < 0) return zel_unset;
  return value == 1 ? zel_true : zel_false;
}

void _zelarray_query_speed(zelarray_t *handle, zelerror *err) {
  const int value = query_status_byte(handle, cmd_query_speed, type_speed, err);
  if (value >= 0) handle->speed = value == 1 ? 44100 : 22050;
}

void _zelarray_query_slave(zelarray_t *handle, zelerror *err) {
  const int value = query_status_byte(handle, cmd_query_slave, type_slave, err);
  if (value >= 0) handle->slave = value == 1 ? zel_true : zel_false;
}

void _zelarray_enforce_capture(zelarray_t *handle, zelbool on, zelerror *err) {
  MsgPtr request = make_request(cmd_set_capture, on == zel_true, err);
  if (!request) return;
  // The current state is never assumed: at least one set request always goes out.
  enforce(
      handle, request.get(), on, zel_unset,
      [handle](zelerror *e) { return _zelarray_query_capture(handle, e); }, err);
}

void _zelarray_enforce_speed(zelarray_t *handle, int speed, zelerror *err) {
  MsgPtr request = make_request(cmd_set_speed, speed == 44100, err);
  if (!request) return;
  enforce(
      handle, request.get(), speed, handle->speed,
      [handle](zelerror *e) {
        _zelarray_query_speed(handle, e);
        return handle->speed;
      },
      err);
}

void _zelarray_enforce_slave(zelarray_t *handle, zelbool slave, zelerror *err) {
  MsgPtr request = make_request(cmd_set_slave, slave == zel_true, err);
  if (!request) return;
  enforce(
      handle, request.get(), slave, handle->slave,
      [handle](zelerror *e) {
        _zelarray_query_slave(handle, e);
        return handle->slave;
      },
      err);
}

void _zelarray_set_dip(zelarray_t *handle, const char *text, zelerror *err) {
  const size_t len = text == nullptr ? 17 : strnlen(text, 17);
  if (len > 16) {
    zel_report(err, ze_dest_ip);
    return;
  }
  memset(handle->dip, 0, 17);
  memcpy(handle->dip, text, len);
  zel_report(err, ze_ok);
}

// ---- Capture thread ----------------------------------------------------------------------

// Receives batch after batch of datagrams into the slot assembler until told to stop, or until
// the array has been silent for the silence limit (never while it waits for the start number;
// measured on the datagrams' arrival times), or the socket fails: then the capture ends with
// code 1.
void *_zelarray_capture(void *arg) {
  auto *handle = static_cast<zelarray_t *>(arg);
  SlotAssembler slots(handle);
  zelmsg_batch batch;  // on the thread's stack: a running capture allocates nothing
  _zelmsg_batch_init(&batch);
  const int64_t limit_us = static_cast<int64_t>(handle->silence_limit_ms) * 1000;
  int64_t heard_us = _zelarray_now_us();
  int64_t next_us = 0;
  // A buffer smaller than asked for (the kernel's limit) must not fill while the thread sleeps.
  const int64_t rate = handle->speed > 0 ? handle->speed / zel_frames_per_datagram : 8820;
  const int64_t bound_us =
      static_cast<int64_t>(_zelmsg_queue_capacity(handle)) * 1000000 / 4 / rate;
  while (is_running(handle)) {
    const int taken =
        wait_for_receive(handle, bound_us, next_us) ? drain(handle, &batch, slots, heard_us) : -1;
    if (taken < 0) return end_capture(handle, ze_capture), nullptr;
    // Only a receive that found nothing ends the capture: after a stall of this process the
    // queue's last datagram may be old while newer ones, dropped or still coming, follow it.
    if (taken == 0 && !slots.waiting() && _zelarray_now_us() - heard_us >= limit_us) {
      return end_capture(handle, ze_capture), nullptr;
    }
  }
  zel_store(handle->capture_error, static_cast<int>(ze_ok));
  return nullptr;
}

void _zelarray_write_fixed(unsigned char *dest, const unsigned char *newer,
                           const unsigned char *older, int nbytes) {
  _zelarray_write_fixed_after(dest, newer, older + ZEL_FRAME_BYTES * (zel_frames_per_datagram - 1),
                              nbytes);
}

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
      encode24(sample, normalized_sample(decode24(sample), handle->means[ch], handle->gains[ch]));
    }
  }
}

namespace {

// The walk of the cursor table runs under ring_lock, so that a cursor deleted by another thread is
// never touched after it left the table. A reader counts itself a waiter under the same lock
// before it sleeps, so one that is not counted has not yet tested readiness and needs no signal.
void signal_ready_cursors(zelarray_t *handle) {
  int visited = 0;
  for (int i = 0; i < ZEL_MAX_CURSORS && visited < handle->cursor_count; ++i) {
    zelcursor_t *cursor = handle->cursors[i];
    if (cursor == nullptr) continue;
    ++visited;
    if (zel_load(cursor->waiters) > 0 && _zelarray_rb_canread(handle, cursor)) {
      pthread_cond_signal(&cursor->cond);
    }
  }
}

}  // namespace

// wtotal is also read without the lock, after a copy, by readers that check whether the writer
// reached what they copied.
void _zelarray_publish_slots(zelarray_t *handle, int64_t slots) {
  const int64_t frames = slots * zel_frames_per_datagram;
  pthread_mutex_lock(&handle->ring_lock);
  handle->wpos = static_cast<int>((handle->wpos + frames) % handle->ring_frames);
  zel_store(handle->wtotal, handle->wtotal + static_cast<uint64_t>(frames),
            std::memory_order_release);
  signal_ready_cursors(handle);
  pthread_mutex_unlock(&handle->ring_lock);
}

int64_t _zelarray_receive_period_us(zelarray_t *handle, int64_t bound_us) {
  int smallest = handle->ring_frames;
  pthread_mutex_lock(&handle->ring_lock);
  int visited = 0;
  for (int i = 0; i < ZEL_MAX_CURSORS && visited < handle->cursor_count; ++i) {
    const zelcursor_t *cursor = handle->cursors[i];
    if (cursor == nullptr) continue;
    ++visited;
    if (cursor->frames < smallest) smallest = cursor->frames;
  }
  pthread_mutex_unlock(&handle->ring_lock);
  const int64_t rate = handle->speed > 0 ? handle->speed : 44100;
  const int64_t fill_us = static_cast<int64_t>(smallest) * 1000000 / rate;
  return std::min({fill_us, bound_us, zel_max_receive_period_us});
}

// ---- Ring arithmetic (read side) -----------------------------------------------------------

int _zelarray_rb_diff(zelarray_t *handle, zelcursor_t *cursor) {
  // Totals instead of positions: a ring filled all the way to the reader reads as full.
  const uint64_t unread = handle->wtotal - zel_load(cursor->rtotal);
  return unread > static_cast<uint64_t>(handle->ring_frames) ? handle->ring_frames + 1
                                                             : static_cast<int>(unread);
}

int _zelarray_rb_canread(zelarray_t *handle, zelcursor_t *cursor) {
  return _zelarray_rb_diff(handle, cursor) >= cursor->frames ? 1 : 0;
}

void _zelarray_rb_add(zelarray_t *handle, zelcursor_t *cursor) {
  int rpos = cursor->rpos + cursor->frames;
  if (rpos >= handle->ring_frames) rpos -= handle->ring_frames;
  zel_store(cursor->rpos, rpos);
  zel_store(cursor->rtotal, zel_load(cursor->rtotal) + static_cast<uint64_t>(cursor->frames));
}

// ---- Default-cursor operations ---------------------------------------------------------------

namespace {

// The copy runs without ring_lock, so a writer short of the reader's lap may have come round to
// the span meanwhile. The slots it may be writing lie within zel_writer_span_frames of wtotal, so
// the span (the buffer the cursor just passed) is intact while they end no later than a ring past
// the span's start. The fence keeps the load of wtotal after the copy's reads; g++ refuses
// stand-alone fences under ThreadSanitizer, which does not model them, so that build does without.
bool writer_reached_copy(zelarray_t *handle, zelcursor_t *cursor) {
#if !defined(__SANITIZE_THREAD__)
  std::atomic_thread_fence(std::memory_order_acquire);
#endif
  const uint64_t written = zel_load(handle->wtotal, std::memory_order_acquire);
  const uint64_t start = zel_load(cursor->rtotal) - static_cast<uint64_t>(cursor->frames);
  const uint64_t writing_end = written + static_cast<uint64_t>(zel_writer_span_frames);
  return writing_end > start + static_cast<uint64_t>(handle->ring_frames);
}

}  // namespace

void _zelarray_wait_status(zelarray_t *handle, int state, zelerror *err) {
  while (zel_load(handle->status, std::memory_order_acquire) != state) {
    const timespec pause{0, 50000000};
    nanosleep(&pause, nullptr);
  }
  zel_report(err, ze_ok);
}

zelbool _zelarray_get_databuffer(zelarray_t *handle, void *dest, int32_t *ts, int *nfnbr,
                                 zelerror *err, zelbool blocking) {
  zelcursor_t *cursor = handle->cursors[0];
  void *data = nullptr;
  const zelbool got = zelcursor_get_ptr(handle, cursor, &data, ts, nfnbr, err, blocking, zel_true);
  if (got != zel_true) return got;
  memcpy(dest, data, static_cast<size_t>(cursor->datasize));
  if (writer_reached_copy(handle, cursor)) _zelcursor_flag_overflow(handle, cursor);
  zel_report(err, ze_ok);
  return zel_true;
}

void _zelarray_get_current_databuffer_timestamp(zelarray_t *handle, int32_t *ts, zelerror *err) {
  zelcursor_get_ptr(handle, handle->cursors[0], nullptr, ts, nullptr, err, zel_true, zel_false);
}

int _zelarray_get_current_databuffer_nfnbr(zelarray_t *handle, zelerror *err) {
  int nfnbr = 0;
  if (zelcursor_get_ptr(handle, handle->cursors[0], nullptr, nullptr, &nfnbr, err, zel_true,
                        zel_false) != zel_true) {
    return 0;
  }
  return nfnbr;
}

void _zelarray_skip_databuffer(zelarray_t *handle, zelerror *err) {
  zelcursor_get_ptr(handle, handle->cursors[0], nullptr, nullptr, nullptr, err, zel_true, zel_true);
}

zelbool _zelarray_check_databuffer_overflow(zelarray_t *handle, zelerror *err) {
  return zelcursor_check_overflow(handle, handle->cursors[0], err);
}
