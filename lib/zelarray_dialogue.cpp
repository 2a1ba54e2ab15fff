#include "zelarray_dialogue.h"

#include <cstring>
#include <memory>

#include "zel_misc.h"
#include "zelarray.h"
#include "zelerror.h"

namespace {

constexpr unsigned char cmd_set_slave = 1;
constexpr unsigned char cmd_query_slave = 2;
constexpr unsigned char cmd_query_ids = 3;
constexpr unsigned char cmd_set_capture = 4;
constexpr unsigned char cmd_query_capture = 5;
constexpr unsigned char cmd_set_speed = 7;
constexpr unsigned char cmd_query_speed = 8;

// More datagrams than a full receive buffer holds: a bound on the queue's draining loops.
constexpr int zel_most_queued = 8192;

struct MsgDeleter {
  void operator()(zelmsg_t *msg) const { _zelmsg_delete(msg); }
};
using MsgPtr = std::unique_ptr<zelmsg_t, MsgDeleter>;

MsgPtr make_request(unsigned char code, bool on) {
  MsgPtr msg(_zelmsg_create());
  if (msg) {
    msg->data[1] = code;
    msg->data[2] = msg->data[3] = on ? 0xFF : 0x00;
    msg->len = zel_request_bytes;
  }
  return msg;
}

// Bytes a reply of this type must hold to be decoded.
int reply_min_len(int type) {
  return type == type_ids ? 14 : 3;
}

// A reply of the type, decodable or not: it answers one query.
bool answers(const zelmsg_t *msg, int type) {
  return msg->len > 0 && msg->data[0] == type;
}

bool is_awaited_reply(const zelmsg_t *msg, int type) {
  return answers(msg, type) && msg->len >= reply_min_len(type);
}

// Whatever is queued before a request is sent answers an earlier one: an exchange that met other
// datagrams resent its request and left late replies behind.
void drop_queued(zel_link &link, zelmsg_t *scratch, int type, zel_query_tally &tally) {
  for (int i = 0; i < zel_most_queued && link.take(scratch, 0) == zel_wait::datagram; ++i) {
    if (answers(scratch, type)) ++tally.answered;
  }
}

// The array answers its requests in order, so of the awaited replies already queued the last is
// the freshest; the earlier ones answer resends of earlier requests. Taking it saves the set
// commands a pass for every such late reply.
void keep_latest_reply(zel_link &link, zelmsg_t *reply, int type, zel_query_tally &tally) {
  unsigned char bytes[zel_msg_capacity];
  zelmsg_t later{bytes, 0, {}, 0, false};
  for (int i = 0; i < zel_most_queued && link.take(&later, 0) == zel_wait::datagram; ++i) {
    if (answers(&later, type)) ++tally.answered;
    if (!is_awaited_reply(&later, type)) continue;
    memcpy(reply->data, later.data, static_cast<size_t>(later.len));
    reply->len = later.len;
  }
}

// Sends a query and leaves the awaited reply in `reply`.
zelerror query(zel_link &link, unsigned char code, int type, MsgPtr &reply,
               zel_query_tally &tally) {
  MsgPtr request = make_request(code, false);
  reply.reset(_zelmsg_create());
  if (!request || !reply) return ZEL_ENOMEM;
  return _zelarray_exchange(link, request.get(), reply.get(), type, tally);
}

// Byte 2 of a status reply: 1 or 0, anything else is ZEL_EPARSE.
zel_result<int> query_status_byte(zel_link &link, unsigned char code, int type,
                                  zel_query_tally &tally) {
  MsgPtr reply;
  if (const zelerror failed = query(link, code, type, reply, tally)) return {failed, -1};
  const unsigned char value = reply->data[2];
  if (value > 1) return {ZEL_EPARSE, -1};
  return {ZEL_OK, value};
}

zelerror query_speed(zelarray_t *handle, zel_link &link, zel_query_tally &tally) {
  const zel_result<int> got = query_status_byte(link, cmd_query_speed, type_speed, tally);
  if (got.code == ZEL_OK) handle->speed = got.value == 1 ? 44100 : 22050;
  return got.code;
}

zelerror query_slave(zelarray_t *handle, zel_link &link, zel_query_tally &tally) {
  const zel_result<int> got = query_status_byte(link, cmd_query_slave, type_slave, tally);
  if (got.code == ZEL_OK) handle->slave = got.value == 1 ? zel_true : zel_false;
  return got.code;
}

// Sends the set request `code` with its argument `on` and reads the value back with `read_back`
// (the matching query) until the array reports `wanted`, within zel_enforce_max_passes passes
// and zel_enforce_deadline_ms. A pass whose reply may answer a query of an earlier pass is not
// counted: such a reply tells what the array held before this pass's request, and a host slow
// to read can leave many of them in flight.
template <class ReadBack>
zelerror enforce(zel_link &link, unsigned char code, bool on, int wanted, int current,
                 ReadBack read_back) {
  MsgPtr request = make_request(code, on);
  if (!request) return ZEL_ENOMEM;
  const int64_t give_up = link.now_ms() + zel_enforce_deadline_ms;
  zel_query_tally tally;
  for (int passes = 0; current != wanted;) {
    if (passes == zel_enforce_max_passes || link.now_ms() >= give_up) return ZEL_EPARSE;
    const int64_t sent_before = tally.sent;
    if (const zelerror sent = link.send(request.get())) return sent;
    const zel_result<int> now = read_back(tally);
    if (now.code != ZEL_OK) return now.code;
    if (tally.answered > sent_before) ++passes;
    current = now.value;
  }
  return ZEL_OK;
}

}  // namespace

