#include <arpa/inet.h>
#include <sched.h>
#include <sys/resource.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "zel_misc.h"
#include "zelarray.h"
#include "zelarray_ring.h"
#include "zelcursor.h"
#include "zelerror.h"
#include "zellib.h"
#include "zelmsg.h"
#include "zelstate.h"

namespace {

constexpr int zel_default_megabytes = 16;
constexpr int zel_max_megabytes = 2047;        // megabytes * 1048576 must fit an int
constexpr int zel_min_silence_limit_ms = 100;  // one receive's wait: the default
constexpr int zel_max_silence_limit_ms = 3600000;
// Real-time priority of the capture thread: enough to run ahead of every normal process, well
// below what audio servers give their own threads, so that it never delays their deadlines.
constexpr int zel_realtime_priority = 10;

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
    _zelcursor_free(cursor);
    handle->cursors[i] = nullptr;
  }
  handle->cursor_count = 0;
}

// Frees a handle in any stage of construction.
void free_handle(zelarray_t *handle) {
  free(handle->dip);
  free(handle->prom_nb);
  free(handle->ring);
  free(handle->ring_ts);
  free(handle->ring_nfnbr);
  free(handle->gains);
  free(handle->means);
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
  handle->fix_delay = zel_false;
  handle->warnings = zel_true;
  handle->normalize = zel_false;
  handle->silence_limit_ms = zel_min_silence_limit_ms;
  handle->realtime = zel_true;
  handle->realtime_got = zel_false;
}

bool read_exactly(FILE *stream, void *into, size_t size, size_t count) {
  return stream != nullptr && fread(into, size, count, stream) == count;
}

// Write position and every cursor back to position 0, overflow flags cleared; ZEL_EINTERNAL when
// a cursor cannot be reset. Under ring_lock: other threads may be creating cursors, which read
// the writer's total.
zelerror rewind_ring(zelarray_t *handle) {
  zelerror code = ZEL_OK;
  pthread_mutex_lock(&handle->ring_lock);
  _zelarray_rb_rewind(handle);
  for (zelcursor_t *cursor : handle->cursors) {
    if (cursor == nullptr) continue;
    if (const zelerror failed = _zelcursor_reinit_locked(handle, cursor)) code = failed;
    zel_store(cursor->skipped, uint64_t{0});
  }
  pthread_mutex_unlock(&handle->ring_lock);
  return code;
}

bool run_fifo(pthread_t thread, int priority) {
  sched_param param{};
  param.sched_priority = priority;
  return pthread_setschedparam(thread, SCHED_FIFO, &param) == 0;
}

// SCHED_FIFO where the process may have it (CAP_SYS_NICE, or RLIMIT_RTPRIO): a limit below our
// priority still allows a real-time thread at the limit. No limit is ever raised.
bool make_realtime(pthread_t thread) {
  if (run_fifo(thread, zel_realtime_priority)) return true;
  rlimit limit{};
  if (getrlimit(RLIMIT_RTPRIO, &limit) != 0) return false;
  if (limit.rlim_cur < 1 || limit.rlim_cur >= static_cast<rlim_t>(zel_realtime_priority)) {
    return false;
  }
  return run_fifo(thread, static_cast<int>(limit.rlim_cur));
}

bool start_thread(zelarray_t *handle) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  const bool started = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_JOINABLE) == 0 &&
                       pthread_create(&handle->thread, &attr, _zelarray_capture, handle) == 0;
  pthread_attr_destroy(&attr);
  // Set before the call returns, so that the answer is known as soon as the capture runs.
  const bool realtime = started && handle->realtime == zel_true && make_realtime(handle->thread);
  zel_store(handle->realtime_got, static_cast<int>(realtime ? zel_true : zel_false));
  return started;
}

void stop_thread(zelarray_t *handle) {
  _zelarray_rb_halt(handle);
  pthread_join(handle->thread, nullptr);
  zel_store(handle->thread_live, 0);
}

int kernel_drops_now(zelarray_t *handle) {
  return static_cast<int>(_zelmsg_kernel_drops(handle) - handle->kdrops_base);
}

