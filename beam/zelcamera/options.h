// The zelcamera command line.
#pragma once

#include <string>
#include <vector>

#include "zelbeam.h"

namespace zelcamera {

struct Options {
  std::string address = "127.0.0.2";
  std::string geometry;
  bool has_grid = false;  // false: a grid fitted to the array (default_grid)
  zelbeam_grid_t grid{};
  double freq = 4000;
  int band = ZELBEAM_BAND_THIRD;
  double window = 0.25;
  std::string mean_file;  // both calibration files, or neither
  std::string gain_file;
  int port = 8080;
  std::string listen = "127.0.0.1";
  bool no_realtime = false;  // the capture thread at normal priority
  bool help = false;
};

// Parses args (without the program name). Returns "" on success, else a one-line message.
std::string parse(const std::vector<std::string> &args, Options *out);

std::string usage();

// "third" 3, "octave" 1, "bin" 0; -1 for anything else.
int band_from_name(const std::string &name);
const char *band_name(int band);

// XMIN,XMAX,YMIN,YMAX,Z,INC as six finite numbers; false otherwise.
bool parse_grid(const std::string &text, zelbeam_grid_t *grid);

}  // namespace zelcamera
