// Churn: a thousand capture start/stop cycles with readers on their cursors, and a thousand
// handles made, connected, given cursors and deleted. Nothing may be left behind: descriptors,
// threads or heap bytes (LeakSanitizer checks the bytes again in the sanitizer build).
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "array_fixture.h"

namespace zeltest {
namespace {

struct Footprint {
  int descriptors;
  int threads;
  size_t heap_bytes;
};

int threads_of_this_process() {
  int count = 0;
  DIR *dir = opendir("/proc/self/task");
  while (dir != nullptr) {
    const dirent *entry = readdir(dir);
    if (entry == nullptr) break;
    if (entry->d_name[0] != '.') ++count;
  }
  if (dir != nullptr) closedir(dir);
  return count;
}

Footprint Measure() {
  return {open_descriptors(), threads_of_this_process(), mallinfo2().uordblks};
}

// Descriptors and threads come back exactly. The C runtime's heap grows by a few kilobytes once
// (thread arenas, its per-thread caches); a leak of even the smallest heap block (32 bytes) per
// cycle would show as more than half that per cycle. LeakSanitizer counts every byte in the
// sanitizer build.
void ExpectNothingLeft(const Footprint &before, const Footprint &after, int cycles) {
  EXPECT_EQ(after.descriptors, before.descriptors);
  EXPECT_EQ(after.threads, before.threads);
  const auto grown =
      static_cast<long long>(after.heap_bytes) - static_cast<long long>(before.heap_bytes);
  EXPECT_LT(grown, 16LL * cycles) << "heap bytes per cycle: "
                                  << static_cast<double>(grown) / cycles;
  std::printf("[ figures  ] %d cycles: descriptors %d -> %d, threads %d -> %d, heap %+lld bytes\n",
              cycles, before.descriptors, after.descriptors, before.threads, after.threads, grown);
}

// The emulated array in a process of its own, so that its allocations and threads do not mix
// with the footprint under test. Forks at once: the test's process must have no thread yet.
class ArrayProcess {
 public:
  ArrayProcess() {
    int up[2], down[2];
    if (pipe(up) != 0 || pipe(down) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(up[0]);
      close(down[1]);
      zelsim::Emulator sim{zelsim::Config{}};
      const char ready = sim.start(nullptr) ? 'r' : 'x';
      [[maybe_unused]] ssize_t w = write(up[1], &ready, 1);
      char ignored;
      [[maybe_unused]] ssize_t r = read(down[0], &ignored, 1);  // until the parent closes it
      sim.stop();
      _exit(0);
    }
    close(up[1]);
    close(down[0]);
    char ready = 0;
    ready_ = pid_ > 0 && read(up[0], &ready, 1) == 1 && ready == 'r';
    close(up[0]);
    to_child_ = down[1];
  }
  ~ArrayProcess() {
    if (to_child_ >= 0) close(to_child_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }
  ArrayProcess(const ArrayProcess &) = delete;
  ArrayProcess &operator=(const ArrayProcess &) = delete;
  bool ready() const { return ready_; }

 private:
  pid_t pid_ = -1;
  int to_child_ = -1;
  bool ready_ = false;
};

class ChurnTest : public ArrayTest {
 protected:
  static constexpr int kCycles = 1000;

  // One capture with a reader thread on every cursor; returns once each has read a buffer and
  // the capture has been stopped under them.
  void CaptureCycle(const std::vector<zelcursor_t *> &cursors) {
    CaptureOn();
    std::atomic<int> reading{0};
    std::vector<std::thread> readers;
    readers.reserve(cursors.size());
    for (zelcursor_t *cursor : cursors) {
      readers.emplace_back([&, cursor] {
        zelerror e = 0;
        void *data = nullptr;
        bool counted = false;
        while (zelarray_get_cursorptr(handle, cursor, &data, nullptr, &e) == zel_true) {
          if (!counted) reading.fetch_add(1);
          counted = true;
        }
      });
    }
    const auto give_up = std::chrono::steady_clock::now() + 5s;
    while (reading.load() < static_cast<int>(cursors.size()) &&
           std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(100us);
    }
    CaptureOff();
    for (auto &t : readers) t.join();
    ASSERT_EQ(reading.load(), static_cast<int>(cursors.size()));
  }
};

TEST_F(ChurnTest, ThousandCaptureCyclesWithReadersLeaveNothingBehind) {
  ArrayProcess array;
  ASSERT_TRUE(array.ready());
  Connect(100);
  std::vector<zelcursor_t *> cursors{handle->cursors[0]};
  for (int frames : {50, 20, 5}) {
    cursors.push_back(zelcursor_create(handle, frames, &err));
    ASSERT_EQ(err, ZEL_OK);
  }
  CaptureCycle(cursors);  // first-use allocations of the runtime happen here
  const Footprint before = Measure();
  for (int i = 0; i < kCycles && !HasFatalFailure(); ++i) CaptureCycle(cursors);
  ExpectNothingLeft(before, Measure(), kCycles);
  EXPECT_EQ(handle->status, st_params_ready);
}

TEST_F(ChurnTest, ThousandHandlesWithCursorsLeaveNothingBehind) {
  ArrayProcess array;
  ASSERT_TRUE(array.ready());
  auto cycle = [this] {
    zelarray_t *h = zelarray_create(16, 100, &err);
    ASSERT_EQ(err, ZEL_OK);
    zelarray_display_warnings(h, zel_false, &err);
    zelarray_comminit(h, "127.0.0.2", &err);
    EXPECT_EQ(err, ZEL_OK);
    for (int frames : {100, 20, 5}) zelcursor_create(h, frames, &err);
    EXPECT_EQ(h->cursor_count, 4);
    void *block = zelarray_create_databuffer(h, nullptr, &err);
    EXPECT_NE(block, nullptr);
    zelarray_delete_databuffer(h, block, &err);
    EXPECT_EQ(err, ZEL_OK);
    zelarray_delete(h, &err);
    EXPECT_EQ(err, ZEL_OK);
  };
  cycle();
  const Footprint before = Measure();
  for (int i = 0; i < kCycles && !HasFailure(); ++i) cycle();
  ExpectNothingLeft(before, Measure(), kCycles);
}

// Every status query is sent again for each other datagram that comes first, so a stop that
// found data datagrams queued leaves as many late replies of the array behind it; the next
// start must not take them for the answer to its own request.
TEST_F(ChurnTest, LateStatusRepliesDoNotFailTheNextStart) {
  StartArray();
  Connect(100);
  CaptureOn();
  CaptureOff();
  for (int i = 0; i < 40; ++i) sim->send_foreign({5, 0, 0, 0});  // "acquisition is off"
  std::this_thread::sleep_for(20ms);
  zelarray_capture_on(handle, &err);
  EXPECT_EQ(err, ZEL_OK);
}

}  // namespace
}  // namespace zeltest
