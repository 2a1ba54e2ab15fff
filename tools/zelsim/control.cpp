#include "control.h"

#include <algorithm>

#include "udp.h"

namespace zelsim::detail {
namespace {

using namespace std::chrono_literals;

// The array's wire protocol, from its side.
constexpr uint8_t cmd_set_slave = 1;
constexpr uint8_t cmd_query_slave = 2;
constexpr uint8_t cmd_query_ids = 3;
constexpr uint8_t cmd_set_capture = 4;
constexpr uint8_t cmd_query_capture = 5;
constexpr uint8_t cmd_set_speed = 7;
constexpr uint8_t cmd_query_speed = 8;
constexpr uint8_t type_slave = 2;
constexpr uint8_t type_ids = 3;
constexpr uint8_t type_capture = 5;
constexpr uint8_t type_speed = 7;
constexpr uint16_t kArgOn = 0xFFFF;
constexpr uint16_t kArgOff = 0x0000;
constexpr size_t kRequestBytes = 4;
constexpr size_t kIdsReplyBytes = 14;

bool is_set_command(uint8_t code) {
  return code == cmd_set_slave || code == cmd_set_capture || code == cmd_set_speed;
}

}  // namespace

Control::Control(const Config &config, Stream *stream, Stats *stats)
    : id_(config.id), prom_(config.prom), stream_(stream), stats_(stats), slave_(config.slave) {
  if (config.acquiring) make_sockaddr(config.dest_address, config.dest_port, &dest_);
}

Answer Control::handle(std::span<const uint8_t> datagram, const sockaddr_in &from) {
  if (datagram.size() != kRequestBytes) {
    ++stats_->other_received;
    return {};
  }
  ++stats_->commands_received;
  received_.push_back({datagram[0], datagram[1], datagram[2], datagram[3]});
  peer_ = from;
  have_peer_ = true;
  if (datagram[0] != 0) return {};
  const uint8_t code = datagram[1];
  if (is_set_command(code)) {
    Answer none;
    none.set_applied =
        apply_set(code, static_cast<uint16_t>((datagram[2] << 8) | datagram[3]), from);
    return none;
  }
  std::vector<uint8_t> reply = reply_for(code);
  if (reply.empty()) return {};
  return deliver(std::move(reply));
}

Answer Control::deliver(std::vector<uint8_t> reply) {
  if (faults_.withhold_replies) {
    ++stats_->replies_withheld;
    return {};
  }
  Answer answer{faults_.foreign_before_reply, std::move(reply), faults_.reply_delay};
  stats_->foreign_sent += answer.foreign.size();
  if (answer.delay > 0ms) ++stats_->replies_delayed;
  return answer;
}

// Out-of-range values mean "off", as for the stream's faults.
void Control::set_faults(ControlFaults faults) {
  faults_ = std::move(faults);
  faults_.status_override = faults_.status_override < 0 ? -1 : (faults_.status_override & 0xFF);
  faults_.reply_delay = std::max(0ms, faults_.reply_delay);
}

bool Control::apply_set(uint8_t code, uint16_t arg, const sockaddr_in &from) {
  if (arg != kArgOn && arg != kArgOff) return false;  // the array knows no third value
  if (faults_.ignore_set_commands) {
    ++stats_->sets_ignored;
    return false;
  }
  const bool on = arg == kArgOn;
  if (code == cmd_set_slave) slave_ = on;
  if (code == cmd_set_capture) switch_acquisition(on, from);
  if (code == cmd_set_speed) stream_->set_speed(on ? 44100 : 22050);
  return true;
}

void Control::switch_acquisition(bool on, const sockaddr_in &dest) {
  if (on) dest_ = dest;
  stream_->switch_acquisition(on);
}

sockaddr_in Control::foreign_dest(uint16_t port) const {
  if (have_peer_) return peer_;
  if (dest_.sin_family == AF_INET) return dest_;
  sockaddr_in fallback{};
  make_sockaddr("127.0.0.1", port, &fallback);
  return fallback;
}

std::vector<uint8_t> Control::reply_for(uint8_t code) {
  switch (code) {
    case cmd_query_slave:
      return status_reply(type_slave, slave_);
    case cmd_query_ids:
      return ids_reply();
    case cmd_query_capture:
      return status_reply(type_capture, stream_->acquiring());
    case cmd_query_speed:
      return status_reply(type_speed, stream_->speed() == 44100);
    default:
      return {};
  }
}

std::vector<uint8_t> Control::status_reply(uint8_t type, bool value) {
  std::vector<uint8_t> reply{type, 0, static_cast<uint8_t>(value ? 1 : 0), 0};
  if (faults_.status_override >= 0) {
    reply[2] = static_cast<uint8_t>(faults_.status_override);
    ++stats_->status_overridden;
  }
  return reply;
}

std::vector<uint8_t> Control::ids_reply() const {
  std::vector<uint8_t> reply(kIdsReplyBytes, 0);
  reply[0] = type_ids;
  reply[2] = static_cast<uint8_t>(id_ & 0xFF);
  reply[3] = static_cast<uint8_t>(id_ >> 8);
  std::copy(prom_.begin(), prom_.end(), reply.begin() + 6);
  return reply;
}

}  // namespace zelsim::detail
