"""The array, its captures and their readers."""
import ipaddress
import operator
import threading
import time

import numpy as np

from ._ffi import (
    CHANNELS,
    FRAME_BYTES,
    ZEL_ECAPTURE,
    ZEL_ENULL,
    ZEL_EORDER,
    ZEL_FALSE,
    ZEL_TRUE,
    ZEL_UNSET,
    ZelError,
    check,
    ffi,
    has,
    lib,
    libc,
    status,
)
from ._files import decode_into, read_calibration

DTYPES = {"int32": np.int32, "float32": np.float32}
RATES = (22050, 44100)
# Readers poll without blocking in the library: a blocked call would not return if the array
# went silent, and Ctrl-C is only seen between calls.
_POLL_MIN, _POLL_MAX = 0.0005, 0.01


def _int_arg(name, value, low, high):
    try:
        value = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an int, not {type(value).__name__}") from None
    if not low <= value <= high:
        raise ValueError(f"{name} must be from {low} to {high}, not {value}")
    return value


def _dtype_arg(dtype):
    name = np.dtype(dtype).name if not isinstance(dtype, str) else dtype
    if name not in DTYPES:
        raise ValueError(f"dtype must be 'int32' or 'float32', not {dtype!r}")
    return name


class Block:
    """One buffer of a capture: `.data` (frames, 64), `.time` (seconds since the epoch, of its
    first datagram), `.nfnbr` (that datagram's number), `.overflowed` (data before it was
    overwritten unread)."""

    __slots__ = ("data", "time", "nfnbr", "overflowed")

    def __init__(self, data, time_, nfnbr, overflowed):
        self.data, self.time, self.nfnbr, self.overflowed = data, time_, nfnbr, overflowed

    def __repr__(self):
        return (f"Block({self.data.shape[0]} frames, {self.data.dtype}, time={self.time:.6f}, "
                f"nfnbr={self.nfnbr}, overflowed={self.overflowed})")


