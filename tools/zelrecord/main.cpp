// zelrecord: records the 64-channel microphone array to a raw, WAV, RF64 or HDF5 file.
#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "array.h"
#include "capture_host.h"
#include "clock.h"
#include "options.h"
#include "recorder.h"
#include "sink.h"
#include "tool_main.h"

namespace zelrecord {
namespace {

using zeltool::ArrayInfo;
using zeltool::clock_text;

// Sample frames per buffer of the default reader: 50 ms at 44100 Hz, a multiple of the 5 frames
// of a datagram.
constexpr int kReqFrames = 2205;

std::string output_name(const Options &o) {
  return o.output == "-" ? "standard output" : "'" + o.output + "'";
}

void print_start(const Options &o, const ArrayInfo &info, int64_t limit,
                 const zeltool::CaptureHost &host) {
  std::fprintf(stderr,
               "zelrecord: recording array %d (PROM %s) at %s, %d Hz, %s, 64 channels, %s%s, "
               "to %s (%s)",
               info.id, info.prom.c_str(), o.address.c_str(), info.rate,
               o.slave ? "slave" : "master", o.type == FileType::h5 ? "float32" : "24-bit",
               o.mean_file.empty() ? "" : ", normalized", output_name(o).c_str(),
               type_name(o.type));
  if (limit > 0) std::fprintf(stderr, ", %.3f s", static_cast<double>(limit) / info.rate);
  std::fprintf(stderr, ", %s\n", zeltool::priority_text(host).c_str());
  const std::string warning = zeltool::buffer_warning(host);
  if (!warning.empty()) std::fprintf(stderr, "zelrecord: %s\n", warning.c_str());
}

void print_summary(const Options &o, const Recording &r, int rate) {
  if (r.stop_signal != 0) {
    std::fprintf(stderr, "zelrecord: stopped by %s\n",
                 r.stop_signal == SIGINT ? "SIGINT" : "SIGTERM");
  }
  std::fprintf(stderr, "zelrecord: recorded %.3f s, %lld frames to %s\n",
               static_cast<double>(r.frames) / rate, static_cast<long long>(r.frames),
               output_name(o).c_str());
  std::fprintf(stderr,
               "zelrecord: %s, kernel drops %d, ring overflows %d, outages %d, "
               "discontinuities %d\n",
               zeltool::loss_counters_text(r.lost, r.kernel_drops).c_str(), r.kernel_drops,
               r.overflows, r.outages, r.discontinuities);
  if (r.frames > 0)
    std::fprintf(stderr, "zelrecord: levels: %s\n", describe_levels(r.peaks).c_str());
}

// Damaged data is worth a line even in quiet mode.
void warn_damage(const Recording &r) {
  for (const Event &e : r.events) {
    std::fprintf(stderr,
                 e.kind == Event::outage
                     ? "zelrecord: warning: the array was silent for %.2f s until %s, recorded "
                       "as silence\n"
                     : "zelrecord: warning: the array restarted its numbering at %2$s; %1$.3f s "
                       "of silence put in by the arrival times\n",
                 e.filled_s, clock_text(e.at_s).c_str());
  }
  const zeltool::LossSplit split = zeltool::split_losses(r.lost, r.kernel_drops);
  if (split.host > 0) {
    std::fprintf(stderr, "zelrecord: warning: %s, recorded as silence\n",
                 zeltool::host_drops_text(split.host).c_str());
  }
  if (split.network > 0) {
    std::fprintf(stderr, "zelrecord: warning: %s, recorded as silence\n",
                 zeltool::network_loss_text(split.network).c_str());
  }
  if (r.skipped > 0) {
    std::fprintf(stderr,
                 "zelrecord: warning: %lld frames overwritten in the ring before they were "
                 "written out (output too slow), recorded as silence\n",
                 static_cast<long long>(r.skipped));
  }
}

zeltool::ArraySetup array_setup(const Options &o, bool warnings) {
  zeltool::ArraySetup setup;
  setup.address = o.address;
  setup.rate = o.rate;
  setup.slave = o.slave;
  setup.mean_file = o.mean_file;
  setup.gain_file = o.gain_file;
  setup.wait_frame = o.wait_frame;
  setup.drop = o.drop;
  setup.fix_delay = o.fix_delay;
  setup.ring_mb = ring_megabytes(o);
  setup.silence_limit_ms = static_cast<int>(std::lround(o.silence_limit_s * 1000));
  setup.req_frames = kReqFrames;
  setup.warnings = warnings;
  setup.realtime = !o.no_realtime;
  return setup;
}

// True when a stop signal arrived while the array was being set up.
bool stop_pending(const sigset_t &stop) {
  const timespec zero{0, 0};
  return sigtimedwait(&stop, nullptr, &zero) > 0;
}

bool wav_too_long(const Options &o, int64_t limit, int rate) {
  if (o.type != FileType::wav || limit <= kWavMaxFrames) return false;
  std::fprintf(stderr,
               "zelrecord: a WAV file holds at most %.0f s at %d Hz; record longer with -t rf64\n",
               static_cast<double>(kWavMaxFrames) / rate, rate);
  return true;
}

int record(const Options &o, const sigset_t &stop) {
  const bool status_line = !o.quiet && isatty(STDERR_FILENO);
  ArrayInfo info;
  zeltool::Handle handle = zeltool::open_array(array_setup(o, !o.quiet && !status_line), &info);
  if (!handle) return 1;
  const int64_t limit = frame_limit(o, info.rate);
  if (wav_too_long(o, limit, info.rate)) return 2;
  if (stop_pending(stop)) {
    std::fputs("zelrecord: interrupted before the recording started\n", stderr);
    return 1;
  }
  std::string error;
  std::unique_ptr<Sink> sink = open_sink(o.output, o.type, info.rate, &error);
  if (!sink) {
    std::fprintf(stderr, "zelrecord: %s\n", error.c_str());
    return 1;
  }
  RecorderSettings settings;
  settings.rate = info.rate;
  settings.limit = limit;
  settings.status_line = status_line;
  settings.wait_frame = o.wait_frame;
  if (!o.quiet) {
    settings.started = [&] { print_start(o, info, limit, zeltool::capture_host(handle.get())); };
  }
  Recorder recorder(handle.get(), kReqFrames, sink.get(), settings);
  Recording r = recorder.run(stop);
  sink->note_losses(Losses{r.lost, r.kernel_drops, r.overflows, r.skipped});
  if (!sink->finish(&error)) {
    std::fprintf(stderr, "zelrecord: %s\n", error.c_str());
    r.failed = true;
  }
  if (!o.quiet) print_summary(o, r, info.rate);
  warn_damage(r);
  return r.failed ? 1 : 0;
}

}  // namespace
}  // namespace zelrecord

int main(int argc, char **argv) {
  zeltool::set_program_name("zelrecord");
  const std::vector<std::string> args(argv + 1, argv + argc);
  zelrecord::Options options;
  const std::string why = zelrecord::parse(args, &options);
  const int status = zeltool::settle_command_line("zelrecord", why, options.help, zelrecord::usage);
  if (status >= 0) return status;
  // Blocked before any thread exists, so that every thread inherits the mask and the stop
  // signals reach only the recorder's wait.
  const sigset_t stop = zeltool::block_stop_signals();
  // A closed pipe then shows as a write error with a message, not a silent death.
  signal(SIGPIPE, SIG_IGN);
  return zelrecord::record(options, stop);
}
