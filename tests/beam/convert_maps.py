#!/usr/bin/python3
"""Writes each map of maps.npz as raw little-endian float64 (41 x 41, x slowest) into maps/,
one file per case, so that the C++ tests read them without a zip reader. Run once; the output
is committed beside the archive."""
import pathlib

import numpy as np

here = pathlib.Path(__file__).resolve().parent.parent / "data" / "beam-reference"
archive = np.load(here / "maps.npz")
out = here / "maps"
out.mkdir(exist_ok=True)
for key in archive.files:
    if key in ("x", "y", "z") or key.startswith(("peak__", "bins__")):
        continue
    archive[key].astype("<f8").tofile(out / f"{key}.f64")