class Reader:
    """A cursor over a running capture, read by one thread: iterate over its blocks, or
    `read()` them as (data, overflowed)."""

    def __init__(self, stream, frames):
        self._stream = stream
        self._array = stream._array
        self.frames = frames
        self.dtype = stream.dtype
        self._closed = False
        self._overflows = 0
        self._data = ffi.new("void **")
        self._ts = ffi.new("int32_t[2]")
        self._nfnbr = ffi.new("int *")
        err = status()
        with self._array._lock:
            self._cursor = lib.zelcursor_create(self._array._handle, frames, err)
        check(err, "zelcursor_create")
        # The record's fields after its condition variable are read only if they sit where this
        # declaration puts them: a fresh cursor is at 0 and not overflowed.
        self._passed = 0
        self._exact = (self._cursor.frames == frames and self._cursor.rtotal == 0
                       and self._cursor.overflow == ZEL_FALSE)
        period = frames / max(stream.rate, 1)
        self._poll = min(max(period / 8, _POLL_MIN), _POLL_MAX)

    # -- reading ----------------------------------------------------------------------------
    def _next_block(self):
        """The next block, or None once the capture has stopped."""
        if self._stream is self and not hasattr(self, "_cursor"):
            raise ZelError(ZEL_EORDER, "the capture was not started (use it in a with statement)")
        while True:
            with self._array._lock:
                if self._closed or not self._stream.active:
                    return None
                block = self._try_read()
            if block is not None:
                return block
            time.sleep(self._poll)

    def _try_read(self):
        handle = self._array._handle
        err = status()
        got = lib.zelcursor_get_ptr(handle, self._cursor, self._data, self._ts, self._nfnbr, err,
                                    ZEL_FALSE, ZEL_TRUE)
        if got == ZEL_UNSET:
            raise ZelError(err[0], "zelcursor_get_ptr")
        if got != ZEL_TRUE:
            ok_err = status()
            if lib.zelarray_check_capture_ok(handle, ok_err) != ZEL_TRUE and ok_err[0] == ZEL_ECAPTURE:
                raise ZelError(ok_err[0], "the capture ended")
            return None
        data = np.empty((self.frames, CHANNELS), DTYPES[self.dtype])
        decode_into(self._data[0], self.frames, data)
        overflowed = self._check_overflow()
        return Block(data, self._ts[0] + self._ts[1] * 1e-9, self._nfnbr[0], overflowed)

    def _check_overflow(self):
        """True when this read skipped data that the writer overwrote first."""
        if self._exact:
            now = self._cursor.rtotal
            skipped = now - self._passed - self.frames
            self._passed = now
            if skipped > 0:
                self._overflows += 1
                return True
            return False
        if self._overflows == 0 and self.overflowed:
            self._overflows = 1
            return True
        return False

    def __iter__(self):
        return self

    def __next__(self):
        block = self._next_block()
        if block is None:
            raise StopIteration
        return block

    def read(self, frames=None):
        """(data, overflowed): the next `frames` frames (a multiple of the block size; one block
        by default), waiting for them; overflowed when data before them was lost unread.
        After the capture stopped: ZelError 9."""
        count = 1 if frames is None else _int_arg("frames", frames, 1, 1 << 30)
        if frames is not None:
            if count % self.frames:
                raise ValueError(f"frames must be a multiple of the block size {self.frames}")
            count //= self.frames
        blocks = []
        for _ in range(count):
            block = self._next_block()
            if block is None:
                raise ZelError(ZEL_EORDER, "read: the capture has stopped")
            blocks.append(block)
        data = blocks[0].data if count == 1 else np.concatenate([b.data for b in blocks])
        return data, any(b.overflowed for b in blocks)

    # -- health -----------------------------------------------------------------------------
    @property
    def overflowed(self):
        """True once data was overwritten before this reader read it."""
        if self._exact:
            return self._overflows > 0
        with self._array._lock:
            if self._closed:
                return self._overflows > 0
            return lib.zelcursor_check_overflow(self._array._handle, self._cursor,
                                                status()) == ZEL_TRUE

    @property
    def overflows(self):
        """Reads that found data overwritten before them."""
        return self._overflows

    def _release(self):
        """Deletes the cursor (the capture is stopped and the array lock held)."""
        if not self._closed:
            self._closed = True
            lib.zelcursor_delete(self._array._handle, self._cursor, status())


