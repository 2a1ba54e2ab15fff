#include "capture_host.h"

#include <algorithm>

namespace zeltool {
namespace {

constexpr int64_t kFramesPerDatagram = 5;
// Below this the buffer covers less than a scheduler's delay on a busy machine.
constexpr int kEnoughBufferMs = 100;

}  // namespace

LossSplit split_losses(int64_t lost_frames, int64_t kernel_drops) {
  const int64_t lost = std::max<int64_t>(lost_frames, 0);
  const int64_t host = std::clamp<int64_t>(kernel_drops * kFramesPerDatagram, 0, lost);
  return {host, lost - host};
}

std::string host_drops_text(int64_t frames) {
  return std::to_string(frames) +
         " frames dropped by this host (socket buffer full: the capture thread was held off the "
         "CPU; " +
         kHostSetupHint + ")";
}

std::string network_loss_text(int64_t frames) {
  return std::to_string(frames) + " frames missing from the network";
}

std::string loss_counters_text(int64_t lost_frames, int64_t kernel_drops) {
  const LossSplit split = split_losses(lost_frames, kernel_drops);
  return "lost frames " + std::to_string(lost_frames) + " (host " + std::to_string(split.host) +
         ", network " + std::to_string(split.network) + ")";
}

CaptureHost capture_host(zelarray_t *handle) {
  CaptureHost host;
  zelerror err = 0;
  host.realtime = zelarray_check_realtime(handle, &err) == zel_true;
  host.buffer_bytes = zelarray_get_socket_buffer(handle, &host.buffer_ms, &err);
  return host;
}

std::string priority_text(const CaptureHost &host) {
  return host.realtime ? "real-time capture" : "capture at normal priority";
}

std::string buffer_warning(const CaptureHost &host) {
  if (host.realtime || host.buffer_ms >= kEnoughBufferMs) return "";
  return "warning: the socket buffer holds only " + std::to_string(host.buffer_ms) +
         " ms of the stream and the capture thread is not real-time, so a busy host will drop "
         "data; raise the limit with 'sysctl -w net.core.rmem_max=8388608' (the zel package sets "
         "it up) or allow real-time priority (" +
         kHostSetupHint + ")";
}

}  // namespace zeltool
