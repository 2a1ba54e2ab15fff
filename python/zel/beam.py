"""Beamforming maps: where the sound in a band comes from.

    import zel, zel.beam
    geometry = zel.beam.read_geometry("array_64.xml")
    grid = zel.beam.RectGrid(-0.2, 0.2, -0.2, 0.2, -0.3, 0.01)
    beamformer = zel.beam.Beamformer(geometry, grid)
    levels = beamformer.map(zel.rec(1.0), 4000)     # (nx, ny) dB, levels[i, j] at x[i], y[j]
    print(beamformer.peak)                          # Peak(x=..., y=..., z=..., level_db=...)

For live maps, push blocks as they arrive and ask for the map of the last `window` seconds:

    beamformer.push(block.data)
    levels = beamformer.live_map(4000, band="third")
"""
import collections
import os
import pathlib

import cffi
import numpy as np

ffi = cffi.FFI()
ffi.cdef("""
typedef int zelbeam_error;
typedef struct zelbeam_geometry zelbeam_geometry_t;
typedef struct zelbeam zelbeam_t;
typedef struct zelbeam_grid {
  double x_min, x_max, y_min, y_max, z, increment;
} zelbeam_grid_t;
typedef struct zelbeam_settings {
  double rate;
  int block;
  int overlap;
  int steer;
  int diagonal_removal;
  double speed_of_sound;
  double window;
  double max_window;
} zelbeam_settings_t;
typedef struct zelbeam_peak {
  int i, j;
  double x, y, z;
  double level_db;
} zelbeam_peak_t;

const char *zelbeam_strerror(int code);
const char *zelbeam_err_name(int code);

zelbeam_geometry_t *zelbeam_geometry_read(const char *path, zelbeam_error *err);
zelbeam_geometry_t *zelbeam_geometry_from_arrays(const double *x, const double *y,
                                                 const double *z, int count, zelbeam_error *err);
void zelbeam_geometry_free(zelbeam_geometry_t *geometry);
int zelbeam_geometry_count(const zelbeam_geometry_t *geometry, zelbeam_error *err);
int zelbeam_geometry_active(const zelbeam_geometry_t *geometry, zelbeam_error *err);
void zelbeam_geometry_position(const zelbeam_geometry_t *geometry, int channel, double *xyz,
                               zelbeam_error *err);
void zelbeam_geometry_leave_out(zelbeam_geometry_t *geometry, const int *channels, int count,
                                zelbeam_error *err);
int zelbeam_geometry_is_left_out(const zelbeam_geometry_t *geometry, int channel,
                                 zelbeam_error *err);

int zelbeam_grid_shape(const zelbeam_grid_t *grid, int *nx, int *ny, zelbeam_error *err);
void zelbeam_settings_default(zelbeam_settings_t *settings);

zelbeam_t *zelbeam_create(const zelbeam_geometry_t *geometry, const zelbeam_grid_t *grid,
                          const zelbeam_settings_t *settings, zelbeam_error *err);
void zelbeam_delete(zelbeam_t *beam);
int zelbeam_map_size(const zelbeam_t *beam, int *nx, int *ny, zelbeam_error *err);
void zelbeam_band_bins(const zelbeam_t *beam, double freq, int band, int *first, int *last,
                       zelbeam_error *err);
void zelbeam_map_signal(zelbeam_t *beam, const float *samples, size_t frames, int channels,
                        double freq, int band, double *map_db, zelbeam_peak_t *peak,
                        zelbeam_error *err);
void zelbeam_push(zelbeam_t *beam, const float *samples, size_t frames, int channels,
                  zelbeam_error *err);
void zelbeam_reset(zelbeam_t *beam, zelbeam_error *err);
void zelbeam_set_window(zelbeam_t *beam, double seconds, zelbeam_error *err);
void zelbeam_live_map(zelbeam_t *beam, double freq, int band, double *map_db,
                      zelbeam_peak_t *peak, zelbeam_error *err);
int zelbeam_live_blocks(const zelbeam_t *beam, zelbeam_error *err);
""")

SONAME = "libzelbeam.so.1"
_here = pathlib.Path(__file__).resolve().parent


def _candidates():
    """Where libzelbeam.so.1 may be, in the order it is looked for: named by ZELBEAM_LIBRARY,
    beside the package, beside the capture library, or in a source checkout's build folder."""
    explicit = os.environ.get("ZELBEAM_LIBRARY")
    if explicit:
        yield pathlib.Path(explicit)
        return
    yield _here / SONAME
    try:
        from . import _ffi

        capture = getattr(_ffi, "library_path", None)
        if capture and os.sep in capture:
            yield pathlib.Path(capture).parent / SONAME
    except ImportError:
        pass
    build = os.environ.get("ZEL_BUILD_DIR")
    for folder in ([pathlib.Path(build)] if build else []) + [_here.parent.parent / "build"]:
        yield folder / "beam" / SONAME


