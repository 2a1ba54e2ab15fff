// Output files: the sample frames as captured (raw), or 64-channel 24-bit PCM through
// libsndfile (wav, rf64).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "options.h"

namespace zelrecord {

// A WAV file's sizes are 32-bit: this many sample frames fit in one.
inline constexpr int64_t kWavMaxFrames = (0xFFFFFFFFLL - 1024) / 192;

class Sink {
 public:
  virtual ~Sink() = default;
  // Appends `frames` sample frames as captured, 192 bytes each. On failure the file keeps every
  // whole frame written before; false with a one-line reason in *error.
  virtual bool write(const unsigned char *data, int64_t frames, std::string *error) = 0;
  // Completes and closes the file; the destructor does the same without a report.
  virtual bool finish(std::string *error) = 0;
};

// Opens `path` ("-": standard output, raw only) for writing, truncating it. Null with a one-line
// reason in *error on failure.
std::unique_ptr<Sink> open_sink(const std::string &path, FileType type, int rate,
                                std::string *error);

}  // namespace zelrecord