// ---- Handle and capture options ---------------------------------------------------------------

// The ring's size in sample frames for a handle's arguments, or why there is none.
zel_result<int> ring_size_for(int megabytes, int req_frames) {
  if (req_frames <= 0) return {ZEL_EREQFRAMES, 0};
  if (megabytes == 0) megabytes = zel_default_megabytes;
  if (megabytes < zel_default_megabytes || megabytes > zel_max_megabytes) {
    return {ZEL_EMEGABYTES, 0};
  }
  const int ring_frames = ring_frames_for(megabytes, req_frames);
  if (ring_frames <= 0) return {ZEL_EREQFRAMES, 0};
  return {ZEL_OK, ring_frames};
}

// Everything a handle owns past its lock: its blocks and the default cursor.
zelerror fill_handle(zelarray_t *handle, int ring_frames, int req_frames) {
  handle->ring_frames = ring_frames;
  handle->ring_bytes = ring_frames * ZEL_FRAME_BYTES;
  set_defaults(handle, req_frames);
  if (!allocate_blocks(handle)) return ZEL_ENOMEM;
  return _zelcursor_create(handle, req_frames).code;
}

// Readers at normal priority take the lock the real-time capture thread publishes under: one
// held off the CPU while holding it would hold the capture thread too, so the holder inherits
// the capture thread's priority.
bool init_ring_lock(pthread_mutex_t *lock) {
  pthread_mutexattr_t attr;
  if (pthread_mutexattr_init(&attr) != 0) return false;
  pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT);
  const bool made = pthread_mutex_init(lock, &attr) == 0;
  pthread_mutexattr_destroy(&attr);
  return made;
}

zel_result<zelarray_t *> create_handle(int megabytes, int req_frames) {
  const zel_result<int> ring = ring_size_for(megabytes, req_frames);
  if (ring.code != ZEL_OK) return {ring.code, nullptr};
  auto *handle = zalloc<zelarray_t>(1);
  if (handle == nullptr) return {ZEL_ENOMEM, nullptr};
  handle->sock = -1;
  if (!init_ring_lock(&handle->ring_lock)) {
    free(handle);
    return {ZEL_EINTERNAL, nullptr};
  }
  if (const zelerror failed = fill_handle(handle, ring.value, req_frames)) {
    free_handle(handle);
    return {failed, nullptr};
  }
  return {ZEL_OK, handle};
}

zelerror delete_handle(zelarray_t *handle) {
  if (const zelerror refused = _zelarray_admit(handle, in_not_capturing)) return refused;
  free_handle(handle);
  return ZEL_OK;
}

// An option may change in any state but capturing; an invalid value changes nothing.
template <class T>
zelerror set_option(zelarray_t *handle, T zelarray_t::*field, T value, bool valid,
                    zelerror invalid) {
  if (const zelerror refused = _zelarray_admit(handle, in_not_capturing)) return refused;
  if (!valid) return invalid;
  handle->*field = value;
  return ZEL_OK;
}

zel_result<zelbool> check_realtime(zelarray_t *handle) {
  if (const zelerror refused = _zelarray_admit(handle, in_any_state)) return {refused, zel_false};
  return {ZEL_OK, zel_load(handle->realtime_got)};
}

zelerror load_normalization(zelarray_t *handle, FILE *means, FILE *gains) {
  if (const zelerror refused = _zelarray_admit(handle, in_not_capturing)) return refused;
  // Both files are read in full before either replaces the loaded calibration.
  int32_t new_means[64];
  double new_gains[64];
  if (!read_exactly(means, new_means, sizeof new_means[0], 64) ||
      !read_exactly(gains, new_gains, sizeof new_gains[0], 64)) {
    return ZEL_ENORMFILES;
  }
  memcpy(handle->means, new_means, sizeof new_means);
  memcpy(handle->gains, new_gains, sizeof new_gains);
  handle->normalize = zel_true;
  return ZEL_OK;
}

// ---- Communication and array parameters -------------------------------------------------------