class Stream(Reader):
    """A capture: a context manager (capture on and off) and the reader of its blocks."""

    def __init__(self, array, blocksize, dtype, calibration, wait_frame, drop, fix_delay,
                 silence_limit, realtime=True):
        self._array = array
        self._stream = self
        self.blocksize = blocksize
        self.dtype = dtype
        self.rate = array.rate
        self.active = False
        self._readers = []
        self._settings = (calibration, wait_frame, drop, fix_delay, silence_limit, realtime)
        self._closed = False
        self._realtime = False

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def start(self):
        array = self._array
        if self.active or hasattr(self, "_cursor"):
            raise ZelError(ZEL_EORDER, "a stream starts once")
        calibration, wait_frame, drop, fix_delay, silence_limit, realtime = self._settings
        array._prepare(self.blocksize, calibration is None and array._calibrated
                       or wait_frame is None and array._wait_set)
        array._apply(calibration, wait_frame, drop, fix_delay, silence_limit)
        lib.zelarray_set_realtime(array._handle, ZEL_TRUE if realtime else ZEL_FALSE, status())
        Reader.__init__(self, self, self.blocksize)
        self._readers.append(self)
        err = status()
        lib.zelarray_capture_on(array._handle, err)
        if err[0] != 0:
            self._release_all()
            raise ZelError(err[0], "zelarray_capture_on")
        array._capturing = True
        array._stream = self
        self.active = True
        self._realtime = lib.zelarray_check_realtime(array._handle, status()) == ZEL_TRUE

    def stop(self):
        """Switches the capture off; every reader's iteration ends. Safe to call twice."""
        array = self._array
        with array._lock:
            if not self.active:
                return
            self.active = False
            err = status()
            lib.zelarray_capture_off(array._handle, err)
            array._capturing = False
            # The library keeps the last capture's counts only until the next one starts.
            self._counts = {call: getattr(lib, call)(array._handle, status())
                            for call in _COUNTS if has(call)}
            self._release_all()
            array._stream = None
        check(err, "zelarray_capture_off")

    def _release_all(self):
        for reader in self._readers:
            reader._release()
        self._readers = []

    def reader(self, frames=None):
        """Another reader of this capture, for another thread, with its own blocks of `frames`
        (a divisor of the array's buffer size; the stream's block size by default)."""
        frames = self.blocksize if frames is None else _int_arg("frames", frames, 1, 1 << 30)
        if self._array._req_frames % frames:
            raise ValueError(
                f"a reader's frames must divide the capture's buffer of {self._array._req_frames}")
        if not self.active:
            raise ZelError(ZEL_EORDER, "reader: the capture is not running")
        reader = Reader(self, frames)
        self._readers.append(reader)
        return reader

    @property
    def realtime(self):
        """True when the capture thread runs at real-time priority (see Array.capture)."""
        return self._realtime

    @property
    def lost_frames(self):
        """Sample frames lost in this capture, delivered as silence: host_dropped_frames plus
        network_lost_frames."""
        return self._count("zelarray_check_lostdataframes")

    @property
    def host_dropped_frames(self):
        """Lost frames that this host's kernel dropped (its socket buffer was full: the capture
        thread was held off the CPU)."""
        lost, drops = self.lost_frames, self.kernel_drops
        return min(drops * 5, lost)

    @property
    def network_lost_frames(self):
        """Lost frames that never reached this host: missing from the network."""
        lost, drops = self.lost_frames, self.kernel_drops
        return lost - min(drops * 5, lost)

    @property
    def kernel_drops(self):
        """Datagrams this host's kernel dropped (read too slowly) in this capture."""
        return self._count("zelarray_check_kernel_drops")

    @property
    def ok(self):
        """True while the capture runs without failure."""
        with self._array._lock:
            if not self.active:
                return False
            return lib.zelarray_check_capture_ok(self._array._handle, status()) == ZEL_TRUE

    def _read_count(self, call):
        err = status()
        value = getattr(lib, call)(self._array._handle, err)
        check(err, call)
        return value

    def _count(self, call):
        if not has(call):
            raise NotImplementedError(f"this libzel has no {call}")
        with self._array._lock:
            if not self.active and hasattr(self, "_counts"):
                return self._counts[call]
            return self._read_count(call)

    @property
    def discontinuities(self):
        """Restarts of the array's numbering in this capture."""
        return self._count("zelarray_check_discontinuities")

    @property
    def outages(self):
        """Silences of 100 ms or more ridden through (see silence_limit) in this capture."""
        return self._count("zelarray_check_outages")


_COUNTS = ("zelarray_check_lostdataframes", "zelarray_check_kernel_drops",
           "zelarray_check_discontinuities", "zelarray_check_outages")


