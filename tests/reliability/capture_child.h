// A capture that runs in a child process, so that a test can stop the whole capturing process
// (SIGSTOP) while the emulated array, in the test's own process, streams on. The child connects
// to the array at 127.0.0.2 with four cursors of 1000, 200, 40 and 5 sample frames, each read on
// a thread of its own and checked slot by slot against the emulator's ramp.
#ifndef ZEL_TESTS_CAPTURE_CHILD_H
#define ZEL_TESTS_CAPTURE_CHILD_H

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <optional>
#include <thread>

#include "stream_log.h"

namespace zelrel {

struct ChildOptions {
  int rcvbuf = 0;               // > 0: receive buffer set on the socket after zelarray_comminit
  bool end_on_silence = false;  // at Finish, wait for the capture thread to end on silence first
};

constexpr int kChildReaders = 4;

// Plain bytes, written whole through a pipe.
struct ChildReport {
  int failed_step = 0;  // 0: every call succeeded; else the step that failed
  zelerror failed_code = 0;
  long long slots[kChildReaders] = {};
  long long silent[kChildReaders] = {};
  long long wrong[kChildReaders] = {};
  long long breaks[kChildReaders] = {};
  int lost_frames = 0;   // sample frames
  int kernel_drops = 0;  // datagrams
  int overflows = 0;     // cursors that overflowed
  int rcvbuf = 0;        // receive buffer the kernel granted, bytes
  double off_ms = 0;     // how long zelarray_capture_off took
};

namespace detail {

inline bool read_all(int fd, void *into, size_t size, std::chrono::milliseconds timeout) {
  auto *p = static_cast<char *>(into);
  const auto give_up = std::chrono::steady_clock::now() + timeout;
  while (size > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        give_up - std::chrono::steady_clock::now());
    pollfd pfd{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) <= 0) return false;
    const ssize_t n = read(fd, p, size);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

inline void write_all(int fd, const void *bytes, size_t size) {
  const auto *p = static_cast<const char *>(bytes);
  while (size > 0) {
    const ssize_t n = write(fd, p, size);
    if (n <= 0) return;
    p += n;
    size -= static_cast<size_t>(n);
  }
}

// The child's whole life: wait for 'g', capture, report 'r', wait for 's', stop, report.
class ChildCapture {
 public:
  ChildCapture(int in, int out, ChildOptions options) : in_(in), out_(out), options_(options) {}

  [[noreturn]] void run() {
    char command = 0;
    if (read(in_, &command, 1) == 1 && command == 'g' && start()) {
      detail::write_all(out_, "r", 1);
      if (read(in_, &command, 1) == 1) finish();
    }
    if (handle_ != nullptr && handle_->status == st_capturing) zelarray_capture_off(handle_, &err_);
    for (auto &reader : readers_) reader.reset();
    report_.failed_code = report_.failed_step != 0 ? err_ : 0;
    detail::write_all(out_, &report_, sizeof report_);
    _exit(report_.failed_step == 0 ? 0 : 1);
  }

 private:
  bool step(int number) {
    if (err_ == 0) return true;
    report_.failed_step = number;
    return false;
  }

  bool start() {
    handle_ = zelarray_create(16, 1000, &err_);
    if (!step(1)) return false;
    zelarray_display_warnings(handle_, zel_false, &err_);
    zelarray_comminit(handle_, "127.0.0.2", &err_);
    if (!step(2)) return false;
    if (options_.rcvbuf > 0) {
      setsockopt(handle_->sock, SOL_SOCKET, SO_RCVBUF, &options_.rcvbuf, sizeof options_.rcvbuf);
    }
    socklen_t len = sizeof report_.rcvbuf;
    getsockopt(handle_->sock, SOL_SOCKET, SO_RCVBUF, &report_.rcvbuf, &len);
    zelarray_initparams_wp(handle_, 44100, zel_false, &err_);
    if (!step(3)) return false;
    cursors_[0] = handle_->cursors[0];
    const int frames[kChildReaders] = {1000, 200, 40, 5};
    for (int r = 1; r < kChildReaders; ++r) {
      cursors_[r] = zelcursor_create(handle_, frames[r], &err_);
      if (!step(4)) return false;
    }
    zelarray_capture_on(handle_, &err_);
    if (!step(5)) return false;
    for (int r = 0; r < kChildReaders; ++r) {
      readers_[r] = std::make_unique<CursorReader>(handle_, cursors_[r]);
      readers_[r]->start();
    }
    return true;
  }

