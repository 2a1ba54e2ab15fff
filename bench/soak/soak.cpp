// zelsoak: captures from the emulated array at 44100 Hz for a given time with four readers on
// cursors of 1000, 200, 40 and 5 sample frames, each checking every sample against the
// emulator's ramp. Prints what was lost, dropped, overtaken or wrong, and the deepest the
// socket's queue got; exits 1 when anything was lost or wrong.
//
//   zelsoak [seconds]        (default 60)
//
// Binds UDP port 32767 on 127.0.0.1 and 127.0.0.2: run it in a network namespace of its own
// (run.sh does, through tests/netns.sh).
#include <linux/sock_diag.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "stream_log.h"
#include "zellib.h"
#include "zelsim.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kFrames[] = {1000, 200, 40, 5};
constexpr int kReaders = 4;
// The kernel charges about this much receive-buffer room per queued 964-byte datagram.
constexpr double kTruesize = 2304;
constexpr double kDatagramsPerSecond = 44100 / 5.0;

struct Handle {
  zelarray_t *raw = nullptr;
  ~Handle() {
    if (raw == nullptr) return;
    zelerror ignored;
    zelarray_capture_off(raw, &ignored);  // refused when not capturing
    zelarray_delete(raw, &ignored);
  }
};

bool check(zelerror err, const char *what) {
  if (err == 0) return true;
  zelarray_perror(&err, what);
  return false;
}

// Samples the socket's queued bytes until stopped and keeps the peak.
class QueueWatch {
 public:
  explicit QueueWatch(int sock) : sock_(sock), thread_([this] { run(); }) {}
  ~QueueWatch() { stop(); }
  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  uint32_t peak() const { return peak_; }

 private:
  void run() {
    while (!stop_) {
      uint32_t meminfo[SK_MEMINFO_VARS] = {};
      socklen_t len = sizeof meminfo;
      if (getsockopt(sock_, SOL_SOCKET, SO_MEMINFO, meminfo, &len) == 0) {
        peak_ = std::max(peak_, meminfo[SK_MEMINFO_RMEM_ALLOC]);
      }
      std::this_thread::sleep_for(2ms);
    }
  }

  int sock_;
  std::atomic<bool> stop_{false};
  uint32_t peak_ = 0;
  std::thread thread_;
};

struct Outcome {
  long long slots[kReaders] = {};
  long long wrong = 0, silent = 0, breaks = 0;
  int lost_frames = 0, kernel_drops = 0, overflows = 0;
  uint32_t peak_queue = 0;
  double off_ms = 0;
  uint64_t sent = 0;
};

bool soak(double seconds, Outcome &out) {
  zelsim::Emulator sim{zelsim::Config{}};
  std::string why;
  if (!sim.start(&why)) {
    std::fprintf(stderr, "zelsoak: emulator: %s\n", why.c_str());
    return false;
  }
  zelerror err = 0;
  Handle h;
  h.raw = zelarray_create(16, kFrames[0], &err);
  if (!check(err, "zelarray_create")) return false;
  zelarray_display_warnings(h.raw, zel_false, &err);
  zelarray_comminit(h.raw, "127.0.0.2", &err);
  if (!check(err, "zelarray_comminit")) return false;
  zelarray_initparams_wp(h.raw, 44100, zel_false, &err);
  if (!check(err, "zelarray_initparams_wp")) return false;
  std::vector<zelcursor_t *> cursors{zelarray_get_default_cursor(h.raw, &err)};
  for (int r = 1; r < kReaders; ++r) {
    cursors.push_back(zelcursor_create(h.raw, kFrames[r], &err));
    if (!check(err, "zelcursor_create")) return false;
  }
  std::vector<std::unique_ptr<zelrel::CursorReader>> readers;
  readers.reserve(cursors.size());
  for (zelcursor_t *cursor : cursors) {
    readers.push_back(std::make_unique<zelrel::CursorReader>(h.raw, cursor));
  }
  QueueWatch watch(h.raw->sock);
  zelarray_capture_on(h.raw, &err);
  if (!check(err, "zelarray_capture_on")) return false;
  for (auto &reader : readers) reader->start();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const auto before_off = Clock::now();
  zelarray_capture_off(h.raw, &err);
  out.off_ms = std::chrono::duration<double, std::milli>(Clock::now() - before_off).count();
  if (!check(err, "zelarray_capture_off")) return false;
  watch.stop();
  for (int r = 0; r < kReaders; ++r) {
    readers[r]->join();
    const zelrel::StreamLog &log = readers[r]->log();
    out.slots[r] = log.slots();
    out.wrong += log.wrong();
    out.silent += log.silent();
    out.breaks += log.breaks();
    if (zelcursor_check_overflow(h.raw, cursors[r], &err) == zel_true) ++out.overflows;
  }
  out.lost_frames = zelarray_check_lostdataframes(h.raw, &err);
  out.kernel_drops = zelarray_check_kernel_drops(h.raw, &err);
  out.peak_queue = watch.peak();
  out.sent = sim.stats().datagrams_sent;
  return true;
}