class Array:
    """The microphone array at `address`, with a ring of `ring_mb` MB: a context manager that
    connects on creation and frees everything on exit."""

    def __init__(self, address="127.0.0.2", ring_mb=64):
        if not isinstance(address, str):
            raise TypeError(f"address must be a str, not {type(address).__name__}")
        try:
            ipaddress.IPv4Address(address)
        except ValueError:
            raise ValueError(f"address must be a dotted IPv4 address, not {address!r}") from None
        self.address = address
        self.ring_mb = _int_arg("ring_mb", ring_mb, 16, 2047)
        self._lock = threading.RLock()
        self._handle = None
        self._capturing = False
        self._stream = None
        self._open(4410)

    # -- life -------------------------------------------------------------------------------
    def _open(self, req_frames):
        err = status()
        handle = lib.zelarray_create(self.ring_mb, req_frames, err)
        check(err, "zelarray_create")
        lib.zelarray_comminit(handle, self.address.encode(), err)
        if err[0] != 0:
            code = err[0]
            lib.zelarray_delete(handle, status())
            raise ZelError(code, f"zelarray_comminit {self.address}")
        self._handle = handle
        self._req_frames = req_frames
        self._params_ready = False
        self._calibrated = False
        self._wait_set = False

    def close(self):
        """Stops a running capture and frees the handle."""
        with self._lock:
            if self._handle is None:
                return
            if self._stream is not None:
                self._stream.stop()
            err = status()
            lib.zelarray_delete(self._handle, err)
            self._handle = None
        check(err, "zelarray_delete")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass

    def _live(self):
        if self._handle is None:
            raise ZelError(ZEL_ENULL, "the array is closed")
        return self._handle

    # -- identity and parameters ------------------------------------------------------------
    @property
    def id(self):
        err = status()
        value = lib.zelarray_ask_id(self._live(), err)
        check(err, "zelarray_ask_id")
        return value

    @property
    def prom(self):
        buffer = ffi.new("char[9]")
        err = status()
        lib.zelarray_ask_promnb(self._live(), buffer, err)
        check(err, "zelarray_ask_promnb")
        return ffi.string(buffer).decode("ascii", "replace")

    @property
    def rate(self):
        err = status()
        value = lib.zelarray_ask_speed(self._live(), err)
        check(err, "zelarray_ask_speed")
        return value

    @property
    def slave(self):
        err = status()
        value = lib.zelarray_ask_slave(self._live(), err)
        check(err, "zelarray_ask_slave")
        return value == ZEL_TRUE

    def configure(self, rate=None, slave=None):
        """Sets the rate (22050 or 44100) and clock-slave mode; what is not given stays."""
        if rate is not None:
            rate = _int_arg("rate", rate, 0, 1 << 20)
            if rate not in RATES:
                raise ValueError(f"rate must be 22050 or 44100, not {rate}")
        if slave is not None and not isinstance(slave, (bool, np.bool_)):
            raise TypeError(f"slave must be a bool, not {type(slave).__name__}")
        handle = self._live()
        if self._capturing:
            raise ZelError(ZEL_EORDER, "configure: a capture is running")
        err = status()
        if rate is not None:
            lib.zelarray_set_speed(handle, rate, err)
            check(err, "zelarray_set_speed")
        if slave is not None:
            lib.zelarray_set_slave(handle, ZEL_TRUE if slave else ZEL_FALSE, err)
            check(err, "zelarray_set_slave")
        self._initparams()

    def _initparams(self):
        if self._params_ready:
            return
        err = status()
        # Asking first makes both known from the array, as initparams needs.
        lib.zelarray_ask_speed(self._handle, err)
        check(err, "zelarray_ask_speed")
        lib.zelarray_ask_slave(self._handle, err)
        check(err, "zelarray_ask_slave")
        lib.zelarray_initparams(self._handle, err)
        check(err, "zelarray_initparams")
        self._params_ready = True

    # -- capture ----------------------------------------------------------------------------
    def capture(self, blocksize=4410, dtype="float32", calibration=None, wait_frame=None, drop=0,
                fix_delay=False, silence_limit=None, realtime=True):
        """A capture of blocks of `blocksize` frames as `dtype` ("float32": full scale [-1, 1);
        "int32": the 24-bit values), optionally calibrated with (mean_path, gain_path). Its
        thread runs at real-time priority where this host allows it, unless realtime=False;
        the stream's `realtime` tells which it got."""
        blocksize = _int_arg("blocksize", blocksize, 1, 1 << 24)
        dtype = _dtype_arg(dtype)
        if calibration is not None:
            if not isinstance(calibration, (tuple, list)) or len(calibration) != 2:
                raise TypeError("calibration must be None or (mean_path, gain_path)")
            calibration = read_calibration(*calibration)
        if wait_frame is not None:
            wait_frame = _int_arg("wait_frame", wait_frame, 0, 65535)
        drop = _int_arg("drop", drop, 0, 1 << 30)
        if not isinstance(fix_delay, (bool, np.bool_)):
            raise TypeError(f"fix_delay must be a bool, not {type(fix_delay).__name__}")
        if not isinstance(realtime, (bool, np.bool_)):
            raise TypeError(f"realtime must be a bool, not {type(realtime).__name__}")
        if silence_limit is not None:
            if isinstance(silence_limit, bool) or not isinstance(silence_limit, (int, float)):
                raise TypeError("silence_limit must be a number of seconds")
            if not 0.1 <= silence_limit <= 3600:
                raise ValueError(f"silence_limit must be from 0.1 to 3600 s, not {silence_limit}")
            if not has("zelarray_set_silence_limit"):
                raise NotImplementedError("this libzel has no silence limit")
        self._live()
        if self._capturing:
            raise ZelError(ZEL_EORDER, "capture: a capture is already running")
        return Stream(self, blocksize, dtype, calibration, wait_frame, drop, bool(fix_delay),
                      silence_limit, bool(realtime))

    def _prepare(self, blocksize, fresh):
        """A handle whose buffer size `blocksize` divides, with its parameters confirmed; a new
        one when `fresh` (a start frame and a calibration stay set on a handle)."""
        if self._req_frames % blocksize or fresh:
            # The default buffer size is fixed when a handle is made: a new one is needed. The
            # array keeps its rate and clock mode.
            req_frames = self._req_frames if self._req_frames % blocksize == 0 else blocksize
            self.close()
            self._open(req_frames)
        self._initparams()

    def _apply(self, calibration, wait_frame, drop, fix_delay, silence_limit):
        handle = self._handle
        err = status()
        if wait_frame is not None:
            lib.zelarray_wait_nfnbr(handle, wait_frame, err)
            check(err, "zelarray_wait_nfnbr")
            self._wait_set = True
        lib.zelarray_fix_drop_X_first_frames(handle, drop, err)
        check(err, "zelarray_fix_drop_X_first_frames")
        lib.zelarray_fix_one_sample_delay(handle, ZEL_TRUE if fix_delay else ZEL_FALSE, err)
        check(err, "zelarray_fix_one_sample_delay")
        if calibration is not None:
            _normalize(handle, *calibration)
            self._calibrated = True
        if has("zelarray_set_silence_limit"):
            # The limit stays on the handle: a capture without one goes back to the default.
            milliseconds = 100 if silence_limit is None else int(round(silence_limit * 1000))
            lib.zelarray_set_silence_limit(handle, milliseconds, err)
            check(err, "zelarray_set_silence_limit")


