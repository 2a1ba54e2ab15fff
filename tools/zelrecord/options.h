// The zelrecord command line: parsing, help text, and the output type.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zelrecord {

enum class FileType { raw, wav, rf64, h5 };

struct Options {
  std::string address = "127.0.0.2";
  int rate = 0;  // 0: keep the array's current rate
  bool slave = false;
  double duration_s = 0;  // 0: no time limit
  int64_t frames = 0;     // 0: no frame limit; at most one of duration_s and frames is set
  FileType type = FileType::raw;
  bool type_given = false;  // -t given; otherwise the type follows OUTPUT's extension
  std::string mean_file;    // both calibration files, or neither
  std::string gain_file;
  int wait_frame = -1;  // -1: store from the first datagram
  int drop = 0;
  bool fix_delay = false;
  bool quiet = false;
  bool no_realtime =
      false;  // the capture thread at normal priority even where real-time is allowed
  bool help = false;
  std::string output;  // "-": standard output
  int ring_mb = 64;
  bool ring_given = false;      // --ring given; otherwise the ring grows to hold the silence limit
  double silence_limit_s = 10;  // outages up to this long are ridden through
};

// Parses args (without the program name). Returns "" on success, else a one-line message.
std::string parse(const std::vector<std::string> &args, Options *out);

std::string usage();
const char *type_name(FileType type);

// The ring to ask for: --ring when given, else enough to hold an outage of the silence limit
// (filled at once when the data returns) and two seconds more, 64 MB at least.
int ring_megabytes(const Options &options);

// The sample frames to record at `rate` Hz: 0 for no limit.
int64_t frame_limit(const Options &options, int rate);

}  // namespace zelrecord
