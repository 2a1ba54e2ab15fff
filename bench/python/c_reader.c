/* The C side of the Python overhead benchmark: the default reader at the real rate, copying
 * each buffer (and with "decode", turning it into floats as the Python blocks are), printing its
 * process's CPU seconds per second over the measured window.
 *   c_reader SECONDS FRAMES [decode] */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

#include "zellib.h"

static double cpu_seconds(void) {
  struct rusage u;
  getrusage(RUSAGE_SELF, &u);
  return (double)u.ru_utime.tv_sec + u.ru_utime.tv_usec * 1e-6 + (double)u.ru_stime.tv_sec +
         u.ru_stime.tv_usec * 1e-6;
}

static double wall_seconds(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + t.tv_nsec * 1e-9;
}

int main(int argc, char **argv) {
  const double seconds = argc > 1 ? atof(argv[1]) : 5;
  const int frames = argc > 2 ? atoi(argv[2]) : 4410;
  const int decode = argc > 3 && strcmp(argv[3], "decode") == 0;
  zelerror err = 0;
  zelarray_t *h = zelarray_create(64, frames, &err);
  if (h != NULL) zelarray_comminit(h, "127.0.0.2", &err);
  if (err == 0) zelarray_initparams_wp(h, 44100, zel_false, &err);
  void *buffer = err == 0 ? zelarray_create_databuffer(h, NULL, &err) : NULL;
  float *samples = malloc((size_t)frames * 64 * sizeof(float));
  if (err == 0) zelarray_capture_on(h, &err);
  if (err != 0 || samples == NULL) {
    zelarray_perror(&err, "c_reader");
    return 1;
  }
  const double warm_up = 0.5;
  const double t0 = wall_seconds();
  double cpu0 = -1, t1 = 0;
  long buffers = 0;
  int32_t ts[2];
  while (zelarray_get_databuffer(h, buffer, ts, &err) == zel_true) {
    if (decode) zelarray_decode_samples_float(buffer, frames, samples, &err);
    ++buffers;
    const double now = wall_seconds();
    if (cpu0 < 0 && now - t0 >= warm_up) {
      cpu0 = cpu_seconds();
      t1 = now;
    }
    if (now - t0 >= warm_up + seconds) break;
  }
  const double cpu = (cpu_seconds() - cpu0) / (wall_seconds() - t1);
  const int lost = zelarray_check_lostdataframes(h, &err);
  zelarray_capture_off(h, &err);
  printf("%.5f %ld %d\n", cpu, buffers, lost);
  zelarray_delete_databuffer(h, buffer, &err);
  zelarray_delete(h, &err);
  free(samples);
  return 0;
}
