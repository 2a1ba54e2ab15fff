// Microphone positions from a geometry file.
#pragma once

#include <array>
#include <string>
#include <vector>

namespace zelsim::cli {

// Reads the microphone XML as the beamforming library does: every <pos Name=".." x=".." y=".."
// z=".."/> at any depth, in document order, is the next channel's position in metres. Returns "" on
// success, else a one-line reason; *positions is untouched then.
std::string read_geometry(const std::string &path, std::vector<std::array<double, 3>> *positions);

}  // namespace zelsim::cli
