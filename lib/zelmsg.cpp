#include "zelmsg.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <linux/sock_diag.h>
#include <poll.h>
#include <sys/time.h>
#include <sys/socket.h>
#include <unistd.h>

#include "zel_misc.h"
#include "zelerror.h"

namespace {

// The kernel charges about 2.3 KB per queued data datagram: 8 MiB rides out a stall of more than
// 200 ms at 44100 Hz, where the default buffer lasts about 20 ms.
constexpr int zel_wanted_rcvbuf = 8 * 1024 * 1024;
constexpr int zel_queued_datagram_bytes = 2304;

enum class Take { datagram, queue_empty, failed };

// What the kernel says of a datagram in its control messages: the receive time and the drop
// counter. Without a timestamp (a socket that did not ask for one) the time of the read stands in.
void read_control(msghdr &header, zelmsg_t *msg) {
  bool stamped = false;
  msg->has_drops = false;
  for (cmsghdr *c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
    if (c->cmsg_level != SOL_SOCKET) continue;
    if (c->cmsg_type == SCM_TIMESTAMP && c->cmsg_len >= CMSG_LEN(sizeof(timeval))) {
      memcpy(&msg->arrival, CMSG_DATA(c), sizeof(timeval));
      stamped = true;
    } else if (c->cmsg_type == SO_RXQ_OVFL && c->cmsg_len >= CMSG_LEN(sizeof(uint32_t))) {
      memcpy(&msg->drops, CMSG_DATA(c), sizeof(uint32_t));
      msg->has_drops = true;
    }
  }
  if (!stamped) gettimeofday(&msg->arrival, nullptr);
}

// Takes one queued datagram without waiting. Datagrams from any address but the array's are
// dropped here (the socket is connected, so the kernel already drops them; this stays as the
// guard for a socket it could not filter).
Take take_datagram(zelarray_t *handle, zelmsg_t *msg) {
  for (;;) {
    sockaddr_in from{};
    iovec io{msg->data, zel_msg_capacity};
    alignas(
        cmsghdr) unsigned char control[CMSG_SPACE(sizeof(timeval)) + CMSG_SPACE(sizeof(uint32_t))];
    msghdr header{};
    header.msg_name = &from;
    header.msg_namelen = sizeof from;
    header.msg_iov = &io;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(handle->sock, &header, MSG_DONTWAIT);
    if (n >= 0) {
      if (from.sin_addr.s_addr != handle->dest_addr.sin_addr.s_addr) continue;
      msg->len = static_cast<int>(n);
      read_control(header, msg);
      return Take::datagram;
    }
    // ECONNREFUSED reports an ICMP answer to an earlier request, not a receive failure.
    if (errno == EINTR || errno == ECONNREFUSED) continue;
    return (errno == EAGAIN || errno == EWOULDBLOCK) ? Take::queue_empty : Take::failed;
  }
}

// Waits until the socket has input or the deadline (monotonic ms) passes. A wait cut short by a
// signal handler that outlasted the deadline still looks at the socket once before giving up:
// datagrams may well be queued.
// Take::datagram when input is ready, queue_empty at the deadline, failed when poll fails.
Take wait_for_input(int sock, int64_t deadline) {
  for (;;) {
    const int64_t left = deadline - _zelarray_now_ms();
    pollfd pfd{sock, POLLIN, 0};
    const int ready = poll(&pfd, 1, left > 0 ? static_cast<int>(left) : 0);
    if (ready > 0) return Take::datagram;
    if (ready < 0 && errno != EINTR) return Take::failed;
    if (ready == 0 && left <= 0) return Take::queue_empty;
  }
}

void request_receive_buffer(int sock) {
  int size = zel_wanted_rcvbuf;
  setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  int granted = 0;
  socklen_t len = sizeof granted;
  if (getsockopt(sock, SOL_SOCKET, SO_RCVBUF, &granted, &len) == 0 && granted >= size) return;
  // Above rmem_max only a privileged process gets the size; failing here is not an error.
  setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
}

}  // namespace

zelmsg_t *_zelmsg_create() {
  auto *msg = static_cast<zelmsg_t *>(calloc(1, sizeof(zelmsg_t)));
  auto *data = static_cast<unsigned char *>(calloc(zel_msg_capacity, 1));
  if (msg == nullptr || data == nullptr) {
    free(msg);
    free(data);
    return nullptr;
  }
  msg->data = data;
  msg->len = 0;
  return msg;
}

void _zelmsg_delete(zelmsg_t *msg) {
  if (msg == nullptr) return;
  free(msg->data);
  free(msg);
}

int _zelmsg_extract_framenumber(const zelmsg_t *msg) {
  return msg->data[1] * 256 + msg->data[2];
}

unsigned char *_zelmsg_extract_dataptr(zelmsg_t *msg) {
  return msg->data + zel_payload_offset;
}

