// The device dialogue: queries and set commands exchanged with the array over a link. The link
// is the handle's socket in use and a scripted array in the tests, so that every order of
// replies, late ones and silences can be played to the dialogue in memory.
#ifndef ZEL_ZELARRAY_DIALOGUE_H
#define ZEL_ZELARRAY_DIALOGUE_H

#include <cstdint>

#include "zellib.h"
#include "zelmsg.h"

// What the dialogue needs of the way to the array and of time.
struct zel_link {
  // One datagram of msg->len bytes to the array: ZEL_ESEND on failure.
  virtual zelerror send(const zelmsg_t *msg) = 0;
  // One datagram into msg, waiting for it until deadline_ms on now_ms's clock; a deadline
  // already passed takes one that is queued, without waiting.
  virtual zel_wait take(zelmsg_t *msg, int64_t deadline_ms) = 0;
  // A monotonic clock in milliseconds.
  virtual int64_t now_ms() = 0;

 protected:
  // Links are never deleted through this base: no deleting destructor, so the static library
  // needs no C++ runtime in a C program.
  ~zel_link() = default;
};

// The handle's socket and the monotonic clock.
struct zel_socket_link final : zel_link {
  explicit zel_socket_link(zelarray_t *handle) : handle_(handle) {}
  zelerror send(const zelmsg_t *msg) override;
  zel_wait take(zelmsg_t *msg, int64_t deadline_ms) override;
  int64_t now_ms() override;

 private:
  zelarray_t *handle_;
};

// Replies carry nothing that ties them to a request, so a dialogue counts the queries it sends
// and the awaited replies it takes: the array answers in order, so the n-th reply taken answers
// the n-th query unless a reply was lost on the way.
struct zel_query_tally {
  int64_t sent = 0;
  int64_t answered = 0;
};

// Drops whatever is queued (it answers earlier requests), then sends the request, resending it
// for every other datagram, until a reply of `type` long enough to decode arrives (ZEL_OK; of
// the awaited replies then queued, the reply buffer holds the last), 100 ms pass in silence or
// 1 s in all (ZEL_ERECV), or a send fails (ZEL_ESEND).
zelerror _zelarray_exchange(zel_link &link, const zelmsg_t *request, zelmsg_t *reply, int type,
                            zel_query_tally &tally);

// The device commands over a link; zelarray.h declares the same over the handle's socket.
zelerror _zelarray_query_ids_over(zelarray_t *handle, zel_link &link);
zelerror _zelarray_query_speed_over(zelarray_t *handle, zel_link &link);
zelerror _zelarray_query_slave_over(zelarray_t *handle, zel_link &link);
zelerror _zelarray_enforce_capture_over(zel_link &link, zelbool on);
zelerror _zelarray_enforce_speed_over(zelarray_t *handle, zel_link &link, int speed);
zelerror _zelarray_enforce_slave_over(zelarray_t *handle, zel_link &link, zelbool slave);

#endif
