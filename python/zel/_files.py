"""Raw captures and calibration files."""
import os

import numpy as np

from ._ffi import CHANNELS, FRAME_BYTES, ZelError, check, ffi, lib, status

_CHUNK = 1 << 16  # sample frames per library call: bounded by int, and cache friendly


def decode_into(source, frames, out):
    """Decodes `frames` sample frames at `source` (a cffi pointer or buffer) into `out`, a
    C-contiguous (frames, 64) int32 or float32 array."""
    if frames == 0:
        return
    err = status()
    call = lib.zelarray_decode_samples if out.dtype == np.int32 else (
        lib.zelarray_decode_samples_float)
    kind = "int32_t *" if out.dtype == np.int32 else "float *"
    dest = ffi.cast(kind, ffi.from_buffer(out))
    src = ffi.cast("unsigned char *", source)
    for first in range(0, frames, _CHUNK):
        n = min(_CHUNK, frames - first)
        call(src + first * FRAME_BYTES, n, dest + first * CHANNELS, err)
        check(err, "zelarray_decode_samples")


def _path_arg(name, path):
    if not isinstance(path, (str, bytes, os.PathLike)):
        raise TypeError(f"{name} must be a path, not {type(path).__name__}")
    return os.fspath(path)


def read_raw(path, dtype="int32"):
    """A raw capture (192-byte sample frames) as an ndarray of shape (frames, 64): the file is
    memory-mapped and decoded by the library ("int32": the 24-bit values; "float32": full
    scale [-1, 1))."""
    path = _path_arg("path", path)
    if dtype not in ("int32", "float32") and np.dtype(dtype).name not in ("int32", "float32"):
        raise ValueError(f"dtype must be 'int32' or 'float32', not {dtype!r}")
    dtype = np.dtype(dtype)
    size = os.stat(path).st_size
    if size % FRAME_BYTES:
        raise ValueError(f"{path}: {size} bytes is not a whole number of 192-byte sample frames")
    frames = size // FRAME_BYTES
    out = np.empty((frames, CHANNELS), dtype)
    if frames:
        raw = np.memmap(path, np.uint8, "r", shape=(size,))
        try:
            decode_into(ffi.from_buffer(raw), frames, out)
        finally:
            del raw
    return out


def read_calibration(mean_path, gain_path):
    """The two files of zelnormalize: (means, gains), 64 int32 and 64 float64 values."""
    mean_path = _path_arg("mean_path", mean_path)
    gain_path = _path_arg("gain_path", gain_path)
    means = np.fromfile(mean_path, np.int32, CHANNELS)
    gains = np.fromfile(gain_path, np.float64, CHANNELS)
    if len(means) < CHANNELS or len(gains) < CHANNELS:
        short = mean_path if len(means) < CHANNELS else gain_path
        raise ZelError(lib.ZEL_ENORMFILES, f"{short}: shorter than 64 values")
    return means, gains
