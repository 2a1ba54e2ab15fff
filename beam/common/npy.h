// Arrays as numpy's .npy files (format version 1.0), for maps and snapshots.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zelbeam_tools {

// The bytes of a .npy file holding `values` in C order with the given shape (its product must be
// the number of values): dtype '<f8' for double, '<f4' for float.
std::vector<uint8_t> npy_encode(const double *values, const std::vector<size_t> &shape);
std::vector<uint8_t> npy_encode(const float *values, const std::vector<size_t> &shape);

// Writes bytes to path, replacing the file. Returns "" on success, else a one-line reason.
std::string write_file(const std::string &path, const std::vector<uint8_t> &bytes);

}  // namespace zelbeam_tools
