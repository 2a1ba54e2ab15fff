// zelmonitor: a live, full-screen view of the 64 channels of the microphone array.
#include <signal.h>

#include <cstdio>
#include <string>
#include <vector>

#include "array.h"
#include "capture_host.h"
#include "monitor.h"
#include "options.h"
#include "terminal.h"
#include "tool_main.h"

namespace zelmonitor {
namespace {

// Sample frames per buffer of the default reader: 50 ms at 44100 Hz, a multiple of the 5 frames
// of a datagram that divides 100 ms at both rates, so that the RMS window is exact; 20 wake-ups
// a second keep the reader cheap.
constexpr int kReqFrames = 2205;

zeltool::ArraySetup array_setup(const Options &o) {
  zeltool::ArraySetup setup;
  setup.address = o.address;
  setup.rate = o.rate;
  setup.keep_clock = true;
  setup.mean_file = o.mean_file;
  setup.gain_file = o.gain_file;
  setup.fix_delay = o.fix_delay;
  setup.ring_mb = 64;  // holds the fill of an outage of the silence limit at 44100 Hz
  setup.req_frames = kReqFrames;
  setup.warnings = false;  // they would tear the screen; the counters line shows the same
  setup.realtime = !o.no_realtime;
  return setup;
}

bool stop_pending(const sigset_t &stop) {
  const timespec zero{0, 0};
  return sigtimedwait(&stop, nullptr, &zero) > 0;
}

int monitor(const Options &o, const sigset_t &stop) {
  zeltool::ArrayInfo info;
  zeltool::Handle handle = zeltool::open_array(array_setup(o), &info);
  if (!handle) return 1;
  if (stop_pending(stop)) {
    std::fputs("zelmonitor: interrupted before the capture started\n", stderr);
    return 1;
  }
  std::unique_ptr<Terminal> terminal = open_terminal();
  Monitor monitor(handle.get(), MonitorSettings{info, o.address, !o.mean_file.empty(), kReqFrames});
  const MonitorResult r = monitor.run(terminal.get(), stop);
  if (!r.failure.empty()) std::fprintf(stderr, "zelmonitor: %s\n", r.failure.c_str());
  std::fprintf(stderr, "zelmonitor: %.1f s, %s, %s, kernel drops %d, ring overflows %d\n",
               r.seconds, zeltool::priority_text(r.host).c_str(),
               zeltool::loss_counters_text(r.lost, r.kernel_drops).c_str(), r.kernel_drops,
               r.overflows);
  // The screen hid anything printed at the start: the hint comes once the terminal is back.
  const std::string warning = zeltool::buffer_warning(r.host);
  if (!warning.empty()) std::fprintf(stderr, "zelmonitor: %s\n", warning.c_str());
  const zeltool::LossSplit split = zeltool::split_losses(r.lost, r.kernel_drops);
  if (split.host > 0) {
    std::fprintf(stderr, "zelmonitor: warning: %s\n", zeltool::host_drops_text(split.host).c_str());
  }
  return r.status;
}

}  // namespace
}  // namespace zelmonitor

int main(int argc, char **argv) {
  zeltool::set_program_name("zelmonitor");
  const std::vector<std::string> args(argv + 1, argv + argc);
  zelmonitor::Options options;
  const std::string why = zelmonitor::parse(args, &options);
  const int status =
      zeltool::settle_command_line("zelmonitor", why, options.help, zelmonitor::usage);
  if (status >= 0) return status;
  // Blocked before any thread exists, so that every thread inherits the mask: the stop signals
  // reach only the monitor's poll, and the resize signal only the thread that draws.
  const sigset_t stop = zeltool::block_stop_signals({SIGWINCH});
  return zelmonitor::monitor(options, stop);
}
