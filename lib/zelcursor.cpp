#include <cstdio>
#include <cstdlib>

#include "zel_misc.h"
#include "zelarray.h"
#include "zelarray_ring.h"
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

void reset_position(zelarray_t *handle, zelcursor_t *cursor) {
  _zelarray_rb_place(handle, cursor, _zelarray_rb_lap_start(handle));
  zel_store(cursor->overflow, static_cast<int>(zel_false));
}

// A cursor of this handle, or why not: ZEL_ENULL for a null handle, ZEL_ECURSOR for a cursor
// the handle does not hold.
zelerror admit_cursor(zelarray_t *handle, zelcursor_t *cursor) {
  if (handle == nullptr) return ZEL_ENULL;
  return zelcursor_isof(handle, cursor) ? ZEL_OK : ZEL_ECURSOR;
}

// Readiness test and wait (under ring_lock). True when a buffer is ready; `lapped` tells
// whether the cursor had to skip overwritten data.
bool wait_ready(zelarray_t *handle, zelcursor_t *cursor, bool blocking, bool &lapped) {
  pthread_mutex_lock(&handle->ring_lock);
  bool ready = false;
  for (;;) {
    lapped = _zelarray_rb_skip_overwritten(handle, cursor) || lapped;
    ready = _zelarray_rb_canread(handle, cursor) != 0;
    if (ready || !blocking || zel_load(handle->running) == 0) break;
    zel_store(cursor->waiters, cursor->waiters + 1);
    pthread_cond_wait(&cursor->cond, &handle->ring_lock);
    zel_store(cursor->waiters, cursor->waiters - 1);
  }
  pthread_mutex_unlock(&handle->ring_lock);
  return ready;
}

}  // namespace

void _zelcursor_flag_overflow(zelarray_t *handle, zelcursor_t *cursor) {
  zel_store(cursor->overflow, static_cast<int>(zel_true));
  if (handle->warnings != zel_true) return;
  fprintf(stderr, "[ZELLIB] Ring buffer overflow (cursor #%d) at %s", cursor->slot,
          _zelarray_showtime());
  fflush(stderr);
}

zelerror _zelcursor_reinit_locked(zelarray_t *handle, zelcursor_t *cursor) {
  reset_position(handle, cursor);
  pthread_cond_destroy(&cursor->cond);
  return pthread_cond_init(&cursor->cond, nullptr) == 0 ? ZEL_OK : ZEL_EINTERNAL;
}

zel_result<zelbool> _zelcursor_read(zelarray_t *handle, zelcursor_t *cursor, void **data,
                                    int32_t *ts, int *nfnbr, zelbool blocking, zelbool advance) {
  if (const zelerror refused = _zelarray_admit(handle, in_capturing)) return {refused, zel_unset};
  if (!zelcursor_isof(handle, cursor)) return {ZEL_ECURSOR, zel_unset};
  bool lapped = false;
  const bool ready = wait_ready(handle, cursor, blocking != zel_false, lapped);
  // A capture stopped by zelarray_capture_off serves nothing more; one that ended on its own
  // serves what it captured, then tells every read why nothing more comes.
  const zelerror ended = zel_load(handle->running) == 0 ? zel_load(handle->capture_error) : ZEL_OK;
  const bool stopped = zel_load(handle->running) == 0 && ended == ZEL_OK;
  if (!ready || stopped) return {ready ? ZEL_OK : ended, zel_false};

  const int slot = cursor->rpos / zel_frames_per_datagram;
  const int32_t *entry = handle->ring_ts + 2 * slot;
  if (ts != nullptr) {
    ts[0] = entry[0];
    ts[1] = entry[1];
  }
  if (nfnbr != nullptr) *nfnbr = handle->ring_nfnbr[slot];
  if (lapped) _zelcursor_flag_overflow(handle, cursor);
  if (data != nullptr) *data = handle->ring + static_cast<size_t>(cursor->rpos) * ZEL_FRAME_BYTES;
  if (advance == zel_true) _zelarray_rb_add(handle, cursor);
  return {ZEL_OK, zel_true};
}

zel_result<zelbool> _zelcursor_overflow(zelarray_t *handle, zelcursor_t *cursor) {
  if (const zelerror refused = admit_cursor(handle, cursor)) return {refused, zel_unset};
  return {ZEL_OK, zel_load(cursor->overflow)};
}

namespace {

// A cursor of `frames` per buffer, not yet in any table; null when memory or the condition
// variable cannot be had (`code` says which).
zelcursor_t *new_cursor(int frames, zelerror &code) {
  auto *cursor = static_cast<zelcursor_t *>(calloc(1, sizeof(zelcursor_t)));
  if (cursor == nullptr) return code = ZEL_ENOMEM, nullptr;
  cursor->frames = frames;
  cursor->datasize = frames * ZEL_FRAME_BYTES;
  cursor->overflow = zel_false;
  if (pthread_cond_init(&cursor->cond, nullptr) != 0) {
    free(cursor);
    return code = ZEL_EINTERNAL, nullptr;
  }
  return cursor;
}

// Puts the cursor in the first free slot, at the start of the writer's lap; false when the table
// filled meanwhile.
bool enter_table(zelarray_t *handle, zelcursor_t *cursor) {
  pthread_mutex_lock(&handle->ring_lock);
  const int slot = first_free_slot(handle);
  if (slot >= 0) {
    cursor->slot = slot;
    reset_position(handle, cursor);
    handle->cursors[slot] = cursor;
    zel_store(handle->cursor_count, handle->cursor_count + 1);
  }
  pthread_mutex_unlock(&handle->ring_lock);
  return slot >= 0;
}

}  // namespace

