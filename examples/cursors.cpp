// cursors.cpp - several readers of one capture, each on its own thread with its own cursor.
//
//   cursors [ADDRESS [SECONDS]]
//
// Three readers share one capture of the array at ADDRESS (default 127.0.0.2). Each reads the
// ring at its own pace through its own cursor, of 100 ms, 50 ms and 11 ms buffers, and copies
// nothing: a cursor hands out pointers into the ring. Each reader checks that its buffers follow
// one another and measures the RMS level of one channel. The main thread watches the capture's
// health and stops it after SECONDS (default 2), which wakes every blocked reader.
//
// Build against an installed library:
//   c++ -std=c++20 cursors.cpp $(pkg-config --cflags --libs zel)
#include <zellib.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

namespace {

// Sample frames per buffer of the default cursor; every other cursor's size must divide it.
constexpr int kReqFrames = 4410;

// Prints a failed call's status; true when the call succeeded.
bool ok(zelerror err, const char *call) {
  if (err == 0) return true;
  zelarray_perror(&err, call);
  return false;
}

// The handle owns its ring, its socket and every cursor made on it; deleting it frees them all.
struct HandleDeleter {
  void operator()(zelarray_t *array) const {
    zelerror err = 0;
    zelarray_delete(array, &err);
    ok(err, "zelarray_delete");
  }
};
using Handle = std::unique_ptr<zelarray_t, HandleDeleter>;

// Channel `channel` of a sample frame: 24-bit two's complement, most significant byte first.
int32_t sample(const unsigned char *frame, int channel) {
  const unsigned char *p = frame + 3 * channel;
  const int32_t v = (p[0] << 16) | (p[1] << 8) | p[2];
  return v >= 0x800000 ? v - 0x1000000 : v;
}

struct Reader {
  zelcursor_t *cursor = nullptr;
  int channel = 0;
  int frames = 0;  // sample frames per buffer
  // Written by the reader's thread, read after it has been joined.
  int buffers = 0;
  int breaks = 0;  // buffers whose datagram number did not follow the previous buffer's
  double sum_squares = 0;
  bool failed = false;
};

// Reads until the capture stops: a blocked read then returns zel_false, and a read that starts
// after the stop is refused with zel_unset and code 9.
void read_cursor(zelarray_t *array, Reader *r, const std::atomic<bool> *stopping) {
  int expected = -1;
  for (;;) {
    void *data = nullptr;
    int nfnbr = 0;
    zelerror err = 0;
    const zelbool got =
        zelarray_get_cursorptr_with_nfnbr(array, r->cursor, &data, nullptr, &nfnbr, &err);
    if (got != zel_true) {
      if (got == zel_unset && !stopping->load()) r->failed = !ok(err, "zelarray_get_cursorptr");
      return;
    }
    // A buffer of n frames spans n / 5 datagrams; lost datagrams are zero-filled in place, so
    // the numbers run on unless this reader fell a whole ring behind.
    if (expected >= 0 && nfnbr != expected) ++r->breaks;
    expected = (nfnbr + r->frames / 5) % 65536;
    const auto *frames = static_cast<const unsigned char *>(data);
    for (int f = 0; f < r->frames; ++f) {
      const double s = sample(frames + f * ZEL_FRAME_BYTES, r->channel);
      r->sum_squares += s * s;
    }
    ++r->buffers;
  }
}

bool connect(zelarray_t *array, const char *address) {
  zelerror err = 0;
  zelarray_comminit(array, address, &err);
  if (!ok(err, "zelarray_comminit")) return false;
  zelarray_initparams_wp(array, 44100, zel_false, &err);
  return ok(err, "zelarray_initparams_wp");
}

bool make_readers(zelarray_t *array, std::vector<Reader> *readers) {
  // 100 ms, 50 ms and 11 ms at 44100 Hz: divisors of kReqFrames, and whole datagrams of 5 frames
  // so that each buffer starts a datagram.
  const int sizes[] = {4410, 2205, 490};
  for (int i = 0; i < 3; ++i) {
    zelerror err = 0;
    zelcursor_t *cursor = zelcursor_create(array, sizes[i], &err);
    if (!ok(err, "zelcursor_create")) return false;
    readers->push_back(Reader{cursor, 21 * i, sizes[i]});
  }
  return true;
}

// Lets the capture run for `seconds`, checking every 100 ms that the capture thread is healthy:
// after a failure it has stopped, and blocked readers would wait until the capture is stopped.
bool watch(zelarray_t *array, double seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    zelerror err = 0;
    if (zelarray_check_capture_ok(array, &err) != zel_true && err == ZEL_ECAPTURE) {
      return ok(err, "zelarray_check_capture_ok");
    }
  }
  return true;
}

// Starts the capture, one thread per reader, and stops it all after `seconds`.
bool capture(zelarray_t *array, std::vector<Reader> *readers, double seconds) {
  zelerror err = 0;
  zelarray_capture_on(array, &err);
  if (!ok(err, "zelarray_capture_on")) return false;
  std::atomic<bool> stopping{false};
  bool healthy = true;
  {
    std::vector<std::jthread> threads;
    for (Reader &r : *readers) threads.emplace_back(read_cursor, array, &r, &stopping);
    healthy = watch(array, seconds);
    stopping = true;
    zelarray_capture_off(array, &err);  // wakes every blocked reader
    healthy = ok(err, "zelarray_capture_off") && healthy;
  }  // the jthreads join here
  return healthy;
}

void print_readers(zelarray_t *array, const std::vector<Reader> &readers) {
  for (const Reader &r : readers) {
    const double rms =
        r.buffers > 0 ? std::sqrt(r.sum_squares / (double(r.buffers) * r.frames)) : 0;
    std::printf("cursor of %4d frames: %3d buffers, %d breaks, channel %2d RMS %.0f\n", r.frames,
                r.buffers, r.breaks, r.channel, rms);
  }
  zelerror err = 0;
  std::printf("lost frames: %d\n", zelarray_check_lostdataframes(array, &err));
}

}  // namespace

int main(int argc, char **argv) {
  const char *address = argc > 1 ? argv[1] : "127.0.0.2";
  const double seconds = argc > 2 ? std::atof(argv[2]) : 2.0;
  if (!(seconds > 0)) {
    std::fprintf(stderr, "usage: cursors [ADDRESS [SECONDS]]\n");
    return 2;
  }
  zelerror err = 0;
  Handle array(zelarray_create(0, kReqFrames, &err));
  if (!ok(err, "zelarray_create")) return 1;
  std::vector<Reader> readers;
  if (!connect(array.get(), address) || !make_readers(array.get(), &readers)) return 1;
  const bool captured = capture(array.get(), &readers, seconds);
  print_readers(array.get(), readers);
  for (const Reader &r : readers) {
    if (r.failed || r.buffers == 0) return 1;
  }
  return captured ? 0 : 1;
}
