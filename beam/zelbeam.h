/*
 * zelbeam.h - frequency-domain beamforming for microphone arrays.
 *
 * Conventions
 * - Every call reports its outcome through a status, a `zelbeam_error *` given as the LAST
 *   argument. ZELBEAM_OK (0) is success; the failures are the ZELBEAM_E... codes below, named
 *   by zelbeam_err_name and described by zelbeam_strerror. A failing call returns a fixed value
 *   (0 or NULL, as each contract says) and leaves its outputs untouched, so only the status is a
 *   reliable sign of failure. A null status pointer is allowed and simply not written.
 * - Every call refuses a NULL object or a NULL required pointer with ZELBEAM_ENULL.
 * - Objects are opaque. A geometry and a grid are read-only once a beamformer is created from
 *   them; the beamformer keeps its own copy, so they may be freed at once.
 * - Memory: a beamformer allocates everything when it is created (spectra, plans, the frames of
 *   the longest live window); zelbeam_push allocates nothing. zelbeam_live_map allocates only
 *   when its band needs more bins, or the window more blocks, than any map before: the per-block
 *   beam powers of the band it keeps; with an unchanged band and window it allocates nothing.
 *   zelbeam_map_signal allocates for the length of one call.
 * - Threads: one beamformer is used by one thread at a time; different beamformers, geometries
 *   and grids may be used from different threads at once.
 * - Samples are float, interleaved: frame after frame, each frame `channels` values in channel
 *   order (for the 64-channel array, the 24-bit value divided by 2^23). `channels` must equal the
 *   geometry's microphone count; channels left out of the geometry are read and ignored.
 * - Maps are double, in dB as acoular's L_p: 10*log10(max(P / 4e-10, 1e-35)), so a point whose
 *   power is zero or negative reads -350 dB. A map has nx*ny values, map[i*ny + j] at
 *   x = x_min + i*increment, y = y_min + j*increment (x slowest).
 * - Cross-spectra, bands and steering follow acoular: symmetric Hann window, one-sided scaling
 *   2/(N*W*K) on every bin, bins f_k = k*fs/N with f_lo <= f_k < f_hi for fractional-octave
 *   bands around the exact centre, the first bin with f_k >= f for a single bin, diagonal
 *   removal with the factor M/(M-1) and negative powers set to 0 per bin before the band sum.
 */
#ifndef ZELBEAM_H
#define ZELBEAM_H

#include <stddef.h>

#if defined(ZELBEAM_BUILDING_LIBRARY)
#define ZELBEAM_API __attribute__((visibility("default")))
#else
#define ZELBEAM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Status codes ------------------------------------------------------------------------ */

typedef int zelbeam_error;

/* X(name, code, text): every status code with its message, in code order. */
#define ZELBEAM_ERRNO_MAP(X)                                                       \
  X(OK, 0, "All ok")                                                               \
  X(ENULL, 1, "Null argument")                                                     \
  X(ENOMEM, 2, "Problem allocating memory")                                        \
  X(EFILE, 3, "Could not read the geometry file")                                  \
  X(EXML, 4, "Malformed geometry XML")                                             \
  X(EPOSITION, 5, "Microphone position not a finite number")                       \
  X(EDUPLICATE, 6, "Two microphones at the same position")                         \
  X(EMICS, 7, "Too few microphones (at least 2 must remain)")                      \
  X(ECHANNEL, 8, "Channel index outside the geometry")                             \
  X(ECHANNELS, 9, "Channel count differs from the geometry's microphone count")    \
  X(EGRID, 10, "Invalid grid: empty, reversed, non-finite or over 1000000 points") \
  X(EINCREMENT, 11, "Grid increment not a positive finite number")                 \
  X(EBLOCK, 12, "Block size not a power of two from 128 to 8192")                  \
  X(EOVERLAP, 13, "Overlap not 0, 50 or 75 percent")                               \
  X(ESTEER, 14, "Unknown steering formulation")                                    \
  X(ERATE, 15, "Sampling rate not a positive finite number")                       \
  X(EFREQ, 16, "Frequency outside (0, fs/2)")                                      \
  X(EBAND, 17, "Unknown band, or no FFT bin in the band")                          \
  X(EWINDOW, 18, "Live window not between one block and 60 s")                     \
  X(ESHORT, 19, "Signal shorter than one block")                                   \
  X(ENODATA, 20, "No block in the live window yet")                                \
  X(ESOUND, 21, "Speed of sound not a positive finite number")

