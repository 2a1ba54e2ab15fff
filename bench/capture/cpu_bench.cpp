// CPU time of a capture at the array's real rate with one reader, beside bare receivers of the
// same stream: a poll-and-recv loop alone, and the same loop handing every datagram to a reader
// thread through a mutex and a condition variable (the work the library does per datagram).
// The emulator runs in a child process, so this process's user+system time is the receivers'.
//
// Usage: zelbench_cpu [seconds, default 5]
#include <atomic>
#include <cerrno>
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

constexpr double kWarmUp = 0.5;

struct Usage {
  double cpu_per_second = 0;  // user+system seconds per second
  uint64_t received = 0;
  bool lossless = false;
};

// CPU seconds per second of this process while the receivers run for `seconds`.
double measure(double seconds) {
  sleep_seconds(kWarmUp);
  const double cpu0 = process_cpu_seconds();
  const int64_t t0 = now_ns();
  sleep_seconds(seconds);
  return (process_cpu_seconds() - cpu0) / (double(now_ns() - t0) * 1e-9);
}

zelsim::Config real_rate_array() {
  zelsim::Config config;
  config.rate_multiple = 1.0;
  return config;
}

std::optional<Usage> library_usage(double seconds, int reader_frames) {
  ChildArray array(real_rate_array());
  std::string why;
  if (!array.start(&why)) return fprintf(stderr, "%s\n", why.c_str()), std::nullopt;
  Handle handle = connect_handle(16, reader_frames, &why);
  zelerror err = 0;
  zelcursor_t *cursor = handle ? zelcursor_create(handle.get(), reader_frames, &err) : nullptr;
  if (cursor == nullptr) return fprintf(stderr, "library: %s\n", why.c_str()), std::nullopt;
  zelarray_capture_on(handle.get(), &err);
  if (err != 0) return fprintf(stderr, "capture on failed with %d\n", err), std::nullopt;
  uint64_t buffers = 0;
  std::thread reader([&] {
    void *data = nullptr;
    int32_t ts[2];
    zelerror e = 0;
    while (zelarray_get_cursorptr(handle.get(), cursor, &data, ts, &e) == zel_true) ++buffers;
  });
  Usage u;
  u.cpu_per_second = measure(seconds);
  u.lossless = zelarray_check_lostdataframes(handle.get(), &err) == 0 &&
               zelarray_check_kernel_drops(handle.get(), &err) == 0;
  zelarray_capture_off(handle.get(), &err);
  reader.join();
  u.received = buffers * static_cast<uint64_t>(reader_frames) / 5;
  return u;
}

// Three arrays at once, each on its own emulator and handle with a reader of 4410 frames: the
// CPU per array. Every emulator is forked before the first thread starts.
std::optional<Usage> several_usage(double seconds) {
  constexpr const char *addresses[] = {"127.0.0.2", "127.0.0.4", "127.0.0.5"};
  constexpr int count = 3;
  std::vector<std::unique_ptr<ChildArray>> arrays;
  std::string why;
  for (const char *address : addresses) {
    zelsim::Config config = real_rate_array();
    config.address = address;
    arrays.push_back(std::make_unique<ChildArray>(config));
    if (!arrays.back()->start(&why)) return fprintf(stderr, "%s\n", why.c_str()), std::nullopt;
  }
  std::vector<Handle> handles;
  zelerror err = 0;
  for (const char *address : addresses) {
    handles.push_back(connect_handle(16, 4410, &why, address));
    if (!handles.back()) return fprintf(stderr, "library: %s\n", why.c_str()), std::nullopt;
  }
  for (Handle &handle : handles) {
    zelarray_capture_on(handle.get(), &err);
    if (err != 0) return fprintf(stderr, "capture on failed with %d\n", err), std::nullopt;
  }
  std::vector<uint64_t> buffers(count, 0);
  std::vector<std::thread> readers;
  readers.reserve(count);
  for (int i = 0; i < count; ++i) {
    readers.emplace_back([&, i] {
      std::vector<unsigned char> dest(4410 * ZEL_FRAME_BYTES);
      zelerror e = 0;
      while (zelarray_get_databuffer(handles[i].get(), dest.data(), nullptr, &e) == zel_true) {
        ++buffers[i];
      }
    });
  }
  Usage u;
  u.cpu_per_second = measure(seconds) / count;
  u.lossless = true;
  for (Handle &handle : handles) {
    u.lossless = u.lossless && zelarray_check_lostdataframes(handle.get(), &err) == 0 &&
                 zelarray_check_kernel_drops(handle.get(), &err) == 0;
    zelarray_capture_off(handle.get(), &err);
  }
  for (int i = 0; i < count; ++i) {
    readers[i].join();
    u.received += buffers[i] * 4410 / 5;
  }
  // A later child holds copies of the earlier children's command pipes (forked, never
  // executed), so an earlier one sees the end of its commands only once the later ones are gone.
  while (!arrays.empty()) arrays.pop_back();
  return u;
}

