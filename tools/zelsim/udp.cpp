#include "udp.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>

namespace zelsim::detail {

bool parse_ipv4(const std::string &text, in_addr *out) {
  return ::inet_pton(AF_INET, text.c_str(), out) == 1;
}

sockaddr_in make_sockaddr(in_addr address, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr = address;
  return sa;
}

bool make_sockaddr(const std::string &text, uint16_t port, sockaddr_in *out) {
  in_addr address{};
  if (!parse_ipv4(text, &address)) return false;
  *out = make_sockaddr(address, port);
  return true;
}

std::string to_text(const sockaddr_in &address) {
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

static zeltool::UniqueFd fail(std::string *error, const std::string &what) {
  if (error) *error = what + ": " + std::strerror(errno);
  return zeltool::UniqueFd();
}

zeltool::UniqueFd bind_udp(const std::string &address, uint16_t port, std::string *error) {
  sockaddr_in sa{};
  if (!make_sockaddr(address, port, &sa)) {
    if (error) *error = "not an IPv4 address: '" + address + "'";
    return zeltool::UniqueFd();
  }
  zeltool::UniqueFd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!sock.valid()) return fail(error, "socket");
  int one = 1;
  if (::setsockopt(sock.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
    return fail(error, "setsockopt SO_REUSEADDR");
  if (::bind(sock.get(), reinterpret_cast<const sockaddr *>(&sa), sizeof sa) != 0)
    return fail(error, "bind " + to_text(sa));
  return sock;
}

}  // namespace zelsim::detail
