// The calibration written plainly, one thread, one 38400-byte buffer, x87
// long double: the baseline the benchmark measures zelnormalize against. It
// prints the same four lines, so the benchmark times both the same way.
// Usage: zelnormalize_straightforward inputfile.raw meanfile gainfile

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

static unsigned char block[38400];

static void fail(const char *text) {
  std::fprintf(stderr, "ERROR: %s\n", text);
  std::exit(1);
}

static void say(const char *line) {
  std::puts(line);
  std::fflush(stdout);
}

int main(int argc, char **argv) {
  if (argc != 4) fail("usage: zelnormalize_straightforward inputfile.raw meanfile gainfile");
  int in = open(argv[1], O_RDONLY);
  struct stat st;
  if (in < 0 || stat(argv[1], &st) != 0 || st.st_size % 192 != 0) fail("bad input");
  int64_t n = st.st_size / 192;
  int mean_fd = open(argv[2], O_RDWR | O_CREAT | O_TRUNC, 0666);
  int gain_fd = open(argv[3], O_RDWR | O_CREAT | O_TRUNC, 0666);
  if (mean_fd < 0 || gain_fd < 0) fail("cannot create outputs");

  double mean[64] = {}, var[64] = {}, gain[64] = {};
  int32_t imean[64];

  say("Pass 1: Calculating the mean value");
  for (;;) {
    ssize_t got = read(in, block, sizeof block);
    for (ssize_t i = 0; i < got; i += 192)
      for (int k = 0; k < 64; ++k) {
        const unsigned char *b = block + i + 3 * k;
        int s = (signed char)b[0] * 65536 + b[1] * 256 + b[2];
        mean[k] = mean[k] + (long double)s / n;
      }
    if (got < 0) fail("read");
    if (got != (ssize_t)sizeof block) break;
  }
  for (int k = 0; k < 64; ++k) imean[k] = (int32_t)mean[k];

  if (lseek(in, 0, SEEK_SET) != 0) fail("rewind");
  say("Pass 2: Calculating the gain factor");
  for (;;) {
    ssize_t got = read(in, block, sizeof block);
    for (ssize_t i = 0; i < got; i += 192)
      for (int k = 0; k < 64; ++k) {
        const unsigned char *b = block + i + 3 * k;
        int s = (signed char)b[0] * 65536 + b[1] * 256 + b[2];
        double d = (long double)s - mean[k];
        var[k] = var[k] + (long double)d * d / (n - 1);
      }
    if (got < 0) fail("read");
    if (got != (ssize_t)sizeof block) break;
  }

  double sum = 0.0;
  for (int k = 0; k < 64; ++k) {
    var[k] = std::sqrt(var[k]);
    sum += var[k];
  }
  sum /= 64.0;
  for (int k = 0; k < 64; ++k) gain[k] = var[k] / sum;

  say("Writing to disk");
  if (write(mean_fd, imean, sizeof imean) != (ssize_t)sizeof imean || close(mean_fd) != 0 ||
      write(gain_fd, gain, sizeof gain) != (ssize_t)sizeof gain || close(gain_fd) != 0)
    fail("write");
  say("Exiting with success");
  return 0;
}