zelerror _zelarray_exchange(zel_link &link, const zelmsg_t *request, zelmsg_t *reply, int type,
                            zel_query_tally &tally) {
  const int64_t give_up = link.now_ms() + zel_query_deadline_ms;
  drop_queued(link, reply, type, tally);
  for (;;) {
    if (const zelerror sent = link.send(request)) return sent;
    ++tally.sent;
    if (link.take(reply, link.now_ms() + zel_recv_timeout_ms) != zel_wait::datagram) {
      return ZEL_ERECV;
    }
    if (answers(reply, type)) ++tally.answered;
    if (is_awaited_reply(reply, type)) {
      keep_latest_reply(link, reply, type, tally);
      return ZEL_OK;
    }
    // Every other datagram costs a resend; past the deadline the reply is not coming.
    if (link.now_ms() >= give_up) return ZEL_ERECV;
  }
}

zelerror _zelarray_query_ids_over(zelarray_t *handle, zel_link &link) {
  MsgPtr reply;
  zel_query_tally tally;
  if (const zelerror failed = query(link, cmd_query_ids, type_ids, reply, tally)) return failed;
  handle->id = reply->data[2] + 256 * reply->data[3];
  memcpy(handle->prom_nb, reply->data + 6, 8);
  handle->prom_nb[8] = '\0';
  return ZEL_OK;
}

zelerror _zelarray_query_speed_over(zelarray_t *handle, zel_link &link) {
  zel_query_tally tally;
  return query_speed(handle, link, tally);
}

zelerror _zelarray_query_slave_over(zelarray_t *handle, zel_link &link) {
  zel_query_tally tally;
  return query_slave(handle, link, tally);
}

zelerror _zelarray_enforce_capture_over(zel_link &link, zelbool on) {
  // The current state is never assumed: at least one set request always goes out.
  return enforce(link, cmd_set_capture, on == zel_true, on, zel_unset,
                 [&link](zel_query_tally &tally) -> zel_result<int> {
                   const zel_result<int> got =
                       query_status_byte(link, cmd_query_capture, type_capture, tally);
                   if (got.code != ZEL_OK) return {got.code, zel_unset};
                   return {ZEL_OK, got.value == 1 ? zel_true : zel_false};
                 });
}

zelerror _zelarray_enforce_speed_over(zelarray_t *handle, zel_link &link, int speed) {
  return enforce(link, cmd_set_speed, speed == 44100, speed, handle->speed,
                 [handle, &link](zel_query_tally &tally) {
                   return zel_result<int>{query_speed(handle, link, tally), handle->speed};
                 });
}

zelerror _zelarray_enforce_slave_over(zelarray_t *handle, zel_link &link, zelbool slave) {
  return enforce(link, cmd_set_slave, slave == zel_true, slave, handle->slave,
                 [handle, &link](zel_query_tally &tally) {
                   return zel_result<int>{query_slave(handle, link, tally), handle->slave};
                 });
}

// ---- Over the handle's socket ------------------------------------------------------------

zelerror zel_socket_link::send(const zelmsg_t *msg) {
  return _zelmsg_send(handle_, msg);
}

zel_wait zel_socket_link::take(zelmsg_t *msg, int64_t deadline_ms) {
  return _zelmsg_take(handle_, msg, deadline_ms);
}

int64_t zel_socket_link::now_ms() {
  return _zelarray_now_ms();
}

zelerror _zelarray_query_ids(zelarray_t *handle) {
  zel_socket_link link(handle);
  return _zelarray_query_ids_over(handle, link);
}

zelerror _zelarray_query_speed(zelarray_t *handle) {
  zel_socket_link link(handle);
  return _zelarray_query_speed_over(handle, link);
}

zelerror _zelarray_query_slave(zelarray_t *handle) {
  zel_socket_link link(handle);
  return _zelarray_query_slave_over(handle, link);
}

zelerror _zelarray_enforce_capture(zelarray_t *handle, zelbool on) {
  zel_socket_link link(handle);
  return _zelarray_enforce_capture_over(link, on);
}

zelerror _zelarray_enforce_speed(zelarray_t *handle, int speed) {
  zel_socket_link link(handle);
  return _zelarray_enforce_speed_over(handle, link, speed);
}

zelerror _zelarray_enforce_slave(zelarray_t *handle, zelbool slave) {
  zel_socket_link link(handle);
  return _zelarray_enforce_slave_over(handle, link, slave);
}
