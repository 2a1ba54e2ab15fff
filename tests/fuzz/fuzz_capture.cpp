// libFuzzer harness for the receive and capture paths. Each input is a sequence of datagrams
// that travel a real UDP socket pair on loopback into a handle's socket, where the capture
// thread takes them as it would from the array; the input also picks the capture options and
// the calibration. Afterwards the ring is read back through the default cursor and checked: a
// slot holds silence or the payload of a well-formed data datagram carrying its number.
//
// Input layout:
//   byte 0     options: bit 0 delay fix, bit 1 normalize, bit 2 start number, bit 3 drop frames
//   bytes 1-2  start number (big-endian); byte 3 frames to drop
//   768 bytes  with normalize only: the mean file (256) and the gain file (512)
//   then up to 256 datagrams, each a big-endian 16-bit header H:
//     H & 0x8000: a well-formed data datagram; 3 bytes follow: its number (2) and a fill byte
//     otherwise:  H & 0x1FFF raw bytes follow (fewer when the input ends)
#include <arpa/inet.h>
#include <linux/sock_diag.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "zel_misc.h"
#include "zelarray.h"
#include "zellib.h"
#include "zelmsg.h"
#include "zelstate.h"

namespace {

constexpr int kMaxDatagrams = 256;
constexpr size_t kCalibrationBytes = 256 + 512;

struct Fixture {
  zelarray_t *handle = nullptr;
  int tx = -1;  // the array's side
};

int bound_udp(const char *address) {
  const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  inet_aton(address, &local.sin_addr);
  if (sock < 0 || bind(sock, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) abort();
  return sock;
}

sockaddr_in name_of(int sock) {
  sockaddr_in name{};
  socklen_t len = sizeof name;
  getsockname(sock, reinterpret_cast<sockaddr *>(&name), &len);
  return name;
}

// One handle for the whole run, its socket replaced by one end of a loopback pair whose other
// end plays the array at 127.0.0.2.
Fixture &fixture() {
  static Fixture f = [] {
    Fixture made;
    zelerror err = 0;
    made.handle = zelarray_create(16, 5, &err);
    if (err != 0) abort();
    zelarray_display_warnings(made.handle, zel_false, &err);
    const int rx = bound_udp("127.0.0.1");
    made.tx = bound_udp("127.0.0.2");
    const sockaddr_in array = name_of(made.tx);
    const sockaddr_in library = name_of(rx);
    const int room = 8 << 20;
    setsockopt(rx, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room);
    if (connect(rx, reinterpret_cast<const sockaddr *>(&array), sizeof array) != 0 ||
        connect(made.tx, reinterpret_cast<const sockaddr *>(&library), sizeof library) != 0) {
      abort();
    }
    made.handle->sock = rx;
    made.handle->dest_addr = array;
    return made;
  }();
  return f;
}

class Reader {
 public:
  Reader(const uint8_t *data, size_t size) : p_(data), end_(data + size) {}
  size_t left() const { return static_cast<size_t>(end_ - p_); }
  int byte() { return p_ < end_ ? *p_++ : 0; }
  int u16() { return (byte() << 8) | byte(); }
  const uint8_t *take(size_t n, size_t *got) {
    *got = std::min(n, left());
    const uint8_t *at = p_;
    p_ += *got;
    return at;
  }

 private:
  const uint8_t *p_;
  const uint8_t *end_;
};

void load_calibration(zelarray_t *handle, Reader &in) {
  size_t got = 0;
  const uint8_t *bytes = in.take(kCalibrationBytes, &got);
  std::vector<uint8_t> copy(bytes, bytes + got);
  copy.resize(kCalibrationBytes + 1);  // fmemopen wants a non-empty buffer
  FILE *means = fmemopen(copy.data(), std::min<size_t>(got, 256), "r");
  FILE *gains = got > 256 ? fmemopen(copy.data() + 256, got - 256, "r") : nullptr;
  zelerror err = 0;
  zelarray_normalize(handle, means, gains, &err);
  if (err != 0 && err != 25) abort();
  if ((err == 0) != (got == kCalibrationBytes)) abort();
  if (means != nullptr) fclose(means);
  if (gains != nullptr) fclose(gains);
}

// The well-formed data datagrams sent, by number: any of them may end up in that number's slot.
using Sent = std::map<int, std::vector<std::vector<uint8_t>>>;

std::vector<uint8_t> data_datagram(int number, int fill) {
  std::vector<uint8_t> d(964);
  d[0] = 0x86;
  d[1] = static_cast<uint8_t>(number >> 8);
  d[2] = static_cast<uint8_t>(number);
  for (size_t i = 4; i < d.size(); ++i) d[i] = static_cast<uint8_t>(fill + 7 * i + number);
  return d;
}

void send_datagrams(int tx, Reader &in, Sent &sent) {
  for (int i = 0; i < kMaxDatagrams && in.left() >= 2; ++i) {
    const int header = in.u16();
    std::vector<uint8_t> d;
    if (header & 0x8000) {
      const int number = in.u16();
      d = data_datagram(number, in.byte());
    } else {
      size_t got = 0;
      const uint8_t *bytes = in.take(static_cast<size_t>(header & 0x1FFF), &got);
      d.assign(bytes, bytes + got);
    }
    if (send(tx, d.data(), d.size(), 0) != static_cast<ssize_t>(d.size())) abort();
    if (d.size() == 964 && d[0] == 0x86) sent[(d[1] << 8) | d[2]].push_back(std::move(d));
  }
}

struct CaptureThread {
  zelarray_t *handle;
  std::atomic<pid_t> tid{0};
  std::atomic<bool> finished{false};
  pthread_t thread{};

  static void *run(void *arg) {
    auto *self = static_cast<CaptureThread *>(arg);
    self->tid = static_cast<pid_t>(syscall(SYS_gettid));
    _zelarray_capture(self->handle);
    self->finished = true;
    return nullptr;
  }
};

uint32_t queued_bytes(int sock) {
  uint32_t meminfo[SK_MEMINFO_VARS] = {};
  socklen_t len = sizeof meminfo;
  getsockopt(sock, SOL_SOCKET, SO_MEMINFO, meminfo, &len);
  return meminfo[SK_MEMINFO_RMEM_ALLOC];
}

// 'S' while the thread sleeps: for the capture thread, only in its wait for a datagram.
char state_of(pid_t tid) {
  const std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
  FILE *f = fopen(path.c_str(), "r");
  if (f == nullptr) return '?';
  char text[512] = {};
  const size_t n = fread(text, 1, sizeof text - 1, f);
  fclose(f);
  const char *paren = static_cast<const char *>(memrchr(text, ')', n));
  return paren != nullptr && paren + 2 < text + n ? paren[2] : '?';
}

// Runs the capture thread over everything queued and stops it once it waits on an empty
// socket, as zelarray_capture_off would: running cleared, then one more data datagram to end
// the wait at once.
void capture_queued(Fixture &f) {
  zelarray_t *h = f.handle;
  h->dropped = 0;
  h->wpos = 0;
  h->wtotal = 0;
  h->lost_frames = 0;
  h->discontinuities = 0;
  h->outages = 0;
  h->capture_error = 0;
  zelerror err = 0;
  zelcursor_reinit(h, h->cursors[0], &err);
  _zelarray_set_running(h, true);
  CaptureThread capture{h};
  if (pthread_create(&capture.thread, nullptr, CaptureThread::run, &capture) != 0) abort();
  for (;;) {
    if (capture.finished) break;
    if (capture.tid != 0 && queued_bytes(h->sock) == 0 && state_of(capture.tid) == 'S') break;
    usleep(20);
  }
  _zelarray_set_running(h, false);
  const std::vector<uint8_t> wake = data_datagram(0, 0);
  if (send(f.tx, wake.data(), wake.size(), 0) < 0) abort();
  pthread_join(capture.thread, nullptr);
  // Whatever the stop left queued is not part of the next input.
  uint8_t scratch[4];
  while (recv(h->sock, scratch, sizeof scratch, MSG_DONTWAIT) >= 0) {
  }
}

bool matches_a_sent_payload(const unsigned char *slot, int nfnbr, const Sent &sent) {
  const auto it = sent.find(nfnbr);
  if (it == sent.end()) return false;
  for (const auto &d : it->second) {
    if (memcmp(slot, d.data() + 4, 960) == 0) return true;
  }
  return false;
}

bool silent(const unsigned char *slot) {
  for (int i = 0; i < 960; ++i) {
    if (slot[i] != 0) return false;
  }
  return true;
}

// Reads every published slot back; with the plain loop and no calibration each must be silence
// or a payload sent under its number, and numbers follow one another.
void check_ring(zelarray_t *h, bool plain, const Sent &sent) {
  _zelarray_set_state(h, st_capturing);  // reads are only served while capturing
  int previous = -1;
  zelerror status = 0;
  int jumps = zelarray_check_discontinuities(h, &status);
  for (;;) {
    void *data = nullptr;
    int nfnbr = -1;
    zelerror err = 0;
    if (zelcursor_get_ptr(h, h->cursors[0], &data, nullptr, &nfnbr, &err, zel_false, zel_true) !=
        zel_true) {
      break;
    }
    const auto *slot = static_cast<const unsigned char *>(data);
    if (nfnbr < 0 || nfnbr > 65535) abort();
    // Numbers follow one another, but for an overflow or a numbering jump that the arrival
    // times denied (counted as a discontinuity, and resynchronised on).
    if (previous >= 0 && nfnbr != ((previous + 1) & 0xFFFF) &&
        zelcursor_check_overflow(h, h->cursors[0], &err) != zel_true && --jumps < 0) {
      abort();
    }
    if (plain && !silent(slot) && !matches_a_sent_payload(slot, nfnbr, sent)) abort();
    previous = nfnbr;
  }
  _zelarray_set_state(h, st_created);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Fixture &f = fixture();
  zelarray_t *h = f.handle;
  Reader in(data, size);
  const int options = in.byte();
  const int start_number = in.u16();
  const int drop = in.byte();
  zelerror err = 0;
  zelarray_fix_one_sample_delay(h, (options & 1) ? zel_true : zel_false, &err);
  zelarray_wait_nfnbr(h, start_number, &err);
  if (!(options & 4)) h->wait_nfnbr = -1;
  zelarray_fix_drop_X_first_frames(h, (options & 8) ? drop : 0, &err);
  h->normalize = zel_false;
  if (options & 2) load_calibration(h, in);
  Sent sent;
  send_datagrams(f.tx, in, sent);
  capture_queued(f);
  check_ring(h, !(options & 1) && h->normalize != zel_true, sent);
  return 0;
}
