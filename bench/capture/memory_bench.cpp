// Memory: what zelarray_create allocates, and what a running capture allocates after that
// (nothing, by design). Every malloc-family call of this process is counted by the replacements
// below; the emulator runs in a child process, so the only threads here are the library's capture
// thread, one reader and the main thread, which sleeps while the capture runs.
//
// Usage: zelbench_memory [seconds of capture, default 3]
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <thread>

#include "bench_common.h"

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *block, size_t size);
void *__libc_memalign(size_t alignment, size_t size);
void __libc_free(void *block);
}

namespace {

std::atomic<uint64_t> g_calls{0};
std::atomic<uint64_t> g_bytes{0};

void *counted(void *block, size_t size) {
  g_calls.fetch_add(1, std::memory_order_relaxed);
  g_bytes.fetch_add(size, std::memory_order_relaxed);
  return block;
}

}  // namespace

// The parameters carry the C library's own names: the definitions replace its declarations.
extern "C" {
void *malloc(size_t __size) {
  return counted(__libc_malloc(__size), __size);
}
void *calloc(size_t __nmemb, size_t __size) {
  return counted(__libc_calloc(__nmemb, __size), __nmemb * __size);
}
void *realloc(void *__ptr, size_t __size) {
  return counted(__libc_realloc(__ptr, __size), __size);
}
void free(void *__ptr) {
  __libc_free(__ptr);
}
void *memalign(size_t __alignment, size_t __size) {
  return counted(__libc_memalign(__alignment, __size), __size);
}
void *aligned_alloc(size_t __alignment, size_t __size) {
  return counted(__libc_memalign(__alignment, __size), __size);
}
int posix_memalign(void **__memptr, size_t __alignment, size_t __size) {
  void *block = counted(__libc_memalign(__alignment, __size), __size);
  if (block == nullptr) return ENOMEM;
  *__memptr = block;
  return 0;
}
}

namespace {

using namespace zelbench;

struct Count {
  uint64_t calls = 0;
  uint64_t bytes = 0;
  int64_t in_use = 0;  // mallinfo2: bytes held by the allocator for live blocks, mmapped included
  static Count now() {
    const struct mallinfo2 info = mallinfo2();
    return {g_calls.load(), g_bytes.load(), static_cast<int64_t>(info.uordblks + info.hblkhd)};
  }
};

Count operator-(const Count &a, const Count &b) {
  return {a.calls - b.calls, a.bytes - b.bytes, a.in_use - b.in_use};
}

void log_count(const char *what, const Count &c) {
  fprintf(stderr, "%-30s %6llu calls %12llu bytes requested %12lld bytes in use\n", what,
          (unsigned long long)c.calls, (unsigned long long)c.bytes, (long long)c.in_use);
}

}  // namespace

int main(int argc, char **argv) {
  const double seconds = argc > 1 ? atof(argv[1]) : 3.0;
  if (!(seconds > 0)) {
    fprintf(stderr, "usage: zelbench_memory [seconds]\n");
    return 2;
  }
  zelsim::Config config;  // real rate, streaming once the capture switches it on
  ChildArray array(config);
  std::string why;
  if (!array.start(&why)) return fprintf(stderr, "%s\n", why.c_str()), 1;

  zelerror err = 0;
  const Count before_create = Count::now();
  zelarray_t *raw = zelarray_create(16, 5, &err);
  const Count created = Count::now() - before_create;
  if (raw == nullptr) return fprintf(stderr, "zelarray_create failed with %d\n", err), 1;
  Handle handle(raw);
  zelarray_display_warnings(raw, zel_false, &err);
  zelarray_comminit(raw, kArrayAddress, &err);
  if (err == 0) zelarray_initparams_wp(raw, 44100, zel_false, &err);
  zelcursor_t *cursor = err == 0 ? zelcursor_create(raw, 5, &err) : nullptr;
  if (err == 0) zelarray_capture_on(raw, &err);
  if (err != 0) return fprintf(stderr, "capture set-up failed with %d\n", err), 1;

  std::atomic<uint64_t> buffers{0};
  std::thread reader([&] {
    void *data = nullptr;
    int32_t ts[2];
    zelerror e = 0;
    while (zelarray_get_cursorptr(raw, cursor, &data, ts, &e) == zel_true) buffers.fetch_add(1);
  });
  while (buffers.load() == 0) sleep_seconds(0.001);
  const Count before_capture = Count::now();
  sleep_seconds(seconds);
  const Count during = Count::now() - before_capture;
  const uint64_t read = buffers.load();
  const bool lossless =
      zelarray_check_lostdataframes(raw, &err) == 0 && zelarray_check_kernel_drops(raw, &err) == 0;
  zelarray_capture_off(raw, &err);
  reader.join();

  log_count("zelarray_create(16 MB, 5)", created);
  log_count("capture", during);
  fprintf(stderr, "capture: %llu buffers read in %.1f s, %s\n", (unsigned long long)read, seconds,
          lossless ? "no loss" : "LOSS");
  print_row("zelarray_create(16 MB) allocates (bytes)", std::to_string(created.bytes), "-", "-",
            std::to_string(created.calls) + " calls", "-");
  print_row("allocated during " + fixed(seconds, 0) + " s capture (bytes)",
            std::to_string(during.bytes), "-", "-",
            "0 (" + std::to_string(during.calls) + " calls)",
            verdict(during.calls == 0 && during.bytes == 0 && read > 0));
  return 0;
}
