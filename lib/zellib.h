/*
 * zellib.h - capture library for the 64-channel network microphone array.
 *
 * Conventions
 * - Every call reports its outcome through a status, a `zelerror *` given as the LAST argument,
 *   except: zelcursor_get_ptr (status sixth of eight), zelcursor_isof (no status) and
 *   zelarray_perror (status first). ZEL_OK (0) is success; the failures are the ZEL_E... codes
 *   below, named by zelarray_err_name and described by zelarray_strerror. A failing call
 *   returns a fixed value (0, 101, zel_unset or NULL, as each contract says), so only the status
 *   is a reliable sign of failure. A null status pointer is allowed and simply not written.
 * - Flags are zelbool values: zel_true 99, zel_false 101, zel_unset 440; never 0 and 1.
 * - Every call that uses its handle refuses a NULL handle with ZEL_ENULL
 *   (zelarray_get_one_blocksize does not use it).
 * - A call made in a handle state that does not allow it is refused with ZEL_EORDER and changes
 *   nothing. States: st_created -> st_comm_ready (zelarray_comminit) -> st_params_ready
 *   (zelarray_initparams) <-> st_capturing (zelarray_capture_on / zelarray_capture_off).
 * - Threads: lifecycle, parameter, option and capture on/off calls belong to one controlling
 *   thread. While a capture runs, reader threads may call every reading call, the overflow
 *   checks, zelarray_check_capture_ok, zelarray_check_lostdataframes,
 *   zelarray_check_kernel_drops, zelarray_wait_capture_started, and create or delete their
 *   own cursors. One cursor is read by one thread at a time (the default cursor counts as one).
 * - Several handles, each connected to its own array, capture side by side in one process; they
 *   share nothing, so one array's loss, stall or end leaves the others' data and counters alone.
 * - Latency: the capture thread receives in batches and sleeps between them for as long as the
 *   smallest buffer among the handle's cursors takes to fill (at most 20 ms, less with a small
 *   socket buffer), so a buffer is ready at most that much after its last datagram arrived;
 *   cursors under 44 frames (1 ms) get each datagram as it comes. Slot times are the kernel's
 *   receive times, whatever the batching.
 * - Timestamps are two int32_t in the caller's memory: seconds, then nanoseconds (a microsecond
 *   count times 1000). Output pointers documented as optional may be NULL.
 * - Warnings ("[ZELLIB] ...") go to stderr only while warnings are on (the default).
 */
#ifndef ZELLIB_H
#define ZELLIB_H

#include <netinet/in.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>

#if defined(ZEL_BUILDING_LIBRARY)
#define ZEL_API __attribute__((visibility("default")))
#else
#define ZEL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Status codes, flags and states ---------------------------------------------------- */

typedef int zelerror;
typedef int zelbool;

/* X(name, code, text): every status code with its message, in code order. */
#define ZEL_ERRNO_MAP(X)                                                             \
  X(OK, 0, "All ok")                                                                 \
  X(ECAPTURE, 1, "Error during capture")                                             \
  X(EREQFRAMES, 2, "Invalid value for \"req data frame per buffer\"")                \
  X(EMEGABYTES, 3, "Invalid value for 'megabytes'")                                  \
  X(ENULL, 4, "Null value for one handler")                                          \
  X(ENOMEM, 5, "Problem allocating memory")                                          \
  X(ESOCKET, 6, "Could not create socket")                                           \
  X(EBIND, 7, "Could not bind socket")                                               \
  X(EDESTIP, 8, "Destination IP error")                                              \
  X(EORDER, 9, "Operation does not follow authorized order")                         \
  X(ESEND, 10, "Error sending data to Zel")                                          \
  X(ERECV, 11, "Error receiving data from Zel")                                      \
  X(EPARSE, 12, "Unexpected data / do not know how to parse")                        \
  X(ESPEED, 13, "Error with 'speed' value")                                          \
  X(ESLAVE, 14, "Error with 'slave' value")                                          \
  X(EID, 15, "Error with 'id' value")                                                \
  X(EPROMNB, 16, "Error with 'prom_nb' value")                                       \
  X(ENFNBR, 17, "Error with value of \"network data frame number\"")                 \
  X(EDROP, 18, "Error with value of \"frames to drop\"")                             \
  X(EDELAY, 19, "Error with value of \"sample delay\"")                              \
  X(EINTERNAL, 20, "Internal error")                                                 \
  X(EWARNINGS, 21, "Error with value of \"display warnings\"")                       \
  X(ECURSORLIMIT, 22, "Too many cursors created")                                    \
  X(ECURSORFRAMES, 23,                                                               \
    "Value of 'req data frame per buffer' not a multiple of the value given to the " \
    "'zelarray_create' function")                                                    \
  X(ECURSOR, 24, "Error working with this cursor")                                   \
  X(ENORMFILES, 25, "Error reading from normalization files")                        \
  X(ESILENCELIMIT, 26, "Error with value of \"silence limit\"")                      \
  X(ECOUNT, 27, "Invalid value for 'count'")                                         \
  X(EREALTIME, 28, "Error with value of \"realtime\"")

