#include "zelarray_ring.h"

#include <pthread.h>

#include "zel_misc.h"

namespace {

uint64_t ring_size(const zelarray_t *handle) {
  return static_cast<uint64_t>(handle->ring_frames);
}

uint64_t round_up(uint64_t total, uint64_t frames) {
  return (total + frames - 1) / frames * frames;
}

// A reader counts itself a waiter under ring_lock before it sleeps, so one that is not counted
// has not yet tested readiness and needs no signal.
void signal_ready_cursors(zelarray_t *handle) {
  _zelarray_rb_each_cursor(handle, [handle](zelcursor_t *cursor) {
    if (zel_load(cursor->waiters) > 0 && _zelarray_rb_canread(handle, cursor)) {
      pthread_cond_signal(&cursor->cond);
    }
  });
}

// Sample frames written past the cursor; ring_frames + 1 once the writer has lapped it. Totals
// instead of positions: a ring filled all the way to the reader reads as full.
int _zelarray_rb_diff(zelarray_t *handle, zelcursor_t *cursor) {
  const uint64_t unread = handle->wtotal - zel_load(cursor->rtotal);
  return unread > ring_size(handle) ? handle->ring_frames + 1 : static_cast<int>(unread);
}

}  // namespace

int _zelarray_rb_write_pos(const zelarray_t *handle, int ahead_slots) {
  return (handle->wpos + ahead_slots * zel_frames_per_datagram) % handle->ring_frames;
}

// wtotal is also read without the lock, after a copy, by readers that check whether the writer
// reached what they copied.
void _zelarray_rb_publish(zelarray_t *handle, int64_t slots) {
  const uint64_t frames = static_cast<uint64_t>(slots) * zel_frames_per_datagram;
  pthread_mutex_lock(&handle->ring_lock);
  const uint64_t wtotal = handle->wtotal + frames;
  handle->wpos = static_cast<int>(wtotal % ring_size(handle));
  zel_store(handle->wtotal, wtotal, std::memory_order_release);
  signal_ready_cursors(handle);
  pthread_mutex_unlock(&handle->ring_lock);
}

void _zelarray_rb_halt(zelarray_t *handle) {
  pthread_mutex_lock(&handle->ring_lock);
  zel_store(handle->running, 0);
  _zelarray_rb_each_cursor(handle,
                           [](zelcursor_t *cursor) { pthread_cond_broadcast(&cursor->cond); });
  pthread_mutex_unlock(&handle->ring_lock);
}

void _zelarray_rb_rewind(zelarray_t *handle) {
  handle->wpos = 0;
  zel_store(handle->wtotal, uint64_t{0});
}

uint64_t _zelarray_rb_lap_start(const zelarray_t *handle) {
  return handle->wtotal - handle->wtotal % ring_size(handle);
}

void _zelarray_rb_place(const zelarray_t *handle, zelcursor_t *cursor, uint64_t rtotal) {
  zel_store(cursor->rtotal, rtotal);
  zel_store(cursor->rpos, static_cast<int>(rtotal % ring_size(handle)));
}

int _zelarray_rb_canread(zelarray_t *handle, zelcursor_t *cursor) {
  return _zelarray_rb_diff(handle, cursor) >= cursor->frames ? 1 : 0;
}

void _zelarray_rb_add(zelarray_t *handle, zelcursor_t *cursor) {
  _zelarray_rb_place(handle, cursor,
                     zel_load(cursor->rtotal) + static_cast<uint64_t>(cursor->frames));
}

// A reader the writer has lapped would read newer data than it expects, or a slot being
// rewritten. The writer may be writing anywhere within zel_writer_span_frames past wtotal, so
// intact data starts that far past the writer's lap. An eighth of the ring further on, a reader
// that is slow anyway can copy its buffer before the writer comes round to it again.
bool _zelarray_rb_skip_overwritten(zelarray_t *handle, zelcursor_t *cursor) {
  const uint64_t ring = ring_size(handle);
  const uint64_t wtotal = handle->wtotal;
  const uint64_t span = static_cast<uint64_t>(zel_writer_span_frames);
  if (wtotal - zel_load(cursor->rtotal) <= ring - span) return false;
  const uint64_t frames = static_cast<uint64_t>(cursor->frames);
  const uint64_t oldest = wtotal - ring + span;
  uint64_t target = round_up(oldest + ring / 8, frames);
  if (target + frames > wtotal) target = round_up(oldest, frames);
  zel_add(cursor->skipped, target - zel_load(cursor->rtotal));
  _zelarray_rb_place(handle, cursor, target);
  return true;
}

// The copy ran without ring_lock, so a writer short of the reader's lap may have come round to
// the span meanwhile. The slots it may be writing lie within zel_writer_span_frames of wtotal, so
// the span (the buffer the cursor just passed) is intact while they end no later than a ring past
// the span's start. The fence keeps the load of wtotal after the copy's reads; g++ refuses
// stand-alone fences under ThreadSanitizer, which does not model them, so that build does without.
bool _zelarray_rb_writer_reached(zelarray_t *handle, zelcursor_t *cursor) {
#if !defined(__SANITIZE_THREAD__)
  std::atomic_thread_fence(std::memory_order_acquire);
#endif
  const uint64_t written = zel_load(handle->wtotal, std::memory_order_acquire);
  const uint64_t start = zel_load(cursor->rtotal) - static_cast<uint64_t>(cursor->frames);
  const uint64_t writing_end = written + static_cast<uint64_t>(zel_writer_span_frames);
  return writing_end > start + ring_size(handle);
}
