// Highest data datagram rate the library holds for a few seconds with zero loss, beside a bare
// recvmmsg receiver on its own socket: the kernel's limit on this machine. Both face the same
// emulator, paced at multiples of the real rate or flat out, on the same cores.
//
// Usage: zelbench_rate [seconds per trial [library|bare|both [multiple, 0 = flat out]]]
// With a multiple, runs that one trial only (for profiling). Per-trial lines go to stderr; the
// result rows to stdout. Experiments: ZELBENCH_READER_FRAMES (default 5) sets the reader's buffer;
// ZELBENCH_RCVBUF_MB forces both receivers' socket buffers to that size.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cmath>
#include <ctime>
#include <functional>
#include <optional>
#include <pthread.h>
#include <sys/socket.h>
#include <thread>
#include <vector>

#include "bench_common.h"

namespace {

using namespace zelbench;

constexpr double kFlatOut = 0;
constexpr int kRingMegabytes = 64;  // a reader descheduled for 0.3 s at 20x is not lapped
constexpr int kBisections = 3;

struct Trial {
  double nominal = 0;   // multiple asked of the emulator; 0 = flat out
  double achieved = 0;  // multiple actually sent during the window
  uint64_t sent = 0;
  uint64_t seen = 0;
  uint64_t breaks = 0;
  uint64_t lost = 0;
  uint64_t kdrops = 0;
  bool overflow = false;
  double receive_us = 0;  // CPU of the receiving thread per datagram, during the window
  double reader_us = 0;   // CPU of the library's reader per datagram (0 for the bare receiver)
  uint64_t tail = 0;      // slots that may stay unread: less than one reader buffer
  bool ok() const {
    return sent > 0 && seen <= sent && sent - seen <= tail && breaks == 0 && lost == 0 &&
           kdrops == 0 && !overflow;
  }
};

using Runner = std::function<std::optional<Trial>(double multiple, double seconds)>;

int env_int(const char *name, int fallback) {
  const char *text = getenv(name);
  return text != nullptr && atoi(text) > 0 ? atoi(text) : fallback;
}

int reader_frames() {
  return env_int("ZELBENCH_READER_FRAMES", 5);
}

// The experiment on socket buffers goes through the handle's public socket field.
void force_receive_buffer(int fd) {
  const int megabytes = env_int("ZELBENCH_RCVBUF_MB", 0);
  if (megabytes == 0 || fd < 0) return;
  const int bytes = megabytes * 1024 * 1024;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes);
}

std::unique_ptr<zelsim::Emulator> start_emulator(double multiple) {
  zelsim::Config config;
  config.rate_multiple = multiple;
  // The stream starts only when the trial resumes it, after the receiver is ready: at flat out a
  // stream already running would bury the replies of the capture-on dialogue.
  config.stream_on_acquire = false;
  auto sim = std::make_unique<zelsim::Emulator>(config);
  std::string why;
  if (!sim->start(&why)) {
    fprintf(stderr, "emulator: %s\n", why.c_str());
    return nullptr;
  }
  return sim;
}

// CPU clocks of the receiving threads, read at both ends of the streaming window, against the
// datagrams taken in between: the cost per datagram, which a neighbour's load hardly moves.
class ThreadCost {
 public:
  ThreadCost(pthread_t receiver, pthread_t reader, const std::atomic<uint64_t> &seen)
      : seen_(seen) {
    pthread_getcpuclockid(receiver, &clocks_[0]);
    if (pthread_getcpuclockid(reader, &clocks_[1]) != 0) clocks_[1] = clocks_[0];
  }
  void mark(int end) {
    for (int i = 0; i < 2; ++i) cpu_[end][i] = thread_seconds(clocks_[i]);
    seen_at_[end] = seen_.load();
  }
  // Microseconds per datagram of thread 0 (receiver) or 1 (reader).
  double per_datagram(int thread) const {
    const double datagrams = double(seen_at_[1] - seen_at_[0]);
    return datagrams > 0 ? (cpu_[1][thread] - cpu_[0][thread]) * 1e6 / datagrams : 0;
  }

