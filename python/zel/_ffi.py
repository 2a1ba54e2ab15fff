"""The shared library through cffi in ABI mode: declarations, loading, status codes."""
import os
import pathlib
import threading

import cffi

ffi = cffi.FFI()
ffi.cdef("""
typedef int zelerror;
typedef int zelbool;
typedef struct zelarray zelarray_t;
typedef struct { int64_t opaque[6]; } zel_cond_t;
typedef struct zelcursor {
  int rpos;
  int frames;
  int datasize;
  int slot;
  zel_cond_t cond;
  uint64_t last_ts;
  zelbool overflow;
  uint64_t rtotal;
} zelcursor_t;

const char *zelarray_strerror(int code);
const char *zelarray_err_name(int code);

zelarray_t *zelarray_create(int megabytes, int req_frames, zelerror *err);
void zelarray_delete(zelarray_t *handle, zelerror *err);
void zelarray_wait_nfnbr(zelarray_t *handle, int nfnbr, zelerror *err);
void zelarray_fix_drop_X_first_frames(zelarray_t *handle, int frames, zelerror *err);
void zelarray_fix_one_sample_delay(zelarray_t *handle, zelbool fix, zelerror *err);
void zelarray_normalize(zelarray_t *handle, void *means, void *gains, zelerror *err);

void zelarray_comminit(zelarray_t *handle, const char *address, zelerror *err);
int zelarray_ask_speed(zelarray_t *handle, zelerror *err);
void zelarray_set_speed(zelarray_t *handle, int speed, zelerror *err);
zelbool zelarray_ask_slave(zelarray_t *handle, zelerror *err);
void zelarray_set_slave(zelarray_t *handle, zelbool slave, zelerror *err);
int zelarray_ask_id(zelarray_t *handle, zelerror *err);
void zelarray_ask_promnb(zelarray_t *handle, char *buffer, zelerror *err);
void zelarray_initparams(zelarray_t *handle, zelerror *err);

void zelarray_capture_on(zelarray_t *handle, zelerror *err);
void zelarray_capture_off(zelarray_t *handle, zelerror *err);
zelbool zelarray_check_capture_ok(zelarray_t *handle, zelerror *err);
int zelarray_check_lostdataframes(zelarray_t *handle, zelerror *err);
int zelarray_check_kernel_drops(zelarray_t *handle, zelerror *err);
void zelarray_set_realtime(zelarray_t *handle, zelbool realtime, zelerror *err);
zelbool zelarray_check_realtime(zelarray_t *handle, zelerror *err);
int zelarray_get_socket_buffer(zelarray_t *handle, int *milliseconds, zelerror *err);

zelcursor_t *zelcursor_create(zelarray_t *handle, int frames, zelerror *err);
void zelcursor_delete(zelarray_t *handle, zelcursor_t *cursor, zelerror *err);
int zelcursor_get_datasize(zelarray_t *handle, zelcursor_t *cursor, zelerror *err);
zelbool zelcursor_check_overflow(zelarray_t *handle, zelcursor_t *cursor, zelerror *err);
zelcursor_t *zelarray_get_default_cursor(zelarray_t *handle, zelerror *err);
uint64_t zelcursor_get_skipped_frames(zelarray_t *handle, zelcursor_t *cursor, zelerror *err);
zelbool zelcursor_get_ptr(zelarray_t *handle, zelcursor_t *cursor, void **data, int32_t *ts,
                          int *nfnbr, zelerror *err, zelbool blocking, zelbool advance);

void zelarray_decode_samples(const void *frames, int count, int32_t *dest, zelerror *err);
void zelarray_decode_samples_float(const void *frames, int count, float *dest, zelerror *err);

/* Calls that a newer library has; reached only after a look-up. */
void zelarray_set_silence_limit(zelarray_t *handle, int milliseconds, zelerror *err);
int zelarray_check_discontinuities(zelarray_t *handle, zelerror *err);
int zelarray_check_outages(zelarray_t *handle, zelerror *err);

/* The C library: calibration data reaches zelarray_normalize as memory streams. */
void *fmemopen(void *buf, size_t size, const char *mode);
int fclose(void *stream);
""")

ZEL_TRUE, ZEL_FALSE, ZEL_UNSET = 99, 101, 440
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


def has(name):
    """True when the loaded library defines the call `name`."""
    try:
        getattr(lib, name)
        return True
    except (AttributeError, NotImplementedError):
        return False


def _status_codes():
    """Every status code's name (ZEL_OK, ZEL_ECAPTURE, ...) and value, as the library has them."""
    codes = {}
    for code in range(0, 1000):
        name = ffi.string(lib.zelarray_err_name(code)).decode("ascii")
        if not name.startswith("ZEL_"):
            break
        codes[name] = code
    return codes


codes = _status_codes()
globals().update(codes)


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
    if err[0] != 0:
        raise ZelError(err[0], context)
