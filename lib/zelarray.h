// Internal operations of the array module: device commands, the capture thread, the read-side
// ring arithmetic and the default-cursor reads behind the public calls.
#ifndef ZEL_ZELARRAY_H
#define ZEL_ZELARRAY_H

#include "zellib.h"

// A set command gives up when the array still reports another value after this many passes
// or this long (documented in the public header).
constexpr int zel_enforce_max_passes = 20;
constexpr int zel_enforce_deadline_ms = 1000;

// Device commands: each reports 0, 5, 10, 11 or 12 (8 for _zelarray_set_dip).
void _zelarray_query_ids(zelarray_t *handle, zelerror *err);
zelbool _zelarray_query_capture(zelarray_t *handle, zelerror *err);
void _zelarray_enforce_capture(zelarray_t *handle, zelbool on, zelerror *err);
void _zelarray_set_dip(zelarray_t *handle, const char *text, zelerror *err);
void _zelarray_query_speed(zelarray_t *handle, zelerror *err);
void _zelarray_enforce_speed(zelarray_t *handle, int speed, zelerror *err);
void _zelarray_query_slave(zelarray_t *handle, zelerror *err);
void _zelarray_enforce_slave(zelarray_t *handle, zelbool slave, zelerror *err);

// The capture thread: data datagrams into the slot assembler until stopped or failed.
void *_zelarray_capture(void *arg);  // arg: the zelarray_t
// One slot with the odd channels delayed by one sample frame: the previous frame of newer's first
// is older's last (_after: given on its own).
void _zelarray_write_fixed(unsigned char *dest, const unsigned char *newer,
                           const unsigned char *older, int nbytes);
void _zelarray_write_fixed_after(unsigned char *dest, const unsigned char *newer,
                                 const unsigned char *previous_frame, int nbytes);
// (sample - mean) / gain for every sample of whole sample frames, in place.
void _zelarray_normalize(zelarray_t *handle, unsigned char *buf, int nbytes);
// The writer publishes at least every this many slots, so the slots it may be writing lie
// within zel_writer_span_frames of the published total: readers keep that far from its lap.
constexpr int zel_publish_batch_slots = 64;
constexpr int zel_writer_span_frames = zel_publish_batch_slots * 5;
// Publish `slots` slots past wpos (written, or passed over by a fill longer than the ring) under
// one lock, and wake the cursors that now hold a whole buffer.
void _zelarray_publish_slots(zelarray_t *handle, int64_t slots);
// How long the capture thread may leave the socket alone: the time the smallest cursor buffer
// takes to fill, at most `bound_us` (itself at most zel_max_receive_period_us).
constexpr int64_t zel_max_receive_period_us = 20000;
int64_t _zelarray_receive_period_us(zelarray_t *handle, int64_t bound_us);

// Read-side ring arithmetic; callers hold ring_lock.
int _zelarray_rb_diff(zelarray_t *handle, zelcursor_t *cursor);
int _zelarray_rb_canread(zelarray_t *handle, zelcursor_t *cursor);
void _zelarray_rb_add(zelarray_t *handle, zelcursor_t *cursor);

// Default-cursor operations behind the public calls.
void _zelarray_wait_status(zelarray_t *handle, int state, zelerror *err);
zelbool _zelarray_get_databuffer(zelarray_t *handle, void *dest, int32_t *ts, int *nfnbr,
                                 zelerror *err, zelbool blocking);
void _zelarray_get_current_databuffer_timestamp(zelarray_t *handle, int32_t *ts, zelerror *err);
int _zelarray_get_current_databuffer_nfnbr(zelarray_t *handle, zelerror *err);
void _zelarray_skip_databuffer(zelarray_t *handle, zelerror *err);
zelbool _zelarray_check_databuffer_overflow(zelarray_t *handle, zelerror *err);

#endif
