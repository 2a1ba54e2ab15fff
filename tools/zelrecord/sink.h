// Output files: the sample frames as captured (raw), 64-channel 24-bit PCM through libsndfile
// (wav, rf64), or float samples through libhdf5 (h5).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "options.h"

namespace zelrecord {

// A WAV file's sizes are 32-bit: this many sample frames fit in one.
inline constexpr int64_t kWavMaxFrames = (0xFFFFFFFFLL - 1024) / 192;

// What a recording lost, for the formats that keep it beside the samples.
struct Losses {
  int64_t lost = 0;          // frames the network lost, recorded as silence
  int64_t kernel_drops = 0;  // datagrams this host's kernel dropped
  int64_t overflows = 0;     // reads that found their data overwritten in the ring
  int64_t overwritten = 0;   // frames the ring overwrote before they were written, as silence
};

class Sink {
 public:
  virtual ~Sink() = default;
  // The time of the first frame, in seconds since the epoch; formats without a place for it
  // ignore it.
  virtual void note_start(double /*epoch_seconds*/) {}
  // The recording's losses, given before finish(); ignored where the format has no place.
  virtual void note_losses(const Losses & /*losses*/) {}
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
