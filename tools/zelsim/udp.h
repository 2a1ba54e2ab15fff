// Socket plumbing of the emulator: IPv4 addresses and bound UDP sockets.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

#include "unique_fd.h"

namespace zelsim::detail {

// Dotted-quad IPv4 text only; host names are not resolved.
bool parse_ipv4(const std::string &text, in_addr *out);
sockaddr_in make_sockaddr(in_addr address, uint16_t port);
bool make_sockaddr(const std::string &text, uint16_t port, sockaddr_in *out);
std::string to_text(const sockaddr_in &address);

// A UDP socket bound to address:port with SO_REUSEADDR, so that it sits beside other sockets
// bound to the same port on other (or all) local addresses. Invalid descriptor and *error on
// failure.
zeltool::UniqueFd bind_udp(const std::string &address, uint16_t port, std::string *error);

}  // namespace zelsim::detail
