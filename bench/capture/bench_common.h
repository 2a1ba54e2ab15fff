// Pieces shared by the capture benchmarks: clocks, sockets of the bare baselines, a library
// handle connected to the emulated array, an emulator in a child process, and the result table.
#ifndef ZEL_BENCH_CAPTURE_COMMON_H
#define ZEL_BENCH_CAPTURE_COMMON_H

#include <cstdint>
#include <memory>
#include <string>
#include <sys/types.h>

#include "unique_fd.h"
#include "zellib.h"
#include "zelsim.h"

namespace zelbench {

// Data datagrams per second the array sends at 44100 Hz.
constexpr double kRealRate = 8820.0;
constexpr int kDatagramBytes = 964;
constexpr unsigned char kTypeData = 0x86;
// Where the emulator streams to and where the bare receivers listen.
constexpr const char *kHostAddress = "127.0.0.1";
constexpr const char *kArrayAddress = "127.0.0.2";

int64_t now_ns();  // CLOCK_MONOTONIC
void sleep_until_ns(int64_t deadline);
void sleep_seconds(double seconds);
// User plus system CPU seconds of the whole process.
double process_cpu_seconds();

// Descriptors as RAII values: the tools' own.
using Fd = zeltool::UniqueFd;

// UDP socket bound to address:32767 with SO_REUSEADDR and the receive buffer the library asks
// for (8 MiB, forced past rmem_max when allowed). Invalid on failure.
Fd bind_udp(const char *address, bool large_buffer);
// The socket's count of datagrams the kernel dropped for want of room.
uint32_t kernel_drops(int fd);
// Asks for the library's 8 MiB receive buffer (forced when privileged).
void request_large_buffer(int fd);
// A data datagram numbered `number` with a zero payload.
void build_datagram(unsigned char *bytes, int number);
// The number in bytes 1-2 of a datagram, or -1 when it is not a whole data datagram.
int datagram_number(const unsigned char *bytes, ssize_t len);
// The bare receive: poll with the library's 100 ms limit, then one recv. The datagram's number,
// or -1 when none came or it was not a whole data datagram.
int poll_recv_datagram(int fd, unsigned char *buffer, size_t size);

// Counts datagram numbers and the places where one is not the successor of the one before.
struct SequenceCheck {
  int last = -1;
  uint64_t seen = 0;
  uint64_t breaks = 0;
  void see(int number) {
    if (last >= 0 && number != ((last + 1) & 0xFFFF)) ++breaks;
    last = number;
    ++seen;
  }
};

// A library handle in st_params_ready at 44100 Hz, warnings off, connected to the emulated array;
// deleted (capture stopped first) when it goes.
struct HandleDeleter {
  void operator()(zelarray_t *handle) const;
};
using Handle = std::unique_ptr<zelarray_t, HandleDeleter>;
Handle connect_handle(int megabytes, int req_frames, std::string *why,
                      const char *address = kArrayAddress);

// An emulated array in a child process, so that its work never shows in this process's CPU
// time or allocations. Fork it while this process has no other thread.
class ChildArray {
 public:
  explicit ChildArray(zelsim::Config config) : config_(std::move(config)) {}
  ~ChildArray() { stop(); }
  ChildArray(const ChildArray &) = delete;
  ChildArray &operator=(const ChildArray &) = delete;
  // True once the emulator in the child is running.
  bool start(std::string *why);
  // Stops the emulator and returns the data datagrams it sent (0 when it was not running).
  uint64_t stop();

 private:
  [[noreturn]] void run_child(Fd commands, Fd replies);
  zelsim::Config config_;
  pid_t pid_ = -1;
  Fd to_child_;
  Fd from_child_;
};

// One line of the result table: what was measured, the library's figure, the baseline's, their
// ratio, the aim and whether it is met. run.sh prints the header with the same widths.
void print_row(const std::string &figure, const std::string &library, const std::string &baseline,
               const std::string &ratio, const std::string &aim, const std::string &met);
std::string fixed(double value, int decimals);
std::string verdict(bool met);

}  // namespace zelbench

#endif
