#include <cstdio>
#include <cstdlib>

#include "zel_misc.h"
#include "zelarray.h"
#include "zelcursor.h"
#include "zelerror.h"
#include "zellib.h"

namespace {

bool slot_in_table(const zelcursor_t *cursor) {
  return cursor != nullptr && cursor->slot >= 0 && cursor->slot < ZEL_MAX_CURSORS;
}

int first_free_slot(const zelarray_t *handle) {
  for (int i = 0; i < ZEL_MAX_CURSORS; ++i) {
    if (handle->cursors[i] == nullptr) return i;
  }
  return -1;
}

// Position 0 of the ring in the writer's current lap: a cursor made or reset during a capture
// reads from the start of the ring up to the write position. Called under ring_lock.
uint64_t ring_start_total(const zelarray_t *handle) {
  return handle->wtotal - static_cast<uint64_t>(handle->wpos);
}

void reset_position(zelcursor_t *cursor, uint64_t rtotal) {
  zel_store(cursor->rpos, 0);
  zel_store(cursor->rtotal, rtotal);
  cursor->last_ts = 0;
  zel_store(cursor->overflow, static_cast<int>(zel_false));
}

uint64_t round_up(uint64_t total, uint64_t frames) {
  return (total + frames - 1) / frames * frames;
}

// A reader the writer has lapped would read newer data than it expects, or a slot being
// rewritten. It moves on to intact data: the writer may be writing anywhere within
// zel_writer_span_frames past wtotal, so intact data starts that far past the writer's lap. An
// eighth of the ring further on, a reader that is slow anyway can copy its buffer before the writer
// comes round to it again. Called under ring_lock.
bool skip_overwritten(zelarray_t *handle, zelcursor_t *cursor) {
  const uint64_t ring = static_cast<uint64_t>(handle->ring_frames);
  const uint64_t wtotal = handle->wtotal;
  const uint64_t span = static_cast<uint64_t>(zel_writer_span_frames);
  if (wtotal - zel_load(cursor->rtotal) <= ring - span) return false;
  const uint64_t frames = static_cast<uint64_t>(cursor->frames);
  const uint64_t oldest = wtotal - ring + span;
  uint64_t target = round_up(oldest + ring / 8, frames);
  if (target + frames > wtotal) target = round_up(oldest, frames);
  zel_store(cursor->rtotal, target);
  zel_store(cursor->rpos, static_cast<int>(target % ring));
  return true;
}

// Readiness test and wait (under ring_lock). True when a buffer is ready; `lapped` tells
// whether the cursor had to skip overwritten data.
bool wait_ready(zelarray_t *handle, zelcursor_t *cursor, bool blocking, bool &lapped) {
  pthread_mutex_lock(&handle->ring_lock);
  bool ready = false;
  for (;;) {
    lapped = skip_overwritten(handle, cursor) || lapped;
    ready = _zelarray_rb_canread(handle, cursor) != 0;
    if (ready || !blocking || zel_load(handle->running) == 0) break;
    zel_store(cursor->waiters, cursor->waiters + 1);
    pthread_cond_wait(&cursor->cond, &handle->ring_lock);
    zel_store(cursor->waiters, cursor->waiters - 1);
  }
  pthread_mutex_unlock(&handle->ring_lock);
  return ready;
}

// The time of the first buffer read since the cursor was (re)initialised.
void note_first_time(zelcursor_t *cursor, const int32_t *entry) {
  if (cursor->last_ts != 0) return;
  cursor->last_ts =
      _zelarray_uint64ts(static_cast<uint32_t>(entry[0]), static_cast<uint32_t>(entry[1]));
}

}  // namespace

void _zelcursor_flag_overflow(zelarray_t *handle, zelcursor_t *cursor) {
  zel_store(cursor->overflow, static_cast<int>(zel_true));
  if (handle->warnings != zel_true) return;
  fprintf(stderr, "[ZELLIB] Ring buffer overflow (cursor #%d) at %s", cursor->slot,
          _zelarray_showtime());
  fflush(stderr);
}

void _zelcursor_reinit_locked(zelarray_t *handle, zelcursor_t *cursor, zelerror *err) {
  reset_position(cursor, ring_start_total(handle));
  pthread_cond_destroy(&cursor->cond);
  zel_report(err, pthread_cond_init(&cursor->cond, nullptr) == 0 ? ze_ok : ze_internal);
}

