// Wake-up latency: from the send of the datagram that completes a buffer to the moment a reader
// blocked on that buffer runs again. A sender in this process sends one data datagram every
// millisecond and notes the time of each send. Library: the capture thread receives, stores and
// publishes; the reader waits in zelarray_get_cursorptr_with_nfnbr on a cursor of 5 frames.
// Baseline: a bare poll-and-recv thread hands each payload to the reader through a mutex and a
// condition variable. The difference is what the library adds to the hand-off.
//
// Usage: zelbench_wakeup [datagrams, default 3000]
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <vector>

#include "bench_common.h"

namespace {

using namespace zelbench;

constexpr int64_t kSpacingNs = 1000000;

// Send time of each datagram, by number.
class SendLog {
 public:
  explicit SendLog(int count) : times_(static_cast<size_t>(count)) {}
  void note(int number, int64_t t) { times_[number].store(t, std::memory_order_release); }
  int64_t at(int number) const { return times_[number].load(std::memory_order_acquire); }
  int count() const { return static_cast<int>(times_.size()); }

 private:
  std::vector<std::atomic<int64_t>> times_;
};

// Sends datagrams 0..count-1 to 127.0.0.1:32767 from `sock`, one per millisecond.
void send_spaced(int sock, SendLog &log) {
  sockaddr_in dest{};
  dest.sin_family = AF_INET;
  dest.sin_port = htons(ZEL_PORT);
  inet_aton(kHostAddress, &dest.sin_addr);
  unsigned char datagram[kDatagramBytes];
  const int64_t start = now_ns();
  for (int i = 0; i < log.count(); ++i) {
    sleep_until_ns(start + i * kSpacingNs);
    build_datagram(datagram, i);
    log.note(i, now_ns());
    sendto(sock, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr *>(&dest), sizeof dest);
  }
}

struct Latencies {
  std::vector<int64_t> ns;
  void add(const Latencies &other) { ns.insert(ns.end(), other.ns.begin(), other.ns.end()); }
  double percentile(double p) {
    if (ns.empty()) return 0;
    std::sort(ns.begin(), ns.end());
    const size_t i = std::min(ns.size() - 1, static_cast<size_t>(p * double(ns.size())));
    return double(ns[i]) * 1e-3;  // microseconds
  }
};

// `pretouch`: write the whole ring once before the capture, so that the capture thread meets no
// first-touch page faults (an experiment on the public record, not something programs should do).
std::optional<Latencies> library_latencies(int count, bool pretouch) {
  zelsim::Config config;
  config.stream_on_acquire = false;  // the array answers commands; the sender below streams
  zelsim::Emulator sim(config);
  std::string why;
  if (!sim.start(&why)) return fprintf(stderr, "emulator: %s\n", why.c_str()), std::nullopt;
  Handle handle = connect_handle(16, 5, &why);
  zelerror err = 0;
  zelcursor_t *cursor = handle ? zelcursor_create(handle.get(), 5, &err) : nullptr;
  if (cursor == nullptr) return fprintf(stderr, "library: %s\n", why.c_str()), std::nullopt;
  if (pretouch) memset(handle->ring, 0, static_cast<size_t>(handle->ring_bytes));
  zelarray_capture_on(handle.get(), &err);
  if (err != 0) return fprintf(stderr, "capture on failed with %d\n", err), std::nullopt;
  // The library takes data only from the array's address and port: the sender shares them. It
  // exists only while the capture runs, when the library sends the array nothing.
  Fd sender = bind_udp(kArrayAddress, false);
  if (!sender.valid()) return fprintf(stderr, "sender: bind failed\n"), std::nullopt;

  SendLog log(count);
  Latencies lat;
  lat.ns.reserve(static_cast<size_t>(count));
  std::thread reader([&] {
    void *data = nullptr;
    int32_t ts[2];
    int nfnbr = 0;
    zelerror e = 0;
    while (zelarray_get_cursorptr_with_nfnbr(handle.get(), cursor, &data, ts, &nfnbr, &e) ==
           zel_true) {
      const int64_t woke = now_ns();
      if (nfnbr < count) lat.ns.push_back(woke - log.at(nfnbr));
    }
  });
  send_spaced(sender.get(), log);
  sleep_seconds(0.01);
  sender.reset();
  zelarray_capture_off(handle.get(), &err);
  reader.join();
  return lat;
}

// The bare hand-off: the newest number, published under a mutex.
struct Mailbox {
  std::mutex m;
  std::condition_variable cv;
  int number = -1;
  uint64_t published = 0;
  bool closed = false;
  bool signal_under_lock = false;
};

void bare_receiver(int fd, const std::atomic<bool> &stop, Mailbox &box) {
  unsigned char buffer[2048];
  unsigned char slot[960];
  while (!stop.load(std::memory_order_relaxed)) {
    const int number = poll_recv_datagram(fd, buffer, sizeof buffer);
    if (number < 0) continue;
    memcpy(slot, buffer + 4, sizeof slot);
    std::unique_lock lock(box.m);
    box.number = number;
    ++box.published;
    // Signalled under the lock, the woken reader first blocks on the mutex still held here.
    if (box.signal_under_lock) box.cv.notify_one();
    lock.unlock();
    if (!box.signal_under_lock) box.cv.notify_one();
  }
  std::lock_guard lock(box.m);
  box.closed = true;
  box.cv.notify_one();
}

void bare_reader(Mailbox &box, const SendLog &log, Latencies &lat) {
  uint64_t seen = 0;
  for (;;) {
    std::unique_lock lock(box.m);
    box.cv.wait(lock, [&] { return box.published != seen || box.closed; });
    if (box.published == seen) return;
    seen = box.published;
    const int number = box.number;
    lock.unlock();
    const int64_t woke = now_ns();
    if (number < log.count()) lat.ns.push_back(woke - log.at(number));
  }
}

std::optional<Latencies> bare_latencies(int count, bool signal_under_lock) {
  Fd sock = bind_udp(kHostAddress, true);
  Fd sender(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!sock.valid() || !sender.valid()) return fprintf(stderr, "bare: socket\n"), std::nullopt;
  SendLog log(count);
  Latencies lat;
  lat.ns.reserve(static_cast<size_t>(count));
  Mailbox box;
  box.signal_under_lock = signal_under_lock;
  std::atomic<bool> stop{false};
  std::thread receiver(bare_receiver, sock.get(), std::cref(stop), std::ref(box));
  std::thread reader(bare_reader, std::ref(box), std::cref(log), std::ref(lat));
  send_spaced(sender.get(), log);
  sleep_seconds(0.01);
  stop.store(true);
  receiver.join();
  reader.join();
  return lat;
}

void log_latencies(const char *who, Latencies &lat, int count) {
  fprintf(stderr, "%-28s %zu of %d wake-ups: p50 %.1f us, p90 %.1f us, p99 %.1f us, max %.1f us\n",
          who, lat.ns.size(), count, lat.percentile(0.5), lat.percentile(0.9), lat.percentile(0.99),
          lat.percentile(1.0));
}

}  // namespace

