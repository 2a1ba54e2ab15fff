// zelrecord through outages: the emulated array streams its ramp while a real zelrecord process
// records it to a raw file; the stream then loses 2 s (cable pulled, numbers going on), later
// 9 s (more than the 65536 numbers of the counter), and finally restarts its numbering. The file
// must cover exactly the time the array streamed: every frame that is not silence must hold the
// ramp value of its place on the array's timeline, and the length must match the array's clock.
// Usage: zelbench_outage ZELRECORD [scratch dir]
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "zelsim.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kRate = 44100;
constexpr int kDatagramsPerSecond = kRate / 5;

pid_t start_recorder(const std::string &zelrecord, const std::string &out) {
  const pid_t pid = fork();
  if (pid == 0) {
    execl(zelrecord.c_str(), zelrecord.c_str(), "-q", "-r", "44100", "--silence-limit", "12",
          out.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  return pid;
}

long file_size(const std::string &path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

uint32_t sample(const std::vector<unsigned char> &bytes, size_t frame, int channel) {
  const unsigned char *p = bytes.data() + 192 * frame + 3 * channel;
  return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
}

struct Check {
  size_t frames = 0, silent = 0, misplaced = 0;
};

// Channel 0 of the ramp holds (n * 5 + k) & 0x3FFFF for sample frame k of datagram n: each
// frame's place on the array's timeline, which the first frame that is not silence anchors.
uint32_t ramp_at(long number, size_t k) {
  return static_cast<uint32_t>(((number & 0xFFFF) * 5 + static_cast<long>(k)) & 0x3FFFF);
}

Check check_ramp(const std::vector<unsigned char> &bytes, size_t until) {
  Check c;
  c.frames = bytes.size() / 192;
  long first = -1;  // number of the file's first datagram
  for (size_t f = 0; f < c.frames && f < until; ++f) {
    const uint32_t v = sample(bytes, f, 0) & 0x3FFFF;
    if (v == 0 && sample(bytes, f, 63) == 0) {
      ++c.silent;
      continue;
    }
    for (long n = 0; first < 0 && n < 65536; ++n) {
      if (ramp_at(n, f % 5) == v) first = (n - static_cast<long>(f / 5)) & 0xFFFF;
    }
    if (ramp_at(first + static_cast<long>(f / 5), f % 5) != v) ++c.misplaced;
  }
  for (size_t f = until; f < c.frames; ++f) {
    if ((sample(bytes, f, 0) & 0x3FFFF) == 0 && sample(bytes, f, 63) == 0) ++c.silent;
  }
  return c;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: zelbench_outage ZELRECORD [scratch dir]\n");
    return 2;
  }
  const std::string dir = argc > 2 ? argv[2] : "/tmp";
  const std::string out = dir + "/zelbench_outage.raw";
  unlink(out.c_str());
  zelsim::Config config;
  zelsim::Emulator sim(config);
  std::string why;
  if (!sim.start(&why)) {
    std::fprintf(stderr, "zelbench_outage: %s\n", why.c_str());
    return 1;
  }
  const pid_t recorder = start_recorder(argv[1], out);
  while (file_size(out) <= 0) std::this_thread::sleep_for(1ms);
  // zelrecord writes whole 2205-frame buffers: its file began 50 ms before its first write.
  const auto t0 = Clock::now() - std::chrono::microseconds(50000);
  const uint64_t sent0 = sim.stats().datagrams_sent;
  std::this_thread::sleep_for(2s);
  sim.drop_burst(2 * kDatagramsPerSecond);
  std::this_thread::sleep_for(4s);
  sim.drop_burst(9 * kDatagramsPerSecond);
  std::this_thread::sleep_for(11s);
  // Up to here every frame has its place on the ramp; the restart below renumbers the ramp.
  const auto t_restart = Clock::now();
  sim.set_next_frame(0);
  std::this_thread::sleep_for(2s);
  kill(recorder, SIGINT);
  const auto t1 = Clock::now();
  int status = 0;
  waitpid(recorder, &status, 0);
  const zelsim::Stats stats = sim.stats();
  sim.stop();

  FILE *f = fopen(out.c_str(), "rb");
  std::vector<unsigned char> bytes(static_cast<size_t>(std::max(0L, file_size(out))));
  if (f == nullptr || fread(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
    std::fprintf(stderr, "zelbench_outage: cannot read %s\n", out.c_str());
    return 1;
  }
  fclose(f);
  const double wall = std::chrono::duration<double>(t1 - t0).count();
  const double before_restart = std::chrono::duration<double>(t_restart - t0).count();
  const Check c = check_ramp(bytes, static_cast<size_t>(before_restart * kRate) - kRate / 10);
  const double length = static_cast<double>(c.frames) / kRate;
  std::printf("zelrecord through a 2 s and a 9 s outage and a numbering restart (%d cores)\n",
              static_cast<int>(std::thread::hardware_concurrency()));
  std::printf("  zelrecord exit status          %d\n",
              WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  std::printf("  wall-clock time recorded        %.3f s\n", wall);
  std::printf("  file length                     %.3f s (%zu frames)\n", length, c.frames);
  std::printf("  difference                      %+.1f ms (one datagram is 0.11 ms)\n",
              (length - wall) * 1000);
  std::printf("  datagrams sent + lost meanwhile %.3f s\n",
              static_cast<double>(stats.datagrams_sent - sent0 + stats.dropped) * 5 / kRate);
  std::printf("  silent frames                   %zu (%.3f s; the outages were 11 s)\n", c.silent,
              static_cast<double>(c.silent) / kRate);
  std::printf("  frames off their ramp place     %zu (before the restart)\n", c.misplaced);
  return c.misplaced == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