zelerror open_towards(zelarray_t *handle, const char *address) {
  if (const zelerror bad = _zelarray_set_dip(handle, address)) return bad;
  memset(&handle->dest_addr, 0, sizeof handle->dest_addr);
  handle->dest_addr.sin_family = AF_INET;
  handle->dest_addr.sin_port = htons(ZEL_PORT);
  // A text that is no address would send every request to 0.0.0.0, that is to this host.
  if (inet_aton(handle->dip, &handle->dest_addr.sin_addr) == 0) return ZEL_EDESTIP;
  return _zelmsg_open(handle);
}

zelerror comminit(zelarray_t *handle, const char *address) {
  if (const zelerror refused = _zelarray_admit(handle, in_created)) return refused;
  if (const zelerror failed = open_towards(handle, address)) return failed;
  zelerror code = _zelarray_enforce_capture(handle, zel_false);
  if (code == ZEL_OK) code = _zelarray_query_ids(handle);
  if (code != ZEL_OK) {
    _zelmsg_close(handle);
    return code;
  }
  _zelarray_set_state(handle, st_comm_ready);
  return ZEL_OK;
}

constexpr unsigned in_parameter_states = in_created | in_comm_ready | in_params_ready;

// A parameter the array is asked once; `unknown` until it answered.
template <class T>
zel_result<T> ask_parameter(zelarray_t *handle, T zelarray_t::*field, T unknown,
                            zelerror (*query)(zelarray_t *)) {
  if (const zelerror refused = _zelarray_admit(handle, in_parameter_states)) return {refused, 0};
  if (handle->*field == unknown) {
    if (const zelerror failed = query(handle)) return {failed, 0};
  }
  return {ZEL_OK, handle->*field};
}

template <class T>
zelerror set_parameter(zelarray_t *handle, T value, bool valid, zelerror invalid,
                       zelerror (*enforce)(zelarray_t *, T)) {
  if (const zelerror refused = _zelarray_admit(handle, in_parameter_states)) return refused;
  if (!valid) return invalid;
  return enforce(handle, value);
}

zelerror set_speed(zelarray_t *handle, int speed) {
  return set_parameter(handle, speed, speed == 22050 || speed == 44100, ZEL_ESPEED,
                       _zelarray_enforce_speed);
}

zelerror set_slave(zelarray_t *handle, zelbool slave) {
  return set_parameter(handle, slave, is_flag(slave), ZEL_ESLAVE, _zelarray_enforce_slave);
}

zel_result<int> ask_id(zelarray_t *handle) {
  if (const zelerror refused = _zelarray_admit(handle, in_connected)) return {refused, zel_false};
  if (handle->id == -1) return {ZEL_EID, zel_false};
  return {ZEL_OK, handle->id};
}

zelerror ask_promnb(zelarray_t *handle, char *buffer) {
  if (const zelerror refused = _zelarray_admit(handle, in_connected)) return refused;
  if (handle->prom_nb[0] == '\0') return ZEL_EPROMNB;
  if (buffer == nullptr) return ZEL_ENULL;
  strncpy(buffer, handle->prom_nb, 9);
  return ZEL_OK;
}

zelerror initparams(zelarray_t *handle) {
  if (const zelerror refused = _zelarray_admit(handle, in_comm_ready)) return refused;
  if (handle->speed == 0) return ZEL_ESPEED;
  if (handle->slave == zel_unset) return ZEL_ESLAVE;
  _zelarray_set_state(handle, st_params_ready);
  return ZEL_OK;
}

zelerror initparams_wp(zelarray_t *handle, int speed, zelbool slave) {
  if (const zelerror failed = set_speed(handle, speed)) return failed;
  if (const zelerror failed = set_slave(handle, slave)) return failed;
  return initparams(handle);
}

// ---- Capture control --------------------------------------------------------------------------

void reset_counters(zelarray_t *handle) {
  handle->dropped = 0;
  zel_store(handle->lost_frames, 0);
  zel_store(handle->discontinuities, 0);
  zel_store(handle->outages, 0);
}

