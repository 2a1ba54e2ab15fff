#include "zelarray.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <sys/time.h>

#include "zel_misc.h"
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

unsigned char *slot_ptr(zelarray_t *handle) {
  return handle->ring + static_cast<size_t>(handle->wpos) * ZEL_FRAME_BYTES;
}

int slot_index(const zelarray_t *handle) {
  return handle->wpos / zel_frames_per_datagram;
}

timeval wall_clock() {
  timeval now{};
  gettimeofday(&now, nullptr);
  return now;
}

void stamp_slot(zelarray_t *handle, const timeval &when) {
  int32_t *entry = handle->ring_ts + 2 * slot_index(handle);
  entry[0] = static_cast<int32_t>(when.tv_sec);
  entry[1] = static_cast<int32_t>(when.tv_usec * 1000);
}

// Every receive of the capture thread leaves its status in capture_error.
bool receive(zelarray_t *handle, zelmsg_t *msg) {
  zelerror err = ze_ok;
  _zelmsg_recv_dataframe(handle, msg, &err);
  zel_store(handle->capture_error, err);
  return err == ze_ok;
}

// Finishes a pass that produced a slot: number, normalization, publication. A stop request
// that came during the pass publishes nothing.
void publish_slot(zelarray_t *handle, int nfnbr) {
  if (!is_running(handle)) return;
  handle->ring_nfnbr[slot_index(handle)] = nfnbr;
  if (handle->normalize == zel_true)
    _zelarray_normalize(handle, slot_ptr(handle), zel_payload_bytes);
  _zelarray_incwpos(handle);
}

int next_number(int n) {
  return (n + 1) & 0xFFFF;
}

// Loss bookkeeping shared by both loops.
struct LossState {
  int expected = -1;     // number expected next, -1 while none is known
  int last_slot = -1;    // number given to the last slot produced
  int fill = 0;          // lost slots still to zero fill
  bool pending = false;  // the datagram that revealed a loss still owes its slot
};

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

void *_zelarray_capture(void *arg) {
  auto *handle = static_cast<zelarray_t *>(arg);
  _zelarray_capture_wait_nfnbr(handle);
  _zelarray_capture_dropinit(handle);
  if (zel_load(handle->capture_error) != ze_ok) {
    zel_store(handle->capture_error, static_cast<int>(ze_capture));
    return nullptr;
  }
  if (handle->fix_delay == zel_true) {
    _zelarray_capture_fixdelay_true(handle);
  } else {
    _zelarray_capture_fixdelay_false(handle);
  }
  const bool failed = zel_load(handle->capture_error) != ze_ok;
  zel_store(handle->capture_error, static_cast<int>(failed ? ze_capture : ze_ok));
  return nullptr;
}

void _zelarray_capture_wait_nfnbr(zelarray_t *handle) {
  if (handle->wait_nfnbr == -1) return;
  while (is_running(handle)) {
    // A failed receive does not end the wait; its code stays until the drop phase ends.
    if (receive(handle, handle->msg_a) &&
        _zelmsg_extract_framenumber(handle->msg_a) == handle->wait_nfnbr) {
      return;
    }
  }
}

void _zelarray_capture_dropinit(zelarray_t *handle) {
  while (is_running(handle) && handle->dropped < handle->drop_frames) {
    if (!receive(handle, handle->msg_a)) return;
    handle->dropped += zel_frames_per_datagram;
  }
  zel_store(handle->capture_error, static_cast<int>(ze_ok));
}

void _zelarray_capture_fixdelay_false(zelarray_t *handle) {
  LossState s;
  zelmsg_t *msg = handle->msg_a;
  while (is_running(handle)) {
    stamp_slot(handle, wall_clock());
    unsigned char *slot = slot_ptr(handle);
    if (s.fill > 0) {
      memset(slot, 0, zel_payload_bytes);
      s.last_slot = next_number(s.last_slot);
      --s.fill;
    } else if (s.pending) {
      // msg still holds the datagram that revealed the loss: no receive happened since.
      memcpy(slot, _zelmsg_extract_dataptr(msg), zel_payload_bytes);
      s.last_slot = next_number(s.last_slot);
      s.pending = false;
    } else {
      if (!receive(handle, msg)) return;
      const int n = _zelmsg_extract_framenumber(msg);
      const int lost = _zelarray_check_nblost(handle, n, s.expected);
      if (lost == zel_stale) continue;
      s.expected = next_number(n);
      if (lost > 0) {
        s.fill = lost;
        s.pending = true;
        continue;
      }
      memcpy(slot, _zelmsg_extract_dataptr(msg), zel_payload_bytes);
      s.last_slot = n;
    }
    publish_slot(handle, s.last_slot);
  }
  zel_store(handle->capture_error, static_cast<int>(ze_ok));
}