  void finish() {
    if (options_.end_on_silence) {
      const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      zelerror status = 0;
      while (zelarray_check_capture_ok(handle_, &status) == zel_true &&
             std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    const auto before = std::chrono::steady_clock::now();
    zelarray_capture_off(handle_, &err_);
    report_.off_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - before)
            .count();
    if (!step(6)) return;
    for (int r = 0; r < kChildReaders; ++r) {
      readers_[r]->join();
      const StreamLog &log = readers_[r]->log();
      report_.slots[r] = log.slots();
      report_.silent[r] = log.silent();
      report_.wrong[r] = log.wrong();
      report_.breaks[r] = log.breaks();
      zelerror e = 0;
      if (zelcursor_check_overflow(handle_, cursors_[r], &e) == zel_true) ++report_.overflows;
    }
    report_.lost_frames = zelarray_check_lostdataframes(handle_, &err_);
    report_.kernel_drops = zelarray_check_kernel_drops(handle_, &err_);
    step(7);
  }

  int in_;
  int out_;
  ChildOptions options_;
  ChildReport report_;
  zelerror err_ = 0;
  zelarray_t *handle_ = nullptr;
  zelcursor_t *cursors_[kChildReaders] = {};
  std::unique_ptr<CursorReader> readers_[kChildReaders];
};

}  // namespace detail

class CaptureChild {
 public:
  // Forks at once: the test's process must not have started any thread yet.
  explicit CaptureChild(ChildOptions options = {}) {
    int down[2], up[2];
    if (pipe(down) != 0) return;
    if (pipe(up) != 0) {
      close(down[0]);
      close(down[1]);
      return;
    }
    pid_ = fork();
    if (pid_ == 0) {
      close(down[1]);
      close(up[0]);
      detail::ChildCapture(down[0], up[1], options).run();
    }
    close(down[0]);
    close(up[1]);
    to_child_ = down[1];
    from_child_ = up[0];
  }

  ~CaptureChild() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (to_child_ >= 0) close(to_child_);
    if (from_child_ >= 0) close(from_child_);
  }
  CaptureChild(const CaptureChild &) = delete;
  CaptureChild &operator=(const CaptureChild &) = delete;

  bool forked() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // Tells the child to connect and capture; true once its capture runs.
  bool Start() {
    detail::write_all(to_child_, "g", 1);
    char ack = 0;
    return detail::read_all(from_child_, &ack, 1, std::chrono::seconds(10)) && ack == 'r';
  }

  // Stops the whole child process for `duration`, counted from the moment it is seen stopped.
  bool Stall(std::chrono::milliseconds duration) {
    if (kill(pid_, SIGSTOP) != 0) return false;
    int status = 0;
    const bool stopped = waitpid(pid_, &status, WUNTRACED) == pid_ && WIFSTOPPED(status);
    if (stopped) std::this_thread::sleep_for(duration);
    kill(pid_, SIGCONT);
    return stopped;
  }

  // Tells the child to stop capturing and returns its report (none when it did not come).
  std::optional<ChildReport> Finish() {
    detail::write_all(to_child_, "s", 1);
    ChildReport report;
    const bool got =
        detail::read_all(from_child_, &report, sizeof report, std::chrono::seconds(20));
    int status = 0;
    if (got && waitpid(pid_, &status, 0) == pid_) reaped_ = true;
    if (!got) return std::nullopt;
    return report;
  }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int to_child_ = -1;
  int from_child_ = -1;
};

}  // namespace zelrel

#endif
