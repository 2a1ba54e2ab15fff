// Slot times against send times: how far from, and how unevenly around, the moment the emulated
// array sent a datagram lies the time a receiver gives it, at the real rate for a few seconds.
// Library: the capture thread stamps each slot with the kernel's receive time of its datagram
// (SO_TIMESTAMP); one reader of 5 frames takes every slot with its time and number. Baseline: a
// bare poll+recv receiver on its own socket reading gettimeofday() after each recv, as the capture
// thread used to. Both emulators log the wall-clock time of each send (Emulator::set_send_log).
//
// The send time is read by the emulator's stream thread, which the scheduler delays like any
// other: the clock read after the send call can come late (the receiver it woke often runs
// first), and the one read before it early (the thread is put off inside the call, or sends a
// batch after falling behind). So the figures are given against both reads, and the last table
// tells how far each receiver's time lies outside the span between them, where the datagram
// actually entered the kernel.
//
// The two run side by side in the same seconds, each fed by its own emulator (the library's at
// 127.0.0.2, the baseline's at 127.0.0.4 streaming to 127.0.0.1:32768): whatever else the
// machine does at that moment falls on both alike, which one after the other could not promise
// on a machine shared with others. The price is that each pair also competes with the other for
// the cores, which the figures of both include.
//
// Both streams start 4410 datagrams short of the numbering's wrap, so that every run crosses it.
// Datagrams are matched to their sends by unwrapping both number sequences; losses, copies and
// the slots the library fills for lost datagrams (all zero, where the ramp signal never is) are
// counted and left out. The first 0.1 s of each stream is left out as warm-up.
//
// Usage: zelbench_timestamps [seconds, default 5] [label printed in the heading]
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <utility>
#include <vector>

#include "bench_common.h"
#include "udp.h"

namespace {

using namespace zelbench;

constexpr const char *kBaselineArray = "127.0.0.4";
constexpr uint16_t kBaselinePort = ZEL_PORT + 1;
constexpr uint16_t kFirstNumber = 65536 - 4410;  // half a second before the wrap
constexpr size_t kWarmUp = 882;                  // datagrams: 0.1 s

using SendLog = std::vector<zelsim::Emulator::SentDatagram>;

struct Arrival {
  int number;
  int64_t us;  // wall clock
};

// Arrivals kept in memory allocated up front, so that the receivers never allocate.
struct Arrivals {
  explicit Arrivals(size_t capacity) { list.reserve(capacity); }
  void add(int number, int64_t us) {
    if (list.size() < list.capacity()) list.push_back({number, us});
  }
  std::vector<Arrival> list;
};

int64_t to_us(const timeval &tv) {
  return int64_t{tv.tv_sec} * 1000000 + tv.tv_usec;
}

// ---- Receivers ----------------------------------------------------------------------------------

// The old capture thread's receive: take a queued datagram without waiting, poll when there is
// none, and read the wall clock once the datagram is in hand.
void baseline_receiver(int fd, const std::atomic<bool> &stop, Arrivals &out) {
  unsigned char buffer[2048];
  while (!stop.load(std::memory_order_relaxed)) {
    const ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        pollfd pfd{fd, POLLIN, 0};
        poll(&pfd, 1, 100);
      }
      continue;
    }
    timeval now{};
    gettimeofday(&now, nullptr);
    const int number = datagram_number(buffer, n);
    if (number >= 0) out.add(number, to_us(now));
  }
}

// True when a slot holds the library's zeros for a lost datagram: channel 1 of the ramp signal
// carries 1 << 18 in every sample, so a datagram's first frame is never zero there.
bool filled_slot(const unsigned char *slot) {
  return slot[3] == 0 && slot[4] == 0 && slot[5] == 0;
}

struct LibraryRun {
  uint64_t slots = 0;
  uint64_t filled = 0;
  bool overflow = false;
  int lost_frames = 0;
  int kernel_drops = 0;
};

void library_reader(zelarray_t *handle, Arrivals &out, LibraryRun &run) {
  zelerror err = 0;
  void *dest = zelarray_create_databuffer(handle, nullptr, &err);
  if (dest == nullptr) return;
  auto *slot = static_cast<unsigned char *>(dest);
  int32_t ts[2] = {0, 0};
  int nfnbr = 0;
  while (zelarray_get_databuffer_with_nfnbr(handle, dest, ts, &nfnbr, &err) == zel_true) {
    ++run.slots;
    if (zelarray_check_databuffer_overflow(handle, &err) == zel_true) run.overflow = true;
    if (filled_slot(slot)) {
      ++run.filled;
      continue;
    }
    out.add(nfnbr, int64_t{ts[0]} * 1000000 + ts[1] / 1000);
  }
  zelarray_delete_databuffer(handle, dest, &err);
}