 private:
  // NaN once the thread has ended (the capture thread ends on 100 ms without a datagram).
  static double thread_seconds(clockid_t clock) {
    timespec ts{};
    if (clock_gettime(clock, &ts) != 0) return std::nan("");
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
  }
  const std::atomic<uint64_t> &seen_;
  clockid_t clocks_[2] = {};
  double cpu_[2][2] = {};
  uint64_t seen_at_[2] = {};
};

// Streams for `seconds`, then stops the stream and returns the datagrams sent and the window.
uint64_t stream_window(zelsim::Emulator &sim, double seconds, double &window, ThreadCost &cost) {
  const int64_t start = now_ns();
  sim.resume_stream();
  sleep_seconds(0.2);  // the first lap of the ring faults its pages in
  cost.mark(0);
  sleep_seconds(seconds - 0.2);
  cost.mark(1);
  sim.set_acquiring(false);
  window = double(now_ns() - start) * 1e-9;
  uint64_t sent = sim.stats().datagrams_sent;
  for (;;) {  // a batch may still be on its way
    sleep_seconds(0.02);
    const uint64_t later = sim.stats().datagrams_sent;
    if (later == sent) return sent;
    sent = later;
  }
}

// Waits until `seen` reaches `sent` or stops moving.
void wait_drained(const std::atomic<uint64_t> &seen, uint64_t sent) {
  uint64_t before = seen.load();
  for (int idle = 0; seen.load() < sent && idle < 25;) {
    sleep_seconds(0.02);
    const uint64_t now = seen.load();
    idle = now == before ? idle + 1 : 0;
    before = now;
  }
}

// Checks the number of every network-frame slot of each buffer, from the handle's slot table.
void reader_loop(zelarray_t *handle, zelcursor_t *cursor, SequenceCheck &check,
                 std::atomic<uint64_t> &seen) {
  void *data = nullptr;
  int32_t ts[2];
  zelerror err = 0;
  const int slots = cursor->frames / 5;
  while (zelarray_get_cursorptr(handle, cursor, &data, ts, &err) == zel_true) {
    const auto offset = static_cast<unsigned char *>(data) - handle->ring;
    const int first = static_cast<int>(offset / (5 * ZEL_FRAME_BYTES));
    for (int k = 0; k < slots; ++k) check.see(handle->ring_nfnbr[first + k]);
    seen.store(check.seen, std::memory_order_relaxed);
  }
}

std::optional<Trial> library_trial(double multiple, double seconds) {
  auto sim = start_emulator(multiple);
  if (!sim) return std::nullopt;
  std::string why;
  const int frames = reader_frames();
  Handle handle = connect_handle(kRingMegabytes, frames, &why);
  if (handle) force_receive_buffer(handle->sock);
  zelerror err = 0;
  zelcursor_t *cursor = handle ? zelcursor_create(handle.get(), frames, &err) : nullptr;
  if (cursor == nullptr) return fprintf(stderr, "library: %s\n", why.c_str()), std::nullopt;
  zelarray_capture_on(handle.get(), &err);
  if (err != 0) return fprintf(stderr, "capture on failed with %d\n", err), std::nullopt;

  SequenceCheck check;
  std::atomic<uint64_t> seen{0};
  std::thread reader(reader_loop, handle.get(), cursor, std::ref(check), std::ref(seen));
  Trial t;
  t.nominal = multiple;
  t.tail = static_cast<uint64_t>(frames / 5 - 1);
  double window = 0;
  ThreadCost cost(handle->thread, reader.native_handle(), seen);
  t.sent = stream_window(*sim, seconds, window, cost);
  t.receive_us = cost.per_datagram(0);
  t.reader_us = cost.per_datagram(1);
  wait_drained(seen, t.sent);
  t.lost = static_cast<uint64_t>(zelarray_check_lostdataframes(handle.get(), &err));
  t.kdrops = static_cast<uint64_t>(zelarray_check_kernel_drops(handle.get(), &err));
  t.overflow = zelarray_check_cursor_overflow(handle.get(), cursor, &err) == zel_true;
  zelarray_capture_off(handle.get(), &err);
  reader.join();
  t.seen = check.seen;
  t.breaks = check.breaks;
  t.achieved = double(t.sent) / window / kRealRate;
  return t;
}

