// The test's side of the array protocol: a UDP socket on port 32767 that sends requests to the
// emulator and decodes what comes back with its own code, independent of the emulator's.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace probe {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline constexpr uint16_t kPort = 32767;
inline constexpr const char *kArray = "127.0.0.2";
inline constexpr size_t kDataBytes = 964;
inline constexpr uint8_t kData = 0x86;

struct Datagram {
  std::vector<uint8_t> bytes;
  std::string from;      // "a.b.c.d:port"
  Clock::time_point at;  // when the probe read it
  double kernel_at = 0;  // when the kernel queued it, in seconds (real-time clock)

  bool is_data() const { return !bytes.empty() && bytes[0] == kData; }
  int number() const { return bytes[1] << 8 | bytes[2]; }  // big-endian
  // 24-bit big-endian sample of channel c in sample frame k of the payload.
  uint32_t sample(int k, int c) const {
    const uint8_t *p = bytes.data() + 4 + 192 * k + 3 * c;
    return static_cast<uint32_t>(p[0]) << 16 | p[1] << 8 | p[2];
  }
  int32_t signed_sample(int k, int c) const {
    uint32_t v = sample(k, c);
    return static_cast<int32_t>(v ^ 0x800000) - 0x800000;
  }
};

class Probe {
 public:
  explicit Probe(const std::string &address = "127.0.0.1");
  ~Probe();
  Probe(const Probe &) = delete;
  Probe &operator=(const Probe &) = delete;

  bool ok() const { return fd_ >= 0; }
  void send(const std::vector<uint8_t> &bytes, const std::string &to = kArray);
  void request(uint8_t code, uint16_t arg = 0) {
    send({0, code, static_cast<uint8_t>(arg >> 8), static_cast<uint8_t>(arg)});
  }
  std::optional<Datagram> receive(std::chrono::milliseconds timeout);
  // Sends the query once and waits for the reply of the awaited type, dropping all else.
  std::optional<Datagram> query(uint8_t code, uint8_t type,
                                std::chrono::milliseconds timeout = 500ms);
  // Data datagrams until count have arrived or timeout has passed; other datagrams are dropped.
  std::vector<Datagram> collect_data(size_t count, std::chrono::milliseconds timeout);
  // Everything that arrives until nothing has come for `quiet`.
  std::vector<Datagram> drain(std::chrono::milliseconds quiet = 100ms);

 private:
  int fd_ = -1;
};

std::vector<int> numbers_of(const std::vector<Datagram> &datagrams);

}  // namespace probe
