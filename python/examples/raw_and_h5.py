"""Reads what zelrecord wrote: a raw capture and an HDF5 file (the latter as acoular opens it,
acoular.TimeSamples(name="take.h5")).

    zelrecord -d 2 take.raw && zelrecord -d 2 take.h5 && python3 raw_and_h5.py
"""
import h5py

import zel

raw = zel.read_raw("take.raw", dtype="float32")  # (frames, 64), memory-mapped and decoded
print("take.raw:", raw.shape, raw.dtype)
with h5py.File("take.h5", "r") as f:
    data = f["time_data"]
    print("take.h5:", data.shape, data.dtype, dict(data.attrs))