// The kernel's side only: batches of datagrams per call, numbers checked, nothing else.
void bare_loop(int fd, const std::atomic<bool> &stop, SequenceCheck &check,
               std::atomic<uint64_t> &seen) {
  constexpr int kBatch = 64;
  static unsigned char buffers[kBatch][2048];
  iovec iov[kBatch];
  mmsghdr msgs[kBatch];
  for (int i = 0; i < kBatch; ++i) {
    iov[i] = iovec{buffers[i], sizeof buffers[i]};
    msgs[i] = mmsghdr{};
    msgs[i].msg_hdr.msg_iov = &iov[i];
    msgs[i].msg_hdr.msg_iovlen = 1;
  }
  while (!stop.load(std::memory_order_relaxed)) {
    const int n = recvmmsg(fd, msgs, kBatch, MSG_WAITFORONE, nullptr);
    for (int i = 0; i < n; ++i) {
      const int number = datagram_number(buffers[i], msgs[i].msg_len);
      if (number >= 0) check.see(number);
    }
    if (n > 0) seen.store(check.seen, std::memory_order_relaxed);
  }
}

std::optional<Trial> bare_trial(double multiple, double seconds) {
  Fd sock = bind_udp(kHostAddress, true);
  force_receive_buffer(sock.get());
  if (!sock.valid()) return fprintf(stderr, "bare receiver: bind failed\n"), std::nullopt;
  const timeval tick{0, 100000};  // lets the loop see the stop flag
  setsockopt(sock.get(), SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
  auto sim = start_emulator(multiple);
  if (!sim || !sim->set_acquiring(true, kHostAddress, ZEL_PORT)) return std::nullopt;

  const uint32_t drops_before = kernel_drops(sock.get());
  SequenceCheck check;
  std::atomic<uint64_t> seen{0};
  std::atomic<bool> stop{false};
  std::thread receiver(bare_loop, sock.get(), std::cref(stop), std::ref(check), std::ref(seen));
  Trial t;
  t.nominal = multiple;
  double window = 0;
  ThreadCost cost(receiver.native_handle(), receiver.native_handle(), seen);
  t.sent = stream_window(*sim, seconds, window, cost);
  t.receive_us = cost.per_datagram(0);
  wait_drained(seen, t.sent);
  stop.store(true);
  receiver.join();
  t.kdrops = kernel_drops(sock.get()) - drops_before;
  t.seen = check.seen;
  t.breaks = check.breaks;
  t.achieved = double(t.sent) / window / kRealRate;
  return t;
}

void log_trial(const char *who, const Trial &t) {
  const std::string nominal = t.nominal == kFlatOut ? "flat" : fixed(t.nominal, 2);
  fprintf(stderr,
          "%-7s asked %-6s sent %6.2fx (%8llu) seen %8llu breaks %llu lost %llu kdrops %llu%s  %-4s"
          "  cpu per datagram: receive %.2f us, reader %.2f us\n",
          who, nominal.c_str(), t.achieved, (unsigned long long)t.sent, (unsigned long long)t.seen,
          (unsigned long long)t.breaks, (unsigned long long)t.lost, (unsigned long long)t.kdrops,
          t.overflow ? " overflow" : "", t.ok() ? "ok" : "LOSS", t.receive_us, t.reader_us);
}

// One retry: a single loss on this shared machine may be a neighbour's burst, not the receiver.
std::optional<Trial> trial(const char *who, const Runner &run, double multiple, double seconds) {
  std::optional<Trial> t;
  for (int attempt = 0; attempt < 2; ++attempt) {
    t = run(multiple, seconds);
    if (!t) return t;
    log_trial(who, *t);
    if (t->ok()) return t;
  }
  return t;
}

// The rate search of one receiver: a ladder of multiples climbed until one is lost, then a few
// bisections between the last rate held and the first one lost.
class Search {
 public:
  Search(const char *who, Runner run, double seconds)
      : who_(who), run_(std::move(run)), seconds_(seconds) {}

  void climb(double multiple) {
    if (failed_ > 0 || broken_) return;
    auto t = trial(who_, run_, multiple, seconds_);
    if (!t) {
      broken_ = true;
      return;
    }
    record(*t);
  }

  void bisect() {
    // Not even flat out was lost: the sender is the limit and there is nothing to bisect.
    if (failed_ == 0 || broken_ || failed_ - held_ <= 0.5) return;
    const double middle = (held_ + failed_) / 2;
    auto t = trial(who_, run_, middle, seconds_);
    if (!t) {
      broken_ = true;
      return;
    }
    record(*t);
  }

  // Highest rate a lossless trial achieved, 0 when none did.
  double best() const { return best_; }

 private:
  // Levels are the rates achieved, not the ones asked: a sender short of CPU falls behind its
  // schedule, and only what was sent was held or lost.
  void record(const Trial &t) {
    if (t.ok()) {
      best_ = std::max(best_, t.achieved);
      held_ = std::max(held_, t.achieved);
    } else {
      failed_ = failed_ == 0 ? t.achieved : std::min(failed_, t.achieved);
    }
  }

  const char *who_;
  Runner run_;
  double seconds_;
  double best_ = 0;
  double held_ = 0;
  double failed_ = 0;
  bool broken_ = false;
};

struct Options {
  double seconds = 3.0;
  bool library = true;
  bool bare = true;
  double only_at = -1;  // >= 0: a single trial at this multiple (for profiling)
};

bool parse(int argc, char **argv, Options &o) {
  if (argc > 1) o.seconds = atof(argv[1]);
  if (argc > 2) {
    const std::string who = argv[2];
    o.library = who == "library" || who == "both";
    o.bare = who == "bare" || who == "both";
    if (!o.library && !o.bare) return false;
  }
  if (argc > 3) o.only_at = atof(argv[3]);
  return o.seconds > 0.5 && argc <= 4;
}

}  // namespace

