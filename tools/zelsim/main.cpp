// zelsim: the microphone array on loopback, for users, CI and tests.
#include <pthread.h>
#include <signal.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"
#include "tool_main.h"
#include "zelsim.h"

namespace {

// Blocks until SIGINT or SIGTERM, or until duration_s has passed when it is positive.
void wait_for_end(const sigset_t &signals, double duration_s) {
  if (duration_s <= 0) {
    int sig = 0;
    sigwait(&signals, &sig);
    return;
  }
  double whole = std::floor(duration_s);
  timespec left{static_cast<time_t>(whole), static_cast<long>((duration_s - whole) * 1e9)};
  sigtimedwait(&signals, nullptr, &left);
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  zelsim::cli::Options options;
  const std::string why = zelsim::cli::parse(args, &options);
  const int status = zeltool::settle_command_line("zelsim", why, options.help, zelsim::cli::usage);
  if (status >= 0) return status;
  // Blocked before the emulator's threads exist, so that they inherit the mask and only
  // wait_for_end ever takes these signals.
  const sigset_t signals = zeltool::block_stop_signals();

  zelsim::Emulator emulator(options.config);
  std::string error;
  if (!emulator.start(&error)) {
    std::fprintf(stderr, "zelsim: %s\n", error.c_str());
    return 1;
  }
  std::fputs(zelsim::cli::describe(options.config).c_str(), stderr);
  std::fflush(stderr);
  wait_for_end(signals, options.duration_s);
  emulator.stop();
  std::fputs(zelsim::cli::summary(emulator.stats()).c_str(), stderr);
  return 0;
}
