// Recordings as zelrecord writes them, read into float samples.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace zelbeam_cli {

struct Recording {
  std::vector<float> samples;  // frames x channels, interleaved, full scale [-1, 1)
  size_t frames = 0;
  int channels = 0;
  double rate = 0;
};

// Which part of a recording to read: from start_s for duration_s seconds (0: to the end).
struct Selection {
  double start_s = 0;
  double duration_s = 0;
  double raw_rate = 44100;  // raw files carry no rate
};

// Reads the selected part of a recording: .h5 (dataset time_data, float frames x channels,
// attribute sample_freq), .wav and .rf64 (through libsndfile), anything else raw 192-byte frames
// of 64 big-endian 24-bit samples. Returns "" on success, else a one-line reason.
std::string read_recording(const std::string &path, const Selection &selection, Recording *out);

}  // namespace zelbeam_cli
