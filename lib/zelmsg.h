// Datagram transport: message buffers, the array's wire format, send, receive and the waits.
#ifndef ZEL_ZELMSG_H
#define ZEL_ZELMSG_H

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "zellib.h"

// Wire format of the array.
constexpr int zel_msg_capacity = 2048;    // longer datagrams are cut to this
constexpr int zel_request_bytes = 4;      // every request: 0x00, code, argument (2 bytes)
constexpr int zel_dataframe_bytes = 964;  // type, number (big-endian), spare, payload
constexpr int zel_payload_offset = 4;
constexpr int zel_payload_bytes = 960;  // 5 sample frames
constexpr int zel_frames_per_datagram = 5;
constexpr unsigned char type_slave = 2;
constexpr unsigned char type_ids = 3;
constexpr unsigned char type_capture = 5;
constexpr unsigned char type_speed = 7;
constexpr unsigned char type_dataframe = 0x86;

// Bounds of the exchanges (documented in the public header).
constexpr int zel_recv_timeout_ms = 100;     // silence that ends one receive
constexpr int zel_query_deadline_ms = 1000;  // a query's reply must come within this

struct zelmsg {
  unsigned char *data;  // zel_msg_capacity bytes
  int len;              // valid bytes in data
  timeval arrival;      // the kernel's receive time (wall clock); the time of the read without it
  uint32_t drops;       // the socket's count of datagrams dropped for want of room, when queued
  bool has_drops;       // the kernel reported that count with this datagram
};

// New zero-filled buffer, or null when memory is short.
zelmsg_t *_zelmsg_create();
// Release a buffer (null is fine).
void _zelmsg_delete(zelmsg_t *msg);
// Bytes 1-2, big-endian: 0..65535. Does not look at the type.
int _zelmsg_extract_framenumber(const zelmsg_t *msg);
// The payload, byte 4 of data, read in place.
unsigned char *_zelmsg_extract_dataptr(zelmsg_t *msg);

// Open, size, bind and connect the handle's socket towards dest_addr, with receive timestamps
// and the drop counter asked for on every datagram. ZEL_ESOCKET or ZEL_EBIND on failure; then
// no socket stays open and sock is -1.
zelerror _zelmsg_open(zelarray_t *handle);
// Close the handle's socket if open.
void _zelmsg_close(zelarray_t *handle);
// The receive buffer getsockopt reports for the handle's socket (twice what was set: the kernel
// counts each datagram's bookkeeping against it); 0 without a socket.
int _zelmsg_receive_buffer(const zelarray_t *handle);
// Data datagrams the handle's receive buffer holds (at least 1).
int _zelmsg_queue_capacity(const zelarray_t *handle);
// The socket's count of datagrams the kernel dropped (0 when it cannot tell).
uint32_t _zelmsg_kernel_drops(const zelarray_t *handle);

// Send len bytes of msg to the array: ZEL_ESEND on failure.
zelerror _zelmsg_send(zelarray_t *handle, const zelmsg_t *msg);
// `silent` when nothing came in time, `failed` when the socket itself failed (waiting longer
// will not help).
enum class zel_wait { datagram, silent, failed };
// A whole data datagram: anything else would leave bytes of an earlier one in the slot.
bool _zelmsg_is_dataframe(const zelmsg_t *msg);
// Waits up to timeout_ms for input on the handle's socket: `datagram` when some is queued.
zel_wait _zelmsg_wait_input(zelarray_t *handle, int timeout_ms);
// Takes one datagram from the array, waiting for it until deadline_ms (monotonic); a deadline
// already passed takes one already queued. Datagrams from other addresses are dropped.
zel_wait _zelmsg_take(zelarray_t *handle, zelmsg_t *msg, int64_t deadline_ms);

// Up to zel_batch_datagrams datagrams taken in one system call, each with its own receive time
// and drop counter. Buffers hold a little more than a data datagram: anything longer is cut,
// flagged and never taken for one.
constexpr int zel_batch_datagrams = 64;
constexpr int zel_batch_capacity = 1024;
struct zelmsg_batch {
  zelmsg_t msgs[zel_batch_datagrams];
  unsigned char data[zel_batch_datagrams][zel_batch_capacity];
  mmsghdr headers[zel_batch_datagrams];
  iovec io[zel_batch_datagrams];
  sockaddr_in from[zel_batch_datagrams];
  alignas(cmsghdr) unsigned char control[zel_batch_datagrams][CMSG_SPACE(sizeof(timeval)) +
                                                              CMSG_SPACE(sizeof(uint32_t))];
};
// Points the batch's messages at its buffers.
void _zelmsg_batch_init(zelmsg_batch *batch);
// Takes the datagrams already queued, without waiting: how many (msgs[0..n), those from another
// address or cut short have len 0), 0 when none is queued, -1 when the socket failed.
int _zelmsg_take_batch(zelarray_t *handle, zelmsg_batch *batch);

#endif
