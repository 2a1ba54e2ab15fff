#include "geometry.h"

#include <pugixml.hpp>

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace zelsim::cli {
namespace {

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The whole attribute as one finite number, spaces around it allowed.
bool coordinate(const pugi::xml_node &pos, const char *name, double *out) {
  pugi::xml_attribute attribute = pos.attribute(name);
  if (!attribute) return false;
  std::string text = attribute.value();
  size_t begin = 0, end = text.size();
  while (begin < end && is_space(text[begin])) ++begin;
  while (end > begin && is_space(text[end - 1])) --end;
  text = text.substr(begin, end - begin);
  if (text.empty()) return false;
  char *stop = nullptr;
  errno = 0;
  double value = std::strtod(text.c_str(), &stop);
  if (errno != 0 || *stop != '\0' || !std::isfinite(value)) return false;
  *out = value;
  return true;
}

}  // namespace

std::string read_geometry(const std::string &path, std::vector<std::array<double, 3>> *positions) {
  pugi::xml_document doc;
  pugi::xml_parse_result parsed = doc.load_file(path.c_str());
  if (parsed.status == pugi::status_file_not_found || parsed.status == pugi::status_io_error)
    return "cannot read the geometry file '" + path + "'";
  if (!parsed) return "malformed geometry XML in '" + path + "': " + parsed.description();
  std::vector<std::array<double, 3>> read;
  for (pugi::xpath_node node : doc.select_nodes("//pos")) {
    std::array<double, 3> p{};
    if (!coordinate(node.node(), "x", &p[0]) || !coordinate(node.node(), "y", &p[1]) ||
        !coordinate(node.node(), "z", &p[2]))
      return "geometry '" + path + "': pos element " + std::to_string(read.size()) +
             " lacks a finite x, y or z";
    read.push_back(p);
  }
  if (read.empty()) return "geometry '" + path + "' holds no pos element";
  *positions = std::move(read);
  return "";
}

}  // namespace zelsim::cli
