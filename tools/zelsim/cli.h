// The zelsim command line: parsing, help and the summary printed on exit.
#pragma once

#include <string>
#include <vector>

#include "zelsim.h"

namespace zelsim::cli {

struct Options {
  Config config;
  double duration_s = 0;  // 0: until SIGINT or SIGTERM
  bool help = false;
};

// Parses args (without the program name). Returns "" on success, else a one-line message.
std::string parse(const std::vector<std::string> &args, Options *out);

std::string usage();
std::string describe(const Config &config);  // the start-up line
std::string summary(const Stats &stats);     // the lines printed on exit

}  // namespace zelsim::cli
