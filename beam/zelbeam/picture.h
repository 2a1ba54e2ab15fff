// A map as a picture: colours over the grid, a dB scale, the microphones and the peak.
#pragma once

#include <zelbeam.h>

#include <array>
#include <string>
#include <vector>

namespace zelbeam_cli {

struct MapPicture {
  const double *map_db = nullptr;  // nx * ny levels, x slowest
  int nx = 0, ny = 0;
  zelbeam_grid_t grid{};
  std::vector<std::array<double, 2>> microphones;  // x, y in metres
  zelbeam_peak_t peak{};
  double range_db = 20;  // levels from the peak down to peak - range_db get colours
};

// Writes the picture as an RGB PNG. Returns "" on success, else a one-line reason.
std::string write_png(const std::string &path, const MapPicture &picture);

}  // namespace zelbeam_cli