enum zelbeam_errno {
#define ZELBEAM_ERRNO_ENUM(name, code, text) ZELBEAM_##name = (code),
  ZELBEAM_ERRNO_MAP(ZELBEAM_ERRNO_ENUM)
#undef ZELBEAM_ERRNO_ENUM
      ZELBEAM_ERRNO_COUNT /* one past the last code */
};

/* The message of a status code; "unknown error" for a number that is not one. Static text. */
ZELBEAM_API const char *zelbeam_strerror(int code);
/* The name of a status code without its prefix ("EGRID"); "unknown" otherwise. Static text. */
ZELBEAM_API const char *zelbeam_err_name(int code);

/* ---- Geometry: microphone positions in metres ------------------------------------------ */

typedef struct zelbeam_geometry zelbeam_geometry_t;

/* Reads acoular's microphone XML: every <pos Name=".." x=".." y=".." z=".."/> element, at any
 * depth, in document order; channel i is the i-th pos. The root element's name is ignored,
 * whitespace inside values is stripped. Fails with EFILE, EXML (no pos, a missing or
 * unparsable coordinate), EPOSITION, EDUPLICATE, EMICS, ENOMEM; returns NULL then. */
ZELBEAM_API zelbeam_geometry_t *zelbeam_geometry_read(const char *path, zelbeam_error *err);
/* The same from XML text in memory (`length` bytes, need not be NUL-terminated). */
ZELBEAM_API zelbeam_geometry_t *zelbeam_geometry_parse(const char *text, size_t length,
                                                       zelbeam_error *err);
/* From `count` coordinates in three arrays. Fails with EPOSITION, EDUPLICATE, EMICS. */
ZELBEAM_API zelbeam_geometry_t *zelbeam_geometry_from_arrays(const double *x, const double *y,
                                                             const double *z, int count,
                                                             zelbeam_error *err);
/* Frees a geometry; NULL is allowed. */
ZELBEAM_API void zelbeam_geometry_free(zelbeam_geometry_t *geometry);
/* Microphones in the geometry, left-out ones included (the data's channel count); 0 on failure. */
ZELBEAM_API int zelbeam_geometry_count(const zelbeam_geometry_t *geometry, zelbeam_error *err);
/* Microphones that take part (count minus left-out); 0 on failure. */
ZELBEAM_API int zelbeam_geometry_active(const zelbeam_geometry_t *geometry, zelbeam_error *err);
/* Position of channel `channel` into xyz[3]. Fails with ECHANNEL. */
ZELBEAM_API void zelbeam_geometry_position(const zelbeam_geometry_t *geometry, int channel,
                                           double *xyz, zelbeam_error *err);
/* Leaves out channels (dead microphones): `count` indices, replacing any earlier list; count 0
 * brings every channel back. Fails with ECHANNEL, or EMICS when fewer than 2 would remain;
 * the geometry is unchanged then. */
ZELBEAM_API void zelbeam_geometry_leave_out(zelbeam_geometry_t *geometry, const int *channels,
                                            int count, zelbeam_error *err);
/* Whether channel `channel` is left out: 1 or 0 (0 on failure too). */
ZELBEAM_API int zelbeam_geometry_is_left_out(const zelbeam_geometry_t *geometry, int channel,
                                             zelbeam_error *err);

/* ---- Grid ----------------------------------------------------------------------------------- */

/* A rectangular grid in the plane z, acoular's RectGrid: nx = round((x_max - x_min + inc)/inc)
 * points from x_min to x_max (linspace), likewise ny. */
typedef struct zelbeam_grid {
  double x_min, x_max, y_min, y_max, z, increment;
} zelbeam_grid_t;

/* Checks a grid and gives its shape. Fails with EINCREMENT, EGRID; *nx and *ny untouched then.
 * nx and ny may be NULL. Returns nx*ny, 0 on failure. */
ZELBEAM_API int zelbeam_grid_shape(const zelbeam_grid_t *grid, int *nx, int *ny,
                                   zelbeam_error *err);

/* ---- Settings ------------------------------------------------------------------------------ */

enum zelbeam_steer {
  ZELBEAM_STEER_CLASSIC = 0,
  ZELBEAM_STEER_INVERSE = 1,
  ZELBEAM_STEER_TRUE_LEVEL = 2,
  ZELBEAM_STEER_TRUE_LOCATION = 3
};

/* A band by its fractions of an octave, as acoular's `num`. */
enum zelbeam_band { ZELBEAM_BAND_BIN = 0, ZELBEAM_BAND_OCTAVE = 1, ZELBEAM_BAND_THIRD = 3 };