zelerror capture_on(zelarray_t *handle) {
  if (const zelerror refused = _zelarray_admit(handle, in_params_ready)) return refused;
  reset_counters(handle);
  if (const zelerror failed = rewind_ring(handle)) return failed;
  zel_store(handle->capture_error, 0);
  handle->kdrops_base = _zelmsg_kernel_drops(handle);
  zel_store(handle->kernel_drops, 0);
  if (const zelerror failed = _zelarray_enforce_capture(handle, zel_true)) return failed;
  _zelarray_set_running(handle, true);
  if (!start_thread(handle)) {
    _zelarray_set_running(handle, false);
    return ZEL_EINTERNAL;
  }
  zel_store(handle->thread_live, 1);
  _zelarray_set_state(handle, st_capturing);
  return ZEL_OK;
}

zelerror capture_off(zelarray_t *handle) {
  if (const zelerror refused = _zelarray_admit(handle, in_capturing)) return refused;
  stop_thread(handle);
  // Once the thread is joined nothing captures any more, whatever the array answers: a handle
  // whose array vanished must still be freed. The failure is reported all the same.
  _zelarray_set_state(handle, st_params_ready);
  return _zelarray_enforce_capture(handle, zel_false);
}

zelerror _zelarray_wait_status(zelarray_t *handle, int state) {
  if (const zelerror refused = _zelarray_admit(handle, in_any_state)) return refused;
  while (_zelarray_state(handle) != state) {
    const timespec pause{0, 50000000};
    nanosleep(&pause, nullptr);
  }
  return ZEL_OK;
}

zel_result<zelbool> capture_ok(zelarray_t *handle) {
  if (const zelerror refused = _zelarray_admit(handle, in_capturing)) return {refused, zel_false};
  const zelerror code = zel_load(handle->capture_error);
  return {code, code == ZEL_OK ? zel_true : zel_false};
}

// A count kept by the capture, readable in any state.
zel_result<int> counter(zelarray_t *handle, int zelarray_t::*field, int scale = 1) {
  if (const zelerror refused = _zelarray_admit(handle, in_any_state)) return {refused, 0};
  return {ZEL_OK, zel_load(handle->*field) * scale};
}

// The receive buffer as getsockopt reports it, and how long it holds the stream: the kernel charges
// each queued datagram with its bookkeeping, so the duration comes from the same per-datagram
// charge the capture thread sizes its sleeps by.
zel_result<int> socket_buffer(zelarray_t *handle, int *milliseconds) {
  if (const zelerror refused = _zelarray_admit(handle, in_connected)) return {refused, 0};
  const int bytes = _zelmsg_receive_buffer(handle);
  if (bytes <= 0) return {ZEL_ESOCKET, 0};
  if (milliseconds != nullptr) {
    const int64_t per_second =
        (handle->speed > 0 ? handle->speed : 44100) / zel_frames_per_datagram;
    *milliseconds = static_cast<int>(int64_t{_zelmsg_queue_capacity(handle)} * 1000 / per_second);
  }
  return {ZEL_OK, bytes};
}

zel_result<int> kernel_drops(zelarray_t *handle) {
  if (const zelerror refused = _zelarray_admit(handle, in_any_state)) return {refused, 0};
  // Live while the thread receives; once it stopped, the count it left.
  if (_zelarray_state(handle) == st_capturing && zel_load(handle->running) != 0) {
    return {ZEL_OK, kernel_drops_now(handle)};
  }
  return {ZEL_OK, zel_load(handle->kernel_drops)};
}

// ---- Reading through the default cursor ----------------------------------------------------

