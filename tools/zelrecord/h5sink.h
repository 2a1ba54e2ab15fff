// HDF5 output: a root dataset `time_data` of float32 samples, (frames, 64), full scale [-1, 1),
// chunked and extended as the recording grows, with the rate in its `sample_freq` attribute.
#pragma once

#include <memory>
#include <string>

#include "sink.h"

namespace zelrecord {

// Creates `path` (truncating it). Null with a one-line reason in *error on failure.
std::unique_ptr<Sink> open_h5_sink(const std::string &path, int rate, std::string *error);

}  // namespace zelrecord
