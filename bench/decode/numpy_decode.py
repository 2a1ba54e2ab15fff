"""Times the numpy expressions a user writes to decode raw sample frames.

numpy_decode.py BYTES ROUNDS: prints one line per expression, "name seconds" (best of ROUNDS),
on random frames of BYTES bytes (a multiple of 192).
"""
import sys
import time

import numpy as np


def shifts(raw):
    """Three byte planes shifted together, then the sign fixed."""
    b = np.frombuffer(raw, np.uint8).reshape(-1, 64, 3).astype(np.int32)
    v = (b[..., 0] << 16) | (b[..., 1] << 8) | b[..., 2]
    v[v >= 1 << 23] -= 1 << 24
    return v


def padded_view(raw):
    """Each sample widened to four bytes, read as big-endian int32 and shifted back."""
    b = np.frombuffer(raw, np.uint8).reshape(-1, 3)
    w = np.zeros((b.shape[0], 4), np.uint8)
    w[:, :3] = b
    return (w.view(">i4").reshape(-1, 64) >> 8).astype(np.int32)


def best(fn, raw, rounds):
    times = []
    for _ in range(rounds):
        t = time.perf_counter()
        fn(raw)
        times.append(time.perf_counter() - t)
    return min(times)


def main():
    size, rounds = int(sys.argv[1]), int(sys.argv[2])
    raw = np.random.default_rng(1).integers(0, 256, size, np.uint8).tobytes()
    assert (shifts(raw) == padded_view(raw)).all()
    for name, fn in (("shifts", shifts), ("padded_view", padded_view)):
        print(name, "int32", best(fn, raw, rounds))
        print(name, "float32",
              best(lambda r: fn(r).astype(np.float32) / np.float32(1 << 23), raw, rounds))


if __name__ == "__main__":
    main()
