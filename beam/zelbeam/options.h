// The zelbeam command line: options, checks and help.
#pragma once

#include <zelbeam.h>

#include <string>
#include <vector>

namespace zelbeam_cli {

enum class OutputType { none, npy, csv, png };

struct Options {
  std::string geometry;
  zelbeam_grid_t grid{};
  double freq = 0;
  int band = ZELBEAM_BAND_THIRD;
  zelbeam_settings_t settings{};  // the library's defaults, with the options applied
  double start_s = 0;
  double duration_s = 0;    // 0: to the end
  double raw_rate = 44100;  // raw recordings carry no rate
  bool rate_given = false;
  std::string output;
  OutputType output_type = OutputType::none;
  std::string input;
  bool help = false;
  // Set by the parser so that required options can be told apart from defaults.
  bool geometry_given = false, grid_given = false, freq_given = false;
};

// Parses args (without the program name). Returns "" on success, else a one-line message.
std::string parse(const std::vector<std::string> &args, Options *out);

std::string usage();

}  // namespace zelbeam_cli