def _load():
    for path in _candidates():
        if path.is_file():
            return ffi.dlopen(str(path)), str(path)
    if os.environ.get("ZELBEAM_LIBRARY"):
        raise ImportError(f"ZELBEAM_LIBRARY names {os.environ['ZELBEAM_LIBRARY']}, "
                          "which does not exist")
    try:
        return ffi.dlopen(SONAME), SONAME
    except OSError as e:
        raise ImportError(f"zel.beam: cannot find {SONAME}: build the library, install it, "
                          "or set ZELBEAM_LIBRARY") from e


lib, library_path = _load()


class BeamError(ValueError):
    """A failure reported by the beamforming library: `.code` is its status, `.name` the
    status's name without prefix (EGRID), the message its text."""

    def __init__(self, code, context=None):
        self.code = int(code)
        self.name = ffi.string(lib.zelbeam_err_name(self.code)).decode("ascii")
        self.text = ffi.string(lib.zelbeam_strerror(self.code)).decode("utf-8", "replace")
        super().__init__(f"{context}: {self.text}" if context else self.text)


def _call(function, *args, context=None):
    err = ffi.new("zelbeam_error *")
    result = function(*args, err)
    if err[0] != 0:
        raise BeamError(err[0], context)
    return result


_STEER = {"classic": 0, "inverse": 1, "true level": 2, "true location": 3}
_BAND = {"bin": 0, "octave": 1, "third": 3}

Peak = collections.namedtuple("Peak", "x y z level_db i j")


def _steer_code(steer):
    key = str(steer).replace("-", " ").replace("_", " ").lower()
    if key not in _STEER:
        raise ValueError(f"steer {steer!r}: expected one of {', '.join(map(repr, _STEER))}")
    return _STEER[key]


def _band_code(band):
    if band in (0, 1, 3):
        return band
    if band not in _BAND:
        raise ValueError(f"band {band!r}: expected 'third', 'octave' or 'bin'")
    return _BAND[band]


def _overlap_percent(overlap):
    for fraction, percent in ((0, 0), (0.5, 50), (0.75, 75)):
        if overlap in (fraction, percent):
            return percent
    raise ValueError(f"overlap {overlap!r}: expected 0, 0.5 or 0.75")


class Geometry:
    """Microphone positions in metres, one per channel; channels may be left out."""

    def __init__(self, positions):
        """From an array of shape (M, 3): x, y, z of each channel's microphone."""
        p = np.asarray(positions, dtype=np.float64)
        if p.ndim != 2 or p.shape[1] != 3:
            raise ValueError(f"positions of shape {p.shape}: expected (microphones, 3)")
        x, y, z = (np.ascontiguousarray(p[:, k]) for k in range(3))
        handle = _call(lib.zelbeam_geometry_from_arrays, ffi.from_buffer("double[]", x),
                       ffi.from_buffer("double[]", y), ffi.from_buffer("double[]", z), len(p),
                       context="geometry")
        self._handle = ffi.gc(handle, lib.zelbeam_geometry_free)

    @classmethod
    def _adopt(cls, handle):
        geometry = cls.__new__(cls)
        geometry._handle = ffi.gc(handle, lib.zelbeam_geometry_free)
        return geometry

    def __len__(self):
        return _call(lib.zelbeam_geometry_count, self._handle)

    @property
    def positions(self):
        """(M, 3) array of every channel's position, left-out ones included."""
        out = np.empty((len(self), 3))
        xyz = ffi.new("double[3]")
        for m in range(len(out)):
            _call(lib.zelbeam_geometry_position, self._handle, m, xyz)
            out[m] = list(xyz)
        return out

    def leave_out(self, channels):
        """Leaves out these channels (dead microphones), replacing any earlier list."""
        chosen = [int(c) for c in channels]
        _call(lib.zelbeam_geometry_leave_out, self._handle, ffi.new("int[]", chosen or [0]),
              len(chosen), context="leave out")

    @property
    def left_out(self):
        return [m for m in range(len(self))
                if _call(lib.zelbeam_geometry_is_left_out, self._handle, m)]


