#include <arpa/inet.h>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "zel_misc.h"
#include "zelarray.h"
#include "zelcursor.h"
#include "zelerror.h"
#include "zellib.h"
#include "zelmsg.h"

namespace {

constexpr int zel_default_megabytes = 16;
constexpr int zel_max_megabytes = 2047;        // megabytes * 1048576 must fit an int
constexpr int zel_min_silence_limit_ms = 100;  // one receive's wait: the default
constexpr int zel_max_silence_limit_ms = 3600000;

int state_of(zelarray_t *handle) {
  return zel_load(handle->status, std::memory_order_acquire);
}

// Release ordering: a thread that sees the new state also sees what was set up before it.
void set_state(zelarray_t *handle, int state) {
  zel_store(handle->status, state, std::memory_order_release);
}

// Internal operations write their status unconditionally; a caller may pass none.
zelerror *status_or(zelerror *err, zelerror &scratch) {
  return err != nullptr ? err : &scratch;
}

// Refuses a null handle (4) or a state outside the allowed test (9).
bool refused(zelarray_t *handle, zelerror *err, bool state_ok) {
  if (handle == nullptr) {
    zel_report(err, ze_null_handle);
    return true;
  }
  if (!state_ok) {
    zel_report(err, ze_order);
    return true;
  }
  return false;
}

bool refused_null(zelarray_t *handle, zelerror *err) {
  return refused(handle, err, true);
}

// A copy needs somewhere to go: a null destination is refused like a null handle.
bool refused_destination(zelarray_t *handle, const void *dest, zelerror *err) {
  if (handle != nullptr && dest != nullptr) return false;
  zel_report(err, ze_null_handle);
  return true;
}

bool is_flag(zelbool value) {
  return value == zel_true || value == zel_false;
}

// Ring sized in whole blocks of lcm(5, req_frames) sample frames; 0 when not even one fits.
int ring_frames_for(int megabytes, int req_frames) {
  const int block = _zelarray_lcm(5, req_frames);
  if (block == 0) return 0;
  const int bytes = megabytes * 1048576;
  return (bytes / ZEL_FRAME_BYTES) / block * block;
}

template <class T>
T *zalloc(size_t count) {
  return static_cast<T *>(calloc(count, sizeof(T)));
}

void free_cursors(zelarray_t *handle) {
  for (int i = 0; i < ZEL_MAX_CURSORS; ++i) {
    zelcursor_t *cursor = handle->cursors[i];
    if (cursor == nullptr) continue;
    pthread_cond_destroy(&cursor->cond);
    free(cursor);
    handle->cursors[i] = nullptr;
  }
  handle->cursor_count = 0;
}

// Frees a handle in any stage of construction.
void free_handle(zelarray_t *handle) {
  zelerror ignored;
  free(handle->dip);
  free(handle->prom_nb);
  free(handle->ring);
  free(handle->ring_ts);
  free(handle->ring_nfnbr);
  free(handle->gains);
  free(handle->means);
  _zelmsg_delete(handle->msg_a, &ignored);
  _zelmsg_delete(handle->msg_b, &ignored);
  free_cursors(handle);
  _zelmsg_close(handle);
  pthread_mutex_destroy(&handle->ring_lock);
  free(handle);
}

// Volatile stores, so that no compiler drops them as writes of zeros into zeroed memory.
void touch_pages(void *block, size_t bytes) {
  auto *bytes_of = static_cast<volatile unsigned char *>(block);
  for (size_t i = 0; i < bytes; i += 4096) bytes_of[i] = 0;
}

bool allocate_blocks(zelarray_t *handle) {
  const size_t slots = static_cast<size_t>(handle->ring_frames / 5);
  handle->dip = zalloc<char>(17);
  handle->prom_nb = zalloc<char>(9);
  handle->ring = zalloc<unsigned char>(static_cast<size_t>(handle->ring_bytes));
  handle->ring_ts = zalloc<int32_t>(2 * slots);
  handle->ring_nfnbr = zalloc<int32_t>(slots);
  handle->gains = zalloc<double>(64);
  handle->means = zalloc<int32_t>(64);
  if (!(handle->dip && handle->prom_nb && handle->ring && handle->ring_ts && handle->ring_nfnbr &&
        handle->gains && handle->means)) {
    return false;
  }
  // Large zeroed blocks come as untouched pages; the capture thread would take a page fault on
  // its first write to each, a stall in the middle of the stream. Touch them all now.
  touch_pages(handle->ring, static_cast<size_t>(handle->ring_bytes));
  touch_pages(handle->ring_ts, 2 * slots * sizeof(int32_t));
  touch_pages(handle->ring_nfnbr, slots * sizeof(int32_t));
  return true;
}

void set_defaults(zelarray_t *handle, int req_frames) {
  handle->id = -1;
  handle->sock = -1;
  handle->speed = 0;
  handle->slave = zel_unset;
  handle->status = st_created;
  handle->req_frames = req_frames;
  handle->wait_nfnbr = -1;
  handle->msg_current = zel_true;
  handle->fix_delay = zel_false;
  handle->warnings = zel_true;
  handle->normalize = zel_false;
  handle->silence_limit_ms = zel_min_silence_limit_ms;
}

bool read_exactly(FILE *stream, void *into, size_t size, size_t count) {
  return stream != nullptr && fread(into, size, count, stream) == count;
}

// Write position and every cursor back to position 0, overflow flags cleared; 20 when a cursor
// cannot be reset. Under ring_lock: other threads may be creating cursors, which read wpos.
void rewind_ring(zelarray_t *handle, zelerror *err) {
  zel_report(err, ze_ok);
  pthread_mutex_lock(&handle->ring_lock);
  handle->wpos = 0;
  handle->wtotal = 0;
  for (zelcursor_t *cursor : handle->cursors) {
    if (cursor == nullptr) continue;
    zelerror one = ze_ok;
    _zelcursor_reinit_locked(handle, cursor, &one);
    if (one != ze_ok) zel_report(err, one);
  }
  pthread_mutex_unlock(&handle->ring_lock);
}

bool start_thread(zelarray_t *handle) {
  if (pthread_attr_init(&handle->thread_attr) != 0) return false;
  const bool started =
      pthread_attr_setdetachstate(&handle->thread_attr, PTHREAD_CREATE_JOINABLE) == 0 &&
      pthread_create(&handle->thread, &handle->thread_attr, _zelarray_capture, handle) == 0;
  pthread_attr_destroy(&handle->thread_attr);
  return started;
}

// Clears running and wakes every reader under ring_lock, so that none can miss the stop, then
// joins the thread.
void stop_thread(zelarray_t *handle) {
  pthread_mutex_lock(&handle->ring_lock);
  zel_store(handle->running, 0);
  for (zelcursor_t *cursor : handle->cursors) {
    if (cursor != nullptr) pthread_cond_broadcast(&cursor->cond);
  }
  pthread_mutex_unlock(&handle->ring_lock);
  pthread_join(handle->thread, nullptr);
  zel_store(handle->thread_live, 0);
}

int kernel_drops_now(zelarray_t *handle) {
  return static_cast<int>(_zelmsg_kernel_drops(handle) - handle->kdrops_base);
}

}  // namespace

