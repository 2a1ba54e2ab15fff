/* The beamforming header used from plain C99: a geometry from arrays, a grid, one map. */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include "zelbeam.h"

#define MICS 4
#define FRAMES 2048

static int check(zelbeam_error err, const char *what) {
  if (err != ZELBEAM_OK) {
    fprintf(stderr, "%s: %s (%s)\n", what, zelbeam_strerror(err), zelbeam_err_name(err));
    return 1;
  }
  return 0;
}

int main(void) {
  const double x[MICS] = {0.1, 0.0, -0.1, 0.0}, y[MICS] = {0.0, 0.1, 0.0, -0.1};
  const double z[MICS] = {0.0, 0.0, 0.0, 0.0};
  const zelbeam_grid_t grid = {-0.1, 0.1, -0.1, 0.1, 0.5, 0.1};
  zelbeam_error err = -1;
  zelbeam_settings_t settings;
  zelbeam_geometry_t *geometry = zelbeam_geometry_from_arrays(x, y, z, MICS, &err);
  zelbeam_t *beam = NULL;
  zelbeam_peak_t peak;
  double map[9];
  float *samples = malloc(sizeof(float) * MICS * FRAMES);
  int i, failed = 0;
  if (check(err, "geometry") || samples == NULL) return 1;
  for (i = 0; i < MICS * FRAMES; ++i) samples[i] = (float)sin(i * 0.37);
  zelbeam_settings_default(&settings);
  beam = zelbeam_create(geometry, &grid, &settings, &err);
  zelbeam_geometry_free(geometry);
  if (check(err, "create")) return 1;
  zelbeam_map_signal(beam, samples, FRAMES, MICS, 2000.0, ZELBEAM_BAND_OCTAVE, map, &peak, &err);
  failed |= check(err, "map");
  failed |= zelbeam_map_size(beam, NULL, NULL, &err) != 9;
  failed |= !(peak.level_db == peak.level_db) || peak.i < 0 || peak.i > 2;
  zelbeam_delete(beam);
  free(samples);
  return failed;
}
