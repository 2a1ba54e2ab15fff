// How a capture runs on this host and where its losses happened, worded alike by every tool:
// whether the capture thread got real-time priority, what the socket buffer holds, and the split
// of lost frames into those this host dropped and those the network never delivered.
#pragma once

#include <cstdint>
#include <string>

#include "zellib.h"

namespace zeltool {

// Where a README section tells how to set up a capture host.
inline constexpr const char *kHostSetupHint = "see \"Setting up a capture host\" in the README";

struct LossSplit {
  int64_t host = 0;     // datagrams this host's kernel dropped, in sample frames
  int64_t network = 0;  // the rest: never reached this host
};

// Splits `lost_frames` (zelarray_check_lostdataframes) by `kernel_drops` datagrams of 5 frames.
// The host's share is at most the total: the kernel also counts dropped replies and datagrams
// after the capture's last one, which no gap ever showed.
LossSplit split_losses(int64_t lost_frames, int64_t kernel_drops);

// "N frames dropped by this host (socket buffer full: the capture thread was held off the CPU;
// see ...)" and "M frames missing from the network".
std::string host_drops_text(int64_t frames);
std::string network_loss_text(int64_t frames);
// For counters: "lost frames L (host H, network M)".
std::string loss_counters_text(int64_t lost_frames, int64_t kernel_drops);

struct CaptureHost {
  bool realtime = false;  // the capture thread runs at real-time priority
  int buffer_bytes = 0;   // the socket's receive buffer
  int buffer_ms = 0;      // how long it holds the stream
};

// Asks the library; call once the capture runs.
CaptureHost capture_host(zelarray_t *handle);
// "real-time capture" or "capture at normal priority", for a start line.
std::string priority_text(const CaptureHost &host);
// The one-line warning when the buffer holds under 100 ms and nothing else keeps the thread on
// time; empty otherwise.
std::string buffer_warning(const CaptureHost &host);

}  // namespace zeltool