void _zelarray_capture_fixdelay_true(zelarray_t *handle) {
  LossState s;
  bool priming = true;
  timeval previous_pass{};
  while (is_running(handle)) {
    const timeval this_pass = wall_clock();
    unsigned char *slot = slot_ptr(handle);
    bool produced = true;
    if (s.fill > 0) {
      memset(slot, 0, zel_payload_bytes);
      s.last_slot = next_number(s.last_slot);
      --s.fill;
    } else if (s.pending) {
      // The datagram that revealed the loss has no predecessor to be combined with.
      memset(slot, 0, zel_payload_bytes);
      s.last_slot = next_number(s.last_slot);
      s.pending = false;
    } else if (priming) {
      if (!receive(handle, handle->msg_a)) return;
      const int n = _zelmsg_extract_framenumber(handle->msg_a);
      s.expected = next_number(n);
      s.last_slot = n;
      handle->msg_current = zel_false;
      priming = false;
      produced = false;
    } else {
      const bool into_b = handle->msg_current == zel_false;
      zelmsg_t *newer = into_b ? handle->msg_b : handle->msg_a;
      zelmsg_t *older = into_b ? handle->msg_a : handle->msg_b;
      if (!receive(handle, newer)) return;
      const int n = _zelmsg_extract_framenumber(newer);
      const int lost = _zelarray_check_nblost(handle, n, s.expected);
      if (lost == zel_stale) {
        // Dropped: the next datagram pairs with the last one kept, which `older` still holds.
        previous_pass = this_pass;
        continue;
      }
      handle->msg_current = into_b ? zel_true : zel_false;
      s.expected = next_number(n);
      if (lost > 0) {
        s.fill = lost;
        s.pending = true;
        produced = false;
      } else {
        _zelarray_write_fixed(slot, _zelmsg_extract_dataptr(newer), _zelmsg_extract_dataptr(older),
                              zel_payload_bytes);
        s.last_slot = n;
      }
    }
    if (produced && is_running(handle)) stamp_slot(handle, previous_pass);
    if (produced) publish_slot(handle, s.last_slot);
    previous_pass = this_pass;
  }
  zel_store(handle->capture_error, static_cast<int>(ze_ok));
}

int _zelarray_check_nblost(zelarray_t *handle, int received, int expected) {
  if (expected == -1) return 0;
  const int lost = (received - expected) & 0xFFFF;
  if (lost == 0) return 0;
  if (lost >= 65536 - zel_stale_window) return zel_stale;
  if (handle->warnings == zel_true) {
    fprintf(stderr, "[ZELLIB] Lost %d-%d=>%d at %s", expected, (received - 1) & 0xFFFF, lost,
            _zelarray_showtime());
    fflush(stderr);
  }
  zel_add(handle->lost_frames, lost);
  return lost;
}

void _zelarray_write_fixed(unsigned char *dest, const unsigned char *newer,
                           const unsigned char *older, int nbytes) {
  for (int k = 0; ZEL_FRAME_BYTES * k < nbytes; ++k) {
    const unsigned char *current = newer + ZEL_FRAME_BYTES * k;
    const unsigned char *previous = k == 0 ? older + ZEL_FRAME_BYTES * (zel_frames_per_datagram - 1)
                                           : current - ZEL_FRAME_BYTES;
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

void _zelarray_rb_add_w(zelarray_t *handle) {
  handle->wpos += zel_frames_per_datagram;
  if (handle->wpos >= handle->ring_frames) handle->wpos -= handle->ring_frames;
  handle->wtotal += zel_frames_per_datagram;
}

void _zelarray_incwpos(zelarray_t *handle) {
  // The walk of the cursor table runs under ring_lock as well, so that a cursor deleted by
  // another thread is never touched after it left the table.
  pthread_mutex_lock(&handle->ring_lock);
  _zelarray_rb_add_w(handle);
  int visited = 0;
  for (int i = 0; i < ZEL_MAX_CURSORS && visited < handle->cursor_count; ++i) {
    zelcursor_t *cursor = handle->cursors[i];
    if (cursor == nullptr) continue;
    ++visited;
    if (_zelarray_rb_canread(handle, cursor)) pthread_cond_signal(&cursor->cond);
  }
  pthread_mutex_unlock(&handle->ring_lock);
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
