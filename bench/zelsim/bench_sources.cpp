// The emulator's point sources: CPU time to generate one second of the stream, against the
// plain noise signal generated in the same run.
#include <time.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"
#include "payload.h"

namespace {

double thread_cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9;
}

// CPU seconds per second of stream at 44100 Hz for the signal the arguments describe.
double cost(const std::vector<std::string> &args, double seconds) {
  zelsim::cli::Options o;
  if (std::string why = zelsim::cli::parse(args, &o); !why.empty()) {
    std::fprintf(stderr, "bench_sources: %s\n", why.c_str());
    return -1;
  }
  zelsim::detail::PayloadSource source;
  std::string why;
  if (!source.load(o.config, &why)) {
    std::fprintf(stderr, "bench_sources: %s\n", why.c_str());
    return -1;
  }
  std::vector<uint8_t> payload(zelsim::kPayloadBytes);
  const auto datagrams = static_cast<uint64_t>(seconds * 44100 / zelsim::kFramesPerDatagram);
  unsigned sum = 0;
  const double start = thread_cpu_seconds();
  for (uint64_t d = 0; d < datagrams; ++d) {
    source.fill(static_cast<uint16_t>(d), d, 44100, payload.data());
    sum += payload[d % payload.size()];
  }
  const double used = thread_cpu_seconds() - start;
  if (sum == 1) std::fputs("", stdout);  // keeps the payloads alive
  return used / seconds;
}

}  // namespace

int main(int argc, char **argv) {
  const std::string xml = argc > 1 ? argv[1] : ZELSIM_BENCH_GEOMETRY;
  const double seconds = 5;
  const double base = cost({"--signal", "noise"}, seconds);
  struct Case {
    const char *name;
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {"one source", {"--geometry", xml, "--source", "0.1,-0.05,-0.3"}},
      {"two sources",
       {"--geometry", xml, "--source", "0.1,-0.05,-0.3", "--source", "-0.12,0.08,-0.3"}},
      {"moving source", {"--geometry", xml, "--source-path", "-0.15,0,-0.3:0.15,0,-0.3:2"}},
      {"tone source", {"--geometry", xml, "--source", "0.1,-0.05,-0.3", "--source-tone", "4000"}},
  };
  std::printf("CPU-s per second of stream (64 channels, 44100 Hz), %g s each\n", seconds);
  std::printf("  %-14s %.4f (baseline)\n", "noise signal", base);
  for (const Case &c : cases) {
    const double t = cost(c.args, seconds);
    std::printf("  %-14s %.4f  %.2fx the baseline\n", c.name, t, t / base);
  }
  return 0;
}