extern "C" {

zelcursor_t *zelcursor_create(zelarray_t *handle, int frames, zelerror *err) {
  if (handle == nullptr) {
    zel_report(err, ze_null_handle);
    return nullptr;
  }
  if (zel_load(handle->cursor_count) >= ZEL_MAX_CURSORS) {
    zel_report(err, ze_too_many_cursors);
    return nullptr;
  }
  if (frames <= 0 || handle->req_frames % frames != 0) {
    zel_report(err, ze_cursor_frames);
    return nullptr;
  }
  auto *cursor = static_cast<zelcursor_t *>(calloc(1, sizeof(zelcursor_t)));
  if (cursor == nullptr) {
    zel_report(err, ze_memory);
    return nullptr;
  }
  cursor->frames = frames;
  cursor->datasize = frames * ZEL_FRAME_BYTES;
  cursor->overflow = zel_false;
  if (pthread_cond_init(&cursor->cond, nullptr) != 0) {
    free(cursor);
    zel_report(err, ze_internal);
    return nullptr;
  }
  pthread_mutex_lock(&handle->ring_lock);
  const int slot = first_free_slot(handle);
  if (slot >= 0) {
    cursor->slot = slot;
    reset_position(cursor, ring_start_total(handle));
    handle->cursors[slot] = cursor;
    zel_store(handle->cursor_count, handle->cursor_count + 1);
  }
  pthread_mutex_unlock(&handle->ring_lock);
  if (slot < 0) {
    pthread_cond_destroy(&cursor->cond);
    free(cursor);
    zel_report(err, ze_too_many_cursors);
    return nullptr;
  }
  zel_report(err, ze_ok);
  return cursor;
}

void zelcursor_delete(zelarray_t *handle, zelcursor_t *cursor, zelerror *err) {
  if (handle == nullptr) {
    zel_report(err, ze_null_handle);
    return;
  }
  // The default cursor in slot 0 lives as long as the handle: the default reads rely on it.
  if (!zelcursor_isof(handle, cursor) || cursor->slot == 0) {
    zel_report(err, ze_cursor);
    return;
  }
  pthread_mutex_lock(&handle->ring_lock);
  handle->cursors[cursor->slot] = nullptr;
  zel_store(handle->cursor_count, handle->cursor_count - 1);
  pthread_mutex_unlock(&handle->ring_lock);
  pthread_cond_destroy(&cursor->cond);
  free(cursor);
  zel_report(err, ze_ok);
}

int zelcursor_isof(zelarray_t *handle, zelcursor_t *cursor) {
  if (handle == nullptr || !slot_in_table(cursor)) return 0;
  return handle->cursors[cursor->slot] == cursor ? 1 : 0;
}

void zelcursor_reinit(zelarray_t *handle, zelcursor_t *cursor, zelerror *err) {
  if (handle == nullptr) {
    zel_report(err, ze_null_handle);
    return;
  }
  if (!zelcursor_isof(handle, cursor)) {
    zel_report(err, ze_cursor);
    return;
  }
  pthread_mutex_lock(&handle->ring_lock);
  _zelcursor_reinit_locked(handle, cursor, err);
  pthread_mutex_unlock(&handle->ring_lock);
}

int zelcursor_get_datasize(zelarray_t *handle, zelcursor_t *cursor, zelerror *err) {
  if (handle == nullptr) {
    zel_report(err, ze_null_handle);
    return -1;
  }
  if (!zelcursor_isof(handle, cursor)) {
    zel_report(err, ze_cursor);
    return -1;
  }
  zel_report(err, ze_ok);
  return cursor->datasize;
}

zelbool zelcursor_check_overflow(zelarray_t *handle, zelcursor_t *cursor, zelerror *err) {
  if (handle == nullptr) {
    zel_report(err, ze_null_handle);
    return zel_unset;
  }
  if (!zelcursor_isof(handle, cursor)) {
    zel_report(err, ze_cursor);
    return zel_unset;
  }
  zel_report(err, ze_ok);
  return zel_load(cursor->overflow);
}

zelbool zelcursor_get_ptr(zelarray_t *handle, zelcursor_t *cursor, void **data, int32_t *ts,
                          int *nfnbr, zelerror *err, zelbool blocking, zelbool advance) {
  if (handle == nullptr) {
    zel_report(err, ze_null_handle);
    return zel_unset;
  }
  if (zel_load(handle->status, std::memory_order_acquire) != st_capturing) {
    zel_report(err, ze_order);
    return zel_unset;
  }
  if (!zelcursor_isof(handle, cursor)) {
    zel_report(err, ze_cursor);
    return zel_unset;
  }
  bool lapped = false;
  const bool ready = wait_ready(handle, cursor, blocking != zel_false, lapped);
  // A capture stopped by zelarray_capture_off serves nothing more; one that ended on its own
  // serves what it captured, then tells every read why nothing more comes.
  const zelerror ended = zel_load(handle->running) == 0 ? zel_load(handle->capture_error) : ze_ok;
  const bool stopped = zel_load(handle->running) == 0 && ended == ze_ok;
  zel_report(err, ready ? ze_ok : ended);
  if (!ready || stopped) return zel_false;

  const int slot = cursor->rpos / 5;
  const int32_t *entry = handle->ring_ts + 2 * slot;
  if (ts != nullptr) {
    ts[0] = entry[0];
    ts[1] = entry[1];
  }
  if (nfnbr != nullptr) *nfnbr = handle->ring_nfnbr[slot];
  note_first_time(cursor, entry);
  if (lapped) _zelcursor_flag_overflow(handle, cursor);
  if (data != nullptr) *data = handle->ring + static_cast<size_t>(cursor->rpos) * ZEL_FRAME_BYTES;
  if (advance == zel_true) _zelarray_rb_add(handle, cursor);
  return zel_true;
}

}  // extern "C"
