#include "probe.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace probe {

Probe::Probe(const std::string &address) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  // Arrival times taken by the kernel do not depend on how soon the probe gets to read.
  ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
  // Room for seconds of stream at flat-out rates; the forcing variant needs root.
  int size = 16 << 20;
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(kPort);
  ::inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
  if (::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
    ::close(fd);
    return;
  }
  fd_ = fd;
}

Probe::~Probe() {
  if (fd_ >= 0) ::close(fd_);
}

void Probe::send(const std::vector<uint8_t> &bytes, const std::string &to) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(kPort);
  ::inet_pton(AF_INET, to.c_str(), &sa.sin_addr);
  ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
}

std::optional<Datagram> Probe::receive(std::chrono::milliseconds timeout) {
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
  Datagram d;
  d.bytes.resize(4096);
  sockaddr_in from{};
  iovec iov{d.bytes.data(), d.bytes.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))] = {};
  msghdr msg{};
  msg.msg_name = &from;
  msg.msg_namelen = sizeof from;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  ssize_t n = ::recvmsg(fd_, &msg, 0);
  d.at = Clock::now();
  if (n < 0) return std::nullopt;
  for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
    timespec ts{};
    std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
    d.kernel_at = ts.tv_sec + ts.tv_nsec * 1e-9;
  }
  d.bytes.resize(static_cast<size_t>(n));
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
  d.from = std::string(text) + ":" + std::to_string(ntohs(from.sin_port));
  return d;
}

std::optional<Datagram> Probe::query(uint8_t code, uint8_t type,
                                     std::chrono::milliseconds timeout) {
  request(code);
  auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    auto d = receive(left + 1ms);
    if (d && !d->bytes.empty() && d->bytes[0] == type) return d;
  }
  return std::nullopt;
}

std::vector<Datagram> Probe::collect_data(size_t count, std::chrono::milliseconds timeout) {
  std::vector<Datagram> out;
  auto deadline = Clock::now() + timeout;
  while (out.size() < count && Clock::now() < deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    auto d = receive(left + 1ms);
    if (d && d->is_data()) out.push_back(std::move(*d));
  }
  return out;
}

std::vector<Datagram> Probe::drain(std::chrono::milliseconds quiet) {
  std::vector<Datagram> out;
  while (auto d = receive(quiet)) out.push_back(std::move(*d));
  return out;
}

std::vector<int> numbers_of(const std::vector<Datagram> &datagrams) {
  std::vector<int> numbers;
  for (const auto &d : datagrams)
    if (d.is_data()) numbers.push_back(d.number());
  return numbers;
}

}  // namespace probe
