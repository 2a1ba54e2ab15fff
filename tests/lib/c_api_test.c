/* Drives the calls a C program makes before it talks to an array, through the public header
 * alone, compiled as strict C99. Exits with the number of failed checks. */
#include <stdio.h>
#include <string.h>

#include <zellib.h>

static int failures = 0;

#define CHECK(cond)                                                            \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                              \
    }                                                                          \
  } while (0)

static FILE *stream_of_zero_bytes(size_t n) {
  FILE *file = tmpfile();
  size_t i;
  if (file == NULL) return NULL;
  for (i = 0; i < n; ++i) fputc(0, file);
  rewind(file);
  return file;
}

static void check_status_calls(void) {
  zelerror err = ZEL_EORDER;
  CHECK(zelarray_check_zelerror(&err) == zel_true);
  CHECK(strcmp(zelarray_err_name(err), "ZEL_EORDER") == 0);
  CHECK(strcmp(zelarray_strerror(err), "Operation does not follow authorized order") == 0);
  zelarray_init_zelerror(&err);
  CHECK(err == ZEL_OK);
  CHECK(zelarray_check_zelerror(&err) == zel_false);
}

static void check_options(zelarray_t *h) {
  zelerror err = -1;
  zelarray_wait_nfnbr(h, 65535, &err);
  CHECK(err == ZEL_OK);
  zelarray_wait_nfnbr(h, 65536, &err);
  CHECK(err == ZEL_ENFNBR);
  zelarray_fix_drop_X_first_frames(h, 10, &err);
  CHECK(err == ZEL_OK);
  zelarray_fix_one_sample_delay(h, zel_true, &err);
  CHECK(err == ZEL_OK);
  zelarray_display_warnings(h, 1, &err);
  CHECK(err == ZEL_EWARNINGS);
}

static void check_normalize(zelarray_t *h) {
  zelerror err = -1;
  FILE *means = stream_of_zero_bytes(256);
  FILE *gains = stream_of_zero_bytes(520);
  CHECK(means != NULL && gains != NULL);
  if (means == NULL || gains == NULL) return;
  zelarray_normalize(h, means, gains, &err);
  CHECK(err == ZEL_OK);
  CHECK(h->normalize == zel_true);
  fclose(means);
  fclose(gains);
}

static void check_blocks(zelarray_t *h) {
  zelerror err = -1;
  int size = 0;
  unsigned char *block = zelarray_create_blocks(h, 3, &size, &err);
  CHECK(err == ZEL_OK && block != NULL && size == 3 * 1024 * 192);
  if (block != NULL) CHECK(block[0] == 0 && block[size - 1] == 0);
  zelarray_delete_databuffer(h, block, &err);
  CHECK(err == ZEL_OK);
  CHECK(zelarray_get_one_blocksize(h, &err) == ZEL_FRAME_BYTES);
}

static void check_decoding(void) {
  const unsigned char frame[ZEL_FRAME_BYTES] = {0x80, 0x00, 0x00, 0x7F, 0xFF, 0xFF};
  int32_t ints[64];
  float floats[64];
  zelerror err = -1;
  zelarray_decode_samples(frame, 1, ints, &err);
  CHECK(err == ZEL_OK && ints[0] == -8388608 && ints[1] == 8388607 && ints[2] == 0);
  zelarray_decode_samples_float(frame, 1, floats, &err);
  CHECK(err == ZEL_OK && floats[0] == -1.0f && floats[1] < 1.0f);
  zelarray_decode_samples(frame, -1, ints, &err);
  CHECK(err == ZEL_ECOUNT);
}

static void check_cursors(zelarray_t *h) {
  zelerror err = -1;
  zelcursor_t *cursor = zelcursor_create(h, 512, &err);
  CHECK(err == ZEL_OK && cursor != NULL);
  if (cursor == NULL) return;
  CHECK(zelcursor_isof(h, cursor) == 1);
  CHECK(zelcursor_get_datasize(h, cursor, &err) == 512 * 192);
  CHECK(zelcursor_check_overflow(h, cursor, &err) == zel_false);
  zelcursor_reinit(h, cursor, &err);
  CHECK(err == ZEL_OK);
  CHECK(zelcursor_create(h, 3, &err) == NULL && err == ZEL_ECURSORFRAMES);
  zelcursor_delete(h, h->cursors[0], &err);
  CHECK(err == ZEL_ECURSOR);
  zelcursor_delete(h, cursor, &err);
  CHECK(err == ZEL_OK && h->cursor_count == 1);
}

int main(void) {
  zelerror err = -1;
  zelarray_t *h;
  check_status_calls();
  check_decoding();
  CHECK(zelarray_create(15, 1024, &err) == NULL && err == ZEL_EMEGABYTES);
  h = zelarray_create(0, 1024, &err);
  CHECK(err == ZEL_OK && h != NULL);
  if (h == NULL) return 1;
  CHECK(h->ring_frames == 87040 && h->status == st_created && h->cursor_count == 1);
  check_options(h);
  check_normalize(h);
  check_blocks(h);
  check_cursors(h);
  zelarray_delete(h, &err);
  CHECK(err == ZEL_OK);
  zelarray_delete(NULL, &err);
  CHECK(err == ZEL_ENULL);
  if (failures == 0) printf("c_api_test: all checks passed\n");
  return failures;
}