enum zel_errno {
#define ZEL_ERRNO_ENUM(name, code, text) ZEL_##name = (code),
  ZEL_ERRNO_MAP(ZEL_ERRNO_ENUM)
#undef ZEL_ERRNO_ENUM
      ZEL_ERRNO_COUNT /* one past the last code */
};

enum { zel_true = 99, zel_false = 101, zel_unset = 440 };

enum { st_created = 0, st_comm_ready = 1, st_params_ready = 2, st_capturing = 3 };

/* The array's UDP port, on both sides. */
enum { ZEL_PORT = 32767 };
/* Most cursors a handle holds, the default cursor in slot 0 included. */
enum { ZEL_MAX_CURSORS = 256 };
/* Bytes of one sample frame: 64 channels of 24-bit big-endian two's complement. */
enum { ZEL_FRAME_BYTES = 192 };

/* ---- Records ------------------------------------------------------------------------------ */

/* Message buffer of the datagram transport; its layout is private to the library. */
typedef struct zelmsg zelmsg_t;

/* A reader of a handle's ring. Fields read by other threads are accessed atomically inside the
 * library; programs treat the record as read-only. */
typedef struct zelcursor {
  int rpos;            /* read position in sample frames, a multiple of frames */
  int frames;          /* sample frames per data buffer; divides the handle's req_frames */
  int datasize;        /* frames * 192 bytes */
  int slot;            /* index in the handle's cursor table */
  pthread_cond_t cond; /* signalled when a whole buffer is ready; waits on ring_lock */
  uint64_t last_ts;    /* unused, always 0: kept for the layout only */
  zelbool overflow;    /* zel_true once the writer has overtaken this reader */
  uint64_t rtotal;     /* sample frames passed since (re)initialisation */
  int waiters;         /* readers blocked on cond; changed under ring_lock, atomic */
  uint64_t skipped;    /* sample frames passed over since the capture started because the writer
                          overtook this reader, atomic */
} zelcursor_t;

