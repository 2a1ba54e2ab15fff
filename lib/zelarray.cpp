#include "zelarray.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/time.h>

#include "zel_misc.h"
#include "zelarray_ring.h"
#include "zelarray_slots.h"
#include "zelcursor.h"
#include "zelerror.h"
#include "zelmsg.h"

namespace {

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

// The drops of this capture, counted when its thread stops receiving: the array streams on until
// it is told to stop, and what the kernel drops after the last receive was never this capture's.
void count_kernel_drops(zelarray_t *handle) {
  zel_store(handle->kernel_drops,
            static_cast<int>(_zelmsg_kernel_drops(handle) - handle->kdrops_base));
}

// The capture ends on its own: readers blocked on it are woken and told the capture's status.
void end_capture(zelarray_t *handle, zelerror code) {
  count_kernel_drops(handle);
  zel_store(handle->capture_error, static_cast<int>(code));
  _zelarray_rb_halt(handle);
}

}  // namespace

zelerror _zelarray_set_dip(zelarray_t *handle, const char *text) {
  const size_t len = text == nullptr ? 17 : strnlen(text, 17);
  if (len > 16) return ZEL_EDESTIP;
  memset(handle->dip, 0, 17);
  memcpy(handle->dip, text, len);
  return ZEL_OK;
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
    if (taken < 0) return end_capture(handle, ZEL_ECAPTURE), nullptr;
    // Only a receive that found nothing ends the capture: after a stall of this process the
    // queue's last datagram may be old while newer ones, dropped or still coming, follow it.
    if (taken == 0 && !slots.waiting() && _zelarray_now_us() - heard_us >= limit_us) {
      return end_capture(handle, ZEL_ECAPTURE), nullptr;
    }
  }
  count_kernel_drops(handle);
  zel_store(handle->capture_error, static_cast<int>(ZEL_OK));
  return nullptr;
}

int64_t _zelarray_receive_period_us(zelarray_t *handle, int64_t bound_us) {
  int smallest = handle->ring_frames;
  pthread_mutex_lock(&handle->ring_lock);
  _zelarray_rb_each_cursor(handle, [&smallest](const zelcursor_t *cursor) {
    smallest = std::min(smallest, cursor->frames);
  });
  pthread_mutex_unlock(&handle->ring_lock);
  const int64_t rate = handle->speed > 0 ? handle->speed : 44100;
  const int64_t fill_us = static_cast<int64_t>(smallest) * 1000000 / rate;
  return std::min({fill_us, bound_us, zel_max_receive_period_us});
}

// ---- Handle states ------------------------------------------------------------------------

zelerror _zelarray_admit(zelarray_t *handle, unsigned allowed) {
  if (handle == nullptr) return ZEL_ENULL;
  const int state = zel_load(handle->status, std::memory_order_acquire);
  return (allowed & (1u << state)) != 0 ? ZEL_OK : ZEL_EORDER;
}