extern "C" {

// ---- Handle and capture options ---------------------------------------------------------------

zelarray_t *zelarray_create(int megabytes, int req_frames, zelerror *err) {
  if (req_frames <= 0) {
    zel_report(err, ze_req_frames);
    return nullptr;
  }
  if (megabytes == 0) megabytes = zel_default_megabytes;
  if (megabytes < zel_default_megabytes || megabytes > zel_max_megabytes) {
    zel_report(err, ze_megabytes);
    return nullptr;
  }
  const int ring_frames = ring_frames_for(megabytes, req_frames);
  if (ring_frames <= 0) {
    zel_report(err, ze_req_frames);
    return nullptr;
  }
  auto *handle = zalloc<zelarray_t>(1);
  if (handle == nullptr) {
    zel_report(err, ze_memory);
    return nullptr;
  }
  handle->sock = -1;
  if (pthread_mutex_init(&handle->ring_lock, nullptr) != 0) {
    free(handle);
    zel_report(err, ze_internal);
    return nullptr;
  }
  handle->ring_frames = ring_frames;
  handle->ring_bytes = ring_frames * ZEL_FRAME_BYTES;
  set_defaults(handle, req_frames);
  zelerror code = ze_ok;
  if (!allocate_blocks(handle)) code = ze_memory;
  if (code == ze_ok) handle->msg_a = _zelmsg_create(&code);
  if (code == ze_ok) handle->msg_b = _zelmsg_create(&code);
  if (code == ze_ok) zelcursor_create(handle, req_frames, &code);
  if (code != ze_ok) {
    free_handle(handle);
    zel_report(err, code);
    return nullptr;
  }
  zel_report(err, ze_ok);
  return handle;
}

void zelarray_delete(zelarray_t *handle, zelerror *err) {
  if (refused(handle, err, handle && state_of(handle) != st_capturing)) return;
  free_handle(handle);
  zel_report(err, ze_ok);
}

void zelarray_wait_nfnbr(zelarray_t *handle, int nfnbr, zelerror *err) {
  if (refused(handle, err, handle && state_of(handle) != st_capturing)) return;
  if (nfnbr < 0 || nfnbr > 65535) return zel_report(err, ze_nfnbr);
  handle->wait_nfnbr = nfnbr;
  zel_report(err, ze_ok);
}

void zelarray_fix_drop_X_first_frames(zelarray_t *handle, int frames, zelerror *err) {
  if (refused(handle, err, handle && state_of(handle) != st_capturing)) return;
  if (frames < 0) return zel_report(err, ze_drop);
  handle->drop_frames = frames;
  zel_report(err, ze_ok);
}

void zelarray_fix_one_sample_delay(zelarray_t *handle, zelbool fix, zelerror *err) {
  if (refused(handle, err, handle && state_of(handle) != st_capturing)) return;
  if (!is_flag(fix)) return zel_report(err, ze_delay);
  handle->fix_delay = fix;
  zel_report(err, ze_ok);
}

void zelarray_display_warnings(zelarray_t *handle, zelbool display, zelerror *err) {
  if (refused(handle, err, handle && state_of(handle) != st_capturing)) return;
  if (!is_flag(display)) return zel_report(err, ze_warnings);
  handle->warnings = display;
  zel_report(err, ze_ok);
}

void zelarray_set_silence_limit(zelarray_t *handle, int milliseconds, zelerror *err) {
  if (refused(handle, err, handle && state_of(handle) != st_capturing)) return;
  if (milliseconds < zel_min_silence_limit_ms || milliseconds > zel_max_silence_limit_ms) {
    return zel_report(err, ze_silence_limit);
  }
  handle->silence_limit_ms = milliseconds;
  zel_report(err, ze_ok);
}

void zelarray_normalize(zelarray_t *handle, FILE *means, FILE *gains, zelerror *err) {
  if (refused(handle, err, handle && state_of(handle) != st_capturing)) return;
  // Both files are read in full before either replaces the loaded calibration.
  int32_t new_means[64];
  double new_gains[64];
  if (!read_exactly(means, new_means, sizeof new_means[0], 64) ||
      !read_exactly(gains, new_gains, sizeof new_gains[0], 64)) {
    return zel_report(err, ze_norm_files);
  }
  memcpy(handle->means, new_means, sizeof new_means);
  memcpy(handle->gains, new_gains, sizeof new_gains);
  handle->normalize = zel_true;
  zel_report(err, ze_ok);
}

// ---- Communication and array parameters -------------------------------------------------------

void zelarray_comminit(zelarray_t *handle, const char *address, zelerror *err) {
  zelerror scratch;
  err = status_or(err, scratch);
  if (refused(handle, err, handle && state_of(handle) == st_created)) return;
  _zelarray_set_dip(handle, address, err);
  if (*err != ze_ok) return;
  memset(&handle->dest_addr, 0, sizeof handle->dest_addr);
  handle->dest_addr.sin_family = AF_INET;
  handle->dest_addr.sin_port = htons(ZEL_PORT);
  // A text that is no address would send every request to 0.0.0.0, that is to this host.
  if (inet_aton(handle->dip, &handle->dest_addr.sin_addr) == 0) return zel_report(err, ze_dest_ip);
  _zelmsg_open(handle, err);
  if (*err != ze_ok) return;
  _zelarray_enforce_capture(handle, zel_false, err);
  if (*err == ze_ok) _zelarray_query_ids(handle, err);
  if (*err != ze_ok) {
    _zelmsg_close(handle);
    return;
  }
  set_state(handle, st_comm_ready);
}

int zelarray_ask_speed(zelarray_t *handle, zelerror *err) {
  zelerror scratch;
  err = status_or(err, scratch);
  if (refused(handle, err, handle && state_of(handle) <= st_params_ready)) return 0;
  zel_report(err, ze_ok);
  if (handle->speed == 0) _zelarray_query_speed(handle, err);
  return *err == ze_ok ? handle->speed : 0;
}

void zelarray_set_speed(zelarray_t *handle, int speed, zelerror *err) {
  zelerror scratch;
  err = status_or(err, scratch);
  if (refused(handle, err, handle && state_of(handle) <= st_params_ready)) return;
  if (speed != 22050 && speed != 44100) return zel_report(err, ze_speed);
  _zelarray_enforce_speed(handle, speed, err);
}

zelbool zelarray_ask_slave(zelarray_t *handle, zelerror *err) {
  zelerror scratch;
  err = status_or(err, scratch);
  if (refused(handle, err, handle && state_of(handle) <= st_params_ready)) return 0;
  zel_report(err, ze_ok);
  if (handle->slave == zel_unset) _zelarray_query_slave(handle, err);
  return *err == ze_ok ? handle->slave : 0;
}

void zelarray_set_slave(zelarray_t *handle, zelbool slave, zelerror *err) {
  zelerror scratch;
  err = status_or(err, scratch);
  if (refused(handle, err, handle && state_of(handle) <= st_params_ready)) return;
  if (!is_flag(slave)) return zel_report(err, ze_slave);
  _zelarray_enforce_slave(handle, slave, err);
}

int zelarray_ask_id(zelarray_t *handle, zelerror *err) {
  if (refused(handle, err, handle && state_of(handle) > st_created)) return zel_false;
  if (handle->id == -1) {
    zel_report(err, ze_id);
    return zel_false;
  }
  zel_report(err, ze_ok);
  return handle->id;
}

void zelarray_ask_promnb(zelarray_t *handle, char *buffer, zelerror *err) {
  if (refused(handle, err, handle && state_of(handle) > st_created)) return;
  if (handle->prom_nb[0] == '\0') return zel_report(err, ze_prom_nb);
  if (buffer == nullptr) return zel_report(err, ze_null_handle);
  strncpy(buffer, handle->prom_nb, 9);
  zel_report(err, ze_ok);
}

void zelarray_initparams(zelarray_t *handle, zelerror *err) {
  if (refused(handle, err, handle && state_of(handle) == st_comm_ready)) return;
  if (handle->speed == 0) return zel_report(err, ze_speed);
  if (handle->slave == zel_unset) return zel_report(err, ze_slave);
  set_state(handle, st_params_ready);
  zel_report(err, ze_ok);
}

void zelarray_initparams_wp(zelarray_t *handle, int speed, zelbool slave, zelerror *err) {
  zelerror scratch;
  err = status_or(err, scratch);
  zelarray_set_speed(handle, speed, err);
  if (*err != ze_ok) return;
  zelarray_set_slave(handle, slave, err);
  if (*err != ze_ok) return;
  zelarray_initparams(handle, err);
}

// ---- Capture control --------------------------------------------------------------------------

void zelarray_capture_on(zelarray_t *handle, zelerror *err) {
  zelerror scratch;
  err = status_or(err, scratch);
  if (refused(handle, err, handle && state_of(handle) == st_params_ready)) return;
  handle->dropped = 0;
  handle->msg_current = zel_true;
  zel_store(handle->lost_frames, 0);
  zel_store(handle->discontinuities, 0);
  zel_store(handle->outages, 0);
  rewind_ring(handle, err);
  if (*err != ze_ok) return;
  zel_store(handle->capture_error, 0);
  handle->kdrops_base = _zelmsg_kernel_drops(handle);
  zel_store(handle->kernel_drops, 0);
  _zelarray_enforce_capture(handle, zel_true, err);
  if (*err != ze_ok) return;
  zel_store(handle->running, 1);
  if (!start_thread(handle)) {
    zel_store(handle->running, 0);
    return zel_report(err, ze_internal);
  }
  zel_store(handle->thread_live, 1);
  set_state(handle, st_capturing);
  zel_report(err, ze_ok);
}

void zelarray_capture_off(zelarray_t *handle, zelerror *err) {
  zelerror scratch;
  err = status_or(err, scratch);
  if (refused(handle, err, handle && state_of(handle) == st_capturing)) return;
  stop_thread(handle);
  zel_store(handle->kernel_drops, kernel_drops_now(handle));
  // Once the thread is joined nothing captures any more, whatever the array answers: a handle
  // whose array vanished must still be freed. The failure is reported all the same.
  set_state(handle, st_params_ready);
  _zelarray_enforce_capture(handle, zel_false, err);
}

void zelarray_wait_capture_started(zelarray_t *handle, zelerror *err) {
  if (refused_null(handle, err)) return;
  _zelarray_wait_status(handle, st_capturing, err);
}

zelbool zelarray_check_capture_ok(zelarray_t *handle, zelerror *err) {
  if (refused(handle, err, handle && state_of(handle) == st_capturing)) return zel_false;
  const zelerror code = zel_load(handle->capture_error);
  zel_report(err, code);
  return code == ze_ok ? zel_true : zel_false;
}

int zelarray_check_lostdataframes(zelarray_t *handle, zelerror *err) {
  if (refused_null(handle, err)) return 0;
  zel_report(err, ze_ok);
  return zel_load(handle->lost_frames) * zel_frames_per_datagram;
}

int zelarray_check_discontinuities(zelarray_t *handle, zelerror *err) {
  if (refused_null(handle, err)) return 0;
  zel_report(err, ze_ok);
  return zel_load(handle->discontinuities);
}

int zelarray_check_outages(zelarray_t *handle, zelerror *err) {
  if (refused_null(handle, err)) return 0;
  zel_report(err, ze_ok);
  return zel_load(handle->outages);
}

int zelarray_check_kernel_drops(zelarray_t *handle, zelerror *err) {
  if (refused_null(handle, err)) return 0;
  zel_report(err, ze_ok);
  if (state_of(handle) == st_capturing && zel_load(handle->thread_live) != 0) {
    return kernel_drops_now(handle);
  }
  return zel_load(handle->kernel_drops);
}

// ---- Reading through the default cursor ----------------------------------------------------

zelbool zelarray_get_databuffer(zelarray_t *handle, void *dest, int32_t *ts, zelerror *err) {
  return zelarray_get_databuffer_with_nfnbr(handle, dest, ts, nullptr, err);
}

zelbool zelarray_get_databuffer_with_nfnbr(zelarray_t *handle, void *dest, int32_t *ts, int *nfnbr,
                                           zelerror *err) {
  if (refused_destination(handle, dest, err)) return zel_unset;
  return _zelarray_get_databuffer(handle, dest, ts, nfnbr, err, zel_true);
}

zelbool zelarray_get_databuffer_nonblocking(zelarray_t *handle, void *dest, int32_t *ts,
                                            zelerror *err) {
  return zelarray_get_databuffer_nonblocking_with_nfnbr(handle, dest, ts, nullptr, err);
}

zelbool zelarray_get_databuffer_nonblocking_with_nfnbr(zelarray_t *handle, void *dest, int32_t *ts,
                                                       int *nfnbr, zelerror *err) {
  if (refused_destination(handle, dest, err)) return zel_unset;
  return _zelarray_get_databuffer(handle, dest, ts, nfnbr, err, zel_false);
}

void zelarray_get_current_databuffer_timestamp(zelarray_t *handle, int32_t *ts, zelerror *err) {
  if (refused_null(handle, err)) return;
  _zelarray_get_current_databuffer_timestamp(handle, ts, err);
}

void zelarray_skip_current_databuffer(zelarray_t *handle, zelerror *err) {
  if (refused_null(handle, err)) return;
  _zelarray_skip_databuffer(handle, err);
}

zelbool zelarray_check_databuffer_overflow(zelarray_t *handle, zelerror *err) {
  if (refused_null(handle, err)) return zel_unset;
  return _zelarray_check_databuffer_overflow(handle, err);
}

// ---- Reading through a cursor -----------------------------------------------------------------

zelbool zelarray_get_cursorptr(zelarray_t *handle, zelcursor_t *cursor, void **data, int32_t *ts,
                               zelerror *err) {
  return zelcursor_get_ptr(handle, cursor, data, ts, nullptr, err, zel_true, zel_true);
}

zelbool zelarray_get_cursorptr_with_nfnbr(zelarray_t *handle, zelcursor_t *cursor, void **data,
                                          int32_t *ts, int *nfnbr, zelerror *err) {
  return zelcursor_get_ptr(handle, cursor, data, ts, nfnbr, err, zel_true, zel_true);
}

zelbool zelarray_get_cursorptr_nonblocking(zelarray_t *handle, zelcursor_t *cursor, void **data,
                                           int32_t *ts, zelerror *err) {
  return zelcursor_get_ptr(handle, cursor, data, ts, nullptr, err, zel_false, zel_true);
}

zelbool zelarray_get_cursorptr_nonblocking_with_nfnbr(zelarray_t *handle, zelcursor_t *cursor,
                                                      void **data, int32_t *ts, int *nfnbr,
                                                      zelerror *err) {
  return zelcursor_get_ptr(handle, cursor, data, ts, nfnbr, err, zel_false, zel_true);
}

zelbool zelarray_check_cursor_overflow(zelarray_t *handle, zelcursor_t *cursor, zelerror *err) {
  return zelcursor_check_overflow(handle, cursor, err);
}

}  // extern "C"