/* The capture handle: one per array. Created by zelarray_create, freed by zelarray_delete. */
typedef struct zelarray {
  char *dip;                    /* array address text, 16 characters at most */
  int id;                       /* device identifier, -1 until read */
  char *prom_nb;                /* PROM number, 8 characters, empty until read */
  int speed;                    /* 0 until known, then 22050 or 44100 */
  zelbool slave;                /* zel_unset until known */
  int status;                   /* handle state (st_*), atomic */
  zelbool normalize;            /* zel_true once calibration files are loaded */
  double *gains;                /* 64 per-channel divisors */
  int32_t *means;               /* 64 per-channel offsets */
  int sock;                     /* datagram socket, -1 until zelarray_comminit */
  struct sockaddr_in dest_addr; /* the array, port 32767 */
  zelerror capture_error;       /* capture thread health, atomic */
  pthread_t thread;             /* capture thread */
  pthread_attr_t thread_attr;   /* unused: kept for the layout only */
  pthread_mutex_t ring_lock;    /* guards wpos and the cursor table */
  int running;                  /* 1 while the capture must go on, atomic */
  int ring_frames;              /* ring capacity in sample frames */
  int ring_bytes;               /* ring_frames * 192 */
  unsigned char *ring;          /* the sample frames */
  int32_t *ring_ts;             /* per 5-frame slot: seconds, nanoseconds */
  int32_t *ring_nfnbr;          /* per 5-frame slot: network frame number */
  int wpos;                     /* write position in sample frames */
  int req_frames;               /* sample frames per buffer of the default cursor */
  zelcursor_t *cursors[ZEL_MAX_CURSORS];
  int cursor_count;
  zelmsg_t *msg_a;     /* unused, always NULL: kept for the layout only */
  zelmsg_t *msg_b;     /* unused, always NULL: kept for the layout only */
  zelbool msg_current; /* unused, always 0: kept for the layout only */
  zelbool fix_delay;
  int wait_nfnbr;       /* -1: no start number */
  int drop_frames;      /* sample frames dropped at each start */
  int dropped;          /* sample frames dropped in this capture */
  zelbool warnings;     /* print warnings on stderr */
  int lost_frames;      /* network frames lost in this capture, atomic */
  uint64_t wtotal;      /* sample frames published in this capture */
  int thread_live;      /* a capture thread exists and has not been joined */
  uint32_t kdrops_base; /* kernel drop count of the socket when the capture started */
  int kernel_drops;     /* datagrams the kernel dropped during the current or last capture */
  int silence_limit_ms; /* silence that ends a capture; longer ones end it, shorter are filled */
  int discontinuities;  /* numbering jumps the arrival times disagree with, atomic */
  int outages;          /* silences of 100 ms or more ridden through, atomic */
  zelbool realtime;     /* ask for real-time priority for the capture thread */
  zelbool realtime_got; /* the running (or last) capture thread got it, atomic */
} zelarray_t;

/* ---- Status codes -------------------------------------------------------------------------- */

/* Set *err to ZEL_OK. */
ZEL_API void zelarray_init_zelerror(zelerror *err);
/* zel_true when *err holds a failure, zel_false when it is ZEL_OK (or err is NULL). */
ZEL_API zelbool zelarray_check_zelerror(zelerror *err);
/* Print "text: message\n" for *err on stderr: zelarray_strerror's message ("unknown error" for
 * a code that is none of the above, or a NULL err). */
ZEL_API void zelarray_perror(zelerror *err, const char *text);
/* The message of a code ("Operation does not follow authorized order" for ZEL_EORDER), without
 * a newline; "unknown error" for any other int. Static storage; any thread. */
ZEL_API const char *zelarray_strerror(int code);
/* The name of a code ("ZEL_EORDER" for ZEL_EORDER); "unknown error" for any other int. Static
 * storage; any thread. */
ZEL_API const char *zelarray_err_name(int code);

/* ---- Handle and capture options --------------------------------------------------------- */

/* New handle with a ring of `megabytes` (0 = 16; 16..2047) and `req_frames` (> 0) sample frames
 * per default buffer. Fails with ZEL_EREQFRAMES, ZEL_EMEGABYTES, ZEL_ENOMEM; returns NULL. */
ZEL_API zelarray_t *zelarray_create(int megabytes, int req_frames, zelerror *err);
/* Free the handle, its cursors and socket. Any state but st_capturing (ZEL_EORDER). */
ZEL_API void zelarray_delete(zelarray_t *handle, zelerror *err);
/* Start storing after the datagram numbered nfnbr (0..65535, else ZEL_ENFNBR). Not while capturing.
 */
ZEL_API void zelarray_wait_nfnbr(zelarray_t *handle, int nfnbr, zelerror *err);
/* Drop `frames` (>= 0, else ZEL_EDROP) leading sample frames, in whole datagrams. Not while
 * capturing. */
ZEL_API void zelarray_fix_drop_X_first_frames(zelarray_t *handle, int frames, zelerror *err);
/* Delay the odd channels by one sample (zel_true/zel_false, else ZEL_EDELAY). Not while capturing.
 */