// The default cursor's next buffer copied to dest. A copy needs somewhere to go: a null
// destination is refused like a null handle.
zel_result<zelbool> _zelarray_get_databuffer(zelarray_t *handle, void *dest, int32_t *ts,
                                             int *nfnbr, zelbool blocking) {
  if (handle == nullptr || dest == nullptr) return {ZEL_ENULL, zel_unset};
  zelcursor_t *cursor = handle->cursors[0];
  void *data = nullptr;
  const zel_result<zelbool> got =
      _zelcursor_read(handle, cursor, &data, ts, nfnbr, blocking, zel_true);
  if (got.value != zel_true) return got;
  memcpy(dest, data, static_cast<size_t>(cursor->datasize));
  if (_zelarray_rb_writer_reached(handle, cursor)) _zelcursor_flag_overflow(handle, cursor);
  return got;
}

// The default cursor's next buffer, waited for; `advance` passes over it.
zelerror default_cursor_next(zelarray_t *handle, int32_t *ts, zelbool advance) {
  if (handle == nullptr) return ZEL_ENULL;
  return _zelcursor_read(handle, handle->cursors[0], nullptr, ts, nullptr, zel_true, advance).code;
}

zel_result<zelbool> _zelarray_check_databuffer_overflow(zelarray_t *handle) {
  if (handle == nullptr) return {ZEL_ENULL, zel_unset};
  return _zelcursor_overflow(handle, handle->cursors[0]);
}

}  // namespace

