// Internal operations of the array module: device commands, the capture thread and the handle's
// state test. The device commands are built on the dialogue (zelarray_dialogue.h), the ring has
// its own file (zelarray_ring.h), so has the slot assembly (zelarray_slots.h).
#ifndef ZEL_ZELARRAY_H
#define ZEL_ZELARRAY_H

#include "zellib.h"

// A set command gives up when the array still reports another value after this many passes
// (those whose reply answers their own query) or this long (documented in the public header).
constexpr int zel_enforce_max_passes = 20;
constexpr int zel_enforce_deadline_ms = 1000;

// Device commands over the handle's socket: each returns ZEL_OK, ZEL_ENOMEM, ZEL_ESEND, ZEL_ERECV
// or ZEL_EPARSE (ZEL_EDESTIP for _zelarray_set_dip).
zelerror _zelarray_query_ids(zelarray_t *handle);
zelerror _zelarray_enforce_capture(zelarray_t *handle, zelbool on);
zelerror _zelarray_set_dip(zelarray_t *handle, const char *text);
zelerror _zelarray_query_speed(zelarray_t *handle);
zelerror _zelarray_enforce_speed(zelarray_t *handle, int speed);
zelerror _zelarray_query_slave(zelarray_t *handle);
zelerror _zelarray_enforce_slave(zelarray_t *handle, zelbool slave);

// The capture thread: data datagrams into the slot assembler until stopped or failed.
void *_zelarray_capture(void *arg);  // arg: the zelarray_t
// How long the capture thread may leave the socket alone: the time the smallest cursor buffer
// takes to fill, at most `bound_us` (itself at most zel_max_receive_period_us).
constexpr int64_t zel_max_receive_period_us = 20000;
int64_t _zelarray_receive_period_us(zelarray_t *handle, int64_t bound_us);

// Handle states as sets, for the calls' state tests.
enum zel_states : unsigned {
  in_created = 1u << st_created,
  in_comm_ready = 1u << st_comm_ready,
  in_params_ready = 1u << st_params_ready,
  in_capturing = 1u << st_capturing,
  in_any_state = in_created | in_comm_ready | in_params_ready | in_capturing,
  in_not_capturing = in_any_state & ~in_capturing,
  in_connected = in_any_state & ~in_created,
};
// The state test every call that uses its handle begins with: ZEL_ENULL for a null handle,
// ZEL_EORDER when its state is not among `allowed`, else ZEL_OK.
zelerror _zelarray_admit(zelarray_t *handle, unsigned allowed);

#endif