ZEL_API void zelarray_fix_one_sample_delay(zelarray_t *handle, zelbool fix, zelerror *err);
/* Print warnings on stderr (zel_true/zel_false, else ZEL_EWARNINGS). Not while capturing. */
ZEL_API void zelarray_display_warnings(zelarray_t *handle, zelbool display, zelerror *err);
/* Ride through silences of the array shorter than `milliseconds` (100..3600000, else
 * ZEL_ESILENCELIMIT; default 100): the capture goes on, readers wait, and when data returns the
 * silence is filled with zero slots of its true length, counted as lost frames and as an outage. A
 * longer silence ends the capture (ZEL_ECAPTURE). Not while capturing. */
ZEL_API void zelarray_set_silence_limit(zelarray_t *handle, int milliseconds, zelerror *err);
/* Run the capture thread at real-time priority (SCHED_FIFO, priority 10: below audio servers' own
 * threads; the RLIMIT_RTPRIO value when that is lower but not 0) when the process is allowed to
 * (RLIMIT_RTPRIO or CAP_SYS_NICE); otherwise it runs at normal priority and the capture still
 * starts. Never raises a limit. zel_true (the
 * default) or zel_false, else ZEL_EREALTIME. Not while capturing. */
ZEL_API void zelarray_set_realtime(zelarray_t *handle, zelbool realtime, zelerror *err);
/* zel_true when the running (or last) capture thread got real-time priority, zel_false when it
 * runs (ran) at normal priority or no capture has started. Any state. */
ZEL_API zelbool zelarray_check_realtime(zelarray_t *handle, zelerror *err);
/* Load 64 int32 means and 64 double gains from the streams' current positions and normalize
 * every later capture. Short stream: ZEL_ENORMFILES (normalization unchanged). Not while capturing.
 */
ZEL_API void zelarray_normalize(zelarray_t *handle, FILE *means, FILE *gains, zelerror *err);

/* ---- Caller data buffers (any state) ------------------------------------------------------- */

/* Zero-filled block of `count` (> 0) default buffers; *size (optional) gets its bytes. NULL on
 * failure (ZEL_ENOMEM). Free it with zelarray_delete_databuffer. */
ZEL_API void *zelarray_create_blocks(zelarray_t *handle, int count, int *size, zelerror *err);
/* zelarray_create_blocks with a count of 1. */
ZEL_API void *zelarray_create_databuffer(zelarray_t *handle, int *size, zelerror *err);
/* Free a block made by the two calls above (NULL frees nothing). NULL handle: ZEL_ENULL, not freed.
 */
ZEL_API void zelarray_delete_databuffer(zelarray_t *handle, void *block, zelerror *err);
/* Bytes of one sample frame: 192. */
ZEL_API int zelarray_get_one_blocksize(zelarray_t *handle, zelerror *err);

/* ---- Communication and array parameters ---------------------------------------------------
 * Exchanges are bounded: every receive waits at most 100 ms of silence (ZEL_ERECV); a query
 * gives up after 1 s without its reply however many other datagrams arrive (ZEL_ERECV); a set
 * command gives up when the array still reports another value after 1 s or 20 attempts
 * (ZEL_EPARSE); an attempt whose reply may answer an earlier attempt's query is not counted.
 * Datagrams from any address but the array's are ignored. */

/* Open the socket (UDP 32767) towards the array at `address` (dotted IPv4, <= 16 characters,
 * else ZEL_EDESTIP), switch its acquisition off and read its identifiers. st_created only; ->
 * comm_ready. Failures: ZEL_ESOCKET, ZEL_EBIND, ZEL_EDESTIP, ZEL_ESEND, ZEL_ERECV, ZEL_EPARSE; the
 * handle stays in st_created with no socket open. */