int main(int argc, char **argv) {
  const int count = argc > 1 ? atoi(argv[1]) : 3000;
  if (count <= 0 || count > 65536) {
    fprintf(stderr, "usage: zelbench_wakeup [datagrams, 1..65536]\n");
    return 2;
  }
  // Short runs in turn, pooled, so that a neighbour's burst of load falls on each alike.
  Latencies bare, bare_under_lock, library, library_pretouched;
  const int rounds = 3;
  for (int r = 0; r < rounds; ++r) {
    const int share = count / rounds;
    auto b = bare_latencies(share, false);
    auto u = bare_latencies(share, true);
    auto l = library_latencies(share, false);
    auto p = library_latencies(share, true);
    if (!b || !u || !l || !p) return 1;
    library_pretouched.add(*p);
    bare.add(*b);
    bare_under_lock.add(*u);
    library.add(*l);
  }
  log_latencies("bare", bare, count);
  log_latencies("bare, signal under the lock", bare_under_lock, count);
  log_latencies("library", library, count);
  log_latencies("library, ring pre-touched", library_pretouched, count);
  const double p50 = library.percentile(0.5);
  const double p99 = library.percentile(0.99);
  const double bare50 = bare.percentile(0.5);
  const double bare99 = bare.percentile(0.99);
  const int expected = count / rounds * rounds;
  const bool all = library.ns.size() == static_cast<size_t>(expected);
  print_row("wake-up latency p50 (us)", fixed(p50, 1), fixed(bare50, 1), fixed(p50 / bare50, 2), "",
            "-");
  print_row("wake-up latency p99 (us)", fixed(p99, 1), fixed(bare99, 1), fixed(p99 / bare99, 2),
            "lib/bare p99 <= 1.0", verdict(p99 <= bare99 && all));
  return 0;
}
