// The zelmonitor command line.
#pragma once

#include <string>
#include <vector>

namespace zelmonitor {

struct Options {
  std::string address = "127.0.0.2";
  int rate = 0;           // 0: keep the array's current rate
  std::string mean_file;  // both calibration files, or neither
  std::string gain_file;
  bool fix_delay = false;
  bool no_realtime =
      false;  // the capture thread at normal priority even where real-time is allowed
  bool help = false;
};

// Parses args (without the program name). Returns "" on success, else a one-line message.
std::string parse(const std::vector<std::string> &args, Options *out);

std::string usage();

}  // namespace zelmonitor