ZEL_API void zelarray_comminit(zelarray_t *handle, const char *address, zelerror *err);
/* Sampling rate in Hz (asked once, then remembered). Not while capturing; 0 on failure. */
ZEL_API int zelarray_ask_speed(zelarray_t *handle, zelerror *err);
/* Set the sampling rate: 22050 or 44100 (else ZEL_ESPEED, nothing sent). Not while capturing. */
ZEL_API void zelarray_set_speed(zelarray_t *handle, int speed, zelerror *err);
/* Clock-slave mode (asked once, then remembered). Not while capturing; 0 on failure. */
ZEL_API zelbool zelarray_ask_slave(zelarray_t *handle, zelerror *err);
/* Set clock-slave mode: zel_true or zel_false (else ZEL_ESLAVE). Not while capturing. */
ZEL_API void zelarray_set_slave(zelarray_t *handle, zelbool slave, zelerror *err);
/* Device identifier. After zelarray_comminit; 101 on failure (ZEL_EID when unknown). */
ZEL_API int zelarray_ask_id(zelarray_t *handle, zelerror *err);
/* Copy the PROM number into `buffer` (9 bytes, terminated). After zelarray_comminit;
 * ZEL_EPROMNB when unknown, ZEL_ENULL for a NULL buffer. */
ZEL_API void zelarray_ask_promnb(zelarray_t *handle, char *buffer, zelerror *err);
/* Confirm that speed (ZEL_ESPEED) and slave mode (ZEL_ESLAVE) are known. st_comm_ready only; ->
 * params_ready. */
ZEL_API void zelarray_initparams(zelarray_t *handle, zelerror *err);
/* zelarray_set_speed, zelarray_set_slave, then zelarray_initparams; stops at the first failure. */
ZEL_API void zelarray_initparams_wp(zelarray_t *handle, int speed, zelbool slave, zelerror *err);

/* ---- Capture control ------------------------------------------------------------------------ */

/* Reset the write position, every cursor and the counters, switch the array on and start the
 * capture thread. st_params_ready only; -> st_capturing. Failures: ZEL_ENOMEM, ZEL_ESEND,
 * ZEL_ERECV, ZEL_EPARSE, ZEL_EINTERNAL.
 * Numbering: a gap in the datagram numbers counts as lost the number congruent to it modulo
 * 65536 that the arrival times agree with (within 50 datagrams and 2 %); where none does (the
 * array restarted its numbering), the times decide how much silence goes in, the capture goes
 * on from the new number and the jump counts as a discontinuity. */
ZEL_API void zelarray_capture_on(zelarray_t *handle, zelerror *err);
/* Wake blocked readers (they get zel_false), join the capture thread, switch the array off.
 * st_capturing only; -> st_params_ready, also when the stop command fails (ZEL_ESEND, ZEL_ERECV,
 * ZEL_EPARSE: the array may still be streaming), so that the handle can be deleted. */
ZEL_API void zelarray_capture_off(zelarray_t *handle, zelerror *err);
/* Wait, polling every 50 ms, until the handle is capturing. Any state, any thread; no time
 * limit. */
ZEL_API void zelarray_wait_capture_started(zelarray_t *handle, zelerror *err);
/* zel_true while the capture goes on; zel_false with ZEL_ECAPTURE once it ended on its own (a
 * silence past the silence limit, or a failed socket). A wait for the start number, or an outage
 * being ridden through, is not a failure. st_capturing only (ZEL_EORDER and zel_false). */
ZEL_API zelbool zelarray_check_capture_ok(zelarray_t *handle, zelerror *err);
/* Sample frames lost (zero filled) in the current or last capture. Any state. */
ZEL_API int zelarray_check_lostdataframes(zelarray_t *handle, zelerror *err);
/* Numbering discontinuities (restarts of the array's numbering) in the current or last capture.
 * Any state. */
ZEL_API int zelarray_check_discontinuities(zelarray_t *handle, zelerror *err);
/* Silences of 100 ms or more ridden through (see zelarray_set_silence_limit) in the current or
 * last capture. Any state. */
ZEL_API int zelarray_check_outages(zelarray_t *handle, zelerror *err);
/* Array datagrams the host's kernel dropped (socket buffer full: this host read too slowly)
 * during the current or last capture; lost frames not counted here were lost by the network
 * or the array. Any state. */
