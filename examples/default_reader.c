/*
 * default_reader.c - the whole life of a capture, read through the default reader.
 *
 *   default_reader [ADDRESS [BUFFERS]]
 *
 * Connects to the array at ADDRESS (default 127.0.0.2), sets it to 44100 Hz as clock master,
 * reads BUFFERS data buffers of 100 ms (default 10), prints one line per buffer and the lost
 * frames, and stops. Every call reports through its last argument, a zelerror: 0 is success,
 * and zelarray_perror prints the text of any other code.
 *
 * Build against an installed library:  cc default_reader.c $(pkg-config --cflags --libs zel)
 */
#include <stdio.h>
#include <stdlib.h>

#include <zellib.h>

/* Sample frames per data buffer: 100 ms at 44100 Hz. */
#define FRAMES_PER_BUFFER 4410

/* Prints the failed call's status and returns 1 when err holds a failure. */
static int failed(zelerror *err, const char *call) {
  if (zelarray_check_zelerror(err) == zel_false) return 0;
  zelarray_perror(err, call);
  return 1;
}

/* Channel `channel` of a sample frame: 24-bit two's complement, most significant byte first. */
static long sample(const unsigned char *frame, int channel) {
  const unsigned char *p = frame + 3 * channel;
  long v = ((long)p[0] << 16) | ((long)p[1] << 8) | (long)p[2];
  return v >= 0x800000 ? v - 0x1000000 : v;
}

/* Starts the capture, reads `buffers` buffers into `block` and stops. Returns 0 on success. */
static int capture(zelarray_t *array, unsigned char *block, int buffers) {
  zelerror err;
  zelarray_capture_on(array, &err);
  if (failed(&err, "zelarray_capture_on")) return 1;
  int i = 0;
  for (; i < buffers; ++i) {
    int32_t ts[2]; /* arrival time of the buffer's first datagram: seconds, nanoseconds */
    int nfnbr;     /* the array's number of that datagram */
    /* Blocks until a whole buffer is ready, then copies it. zel_false means the capture is
     * stopping; a failure gives zel_unset with a status. */
    zelbool got = zelarray_get_databuffer_with_nfnbr(array, block, ts, &nfnbr, &err);
    if (failed(&err, "zelarray_get_databuffer_with_nfnbr") || got != zel_true) break;
    printf("buffer %d: datagram %d at %ld.%06ld, channel 0 starts at %ld\n", i, nfnbr, (long)ts[0],
           (long)ts[1] / 1000, sample(block, 0));
  }
  /* Stop even after a failed read, so that the array stops streaming. */
  zelarray_capture_off(array, &err);
  if (failed(&err, "zelarray_capture_off")) return 1;
  if (i < buffers) return 1;
  printf("lost frames: %d\n", zelarray_check_lostdataframes(array, &err));
  return failed(&err, "zelarray_check_lostdataframes");
}

/* Connects, sets the parameters and runs the capture on a created handle. */
static int run(zelarray_t *array, const char *address, int buffers) {
  zelerror err;
  /* Opens UDP port 32767, switches the array's acquisition off and reads its identifiers. */
  zelarray_comminit(array, address, &err);
  if (failed(&err, "zelarray_comminit")) return 1;
  int id = zelarray_ask_id(array, &err);
  if (failed(&err, "zelarray_ask_id")) return 1;
  char prom[9];
  zelarray_ask_promnb(array, prom, &err);
  if (failed(&err, "zelarray_ask_promnb")) return 1;
  printf("array %d, PROM %s, at %s\n", id, prom, address);

  /* Rate and clock mode in one call; the handle is then ready to capture. */
  zelarray_initparams_wp(array, 44100, zel_false, &err);
  if (failed(&err, "zelarray_initparams_wp")) return 1;

  /* A zero-filled block for one data buffer: FRAMES_PER_BUFFER * 192 bytes. */
  unsigned char *block = zelarray_create_databuffer(array, NULL, &err);
  if (failed(&err, "zelarray_create_databuffer")) return 1;
  int status = capture(array, block, buffers);
  zelarray_delete_databuffer(array, block, &err);
  if (failed(&err, "zelarray_delete_databuffer")) status = 1;
  return status;
}

int main(int argc, char **argv) {
  const char *address = argc > 1 ? argv[1] : "127.0.0.2";
  int buffers = argc > 2 ? atoi(argv[2]) : 10;
  if (buffers <= 0) {
    fprintf(stderr, "usage: default_reader [ADDRESS [BUFFERS]]\n");
    return 2;
  }
  /* A ring of 16 MB (the 0 asks for the default) and the default reader's buffer size. */
  zelerror err;
  zelarray_t *array = zelarray_create(0, FRAMES_PER_BUFFER, &err);
  if (failed(&err, "zelarray_create")) return 1;
  int status = run(array, address, buffers);
  /* The handle frees its ring, cursors and socket; the caller still owns nothing else. */
  zelarray_delete(array, &err);
  if (failed(&err, "zelarray_delete")) status = 1;
  return status;
}
