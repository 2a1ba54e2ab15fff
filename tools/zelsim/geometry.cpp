#include "geometry.h"

#include <zelbeam.h>

#include <memory>

namespace zelsim::cli {

std::string read_geometry(const std::string &path, std::vector<std::array<double, 3>> *positions) {
  zelbeam_error err = ZELBEAM_OK;
  std::unique_ptr<zelbeam_geometry_t, decltype(&zelbeam_geometry_free)> geometry(
      zelbeam_geometry_read(path.c_str(), &err), zelbeam_geometry_free);
  if (!geometry) return "geometry '" + path + "': " + zelbeam_strerror(err);
  const int count = zelbeam_geometry_count(geometry.get(), &err);
  std::vector<std::array<double, 3>> read(static_cast<size_t>(count));
  for (int m = 0; m < count && err == ZELBEAM_OK; ++m)
    zelbeam_geometry_position(geometry.get(), m, read[static_cast<size_t>(m)].data(), &err);
  if (err != ZELBEAM_OK) return "geometry '" + path + "': " + zelbeam_strerror(err);
  *positions = std::move(read);
  return "";
}

}  // namespace zelsim::cli