typedef struct zelbeam_settings {
  double rate;           /* sampling rate in Hz; default 44100 */
  int block;             /* FFT block in frames, power of two 128..8192; default 1024 */
  int overlap;           /* percent: 0, 50 or 75; default 50 */
  int steer;             /* enum zelbeam_steer; default ZELBEAM_STEER_TRUE_LEVEL */
  int diagonal_removal;  /* non-zero: remove the cross-spectral matrix's diagonal; default 1 */
  double speed_of_sound; /* m/s; default 343 */
  double window;         /* live window in seconds; default 0.25 */
  double max_window;     /* longest live window zelbeam_set_window may set; default 2 */
} zelbeam_settings_t;

/* Fills *settings with the defaults above. */
ZELBEAM_API void zelbeam_settings_default(zelbeam_settings_t *settings);

/* ---- Beamformer ------------------------------------------------------------------------------ */

typedef struct zelbeam zelbeam_t;

/* The peak of a map: its grid indices, position and level. The first maximum in map order. */
typedef struct zelbeam_peak {
  int i, j;
  double x, y, z;
  double level_db;
} zelbeam_peak_t;

/* Creates a beamformer for a geometry, a grid and settings (NULL: the defaults). Fails with
 * EGRID, EINCREMENT, EBLOCK, EOVERLAP, ESTEER, ERATE, ESOUND, EWINDOW, ENOMEM; NULL then. EGRID
 * also covers a grid point on a microphone (true level, true location) or at the reference
 * point, the origin (inverse, true level), where the steering would divide by zero. */
ZELBEAM_API zelbeam_t *zelbeam_create(const zelbeam_geometry_t *geometry,
                                      const zelbeam_grid_t *grid,
                                      const zelbeam_settings_t *settings, zelbeam_error *err);
/* Frees a beamformer; NULL is allowed. */
ZELBEAM_API void zelbeam_delete(zelbeam_t *beam);
/* The map's shape: nx*ny, the length of every map buffer. 0 on failure. */
ZELBEAM_API int zelbeam_map_size(const zelbeam_t *beam, int *nx, int *ny, zelbeam_error *err);
/* The FFT bins a band sums: first and last index (inclusive). Fails with EFREQ, EBAND. */
ZELBEAM_API void zelbeam_band_bins(const zelbeam_t *beam, double freq, int band, int *first,
                                   int *last, zelbeam_error *err);

/* A map over a whole signal, as acoular computes it: blocks at every block/overlap step that fit,
 * averaged with acoular's K. `samples` holds `frames` frames of `channels` values. map_db
 * (zelbeam_map_size values) and peak (may be NULL) receive the result. Fails with ECHANNELS,
 * ESHORT, EFREQ, EBAND, ENOMEM. Leaves the live window alone. */
ZELBEAM_API void zelbeam_map_signal(zelbeam_t *beam, const float *samples, size_t frames,
                                    int channels, double freq, int band, double *map_db,
                                    zelbeam_peak_t *peak, zelbeam_error *err);

/* Live: pushes frames as they arrive, any number at a time. Every complete block (one every
 * block*(1-overlap) frames) enters the live window; blocks older than the window leave it.
 * Fails with ECHANNELS. */
ZELBEAM_API void zelbeam_push(zelbeam_t *beam, const float *samples, size_t frames, int channels,
                              zelbeam_error *err);
/* Forgets every pushed frame and block (after a gap in the stream, say). */
ZELBEAM_API void zelbeam_reset(zelbeam_t *beam, zelbeam_error *err);
/* Sets the live window in seconds (at least one block, at most the settings' max_window).
 * Fails with EWINDOW. Blocks already held stay as far as the new window reaches. */
ZELBEAM_API void zelbeam_set_window(zelbeam_t *beam, double seconds, zelbeam_error *err);
/* The map over the blocks in the live window, for a band; a band different from the last call's
 * is computed from the blocks held, so the first map after a change covers the whole window
 * too. The live window holds the last floor((T*fs - block)/hop) + 1 complete blocks and the map
 * averages over the blocks it holds (their count, which is acoular's K whenever the blocks tile
 * the window). Fails with ENODATA (no block yet), EFREQ, EBAND, ENOMEM. */
ZELBEAM_API void zelbeam_live_map(zelbeam_t *beam, double freq, int band, double *map_db,
                                  zelbeam_peak_t *peak, zelbeam_error *err);
/* Blocks currently in the live window; 0 on failure. */
ZELBEAM_API int zelbeam_live_blocks(const zelbeam_t *beam, zelbeam_error *err);

#ifdef __cplusplus
}
#endif

#endif /* ZELBEAM_H */