extern "C" {

// ---- Handle and capture options ---------------------------------------------------------------

zelarray_t *zelarray_create(int megabytes, int req_frames, zelerror *err) {
  return zel_deliver(create_handle(megabytes, req_frames), err);
}

void zelarray_delete(zelarray_t *handle, zelerror *err) {
  zel_report(err, delete_handle(handle));
}

void zelarray_wait_nfnbr(zelarray_t *handle, int nfnbr, zelerror *err) {
  zel_report(err, set_option(handle, &zelarray_t::wait_nfnbr, nfnbr, nfnbr >= 0 && nfnbr <= 65535,
                             ZEL_ENFNBR));
}

void zelarray_fix_drop_X_first_frames(zelarray_t *handle, int frames, zelerror *err) {
  zel_report(err, set_option(handle, &zelarray_t::drop_frames, frames, frames >= 0, ZEL_EDROP));
}

void zelarray_fix_one_sample_delay(zelarray_t *handle, zelbool fix, zelerror *err) {
  zel_report(err, set_option(handle, &zelarray_t::fix_delay, fix, is_flag(fix), ZEL_EDELAY));
}

void zelarray_display_warnings(zelarray_t *handle, zelbool display, zelerror *err) {
  zel_report(err,
             set_option(handle, &zelarray_t::warnings, display, is_flag(display), ZEL_EWARNINGS));
}

void zelarray_set_silence_limit(zelarray_t *handle, int milliseconds, zelerror *err) {
  const bool valid =
      milliseconds >= zel_min_silence_limit_ms && milliseconds <= zel_max_silence_limit_ms;
  zel_report(err, set_option(handle, &zelarray_t::silence_limit_ms, milliseconds, valid,
                             ZEL_ESILENCELIMIT));
}

void zelarray_set_realtime(zelarray_t *handle, zelbool realtime, zelerror *err) {
  zel_report(err,
             set_option(handle, &zelarray_t::realtime, realtime, is_flag(realtime), ZEL_EREALTIME));
}

zelbool zelarray_check_realtime(zelarray_t *handle, zelerror *err) {
  return zel_deliver(check_realtime(handle), err);
}

void zelarray_normalize(zelarray_t *handle, FILE *means, FILE *gains, zelerror *err) {
  zel_report(err, load_normalization(handle, means, gains));
}

// ---- Communication and array parameters -------------------------------------------------------

void zelarray_comminit(zelarray_t *handle, const char *address, zelerror *err) {
  zel_report(err, comminit(handle, address));
}

int zelarray_ask_speed(zelarray_t *handle, zelerror *err) {
  return zel_deliver(ask_parameter(handle, &zelarray_t::speed, 0, _zelarray_query_speed), err);
}

void zelarray_set_speed(zelarray_t *handle, int speed, zelerror *err) {
  zel_report(err, set_speed(handle, speed));
}

zelbool zelarray_ask_slave(zelarray_t *handle, zelerror *err) {
  return zel_deliver(ask_parameter(handle, &zelarray_t::slave, static_cast<zelbool>(zel_unset),
                                   _zelarray_query_slave),
                     err);
}

void zelarray_set_slave(zelarray_t *handle, zelbool slave, zelerror *err) {
  zel_report(err, set_slave(handle, slave));
}

int zelarray_ask_id(zelarray_t *handle, zelerror *err) {
  return zel_deliver(ask_id(handle), err);
}

void zelarray_ask_promnb(zelarray_t *handle, char *buffer, zelerror *err) {
  zel_report(err, ask_promnb(handle, buffer));
}

void zelarray_initparams(zelarray_t *handle, zelerror *err) {
  zel_report(err, initparams(handle));
}

void zelarray_initparams_wp(zelarray_t *handle, int speed, zelbool slave, zelerror *err) {
  zel_report(err, initparams_wp(handle, speed, slave));
}

// ---- Capture control --------------------------------------------------------------------------

void zelarray_capture_on(zelarray_t *handle, zelerror *err) {
  zel_report(err, capture_on(handle));
}

void zelarray_capture_off(zelarray_t *handle, zelerror *err) {
  zel_report(err, capture_off(handle));
}

void zelarray_wait_capture_started(zelarray_t *handle, zelerror *err) {
  zel_report(err, _zelarray_wait_status(handle, st_capturing));
}

zelbool zelarray_check_capture_ok(zelarray_t *handle, zelerror *err) {
  return zel_deliver(capture_ok(handle), err);
}

int zelarray_check_lostdataframes(zelarray_t *handle, zelerror *err) {
  return zel_deliver(counter(handle, &zelarray_t::lost_frames, zel_frames_per_datagram), err);
}

int zelarray_check_discontinuities(zelarray_t *handle, zelerror *err) {
  return zel_deliver(counter(handle, &zelarray_t::discontinuities), err);
}

int zelarray_check_outages(zelarray_t *handle, zelerror *err) {
  return zel_deliver(counter(handle, &zelarray_t::outages), err);
}

int zelarray_check_kernel_drops(zelarray_t *handle, zelerror *err) {
  return zel_deliver(kernel_drops(handle), err);
}

int zelarray_get_socket_buffer(zelarray_t *handle, int *milliseconds, zelerror *err) {
  return zel_deliver(socket_buffer(handle, milliseconds), err);
}

// ---- Reading through the default cursor ----------------------------------------------------

zelbool zelarray_get_databuffer(zelarray_t *handle, void *dest, int32_t *ts, zelerror *err) {
  return zelarray_get_databuffer_with_nfnbr(handle, dest, ts, nullptr, err);
}

zelbool zelarray_get_databuffer_with_nfnbr(zelarray_t *handle, void *dest, int32_t *ts, int *nfnbr,
                                           zelerror *err) {
  return zel_deliver(_zelarray_get_databuffer(handle, dest, ts, nfnbr, zel_true), err);
}

zelbool zelarray_get_databuffer_nonblocking(zelarray_t *handle, void *dest, int32_t *ts,
                                            zelerror *err) {
  return zelarray_get_databuffer_nonblocking_with_nfnbr(handle, dest, ts, nullptr, err);
}

zelbool zelarray_get_databuffer_nonblocking_with_nfnbr(zelarray_t *handle, void *dest, int32_t *ts,
                                                       int *nfnbr, zelerror *err) {
  return zel_deliver(_zelarray_get_databuffer(handle, dest, ts, nfnbr, zel_false), err);
}

void zelarray_get_current_databuffer_timestamp(zelarray_t *handle, int32_t *ts, zelerror *err) {
  zel_report(err, default_cursor_next(handle, ts, zel_false));
}

void zelarray_skip_current_databuffer(zelarray_t *handle, zelerror *err) {
  zel_report(err, default_cursor_next(handle, nullptr, zel_true));
}

zelbool zelarray_check_databuffer_overflow(zelarray_t *handle, zelerror *err) {
  return zel_deliver(_zelarray_check_databuffer_overflow(handle), err);
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
