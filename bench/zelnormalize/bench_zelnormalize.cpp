// Runs the straightforward calibration and zelnormalize side by side on the
// same generated input in the page cache, times each pass from the moment its
// progress line arrives, prints MB/s and the ratio, and compares the files.
//
// Usage: bench_zelnormalize [--mib N] [--rounds R] [--dir DIR]
//   --mib N     input size in MiB (default 256; 1024 for the 1 GiB figure)
//   --rounds R  alternating runs of each program (default 3); the best counts
//   --dir DIR   where the input and outputs go (default $TMPDIR or /tmp)

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  long mib = 256;
  int rounds = 3;
  std::string dir;
};

struct RunTimes {
  double pass1 = 0;  // seconds from "Pass 1" to "Pass 2"
  double pass2 = 0;  // seconds from "Pass 2" to "Writing to disk"
  long max_rss_kb = 0;
  bool ok = false;
};

Options parse(int argc, char **argv) {
  Options opt;
  const char *tmp = std::getenv("TMPDIR");
  opt.dir = tmp != nullptr ? tmp : "/tmp";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    if (flag == "--mib")
      opt.mib = std::atol(argv[i + 1]);
    else if (flag == "--rounds")
      opt.rounds = std::atoi(argv[i + 1]);
    else if (flag == "--dir")
      opt.dir = argv[i + 1];
  }
  if (opt.mib < 1 || opt.rounds < 1 || argc % 2 == 0) {
    std::fprintf(stderr, "usage: %s [--mib N] [--rounds R] [--dir DIR]\n", argv[0]);
    std::exit(2);
  }
  return opt;
}

// Full-scale random samples from a fixed seed, written once and reused.
void make_input(const std::string &path, std::int64_t bytes) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && st.st_size == bytes) return;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::vector<std::uint64_t> chunk(1 << 16);
  std::uint64_t x = 0x9E3779B97F4A7C15ull;
  for (std::int64_t left = bytes; left > 0;) {
    for (auto &word : chunk) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      word = x;
    }
    const std::int64_t n = std::min<std::int64_t>(left, chunk.size() * sizeof chunk[0]);
    out.write(reinterpret_cast<const char *>(chunk.data()), n);
    left -= n;
  }
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::exit(2);
  }
}

void warm_page_cache(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> buf(1 << 20);
  while (in.read(buf.data(), buf.size()) || in.gcount() > 0) {
  }
}

RunTimes run_timed(const char *program, const std::string &in, const std::string &mean,
                   const std::string &gain) {
  int fds[2];
  if (::pipe(fds) != 0) std::exit(2);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[1], STDOUT_FILENO);
    ::close(fds[0]);
    ::close(fds[1]);
    ::execl(program, program, in.c_str(), mean.c_str(), gain.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  ::close(fds[1]);
  std::vector<Clock::time_point> stamps;
  std::string pending;
  char buf[256];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) {
    const auto now = Clock::now();
    for (ssize_t i = 0; i < n; ++i)
      if (buf[i] == '\n') stamps.push_back(now);
  }
  ::close(fds[0]);
  int status = 0;
  struct rusage usage {};
  ::wait4(pid, &status, 0, &usage);
  RunTimes t;
  t.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && stamps.size() == 4;
  if (t.ok) {
    t.pass1 = std::chrono::duration<double>(stamps[1] - stamps[0]).count();
    t.pass2 = std::chrono::duration<double>(stamps[2] - stamps[1]).count();
  }
  t.max_rss_kb = usage.ru_maxrss;
  return t;
}

std::string slurp(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void print_run(const char *who, const RunTimes &t, double mb) {
  std::printf("  %-16s pass 1 %7.0f MB/s  pass 2 %7.0f MB/s  both %6.3f s  max RSS %6ld KB\n", who,
              mb / t.pass1, mb / t.pass2, t.pass1 + t.pass2, t.max_rss_kb);
}

}  // namespace

int main(int argc, char **argv) {
  const Options opt = parse(argc, argv);
  const std::int64_t bytes = opt.mib * 1024 * 1024 / 192 * 192;
  const double mb = static_cast<double>(bytes) / 1e6;
  const std::string base = opt.dir + "/zelnormalize_bench";
  const std::string input = base + ".raw";
  make_input(input, bytes);
  warm_page_cache(input);
  std::printf("input %s: %.1f MB, %lld frames\n", input.c_str(), mb,
              static_cast<long long>(bytes / 192));

  RunTimes best_base, best_tool;
  std::vector<double> ratios;
  bool same = true;
  for (int round = 0; round < opt.rounds; ++round) {
    const RunTimes b =
        run_timed(ZEL_STRAIGHTFORWARD, input, base + ".base.mean", base + ".base.gain");
    const RunTimes t = run_timed(ZEL_NORMALIZE, input, base + ".tool.mean", base + ".tool.gain");
    if (!b.ok || !t.ok) {
      std::fprintf(stderr, "a run failed\n");
      return 2;
    }
    same = same && slurp(base + ".base.mean") == slurp(base + ".tool.mean") &&
           slurp(base + ".base.gain") == slurp(base + ".tool.gain");
    ratios.push_back((t.pass1 + t.pass2) / (b.pass1 + b.pass2));
    std::printf("round %d: ratio %.3f\n", round + 1, ratios.back());
    print_run("straightforward", b, mb);
    print_run("zelnormalize", t, mb);
    if (round == 0 || b.pass1 + b.pass2 < best_base.pass1 + best_base.pass2) best_base = b;
    if (round == 0 || t.pass1 + t.pass2 < best_tool.pass1 + best_tool.pass2) best_tool = t;
  }
  std::printf("best of %d:\n", opt.rounds);
  print_run("straightforward", best_base, mb);
  print_run("zelnormalize", best_tool, mb);
  std::printf("time ratio zelnormalize / straightforward, both passes: %.3f (aim <= 0.5)\n",
              (best_tool.pass1 + best_tool.pass2) / (best_base.pass1 + best_base.pass2));
  std::sort(ratios.begin(), ratios.end());
  std::printf("median of the rounds' ratios: %.3f (a busy machine shows here first)\n",
              ratios[ratios.size() / 2]);
  std::printf("output files %s\n", same ? "byte-identical" : "DIFFER");
  for (const char *suffix : {".raw", ".base.mean", ".base.gain", ".tool.mean", ".tool.gain"})
    std::remove((base + suffix).c_str());
  return same ? 0 : 1;
}