// ---- Matching -----------------------------------------------------------------------------------

// Position of `number` in an unwrapped sequence whose last number sat at `last`: the step is the
// 16-bit difference taken as signed, so the wrap counts as one step forward.
int64_t unwrap(int64_t last, int number) {
  const int step = static_cast<int16_t>(static_cast<uint16_t>(number - (last & 0xFFFF)));
  return last + step;
}

struct Match {
  uint64_t sent = 0;       // logged sends
  uint64_t received = 0;   // datagrams (library: real slots) received
  uint64_t matched = 0;    // received datagrams whose send was found
  uint64_t unmatched = 0;  // received datagrams with no send of that position
  uint64_t copies = 0;     // received again at a position already seen
  uint64_t lost = 0;       // sent between the first and last received, never received
  // Past the warm-up: arrival minus the clock read after the send call, minus the one read
  // before it, the span between the two reads, and how far the arrival lies outside that span
  // (0 inside it: the datagram entered the kernel somewhere in the span).
  std::vector<int64_t> after;
  std::vector<int64_t> before;
  std::vector<int64_t> window;
  std::vector<int64_t> outside;
};

Match match(const SendLog &log, const std::vector<Arrival> &arrivals) {
  Match m;
  m.sent = log.size();
  m.received = arrivals.size();
  if (log.empty() || arrivals.empty()) return m;
  // Sends by position: numbers unwrapped in send order, first send of each position kept.
  std::vector<std::pair<int64_t, const zelsim::Emulator::SentDatagram *>> sends;
  sends.reserve(log.size());
  int64_t at = log.front().number;
  for (const auto &sent : log) {
    at = unwrap(at, sent.number);
    sends.emplace_back(at, &sent);
  }
  std::stable_sort(sends.begin(), sends.end(),
                   [](const auto &a, const auto &b) { return a.first < b.first; });
  sends.erase(std::unique(sends.begin(), sends.end(),
                          [](const auto &a, const auto &b) { return a.first == b.first; }),
              sends.end());
  // The first arrival is the earliest send of its number: the receiver listened from the start.
  auto first = std::find_if(log.begin(), log.end(),
                            [&](const auto &e) { return e.number == arrivals.front().number; });
  if (first == log.end()) {
    m.unmatched = arrivals.size();
    return m;
  }
  at = log.front().number;
  for (auto it = log.begin(); it != first + 1; ++it) at = unwrap(at, it->number);
  const int64_t first_position = at;
  int64_t last_position = first_position - 1;
  m.after.reserve(arrivals.size());
  m.before.reserve(arrivals.size());
  m.window.reserve(arrivals.size());
  m.outside.reserve(arrivals.size());
  for (const Arrival &a : arrivals) {
    at = unwrap(at, a.number);
    if (at <= last_position) {
      ++m.copies;
      continue;
    }
    last_position = at;
    auto send =
        std::lower_bound(sends.begin(), sends.end(), at,
                         [](const auto &e, int64_t position) { return e.first < position; });
    if (send == sends.end() || send->first != at) {
      ++m.unmatched;
      continue;
    }
    if (m.matched++ < kWarmUp) continue;
    m.after.push_back(a.us - send->second->after_us);
    m.before.push_back(a.us - send->second->before_us);
    m.window.push_back(send->second->after_us - send->second->before_us);
    m.outside.push_back(std::max<int64_t>(0, a.us - send->second->after_us) +
                        std::max<int64_t>(0, send->second->before_us - a.us));
  }
  auto begin = std::lower_bound(sends.begin(), sends.end(), first_position,
                                [](const auto &e, int64_t position) { return e.first < position; });
  auto end = std::upper_bound(sends.begin(), sends.end(), last_position,
                              [](int64_t position, const auto &e) { return position < e.first; });
  const auto in_range = static_cast<uint64_t>(end - begin);
  m.lost = in_range > m.matched ? in_range - m.matched : 0;
  return m;
}

// ---- Figures ------------------------------------------------------------------------------------

