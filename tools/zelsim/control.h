// The control dialogue's decisions, apart from threads and sockets: request bytes in, reply bytes
// out, with the state changes of the set commands and the control faults.
#pragma once

#include <netinet/in.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "stream.h"
#include "zelsim.h"

namespace zelsim::detail {

// What goes back to the requester: the foreign datagrams at once, then the reply after the delay.
// An empty reply means none at all.
struct Answer {
  std::vector<std::vector<uint8_t>> foreign;
  std::vector<uint8_t> reply;
  std::chrono::milliseconds delay{0};
  bool set_applied = false;  // a set command changed the device's state
};

class Control {
 public:
  // Set commands act on *stream; the faults are counted into *stats. Both must outlive it.
  Control(const Config &config, Stream *stream, Stats *stats);

  // Takes one datagram from `from`: records a request and applies a set command.
  Answer handle(std::span<const uint8_t> datagram, const sockaddr_in &from);
  void set_faults(ControlFaults faults);

  bool slave() const { return slave_; }
  // Switches acquisition on towards dest, or off (dest unused).
  void switch_acquisition(bool on, const sockaddr_in &dest);
  const sockaddr_in &dest() const { return dest_; }  // where the stream goes
  // The sender of the last request, else the stream's destination, else 127.0.0.1:port.
  sockaddr_in foreign_dest(uint16_t port) const;

  const std::vector<std::array<uint8_t, 4>> &received() const { return received_; }
  void clear_received() { received_.clear(); }

 private:
  // True when the command was applied.
  bool apply_set(uint8_t code, uint16_t arg, const sockaddr_in &from);
  std::vector<uint8_t> reply_for(uint8_t code);
  std::vector<uint8_t> status_reply(uint8_t type, bool value);
  std::vector<uint8_t> ids_reply() const;
  Answer deliver(std::vector<uint8_t> reply);

  int id_;
  std::string prom_;
  Stream *stream_;
  Stats *stats_;

  bool slave_;
  sockaddr_in dest_{};
  sockaddr_in peer_{};
  bool have_peer_ = false;
  ControlFaults faults_;
  std::vector<std::array<uint8_t, 4>> received_;
};

}  // namespace zelsim::detail