ZEL_API int zelarray_check_kernel_drops(zelarray_t *handle, zelerror *err);

/* Receive buffer the kernel granted the socket, in bytes, as getsockopt(SO_RCVBUF) reports it:
 * twice the size set, since the kernel counts each queued datagram's bookkeeping against it
 * (about 2.3 KB for a 964-byte data datagram; net.core.rmem_max = 212992 gives 425984).
 * *milliseconds (optional) gets how long it holds the array's stream at that charge per datagram
 * and the array's rate (8820 datagrams/s at 44100 Hz, 4410 at 22050; 44100 Hz when the rate is
 * not yet known): about 20 ms for 425984 bytes at 44100 Hz. After zelarray_comminit (ZEL_EORDER
 * before); 0 on failure. */
ZEL_API int zelarray_get_socket_buffer(zelarray_t *handle, int *milliseconds, zelerror *err);

/* ---- Reading through the default cursor (copies) ------------------------------------------
 * Results: zel_true (ZEL_OK) a buffer was copied; zel_false (ZEL_OK) nothing ready (non-blocking)
 * or the capture is stopping, outputs untouched; zel_false with ZEL_ECAPTURE once the capture
 * ended on its own and every buffer it made has been read (blocked readers are woken); zel_unset
 * with ZEL_EORDER when not capturing, ZEL_ECURSOR when slot 0 holds no cursor, ZEL_ENULL for a
 * NULL dest. A buffer that the writer reached while it was being
 * copied is delivered with the overflow flag set. `dest` holds req_frames * 192 bytes; ts (2
 * values) and nfnbr are optional. */

ZEL_API zelbool zelarray_get_databuffer(zelarray_t *handle, void *dest, int32_t *ts, zelerror *err);
ZEL_API zelbool zelarray_get_databuffer_with_nfnbr(zelarray_t *handle, void *dest, int32_t *ts,
                                                   int *nfnbr, zelerror *err);
ZEL_API zelbool zelarray_get_databuffer_nonblocking(zelarray_t *handle, void *dest, int32_t *ts,
                                                    zelerror *err);
ZEL_API zelbool zelarray_get_databuffer_nonblocking_with_nfnbr(zelarray_t *handle, void *dest,
                                                               int32_t *ts, int *nfnbr,
                                                               zelerror *err);
/* Time of the next buffer, waiting for it; the cursor does not move. */
ZEL_API void zelarray_get_current_databuffer_timestamp(zelarray_t *handle, int32_t *ts,
                                                       zelerror *err);
/* Wait for the next buffer and pass over it. */
ZEL_API void zelarray_skip_current_databuffer(zelarray_t *handle, zelerror *err);
/* The default cursor's overflow flag (zel_unset with ZEL_ECURSOR when slot 0 is empty). Any state.
 */
ZEL_API zelbool zelarray_check_databuffer_overflow(zelarray_t *handle, zelerror *err);

/* ---- Reading through a cursor (pointers into the ring, no copy) ---------------------------
 * Same results as above (ZEL_ECURSOR for a cursor of another handle). *data points at datasize
 * bytes that stay valid until the capture writes a whole ring further. */

ZEL_API zelbool zelarray_get_cursorptr(zelarray_t *handle, zelcursor_t *cursor, void **data,
                                       int32_t *ts, zelerror *err);
ZEL_API zelbool zelarray_get_cursorptr_with_nfnbr(zelarray_t *handle, zelcursor_t *cursor,
                                                  void **data, int32_t *ts, int *nfnbr,
                                                  zelerror *err);
ZEL_API zelbool zelarray_get_cursorptr_nonblocking(zelarray_t *handle, zelcursor_t *cursor,
                                                   void **data, int32_t *ts, zelerror *err);
ZEL_API zelbool zelarray_get_cursorptr_nonblocking_with_nfnbr(zelarray_t *handle,
                                                              zelcursor_t *cursor, void **data,
                                                              int32_t *ts, int *nfnbr,
                                                              zelerror *err);
