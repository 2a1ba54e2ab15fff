"""zel.beam on the reference recording: the maps, live blocks, arrays and refusals."""
import pathlib

import numpy as np
import pytest

import zel.beam as beam

DATA = pathlib.Path(__file__).resolve().parents[1] / "data" / "beam-reference"
GRID = (-0.2, 0.2, -0.2, 0.2, -0.3, 0.01)


@pytest.fixture(scope="module")
def signal():
    raw = np.fromfile(DATA / "two_sources.raw", dtype=np.uint8).reshape(-1, 64, 3).astype(np.int32)
    ints = (raw[..., 0] << 16) | (raw[..., 1] << 8) | raw[..., 2]
    return (np.where(ints >= 1 << 23, ints - (1 << 24), ints) / 2.0**23).astype(np.float32)


@pytest.fixture(scope="module")
def reference():
    return np.load(DATA / "maps.npz")


CASES = [
    ("b1024_o50_truelevel_rdiag1_third_2000", {}, 2000, "third"),
    ("b1024_o50_truelevel_rdiag1_third_8000", {}, 8000, "third"),
    ("b1024_o50_truelevel_rdiag1_octave_4000", {}, 4000, "octave"),
    ("b1024_o50_truelevel_rdiag1_bin_4000", {}, 4000, "bin"),
    ("b1024_o50_classic_rdiag0_third_4000", {"steer": "classic", "diagonal_removal": False},
     4000, "third"),
    ("b1024_o50_inverse_rdiag1_third_4000", {"steer": "inverse"}, 4000, "third"),
    ("b1024_o50_truelocation_rdiag1_third_4000", {"steer": "true location"}, 4000, "third"),
    ("b256_o0_truelevel_rdiag1_third_8000", {"block": 256, "overlap": 0}, 8000, "third"),
]


def assert_close(levels, want):
    assert levels.shape == want.shape == (41, 41)
    assert np.unravel_index(levels.argmax(), levels.shape) == np.unravel_index(
        want.argmax(), want.shape)
    near = want >= want.max() - 20
    assert np.abs(levels - want)[near].max() < 0.1


@pytest.mark.parametrize("name,options,freq,band", CASES, ids=[c[0] for c in CASES])
def test_reference_maps(signal, reference, name, options, freq, band):
    beamformer = beam.Beamformer(beam.read_geometry(DATA / "array_64.xml"), beam.RectGrid(*GRID),
                                 **options)
    assert_close(beamformer.map(signal, freq, band), reference[name])
    x, y, z, level = reference["peak__" + name]
    assert beamformer.peak[:3] == pytest.approx((x, y, z), abs=1e-9)
    assert beamformer.peak.level_db == pytest.approx(level, abs=0.1)


def test_geometry_from_arrays_and_live_blocks(signal, reference):
    xml = beam.read_geometry(DATA / "array_64.xml")
    geometry = beam.Geometry(xml.positions)
    grid = beam.RectGrid(*GRID)
    assert np.allclose(grid.x, reference["x"]) and np.allclose(grid.y, reference["y"])
    beamformer = beam.Beamformer(geometry, grid)
    want = reference["b1024_o50_truelevel_rdiag1_third_4000"]
    assert_close(beamformer.map(signal, 4000), want)
    # Pushed in ragged pieces, every block of the 0.19 s signal is in the 0.25 s window.
    for start in range(0, len(signal), 1000):
        beamformer.push(signal[start:start + 1000])
    assert beamformer.live_blocks == 15
    assert_close(beamformer.live_map(4000, band="third"), want)
    assert beamformer.bins(4000) == (83, 104)


def test_refusals(signal):
    geometry = beam.read_geometry(DATA / "array_64.xml")
    grid = beam.RectGrid(*GRID)
    beamformer = beam.Beamformer(geometry, grid)
    with pytest.raises(beam.BeamError) as e:
        beamformer.live_map(4000)
    assert e.value.name == "ENODATA"
    for call, name in [
        (lambda: beamformer.map(signal, 30000), "EFREQ"),
        (lambda: beamformer.map(signal[:500], 4000), "ESHORT"),
        (lambda: beam.RectGrid(0.2, -0.2, -0.2, 0.2, -0.3, 0.01), "EGRID"),
        (lambda: beam.RectGrid(-0.2, 0.2, -0.2, 0.2, -0.3, 0), "EINCREMENT"),
        (lambda: beam.Beamformer(geometry, grid, block=1000), "EBLOCK"),
        (lambda: beam.Geometry([[0, 0, 0], [0, 0, 0], [1, 0, 0]]), "EDUPLICATE"),
        (lambda: beam.Geometry([[0, 0, np.nan], [1, 0, 0]]), "EPOSITION"),
        (lambda: beam.read_geometry(DATA / "two_sources.raw"), "EXML"),
    ]:
        with pytest.raises(beam.BeamError) as e:
            call()
        assert e.value.name == name
    for call in [lambda: beamformer.map(signal[:, :63], 4000),
                 lambda: beam.Beamformer(geometry, grid, steer="loudest"),
                 lambda: beam.Beamformer(geometry, grid, overlap=0.3),
                 lambda: beamformer.map(signal, 4000, band="fifth")]:
        with pytest.raises(ValueError):
            call()