bool passed(const Outcome &o, double seconds) {
  // Every reader must have kept up with the stream, less the last partial buffer.
  const long long expected = static_cast<long long>(seconds * kDatagramsPerSecond * 0.95);
  bool kept_up = true;
  for (long long slots : o.slots) kept_up = kept_up && slots >= expected;
  return kept_up && o.lost_frames == 0 && o.kernel_drops == 0 && o.overflows == 0 && o.wrong == 0 &&
         o.silent == 0 && o.breaks == 0;
}

void print(const Outcome &o, double seconds) {
  long long samples = 0;
  for (long long slots : o.slots) samples += slots * 5 * 64;
  std::printf("zelsoak: %.0f s at 44100 Hz, readers on cursors of 1000, 200, 40 and 5 frames\n",
              seconds);
  std::printf("  datagrams sent by the array   %llu\n", static_cast<unsigned long long>(o.sent));
  std::printf("  slots read, each reader       %lld %lld %lld %lld\n", o.slots[0], o.slots[1],
              o.slots[2], o.slots[3]);
  std::printf("  samples checked               %lld\n", samples);
  std::printf("  lost frames                   %d\n", o.lost_frames);
  std::printf("  kernel drops                  %d\n", o.kernel_drops);
  std::printf("  cursor overflows              %d\n", o.overflows);
  std::printf("  wrong / silent / out of order %lld / %lld / %lld\n", o.wrong, o.silent, o.breaks);
  std::printf("  deepest socket queue          %u bytes, about %.0f datagrams or %.1f ms\n",
              o.peak_queue, o.peak_queue / kTruesize,
              1000 * o.peak_queue / kTruesize / kDatagramsPerSecond);
  std::printf("  zelarray_capture_off          %.1f ms\n", o.off_ms);
  // One line for scripts: run.sh puts the runs side by side.
  std::printf(
      "figures: slots=%lld samples=%lld lost=%d kernel_drops=%d overflows=%d wrong=%lld "
      "silent=%lld breaks=%lld peak_queue=%u off_ms=%.1f\n",
      o.slots[3], samples, o.lost_frames, o.kernel_drops, o.overflows, o.wrong, o.silent, o.breaks,
      o.peak_queue, o.off_ms);
}

}  // namespace

int main(int argc, char **argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 60;
  if (argc > 2 || !(seconds > 0)) {
    std::fprintf(stderr, "usage: zelsoak [seconds]\n");
    return 2;
  }
  Outcome outcome;
  if (!soak(seconds, outcome)) return 1;
  print(outcome, seconds);
  const bool ok = passed(outcome, seconds);
  std::printf("result: %s\n", ok ? "PASS" : "FAIL");
  return ok ? 0 : 1;
}
