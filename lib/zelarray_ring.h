// The ring of sample frames: the writer's and the readers' totals, the positions that follow
// from them, the lap test and publication. One writer (the capture thread) and any number of
// cursors. Totals count sample frames since the capture started; a position is its total modulo
// ring_frames, stored beside it in the public records for programs that read them.
#ifndef ZEL_ZELARRAY_RING_H
#define ZEL_ZELARRAY_RING_H

#include <cstdint>

#include "zellib.h"
#include "zelmsg.h"

// The writer publishes at least every this many slots, so the slots it may be writing lie
// within zel_writer_span_frames of the published total: readers keep that far from its lap.
constexpr int zel_publish_batch_slots = 64;
constexpr int zel_writer_span_frames = zel_publish_batch_slots * zel_frames_per_datagram;

// ---- Writer (the capture thread) ----
// The write position `ahead_slots` slots past the published total. The writer alone moves wpos,
// so it reads it without the lock.
int _zelarray_rb_write_pos(const zelarray_t *handle, int ahead_slots);
// Publish `slots` slots past the published total (written, or passed over by a fill longer than
// the ring) under one lock, and wake the cursors that now hold a whole buffer.
void _zelarray_rb_publish(zelarray_t *handle, int64_t slots);
// Nothing written: totals and position 0. Callers hold ring_lock.
void _zelarray_rb_rewind(zelarray_t *handle);

// Clears running and wakes every blocked reader under ring_lock, so that none can miss the end of
// the capture.
void _zelarray_rb_halt(zelarray_t *handle);
// Calls visit(cursor) for every cursor of the table; the caller holds ring_lock, so that a cursor
// deleted by another thread is never touched after it left the table.
template <class Visit>
void _zelarray_rb_each_cursor(zelarray_t *handle, Visit visit) {
  int visited = 0;
  for (int i = 0; i < ZEL_MAX_CURSORS && visited < handle->cursor_count; ++i) {
    if (handle->cursors[i] == nullptr) continue;
    ++visited;
    visit(handle->cursors[i]);
  }
}

// ---- Readers; callers hold ring_lock unless said otherwise ----
// The total at position 0 of the writer's current lap: where a new or reset cursor starts.
uint64_t _zelarray_rb_lap_start(const zelarray_t *handle);
// Sets the cursor's total, and its position with it.
void _zelarray_rb_place(const zelarray_t *handle, zelcursor_t *cursor, uint64_t rtotal);
// 1 when a whole buffer of the cursor is ready.
int _zelarray_rb_canread(zelarray_t *handle, zelcursor_t *cursor);
// Moves the cursor past one buffer.
void _zelarray_rb_add(zelarray_t *handle, zelcursor_t *cursor);
// A cursor the writer has lapped moves on to intact data; true when it had to.
bool _zelarray_rb_skip_overwritten(zelarray_t *handle, zelcursor_t *cursor);
// After a copy made without the lock: true when the writer may have come round to the buffer the
// cursor has just passed while it was being copied.
bool _zelarray_rb_writer_reached(zelarray_t *handle, zelcursor_t *cursor);

#endif