int main(int argc, char **argv) {
  Options o;
  if (!parse(argc, argv, o)) {
    fprintf(stderr,
            "usage: zelbench_rate [seconds [library|bare|both [multiple, 0 = flat out]]]\n");
    return 2;
  }
  if (o.only_at >= 0) {
    if (o.bare) trial("bare", bare_trial, o.only_at, o.seconds);
    if (o.library) trial("library", library_trial, o.only_at, o.seconds);
    return 0;
  }
  // The two searches take turns at every step, so that a neighbour's load falls on both alike.
  Search bare("bare", bare_trial, o.seconds);
  Search library("library", library_trial, o.seconds);
  for (double multiple : {5.0, 10.0, 15.0, 20.0, 25.0, 30.0, kFlatOut}) {
    if (o.bare) bare.climb(multiple);
    if (o.library) library.climb(multiple);
  }
  for (int i = 0; i < kBisections; ++i) {
    if (o.bare) bare.bisect();
    if (o.library) library.bisect();
  }
  const double ratio = bare.best() > 0 ? library.best() / bare.best() : 0;
  print_row("zero-loss rate for " + fixed(o.seconds, 0) + " s (x 8820/s)", fixed(library.best(), 2),
            fixed(bare.best(), 2), fixed(ratio, 2), "lib >= 15", verdict(library.best() >= 15));
  print_row("  lib / bare recvmmsg", "", "", fixed(ratio, 2), "lib/bare >= 0.70",
            verdict(ratio >= 0.70));
  return 0;
}