zelerror _zelmsg_open(zelarray_t *handle) {
  const int sock = socket(AF_INET, SOCK_DGRAM, 0);
  if (sock < 0) return ZEL_ESOCKET;
  const int one = 1;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(ZEL_PORT);
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  bool ok = setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0;
  if (ok) request_receive_buffer(sock);
  // Slot times come from the kernel's receive time, free of the capture thread's scheduling
  // delay; the drop counter tells a loss this host caused from a gap in the numbers. Either may
  // be missing on an unusual kernel: the capture then reads the clock itself.
  setsockopt(sock, SOL_SOCKET, SO_TIMESTAMP, &one, sizeof one);
  setsockopt(sock, SOL_SOCKET, SO_RXQ_OVFL, &one, sizeof one);
  ok = ok && bind(sock, reinterpret_cast<sockaddr *>(&local), sizeof local) == 0;
  // Connecting makes the kernel drop datagrams from other senders before they take room in
  // the receive buffer: a flood from elsewhere cannot cost the array's frames.
  ok = ok && connect(sock, reinterpret_cast<sockaddr *>(&handle->dest_addr),
                     sizeof handle->dest_addr) == 0;
  if (!ok) {
    close(sock);
    return ZEL_EBIND;
  }
  handle->sock = sock;
  return ZEL_OK;
}

void _zelmsg_close(zelarray_t *handle) {
  if (handle->sock >= 0) close(handle->sock);
  handle->sock = -1;
}

int _zelmsg_receive_buffer(const zelarray_t *handle) {
  int granted = 0;
  socklen_t len = sizeof granted;
  if (handle->sock < 0 || getsockopt(handle->sock, SOL_SOCKET, SO_RCVBUF, &granted, &len) != 0) {
    return 0;
  }
  return granted;
}

int _zelmsg_queue_capacity(const zelarray_t *handle) {
  const int granted = _zelmsg_receive_buffer(handle);
  return granted / zel_queued_datagram_bytes > 1 ? granted / zel_queued_datagram_bytes : 1;
}

uint32_t _zelmsg_kernel_drops(const zelarray_t *handle) {
  if (handle->sock < 0) return 0;
  uint32_t meminfo[SK_MEMINFO_VARS] = {};
  socklen_t len = sizeof meminfo;
  if (getsockopt(handle->sock, SOL_SOCKET, SO_MEMINFO, meminfo, &len) != 0) return 0;
  if (len < (SK_MEMINFO_DROPS + 1) * sizeof(uint32_t)) return 0;
  return meminfo[SK_MEMINFO_DROPS];
}

zelerror _zelmsg_send(zelarray_t *handle, const zelmsg_t *msg) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    const ssize_t n = send(handle->sock, msg->data, static_cast<size_t>(msg->len), 0);
    if (n >= 0) return ZEL_OK;
    // A pending ICMP error of an earlier datagram fails this call once; the datagram itself
    // was not sent, so one more try is not a resend.
    if (errno != ECONNREFUSED && errno != EINTR) break;
  }
  return ZEL_ESEND;
}

bool _zelmsg_is_dataframe(const zelmsg_t *msg) {
  return msg->len == zel_dataframe_bytes && msg->data[0] == type_dataframe;
}

zel_wait _zelmsg_wait_input(zelarray_t *handle, int timeout_ms) {
  switch (wait_for_input(handle->sock, _zelarray_now_ms() + timeout_ms)) {
    case Take::datagram:
      return zel_wait::datagram;
    case Take::queue_empty:
      return zel_wait::silent;
    case Take::failed:
      break;
  }
  return zel_wait::failed;
}

zel_wait _zelmsg_take(zelarray_t *handle, zelmsg_t *msg, int64_t deadline_ms) {
  for (;;) {
    switch (take_datagram(handle, msg)) {
      case Take::datagram:
        return zel_wait::datagram;
      case Take::failed:
        return zel_wait::failed;
      case Take::queue_empty:
        break;
    }
    switch (wait_for_input(handle->sock, deadline_ms)) {
      case Take::datagram:
        continue;
      case Take::queue_empty:
        return zel_wait::silent;
      case Take::failed:
        return zel_wait::failed;
    }
  }
}

void _zelmsg_batch_init(zelmsg_batch *batch) {
  for (int i = 0; i < zel_batch_datagrams; ++i) {
    batch->msgs[i] = zelmsg_t{batch->data[i], 0, {}, 0, false};
  }
}

int _zelmsg_take_batch(zelarray_t *handle, zelmsg_batch *batch) {
  for (;;) {
    for (int i = 0; i < zel_batch_datagrams; ++i) {
      batch->io[i] = iovec{batch->data[i], zel_batch_capacity};
      msghdr &header = batch->headers[i].msg_hdr;
      header = msghdr{};
      header.msg_name = &batch->from[i];
      header.msg_namelen = sizeof batch->from[i];
      header.msg_iov = &batch->io[i];
      header.msg_iovlen = 1;
      header.msg_control = batch->control[i];
      header.msg_controllen = sizeof batch->control[i];
    }
    const int n =
        recvmmsg(handle->sock, batch->headers, zel_batch_datagrams, MSG_DONTWAIT, nullptr);
    if (n < 0) {
      // ECONNREFUSED reports an ICMP answer to an earlier request, not a receive failure.
      if (errno == EINTR || errno == ECONNREFUSED) continue;
      return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    }
    for (int i = 0; i < n; ++i) {
      msghdr &header = batch->headers[i].msg_hdr;
      zelmsg_t *msg = &batch->msgs[i];
      const bool foreign = batch->from[i].sin_addr.s_addr != handle->dest_addr.sin_addr.s_addr;
      msg->len = foreign || (header.msg_flags & MSG_TRUNC) != 0
                     ? 0
                     : static_cast<int>(batch->headers[i].msg_len);
      read_control(header, msg);
    }
    return n;
  }
}