// Hands each payload to one reader thread, as a ring with a condition variable would.
class HandOff {
 public:
  void publish(const unsigned char *payload) {
    {
      std::lock_guard lock(m_);
      memcpy(slot_, payload, sizeof slot_);
      ++published_;
    }
    cv_.notify_one();
  }
  void close() {
    {
      std::lock_guard lock(m_);
      closed_ = true;
    }
    cv_.notify_one();
  }
  // Blocks until something newer than `seen` is published; false once closed.
  bool wait(uint64_t &seen) {
    std::unique_lock lock(m_);
    cv_.wait(lock, [&] { return published_ != seen || closed_; });
    if (published_ == seen) return false;
    seen = published_;
    return true;
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  unsigned char slot_[960] = {};
  uint64_t published_ = 0;
  bool closed_ = false;
};

// poll with the library's 100 ms limit, then one recv per datagram.
void poll_recv_loop(int fd, const std::atomic<bool> &stop, HandOff *handoff, SequenceCheck &check) {
  unsigned char buffer[2048];
  while (!stop.load(std::memory_order_relaxed)) {
    const int number = poll_recv_datagram(fd, buffer, sizeof buffer);
    if (number < 0) continue;
    check.see(number);
    if (handoff != nullptr) handoff->publish(buffer + 4);
  }
  if (handoff != nullptr) handoff->close();
}

std::optional<Usage> bare_usage(double seconds, bool with_reader) {
  Fd sock = bind_udp(kHostAddress, true);
  if (!sock.valid()) return fprintf(stderr, "bare receiver: bind failed\n"), std::nullopt;
  zelsim::Config config = real_rate_array();
  config.acquiring = true;  // streams to 127.0.0.1:32767 from the start
  ChildArray array(config);
  std::string why;
  if (!array.start(&why)) return fprintf(stderr, "%s\n", why.c_str()), std::nullopt;
  HandOff handoff;
  SequenceCheck check;
  std::atomic<bool> stop{false};
  std::thread receiver(poll_recv_loop, sock.get(), std::cref(stop),
                       with_reader ? &handoff : nullptr, std::ref(check));
  std::thread reader;
  if (with_reader) {
    reader = std::thread([&handoff] {
      for (uint64_t seen = 0; handoff.wait(seen);) {
      }
    });
  }
  Usage u;
  u.cpu_per_second = measure(seconds);
  stop.store(true);
  receiver.join();
  if (reader.joinable()) reader.join();
  u.received = check.seen;
  u.lossless = check.breaks == 0 && kernel_drops(sock.get()) == 0;
  return u;
}

void log_usage(const char *who, const Usage &u) {
  fprintf(stderr, "%-34s %.4f s/s, %llu datagrams, %s\n", who, u.cpu_per_second,
          (unsigned long long)u.received, u.lossless ? "no loss" : "LOSS");
}

}  // namespace

int main(int argc, char **argv) {
  const double seconds = argc > 1 ? atof(argv[1]) : 5.0;
  if (!(seconds > 0)) {
    fprintf(stderr, "usage: zelbench_cpu [seconds]\n");
    return 2;
  }
  // Bare and library runs alternate, so that the load of a neighbour falls on both alike.
  auto bare = bare_usage(seconds, false);
  auto library = library_usage(seconds, 5);
  auto bare_handoff = bare_usage(seconds, true);
  auto library_large = library_usage(seconds, 4410);
  auto several = several_usage(seconds);
  if (!bare || !library || !bare_handoff || !library_large || !several) return 1;
  log_usage("bare poll+recv", *bare);
  log_usage("library, reader of 5 frames", *library);
  log_usage("bare poll+recv + hand-off", *bare_handoff);
  log_usage("library, reader of 4410 frames", *library_large);
  log_usage("library, 3 arrays, per array", *several);

  const double ratio = library->cpu_per_second / bare->cpu_per_second;
  print_row("CPU at 1x, reader of 5 frames (s/s)", fixed(library->cpu_per_second, 4),
            fixed(bare->cpu_per_second, 4), fixed(ratio, 2), "lib/bare <= 1.3",
            verdict(ratio <= 1.3 && library->lossless));
  const double ratio_large = library_large->cpu_per_second / bare->cpu_per_second;
  print_row("CPU at 1x, reader of 4410 frames (s/s)", fixed(library_large->cpu_per_second, 4),
            fixed(bare->cpu_per_second, 4), fixed(ratio_large, 2), "lib/bare <= 0.5",
            verdict(ratio_large <= 0.5 && library_large->lossless));
  const double ratio_several = several->cpu_per_second / bare->cpu_per_second;
  print_row("  3 arrays, 4410 frames, per array (s/s)", fixed(several->cpu_per_second, 4),
            fixed(bare->cpu_per_second, 4), fixed(ratio_several, 2), "lib/bare <= 0.5, 0 lost",
            verdict(ratio_several <= 0.5 && several->lossless));
  const double ratio_handoff = library->cpu_per_second / bare_handoff->cpu_per_second;
  print_row("  5 frames vs bare with hand-off (s/s)", fixed(library->cpu_per_second, 4),
            fixed(bare_handoff->cpu_per_second, 4), fixed(ratio_handoff, 2),
            "lib/bare hand-off <= 1.0", verdict(ratio_handoff <= 1.0 && library->lossless));
  return 0;
}