def _normalize(handle, means, gains):
    """Hands 64 means and 64 gains to the library through memory streams."""
    streams = []
    try:
        for values in (np.ascontiguousarray(means, np.int32),
                       np.ascontiguousarray(gains, np.float64)):
            buffer = ffi.from_buffer(values)
            stream = libc.fmemopen(buffer, values.nbytes, b"rb")
            if stream == ffi.NULL:
                raise ZelError(5, "fmemopen")
            streams.append((stream, buffer))
        err = status()
        lib.zelarray_normalize(handle, streams[0][0], streams[1][0], err)
        check(err, "zelarray_normalize")
    finally:
        for stream, _ in streams:
            libc.fclose(stream)


def rec(seconds, address="127.0.0.2", rate=None, dtype="float32", calibration=None):
    """Records `seconds` of the array into one ndarray of shape (frames, 64)."""
    if isinstance(seconds, bool) or not isinstance(seconds, (int, float)):
        raise TypeError("seconds must be a number")
    if not 0 < seconds <= 86400:
        raise ValueError(f"seconds must be above 0 and at most a day, not {seconds}")
    dtype = _dtype_arg(dtype)
    with Array(address) as array:
        if rate is not None:
            array.configure(rate=rate)
        total = max(1, int(round(seconds * array.rate)))
        out = np.empty((total, CHANNELS), DTYPES[dtype])
        done = 0
        with array.capture(blocksize=2205, dtype=dtype, calibration=calibration) as stream:
            for block in stream:
                n = min(len(block.data), total - done)
                out[done:done + n] = block.data[:n]
                done += n
                if done == total:
                    break
        if done < total:
            raise ZelError(1, f"rec: the capture ended after {done} of {total} frames")
    return out
