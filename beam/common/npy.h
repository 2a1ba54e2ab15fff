// NumPy's .npy format for the maps: one little-endian float64 array, C order, version 1.0.
#pragma once

#include <string>
#include <vector>

namespace zelbeam_tools {

// The whole file: magic, header padded so that the data starts on a 64-byte boundary, then
// `values` (rows * cols, row-major). Empty when rows * cols differs from values.size().
std::string npy_bytes(const std::vector<double> &values, int rows, int cols);

// Writes npy_bytes to `path`; false (errno set) when the file cannot be written.
bool write_npy(const std::string &path, const std::vector<double> &values, int rows, int cols);

}  // namespace zelbeam_tools