void _zelcursor_free(zelcursor_t *cursor) {
  pthread_cond_destroy(&cursor->cond);
  free(cursor);
}

zel_result<zelcursor_t *> _zelcursor_create(zelarray_t *handle, int frames) {
  if (handle == nullptr) return {ZEL_ENULL, nullptr};
  if (zel_load(handle->cursor_count) >= ZEL_MAX_CURSORS) return {ZEL_ECURSORLIMIT, nullptr};
  if (frames <= 0 || handle->req_frames % frames != 0) return {ZEL_ECURSORFRAMES, nullptr};
  zelerror code = ZEL_OK;
  zelcursor_t *cursor = new_cursor(frames, code);
  if (cursor == nullptr) return {code, nullptr};
  if (!enter_table(handle, cursor)) {
    _zelcursor_free(cursor);
    return {ZEL_ECURSORLIMIT, nullptr};
  }
  return {ZEL_OK, cursor};
}

namespace {

zelerror delete_cursor(zelarray_t *handle, zelcursor_t *cursor) {
  if (const zelerror refused = admit_cursor(handle, cursor)) return refused;
  // The default cursor in slot 0 lives as long as the handle: the default reads rely on it.
  if (cursor->slot == 0) return ZEL_ECURSOR;
  pthread_mutex_lock(&handle->ring_lock);
  handle->cursors[cursor->slot] = nullptr;
  zel_store(handle->cursor_count, handle->cursor_count - 1);
  pthread_mutex_unlock(&handle->ring_lock);
  _zelcursor_free(cursor);
  return ZEL_OK;
}

zelerror reinit_cursor(zelarray_t *handle, zelcursor_t *cursor) {
  if (const zelerror refused = admit_cursor(handle, cursor)) return refused;
  pthread_mutex_lock(&handle->ring_lock);
  const zelerror code = _zelcursor_reinit_locked(handle, cursor);
  pthread_mutex_unlock(&handle->ring_lock);
  return code;
}

zel_result<int> cursor_datasize(zelarray_t *handle, zelcursor_t *cursor) {
  if (const zelerror refused = admit_cursor(handle, cursor)) return {refused, -1};
  return {ZEL_OK, cursor->datasize};
}

zel_result<zelcursor_t *> default_cursor(zelarray_t *handle) {
  if (handle == nullptr) return {ZEL_ENULL, nullptr};
  zelcursor_t *cursor = handle->cursors[0];
  if (cursor == nullptr) return {ZEL_ECURSOR, nullptr};
  return {ZEL_OK, cursor};
}

zel_result<uint64_t> skipped_frames(zelarray_t *handle, zelcursor_t *cursor) {
  if (const zelerror refused = admit_cursor(handle, cursor)) return {refused, 0};
  return {ZEL_OK, zel_load(cursor->skipped)};
}

}  // namespace

extern "C" {

zelcursor_t *zelcursor_create(zelarray_t *handle, int frames, zelerror *err) {
  return zel_deliver(_zelcursor_create(handle, frames), err);
}

void zelcursor_delete(zelarray_t *handle, zelcursor_t *cursor, zelerror *err) {
  zel_report(err, delete_cursor(handle, cursor));
}

int zelcursor_isof(zelarray_t *handle, zelcursor_t *cursor) {
  if (handle == nullptr || !slot_in_table(cursor)) return 0;
  return handle->cursors[cursor->slot] == cursor ? 1 : 0;
}

void zelcursor_reinit(zelarray_t *handle, zelcursor_t *cursor, zelerror *err) {
  zel_report(err, reinit_cursor(handle, cursor));
}

int zelcursor_get_datasize(zelarray_t *handle, zelcursor_t *cursor, zelerror *err) {
  return zel_deliver(cursor_datasize(handle, cursor), err);
}

zelbool zelcursor_check_overflow(zelarray_t *handle, zelcursor_t *cursor, zelerror *err) {
  return zel_deliver(_zelcursor_overflow(handle, cursor), err);
}

zelcursor_t *zelarray_get_default_cursor(zelarray_t *handle, zelerror *err) {
  return zel_deliver(default_cursor(handle), err);
}

uint64_t zelcursor_get_skipped_frames(zelarray_t *handle, zelcursor_t *cursor, zelerror *err) {
  return zel_deliver(skipped_frames(handle, cursor), err);
}

zelbool zelcursor_get_ptr(zelarray_t *handle, zelcursor_t *cursor, void **data, int32_t *ts,
                          int *nfnbr, zelerror *err, zelbool blocking, zelbool advance) {
  return zel_deliver(_zelcursor_read(handle, cursor, data, ts, nfnbr, blocking, advance), err);
}

}  // extern "C"