// Nearest-rank percentile of sorted values; NaN when there are none.
double percentile(const std::vector<int64_t> &sorted, double p) {
  if (sorted.empty()) return NAN;
  const double rank = std::ceil(p * static_cast<double>(sorted.size()));
  const size_t i = std::min(sorted.size() - 1, static_cast<size_t>(std::max(rank, 1.0)) - 1);
  return static_cast<double>(sorted[i]);
}

struct Figures {
  double min = NAN;  // signed delay
  double median = NAN;
  double max = NAN;
  double delay[4] = {NAN, NAN, NAN, NAN};   // |delay| at p50, p99, p99.9, max
  double jitter[4] = {NAN, NAN, NAN, NAN};  // |delay - median| at the same
};

constexpr double kLevels[4] = {0.50, 0.99, 0.999, 1.0};
constexpr const char *kLevelNames[4] = {"p50", "p99", "p99.9", "max"};

Figures figures(std::vector<int64_t> us) {
  Figures f;
  if (us.empty()) return f;
  std::sort(us.begin(), us.end());
  f.min = static_cast<double>(us.front());
  f.median = percentile(us, 0.5);
  f.max = static_cast<double>(us.back());
  const auto median = static_cast<int64_t>(f.median);
  std::vector<int64_t> magnitude(us.size());
  std::vector<int64_t> deviation(us.size());
  for (size_t i = 0; i < us.size(); ++i) {
    magnitude[i] = std::llabs(us[i]);
    deviation[i] = std::llabs(us[i] - median);
  }
  std::sort(magnitude.begin(), magnitude.end());
  std::sort(deviation.begin(), deviation.end());
  for (int i = 0; i < 4; ++i) {
    f.delay[i] = percentile(magnitude, kLevels[i]);
    f.jitter[i] = percentile(deviation, kLevels[i]);
  }
  return f;
}

void row(const std::string &figure, double library, double baseline, int decimals = 0) {
  const std::string ratio = baseline != 0 ? fixed(library / baseline, 2) : "-";
  printf("  %-32s %10s %10s %9s\n", figure.c_str(), fixed(library, decimals).c_str(),
         fixed(baseline, decimals).c_str(), ratio.c_str());
}

double share_outside(const std::vector<int64_t> &outside) {
  if (outside.empty()) return NAN;
  const auto count =
      std::count_if(outside.begin(), outside.end(), [](int64_t us) { return us > 0; });
  return 100.0 * static_cast<double>(count) / static_cast<double>(outside.size());
}

// One table: the signed median, then |delay| and jitter at each level, in microseconds.
void block(const std::string &title, const Figures &library, const Figures &baseline) {
  printf("  %-32s %10s %10s %9s\n", (title + " (us)").c_str(), "library", "baseline", "lib/base");
  row("delay min (signed)", library.min, baseline.min);
  row("delay median (signed)", library.median, baseline.median);
  row("delay max (signed)", library.max, baseline.max);
  for (int i = 0; i < 4; ++i) {
    row(std::string("|delay| ") + kLevelNames[i], library.delay[i], baseline.delay[i]);
  }
  for (int i = 0; i < 4; ++i) {
    row(std::string("jitter ") + kLevelNames[i], library.jitter[i], baseline.jitter[i]);
  }
}

void describe(const char *name, const Match &m) {
  printf("  %-9s sent %llu, received %llu, matched %llu, lost %llu, copies %llu, unmatched %llu\n",
         name, static_cast<unsigned long long>(m.sent), static_cast<unsigned long long>(m.received),
         static_cast<unsigned long long>(m.matched), static_cast<unsigned long long>(m.lost),
         static_cast<unsigned long long>(m.copies), static_cast<unsigned long long>(m.unmatched));
}

std::string load_average() {
  char text[64] = "";
  if (FILE *f = fopen("/proc/loadavg", "r")) {
    if (fgets(text, sizeof text, f) == nullptr) text[0] = 0;
    fclose(f);
  }
  double a = 0, b = 0, c = 0;
  if (sscanf(text, "%lf %lf %lf", &a, &b, &c) != 3) return "?";
  char out[64];
  snprintf(out, sizeof out, "%.2f %.2f %.2f", a, b, c);
  return out;
}

zelsim::Config array_at(const char *address) {
  zelsim::Config config;
  config.address = address;
  config.first_frame = kFirstNumber;
  return config;
}