/* The cursor's overflow flag; ZEL_ECURSOR and zel_unset for a cursor of another
 * handle. Any state. */
ZEL_API zelbool zelarray_check_cursor_overflow(zelarray_t *handle, zelcursor_t *cursor,
                                               zelerror *err);

/* ---- Sample decoding (no handle; any thread) -----------------------------------------------
 * `frames` holds `count` sample frames of 192 bytes as the ring and raw files hold them; `dest`
 * receives 64 * count values, frame-major (dest[64 * f + c] is channel c of frame f). The two
 * ranges must not overlap. NULL frames or dest: ZEL_ENULL; count < 0: ZEL_ECOUNT; nothing written
 * on failure. */

/* Each 24-bit big-endian two's-complement sample, sign-extended to int32 (-8388608..8388607). */
ZEL_API void zelarray_decode_samples(const void *frames, int count, int32_t *dest, zelerror *err);
/* The same values divided by 2^23, so full scale is [-1, 1): exact in float. */
ZEL_API void zelarray_decode_samples_float(const void *frames, int count, float *dest,
                                           zelerror *err);

/* ---- Cursors ---------------------------------------------------------------------------------
 * Any state, also while capturing, from any thread. A cursor must not be deleted or
 * reinitialised while a thread reads through it. */

/* New cursor of `frames` sample frames per buffer, starting at position 0, in the first free
 * slot. Failures: ZEL_ECURSORLIMIT (256 in place), ZEL_ECURSORFRAMES (frames <= 0 or not a
 * divisor of req_frames), ZEL_ENOMEM, ZEL_EINTERNAL. */
ZEL_API zelcursor_t *zelcursor_create(zelarray_t *handle, int frames, zelerror *err);
/* Remove and free a cursor. ZEL_ECURSOR for a cursor of another handle and for the default cursor
 * in slot 0 (freed only by zelarray_delete). */
ZEL_API void zelcursor_delete(zelarray_t *handle, zelcursor_t *cursor, zelerror *err);
/* 1 when the cursor belongs to the handle, else 0. */
ZEL_API int zelcursor_isof(zelarray_t *handle, zelcursor_t *cursor);
/* Back to position 0, overflow cleared. ZEL_ECURSOR for a foreign cursor; ZEL_EINTERNAL on
 * condition failure. */
ZEL_API void zelcursor_reinit(zelarray_t *handle, zelcursor_t *cursor, zelerror *err);
/* Bytes per buffer of the cursor; -1 with ZEL_ECURSOR for a foreign cursor. */
ZEL_API int zelcursor_get_datasize(zelarray_t *handle, zelcursor_t *cursor, zelerror *err);
/* The cursor's overflow flag (not cleared by reading); zel_unset with ZEL_ECURSOR for a foreign
 * one. */
ZEL_API zelbool zelcursor_check_overflow(zelarray_t *handle, zelcursor_t *cursor, zelerror *err);
/* The handle's default cursor (slot 0), read by the zelarray_get_databuffer calls. NULL with
 * ZEL_ECURSOR when it is gone. Any state. */
ZEL_API zelcursor_t *zelarray_get_default_cursor(zelarray_t *handle, zelerror *err);
/* Sample frames this cursor skipped since the capture started because the writer overtook it
 * (take the difference between two reads for a per-read count). 0 with ZEL_ECURSOR for a foreign
 * cursor. From the cursor's reader thread while capturing, else any thread. */
ZEL_API uint64_t zelcursor_get_skipped_frames(zelarray_t *handle, zelcursor_t *cursor,
                                              zelerror *err);
/* The general read: optional data pointer, timestamp and frame number outputs; blocks unless
 * `blocking` is zel_false; moves on only when `advance` is zel_true. Results as above. While
 * capturing, from the cursor's reader thread. */
ZEL_API zelbool zelcursor_get_ptr(zelarray_t *handle, zelcursor_t *cursor, void **data, int32_t *ts,
                                  int *nfnbr, zelerror *err, zelbool blocking, zelbool advance);

#ifdef __cplusplus
}
#endif

#endif /* ZELLIB_H */
