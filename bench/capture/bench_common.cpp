#include "bench_common.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <ctime>
#include <linux/sock_diag.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zelbench {

int64_t now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

void sleep_until_ns(int64_t deadline) {
  const timespec ts{static_cast<time_t>(deadline / 1000000000),
                    static_cast<long>(deadline % 1000000000)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

void sleep_seconds(double seconds) {
  sleep_until_ns(now_ns() + static_cast<int64_t>(seconds * 1e9));
}

double process_cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval &tv) { return double(tv.tv_sec) + double(tv.tv_usec) * 1e-6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// ---- Descriptors and sockets --------------------------------------------------------------------

// The same request as the library's: a bare receiver with a smaller buffer would be no baseline.
void request_large_buffer(int fd) {
  int size = 8 * 1024 * 1024;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  int granted = 0;
  socklen_t len = sizeof granted;
  if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &len) == 0 && granted >= size) return;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
}

Fd bind_udp(const char *address, bool large_buffer) {
  Fd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!sock.valid()) return sock;
  const int one = 1;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(ZEL_PORT);
  if (inet_aton(address, &local.sin_addr) == 0) return Fd();
  if (setsockopt(sock.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) return Fd();
  if (large_buffer) request_large_buffer(sock.get());
  if (bind(sock.get(), reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) return Fd();
  return sock;
}

uint32_t kernel_drops(int fd) {
  uint32_t meminfo[SK_MEMINFO_VARS] = {};
  socklen_t len = sizeof meminfo;
  if (getsockopt(fd, SOL_SOCKET, SO_MEMINFO, meminfo, &len) != 0) return 0;
  return len > SK_MEMINFO_DROPS * sizeof(uint32_t) ? meminfo[SK_MEMINFO_DROPS] : 0;
}

void build_datagram(unsigned char *bytes, int number) {
  memset(bytes, 0, kDatagramBytes);
  bytes[0] = kTypeData;
  bytes[1] = static_cast<unsigned char>(number >> 8);
  bytes[2] = static_cast<unsigned char>(number);
}

int datagram_number(const unsigned char *bytes, ssize_t len) {
  if (len != kDatagramBytes || bytes[0] != kTypeData) return -1;
  return bytes[1] * 256 + bytes[2];
}

int poll_recv_datagram(int fd, unsigned char *buffer, size_t size) {
  pollfd pfd{fd, POLLIN, 0};
  if (poll(&pfd, 1, 100) <= 0) return -1;
  return datagram_number(buffer, recv(fd, buffer, size, MSG_DONTWAIT));
}

// ---- Library handle
// -------------------------------------------------------------------------------

void HandleDeleter::operator()(zelarray_t *handle) const {
  zelerror err = 0;
  zelarray_capture_off(handle, &err);  // refused when not capturing
  zelarray_delete(handle, &err);
}

Handle connect_handle(int megabytes, int req_frames, std::string *why, const char *address) {
  zelerror err = 0;
  Handle handle(zelarray_create(megabytes, req_frames, &err));
  if (!handle) {
    *why = "zelarray_create failed with " + std::to_string(err);
    return handle;
  }
  zelarray_display_warnings(handle.get(), zel_false, &err);
  zelarray_comminit(handle.get(), address, &err);
  if (err == 0) zelarray_initparams_wp(handle.get(), 44100, zel_false, &err);
  if (err != 0) {
    *why = "connecting to the emulated array failed with " + std::to_string(err);
    handle.reset();
  }
  return handle;
}

// ---- Emulator in a child process
// ------------------------------------------------------------------

bool ChildArray::start(std::string *why) {
  int commands[2];
  int replies[2];
  if (pipe2(commands, O_CLOEXEC) != 0) return *why = "pipe failed", false;
  Fd command_read(commands[0]), command_write(commands[1]);
  if (pipe2(replies, O_CLOEXEC) != 0) return *why = "pipe failed", false;
  Fd reply_read(replies[0]), reply_write(replies[1]);
  fflush(nullptr);
  pid_ = fork();
  if (pid_ < 0) return *why = "fork failed", false;
  if (pid_ == 0) {
    // The child sees end of file on its commands only when no write end stays open in it.
    command_write.reset();
    reply_read.reset();
    run_child(std::move(command_read), std::move(reply_write));
  }
  to_child_ = std::move(command_write);
  from_child_ = std::move(reply_read);
  char ready = 0;
  if (read(from_child_.get(), &ready, 1) == 1 && ready == 'r') return true;
  *why = "the emulator did not start in the child process";
  stop();
  return false;
}

void ChildArray::run_child(Fd commands, Fd replies) {
  zelsim::Emulator sim(config_);
  std::string why;
  if (!sim.start(&why)) {
    fprintf(stderr, "emulator: %s\n", why.c_str());
    _exit(1);
  }
  const char ready = 'r';
  if (write(replies.get(), &ready, 1) != 1) _exit(1);
  char command = 0;
  while (read(commands.get(), &command, 1) < 0 && errno == EINTR) {
  }
  sim.stop();
  const uint64_t sent = sim.stats().datagrams_sent;
  const bool told = write(replies.get(), &sent, sizeof sent) == sizeof sent;
  _exit(told ? 0 : 1);
}

uint64_t ChildArray::stop() {
  if (pid_ <= 0) return 0;
  to_child_.reset();  // end of file tells the child to stop
  uint64_t sent = 0;
  if (read(from_child_.get(), &sent, sizeof sent) != sizeof sent) sent = 0;
  from_child_.reset();
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  return sent;
}

// ---- Table -------------------------------------------------------------------------------------

void print_row(const std::string &figure, const std::string &library, const std::string &baseline,
               const std::string &ratio, const std::string &aim, const std::string &met) {
  printf("%-40s %10s %10s %9s  %-26s %s\n", figure.c_str(), library.c_str(), baseline.c_str(),
         ratio.c_str(), aim.c_str(), met.c_str());
  fflush(stdout);
}

std::string fixed(double value, int decimals) {
  if (!std::isfinite(value)) return "-";
  char text[32];
  snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string verdict(bool met) {
  return met ? "yes" : "NO";
}

}  // namespace zelbench
