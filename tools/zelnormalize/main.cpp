// zelnormalize inputfile.raw meanfile gainfile
//
// Computes each channel's mean and gain factor from a raw capture and writes
// them as the mean file (64 int32) and the gain file (64 double), host order.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <span>

#include "calibration_math.hpp"
#include "pass_engine.hpp"
#include "sample_frame.hpp"
#include "unique_fd.h"

namespace {

using namespace zelnorm;

[[noreturn]] void equit(const char *text) {
  std::fprintf(stderr, "ERROR: %s\n", text);
  std::exit(1);
}

void say(const char *line) {
  std::puts(line);
  std::fflush(stdout);
}

using zeltool::UniqueFd;

UniqueFd create_output(const char *path) {
  return UniqueFd(::open(path, O_RDWR | O_CREAT | O_TRUNC, 0666));
}

// Fills `into` unless the file ends first; a read error gives -1.
long read_fully(int fd, std::span<unsigned char> into, std::int64_t offset) {
  std::size_t got = 0;
  while (got < into.size()) {
    const ssize_t n = ::pread(fd, into.data() + got, into.size() - got,
                              static_cast<off_t>(offset + static_cast<std::int64_t>(got)));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return static_cast<long>(got);
}

bool write_fully(int fd, const void *data, std::size_t size) {
  const auto *bytes = static_cast<const unsigned char *>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// A percentage on a terminal's standard error, for passes long enough to
// leave the user wondering; standard output keeps only the progress lines.
class ProgressMeter {
 public:
  explicit ProgressMeter(std::int64_t total) : total_(total), enabled_(::isatty(STDERR_FILENO)) {}

  void update(std::int64_t done) {
    if (!enabled_ || total_ <= 0) return;
    const auto now = Clock::now();
    if (now - start_ < kQuietStart || now - last_ < kInterval) return;
    last_ = now;
    shown_ = true;
    std::fprintf(stderr, "\r%3d%%", static_cast<int>(done * 100 / total_));
    std::fflush(stderr);
  }

  void clear() {
    if (shown_) std::fputs("\r    \r", stderr);
    shown_ = false;
  }

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kQuietStart{500};
  static constexpr std::chrono::milliseconds kInterval{100};

  std::int64_t total_;
  bool enabled_;
  bool shown_ = false;
  Clock::time_point start_ = Clock::now();
  Clock::time_point last_{};
};

void run_checked_pass(PassKind kind, PassBuffers &buffers, int fd, std::int64_t frames,
                      Accumulators &acc) {
  ProgressMeter meter(frames * std::int64_t{kFrameBytes});
  const ChunkReader reader = [fd](std::span<unsigned char> into, std::int64_t offset) {
    return read_fully(fd, into, offset);
  };
  const PassOutcome outcome =
      run_pass(kind, buffers, reader, frames, acc, [&](std::int64_t done) { meter.update(done); });
  meter.clear();
  if (outcome == PassOutcome::read_failed) equit("Could not read input file, aborting");
  if (outcome == PassOutcome::size_mismatch)
    equit("input file changed size while being read, aborting");
}

std::int64_t frames_of_input(const char *path) {
  struct stat info {};
  if (::stat(path, &info) != 0) equit("could not get info about input file, aborting");
  if (info.st_size % static_cast<off_t>(kFrameBytes) != 0)
    equit("file size is not a multiple of the zel capture size, aborting");
  const std::int64_t frames = info.st_size / static_cast<off_t>(kFrameBytes);
  // With fewer than two frames the variance divides by zero and every gain
  // would be NaN, which silences the channels of every later capture.
  if (frames < 2) equit("input file holds fewer than two sample frames, aborting");
  return frames;
}

void write_and_close(UniqueFd &file, const void *data, std::size_t size, const char *write_failed,
                     const char *close_failed) {
  if (!write_fully(file.get(), data, size)) equit(write_failed);
  if (!file.close()) equit(close_failed);
}

int run(int argc, char **argv) {
  PassBuffers buffers(default_workers());
  if (argc != 4) equit("program inputfile.raw meanfile gainfile");

  const UniqueFd input(::open(argv[1], O_RDONLY));
  if (!input.valid()) equit("Could not open input file, aborting");
  const std::int64_t frames = frames_of_input(argv[1]);

  UniqueFd mean_file = create_output(argv[2]);
  if (!mean_file.valid()) equit("Could not open mean output file, aborting");
  UniqueFd gain_file = create_output(argv[3]);
  if (!gain_file.valid()) equit("Could not open gain output file, aborting");

  Accumulators acc;
  say("Pass 1: Calculating the mean value");
  run_checked_pass(PassKind::means, buffers, input.get(), frames, acc);
  const ChannelMeans means = integer_means(acc.means);

  if (::lseek(input.get(), 0, SEEK_SET) != 0) equit("Could not rewind infile, aborting");
  say("Pass 2: Calculating the gain factor");
  run_checked_pass(PassKind::variances, buffers, input.get(), frames, acc);
  const Gains gains = gains_from_variances(acc.variances);

  say("Writing to disk");
  write_and_close(mean_file, means.data(), sizeof means,
                  "Could not write mean output file, aborting",
                  "Could not close mean output file, aborting");
  write_and_close(gain_file, gains.factors.data(), sizeof gains.factors,
                  "Could not write gain output file, aborting",
                  "Could not close gain output file, aborting");
  say("Exiting with success");
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc &) {
    equit("Could not allocate memory, aborting");
  }
}
