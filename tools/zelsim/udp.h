// Socket plumbing of the emulator: descriptors as RAII values and bound UDP sockets.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

namespace zelsim::detail {

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(Fd &&other) noexcept : fd_(other.release()) {}
  Fd &operator=(Fd &&other) noexcept {
    if (this != &other) {
      reset();
      fd_ = other.release();
    }
    return *this;
  }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset();

 private:
  int fd_ = -1;
};

// Dotted-quad IPv4 text only; host names are not resolved.
bool parse_ipv4(const std::string &text, in_addr *out);
sockaddr_in make_sockaddr(in_addr address, uint16_t port);
bool make_sockaddr(const std::string &text, uint16_t port, sockaddr_in *out);
std::string to_text(const sockaddr_in &address);

// A UDP socket bound to address:port with SO_REUSEADDR, so that it sits beside other sockets
// bound to the same port on other (or all) local addresses. Invalid Fd and *error on failure.
Fd bind_udp(const std::string &address, uint16_t port, std::string *error);

}  // namespace zelsim::detail