int fail(const std::string &why) {
  fprintf(stderr, "zelbench_timestamps: %s\n", why.c_str());
  return 1;
}

}  // namespace

int main(int argc, char **argv) {
  const double seconds = argc > 1 ? atof(argv[1]) : 5.0;
  const std::string label = argc > 2 ? argv[2] : "";
  if (!(seconds > 0 && seconds <= 60)) return fail("seconds must lie in (0, 60]");
  const auto capacity = static_cast<size_t>(seconds * kRealRate * 1.2) + 20000;

  zelsim::Emulator library_array(array_at(kArrayAddress));
  zelsim::Emulator baseline_array(array_at(kBaselineArray));
  library_array.set_send_log(true, capacity);
  baseline_array.set_send_log(true, capacity);
  std::string why;
  if (!library_array.start(&why))
    return fail("emulator at " + std::string(kArrayAddress) + ": " + why);
  if (!baseline_array.start(&why))
    return fail("emulator at " + std::string(kBaselineArray) + ": " + why);

  Fd sock = zelsim::detail::bind_udp(kHostAddress, kBaselinePort, &why);
  if (!sock.valid()) return fail("baseline socket: " + why);
  request_large_buffer(sock.get());
  Handle handle = connect_handle(16, 5, &why);
  if (!handle) return fail(why);

  Arrivals library_arrivals(capacity);
  Arrivals baseline_arrivals(capacity);
  LibraryRun run;
  std::atomic<bool> stop{false};
  std::thread baseline([&] { baseline_receiver(sock.get(), stop, baseline_arrivals); });
  zelerror err = 0;
  zelarray_capture_on(handle.get(), &err);
  if (err != 0) {
    stop = true;
    baseline.join();
    return fail("capture on failed with " + std::to_string(err));
  }
  std::thread reader([&] { library_reader(handle.get(), library_arrivals, run); });
  baseline_array.set_acquiring(true, kHostAddress, kBaselinePort);
  sleep_seconds(seconds);
  baseline_array.set_acquiring(false);
  zelarray_capture_off(handle.get(), &err);
  reader.join();
  sleep_seconds(0.05);  // the baseline's last datagrams
  stop = true;
  baseline.join();
  run.lost_frames = zelarray_check_lostdataframes(handle.get(), &err);
  run.kernel_drops = zelarray_check_kernel_drops(handle.get(), &err);
  const uint32_t baseline_drops = kernel_drops(sock.get());
  library_array.set_send_log(false);
  baseline_array.set_send_log(false);

  const Match lib = match(library_array.send_log(), library_arrivals.list);
  const Match base = match(baseline_array.send_log(), baseline_arrivals.list);

  printf("timestamps%s%s: %.1f s at 44100 Hz, %u cores, load average at the end %s\n",
         label.empty() ? "" : " ", label.c_str(), seconds, std::thread::hardware_concurrency(),
         load_average().c_str());
  describe("library", lib);
  printf("  %-9s slots %llu (%llu filled), lost frames %d, kernel drops %d, overflow %s\n", "",
         static_cast<unsigned long long>(run.slots), static_cast<unsigned long long>(run.filled),
         run.lost_frames, run.kernel_drops, run.overflow ? "yes" : "no");
  describe("baseline", base);
  printf("  %-9s kernel drops %u\n", "", baseline_drops);
  block("slot time - time after send", figures(lib.after), figures(base.after));
  block("slot time - time before send", figures(lib.before), figures(base.before));
  const Figures lw = figures(lib.window);
  const Figures bw = figures(base.window);
  const Figures lo = figures(lib.outside);
  const Figures bo = figures(base.outside);
  printf("  %-32s %10s %10s %9s\n", "outside the send call (us)", "library", "baseline",
         "lib/base");
  for (int i = 0; i < 4; ++i) row(kLevelNames[i], lo.delay[i], bo.delay[i]);
  row("datagrams outside (%)", share_outside(lib.outside), share_outside(base.outside), 1);
  printf("  %-32s %10s %10s\n", "send call: after - before (us)", "library", "baseline");
  for (int i = 0; i < 4; ++i) {
    printf("  %-32s %10s %10s\n", kLevelNames[i], fixed(lw.delay[i], 0).c_str(),
           fixed(bw.delay[i], 0).c_str());
  }
  printf("  jitter: |delay - median delay|; over %zu (library) and %zu (baseline) datagrams\n",
         lib.after.size(), base.after.size());
  return 0;
}
