"""The shared library through cffi in ABI mode: declarations, loading, status codes."""
import os
import pathlib
import threading

import cffi

# The public calls and status codes of zellib.h, as it declares them; the records stay opaque:
# the package reads them only through calls. tests/python/test_cdef.py holds this text to the
# header.
CDEF = """
typedef int zelerror;
typedef int zelbool;
typedef struct zelarray zelarray_t;
typedef struct zelcursor zelcursor_t;
enum { zel_true = 99, zel_false = 101, zel_unset = 440 };
enum zel_errno {
  ZEL_OK = 0,
  ZEL_ECAPTURE = 1,
  ZEL_EREQFRAMES = 2,
  ZEL_EMEGABYTES = 3,
  ZEL_ENULL = 4,
  ZEL_ENOMEM = 5,
  ZEL_ESOCKET = 6,
  ZEL_EBIND = 7,
  ZEL_EDESTIP = 8,
  ZEL_EORDER = 9,
  ZEL_ESEND = 10,
  ZEL_ERECV = 11,
  ZEL_EPARSE = 12,
  ZEL_ESPEED = 13,
  ZEL_ESLAVE = 14,
  ZEL_EID = 15,
  ZEL_EPROMNB = 16,
  ZEL_ENFNBR = 17,
  ZEL_EDROP = 18,
  ZEL_EDELAY = 19,
  ZEL_EINTERNAL = 20,
  ZEL_EWARNINGS = 21,
  ZEL_ECURSORLIMIT = 22,
  ZEL_ECURSORFRAMES = 23,
  ZEL_ECURSOR = 24,
  ZEL_ENORMFILES = 25,
  ZEL_ESILENCELIMIT = 26,
  ZEL_ECOUNT = 27,
  ZEL_EREALTIME = 28,
  ZEL_ERRNO_COUNT
};
void zelarray_init_zelerror(zelerror *err);
zelbool zelarray_check_zelerror(zelerror *err);
void zelarray_perror(zelerror *err, const char *text);
const char *zelarray_strerror(int code);
const char *zelarray_err_name(int code);
zelarray_t *zelarray_create(int megabytes, int req_frames, zelerror *err);
void zelarray_delete(zelarray_t *handle, zelerror *err);
void zelarray_wait_nfnbr(zelarray_t *handle, int nfnbr, zelerror *err);
void zelarray_fix_drop_X_first_frames(zelarray_t *handle, int frames, zelerror *err);
void zelarray_fix_one_sample_delay(zelarray_t *handle, zelbool fix, zelerror *err);
void zelarray_display_warnings(zelarray_t *handle, zelbool display, zelerror *err);
void zelarray_set_silence_limit(zelarray_t *handle, int milliseconds, zelerror *err);
void zelarray_set_realtime(zelarray_t *handle, zelbool realtime, zelerror *err);
zelbool zelarray_check_realtime(zelarray_t *handle, zelerror *err);
void zelarray_normalize(zelarray_t *handle, FILE *means, FILE *gains, zelerror *err);
void *zelarray_create_blocks(zelarray_t *handle, int count, int *size, zelerror *err);
void *zelarray_create_databuffer(zelarray_t *handle, int *size, zelerror *err);
void zelarray_delete_databuffer(zelarray_t *handle, void *block, zelerror *err);
int zelarray_get_one_blocksize(zelarray_t *handle, zelerror *err);
void zelarray_comminit(zelarray_t *handle, const char *address, zelerror *err);
int zelarray_ask_speed(zelarray_t *handle, zelerror *err);
void zelarray_set_speed(zelarray_t *handle, int speed, zelerror *err);
zelbool zelarray_ask_slave(zelarray_t *handle, zelerror *err);
void zelarray_set_slave(zelarray_t *handle, zelbool slave, zelerror *err);
int zelarray_ask_id(zelarray_t *handle, zelerror *err);
void zelarray_ask_promnb(zelarray_t *handle, char *buffer, zelerror *err);
void zelarray_initparams(zelarray_t *handle, zelerror *err);
void zelarray_initparams_wp(zelarray_t *handle, int speed, zelbool slave, zelerror *err);
void zelarray_capture_on(zelarray_t *handle, zelerror *err);
void zelarray_capture_off(zelarray_t *handle, zelerror *err);
void zelarray_wait_capture_started(zelarray_t *handle, zelerror *err);
zelbool zelarray_check_capture_ok(zelarray_t *handle, zelerror *err);
int zelarray_check_lostdataframes(zelarray_t *handle, zelerror *err);
int zelarray_check_discontinuities(zelarray_t *handle, zelerror *err);
int zelarray_check_outages(zelarray_t *handle, zelerror *err);
int zelarray_check_kernel_drops(zelarray_t *handle, zelerror *err);
int zelarray_get_socket_buffer(zelarray_t *handle, int *milliseconds, zelerror *err);
zelbool zelarray_get_databuffer(zelarray_t *handle, void *dest, int32_t *ts, zelerror *err);
zelbool zelarray_get_databuffer_with_nfnbr(zelarray_t *handle, void *dest, int32_t *ts, int *nfnbr,
    zelerror *err);
zelbool zelarray_get_databuffer_nonblocking(zelarray_t *handle, void *dest, int32_t *ts, zelerror
    *err);
zelbool zelarray_get_databuffer_nonblocking_with_nfnbr(zelarray_t *handle, void *dest, int32_t *ts,
    int *nfnbr, zelerror *err);
void zelarray_get_current_databuffer_timestamp(zelarray_t *handle, int32_t *ts, zelerror *err);
void zelarray_skip_current_databuffer(zelarray_t *handle, zelerror *err);
zelbool zelarray_check_databuffer_overflow(zelarray_t *handle, zelerror *err);
zelbool zelarray_get_cursorptr(zelarray_t *handle, zelcursor_t *cursor, void **data, int32_t *ts,
    zelerror *err);
zelbool zelarray_get_cursorptr_with_nfnbr(zelarray_t *handle, zelcursor_t *cursor, void **data,
    int32_t *ts, int *nfnbr, zelerror *err);
zelbool zelarray_get_cursorptr_nonblocking(zelarray_t *handle, zelcursor_t *cursor, void **data,
    int32_t *ts, zelerror *err);
zelbool zelarray_get_cursorptr_nonblocking_with_nfnbr(zelarray_t *handle, zelcursor_t *cursor, void
    **data, int32_t *ts, int *nfnbr, zelerror *err);
zelbool zelarray_check_cursor_overflow(zelarray_t *handle, zelcursor_t *cursor, zelerror *err);
void zelarray_decode_samples(const void *frames, int count, int32_t *dest, zelerror *err);
void zelarray_decode_samples_float(const void *frames, int count, float *dest, zelerror *err);
zelcursor_t *zelcursor_create(zelarray_t *handle, int frames, zelerror *err);
void zelcursor_delete(zelarray_t *handle, zelcursor_t *cursor, zelerror *err);
int zelcursor_isof(zelarray_t *handle, zelcursor_t *cursor);
void zelcursor_reinit(zelarray_t *handle, zelcursor_t *cursor, zelerror *err);
int zelcursor_get_datasize(zelarray_t *handle, zelcursor_t *cursor, zelerror *err);
zelbool zelcursor_check_overflow(zelarray_t *handle, zelcursor_t *cursor, zelerror *err);
zelcursor_t *zelarray_get_default_cursor(zelarray_t *handle, zelerror *err);
uint64_t zelcursor_get_skipped_frames(zelarray_t *handle, zelcursor_t *cursor, zelerror *err);
zelbool zelcursor_get_ptr(zelarray_t *handle, zelcursor_t *cursor, void **data, int32_t *ts, int
    *nfnbr, zelerror *err, zelbool blocking, zelbool advance);
"""

