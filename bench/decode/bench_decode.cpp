// Decoding sample frames: zelarray_decode_samples(_float) beside the straightforward per-byte
// loop and beside numpy, on the same amount of random frames, in one run.
//   bench_decode [--mib N] [--rounds N] [--python PATH]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "zellib.h"

namespace {

// What a user writes first: one sample at a time, byte by byte, the sign fixed by a test.
void straightforward(const unsigned char *src, int count, int32_t *dest) {
  for (int f = 0; f < count; ++f) {
    for (int c = 0; c < 64; ++c) {
      const unsigned char *p = src + f * 192 + 3 * c;
      int32_t v = (p[0] << 16) | (p[1] << 8) | p[2];
      if (v >= 0x800000) v -= 0x1000000;
      dest[f * 64 + c] = v;
    }
  }
}

void straightforward_float(const unsigned char *src, int count, float *dest) {
  for (int f = 0; f < count; ++f) {
    for (int c = 0; c < 64; ++c) {
      const unsigned char *p = src + f * 192 + 3 * c;
      int32_t v = (p[0] << 16) | (p[1] << 8) | p[2];
      if (v >= 0x800000) v -= 0x1000000;
      dest[f * 64 + c] = static_cast<float>(v) / 8388608.0f;
    }
  }
}

template <class F>
double best_seconds(int rounds, F &&run) {
  double best = 1e30;
  for (int r = 0; r < rounds; ++r) {
    const auto t = std::chrono::steady_clock::now();
    run();
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
    best = s < best ? s : best;
  }
  return best;
}

// "name type seconds" lines of the numpy script; the fastest expression per type.
std::map<std::string, double> numpy_seconds(const std::string &python, size_t bytes, int rounds) {
  std::map<std::string, double> best;
  const std::string command =
      python + " " + ZEL_NUMPY_SCRIPT + " " + std::to_string(bytes) + " " + std::to_string(rounds);
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return best;
  char name[64], type[16];
  double seconds = 0;
  while (std::fscanf(pipe, "%63s %15s %lf", name, type, &seconds) == 3) {
    std::printf("  numpy %-12s %-7s %8.2f ms\n", name, type, seconds * 1e3);
    if (best.count(type) == 0 || seconds < best[type]) best[type] = seconds;
  }
  pclose(pipe);
  return best;
}

}  // namespace

int main(int argc, char **argv) {
  int mib = 64, rounds = 7;
  std::string python = "/usr/bin/python3";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--mib") == 0)
      mib = std::atoi(argv[i + 1]);
    else if (std::strcmp(argv[i], "--rounds") == 0)
      rounds = std::atoi(argv[i + 1]);
    else if (std::strcmp(argv[i], "--python") == 0)
      python = argv[i + 1];
  }
  if (mib < 1 || mib > 1024 || rounds < 1) {
    std::fprintf(stderr, "usage: bench_decode [--mib 1..1024] [--rounds N] [--python PATH]\n");
    return 2;
  }
  const int count = static_cast<int>(static_cast<size_t>(mib) * 1048576 / 192);
  const size_t bytes = static_cast<size_t>(count) * 192;
  std::vector<unsigned char> frames(bytes);
  std::mt19937 rng(1);
  for (auto &b : frames) b = static_cast<unsigned char>(rng());
  std::vector<int32_t> ints(static_cast<size_t>(count) * 64), check(ints.size());
  std::vector<float> floats(ints.size());

  zelerror err = 0;
  const double lib_int = best_seconds(
      rounds, [&] { zelarray_decode_samples(frames.data(), count, ints.data(), &err); });
  const double lib_float = best_seconds(
      rounds, [&] { zelarray_decode_samples_float(frames.data(), count, floats.data(), &err); });
  const double loop_int =
      best_seconds(rounds, [&] { straightforward(frames.data(), count, check.data()); });
  if (err != 0 || ints != check) {
    std::fprintf(stderr, "bench_decode: the library and the loop disagree\n");
    return 1;
  }
  std::vector<float> check_float(floats.size());
  const double loop_float = best_seconds(
      rounds, [&] { straightforward_float(frames.data(), count, check_float.data()); });
  if (floats != check_float) {
    std::fprintf(stderr, "bench_decode: the float decodes disagree\n");
    return 1;
  }
  std::printf("decoding %d sample frames (%.1f MiB), best of %d\n", count, bytes / 1048576.0,
              rounds);
  const std::map<std::string, double> numpy = numpy_seconds(python, bytes, rounds);
  std::printf("\n%-8s %12s %12s %12s %10s %10s\n", "type", "library", "per-byte", "numpy",
              "vs loop", "vs numpy");
  const struct {
    const char *type;
    double lib, loop;
  } rows[] = {{"int32", lib_int, loop_int}, {"float32", lib_float, loop_float}};
  for (const auto &row : rows) {
    const auto np = numpy.find(row.type);
    const double np_s = np != numpy.end() ? np->second : 0;
    std::printf("%-8s %9.0f MB/s %7.0f MB/s %7.0f MB/s %9.1fx %9.1fx\n", row.type,
                bytes / row.lib / 1e6, bytes / row.loop / 1e6, np_s > 0 ? bytes / np_s / 1e6 : 0,
                row.loop / row.lib, np_s / row.lib);
  }
  if (numpy.empty()) std::printf("(numpy not measured: %s could not run it)\n", python.c_str());
  return 0;
}