def read_geometry(path):
    """A Geometry from a microphone XML file: <pos Name=".." x=".." y=".." z=".."/> elements,
    channel i the i-th one."""
    handle = _call(lib.zelbeam_geometry_read, os.fsencode(path), context=str(path))
    return Geometry._adopt(handle)


class RectGrid:
    """A rectangular grid in the plane z: x from x_min to x_max and y from y_min to y_max in
    steps of increment (metres). Maps are (nx, ny), map[i, j] at (x[i], y[j], z)."""

    def __init__(self, x_min, x_max, y_min, y_max, z, increment):
        self._grid = ffi.new("zelbeam_grid_t *", [x_min, x_max, y_min, y_max, z, increment])
        nx, ny = ffi.new("int *"), ffi.new("int *")
        _call(lib.zelbeam_grid_shape, self._grid, nx, ny, context="grid")
        self.shape = (nx[0], ny[0])
        self.x_min, self.x_max, self.y_min, self.y_max = x_min, x_max, y_min, y_max
        self.z, self.increment = z, increment

    @property
    def x(self):
        return self.x_min + self.increment * np.arange(self.shape[0])

    @property
    def y(self):
        return self.y_min + self.increment * np.arange(self.shape[1])


class Beamformer:
    """Maps of a geometry over a grid, from whole signals or from blocks pushed live."""

    def __init__(self, geometry, grid, block=1024, overlap=0.5, steer="true level",
                 diagonal_removal=True, rate=44100, speed_of_sound=343.0, window=0.25,
                 max_window=2.0):
        settings = ffi.new("zelbeam_settings_t *")
        lib.zelbeam_settings_default(settings)
        settings.rate = rate
        settings.block = block
        settings.overlap = _overlap_percent(overlap)
        settings.steer = _steer_code(steer)
        settings.diagonal_removal = 1 if diagonal_removal else 0
        settings.speed_of_sound = speed_of_sound
        settings.window = window
        settings.max_window = max(max_window, window)
        handle = _call(lib.zelbeam_create, geometry._handle, grid._grid, settings,
                       context="beamformer")
        self._handle = ffi.gc(handle, lib.zelbeam_delete)
        self.geometry, self.grid = geometry, grid
        self.channels = len(geometry)
        self.peak = None
        self._map = np.empty(grid.shape)
        self._peak = ffi.new("zelbeam_peak_t *")

    def _samples(self, data):
        samples = np.ascontiguousarray(data, dtype=np.float32)
        if samples.ndim != 2 or samples.shape[1] != self.channels:
            raise ValueError(f"data of shape {samples.shape}: expected (frames, {self.channels})")
        return samples

    def _result(self):
        p = self._peak
        self.peak = Peak(p.x, p.y, p.z, p.level_db, p.i, p.j)
        return self._map.copy()

    def map(self, data, freq, band="third"):
        """The map in dB of a whole signal, data (frames, channels) float32 full scale, over
        every block that fits. Returns an (nx, ny) array and sets .peak."""
        samples = self._samples(data)
        _call(lib.zelbeam_map_signal, self._handle, ffi.from_buffer("float[]", samples),
              samples.shape[0], samples.shape[1], float(freq), _band_code(band),
              ffi.from_buffer("double[]", self._map), self._peak, context="map")
        return self._result()

    def push(self, block):
        """Adds live frames, (frames, channels), any number at a time."""
        samples = self._samples(block)
        _call(lib.zelbeam_push, self._handle, ffi.from_buffer("float[]", samples),
              samples.shape[0], samples.shape[1], context="push")

    def live_map(self, freq, band="third"):
        """The map in dB over the blocks of the live window. Returns (nx, ny), sets .peak."""
        _call(lib.zelbeam_live_map, self._handle, float(freq), _band_code(band),
              ffi.from_buffer("double[]", self._map), self._peak, context="live map")
        return self._result()

    def reset(self):
        """Forgets every pushed frame, after a gap in the stream say."""
        _call(lib.zelbeam_reset, self._handle)

    def set_window(self, seconds):
        """The live window in seconds: at least one block, at most max_window."""
        _call(lib.zelbeam_set_window, self._handle, float(seconds), context="window")

    @property
    def live_blocks(self):
        return _call(lib.zelbeam_live_blocks, self._handle)

    def bins(self, freq, band="third"):
        """The first and last FFT bin the band sums."""
        first, last = ffi.new("int *"), ffi.new("int *")
        _call(lib.zelbeam_band_bins, self._handle, float(freq), _band_code(band), first, last,
              context="band")
        return first[0], last[0]


__all__ = ["BeamError", "Beamformer", "Geometry", "Peak", "RectGrid", "read_geometry",
           "library_path"]