ffi = cffi.FFI()
ffi.cdef(CDEF)
# The C library: calibration data reaches zelarray_normalize as memory streams.
ffi.cdef("""
FILE *fmemopen(void *buf, size_t size, const char *mode);
int fclose(FILE *stream);
""")

FRAME_BYTES = 192
CHANNELS = 64
SONAME = "libzel.so.1"

_here = pathlib.Path(__file__).resolve().parent


def _candidates():
    """Where libzel.so.1 may be, in the order it is looked for."""
    explicit = os.environ.get("ZEL_LIBRARY")
    if explicit:
        yield pathlib.Path(explicit)
        return
    yield _here / SONAME  # copied beside the package
    try:
        from . import _install  # written by `cmake --install`

        yield pathlib.Path(_install.LIBRARY)
    except ImportError:
        pass
    # A source checkout: python/zel inside the tree, the library in its build folder.
    build = os.environ.get("ZEL_BUILD_DIR")
    for folder in ([pathlib.Path(build)] if build else []) + [_here.parent.parent / "build"]:
        yield folder / "lib" / SONAME


def _load():
    for path in _candidates():
        if path.is_file():
            return ffi.dlopen(str(path)), str(path)
    if os.environ.get("ZEL_LIBRARY"):
        raise ImportError(f"ZEL_LIBRARY names {os.environ['ZEL_LIBRARY']}, which does not exist")
    try:  # an installed library on the loader's path
        return ffi.dlopen(SONAME), SONAME
    except OSError as e:
        raise ImportError(
            f"zel: cannot find {SONAME}: build the library, install it, or set ZEL_LIBRARY"
        ) from e


lib, library_path = _load()
libc = ffi.dlopen(None)


# Every status code by name (ZEL_OK, ZEL_ECAPTURE, ...), as the header numbers them.
codes = {name: value for name, value in ffi.typeof("enum zel_errno").relements.items()
         if name != "ZEL_ERRNO_COUNT"}


class ZelError(Exception):
    """A failure reported by the library: `.code` is its status, `.name` the status's name
    (ZEL_ERECV), the message its text."""

    def __init__(self, code, context=None):
        self.code = int(code)
        self.name = ffi.string(lib.zelarray_err_name(self.code)).decode("ascii")
        self.text = ffi.string(lib.zelarray_strerror(self.code)).decode("utf-8", "replace")
        message = f"{context}: {self.text}" if context else self.text
        super().__init__(message)


class _Status(threading.local):
    def __init__(self):
        self.err = ffi.new("zelerror *")


_status = _Status()


def status():
    """A status cell of the calling thread, cleared."""
    err = _status.err
    err[0] = 0
    return err


def check(err, context):
    """Raises ZelError when the status cell `err` holds a failure."""
    if err[0] != lib.ZEL_OK:
        raise ZelError(err[0], context)


def call(name, *args):
    """The library call `name` with `args` and this thread's status as its last argument: its
    result, or ZelError naming the call when the status is a failure."""
    err = status()
    result = getattr(lib, name)(*args, err)
    check(err, name)
    return result
