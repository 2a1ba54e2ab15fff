// Microphone geometry: from the XML microphone file or from coordinate arrays, with a list of
// channels left out.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include <pugixml.hpp>

#include "beam_internal.h"

namespace {

// Two microphones closer than this are one position given twice.
constexpr double same_position = 1e-9;

using GeometryPtr = std::unique_ptr<zelbeam_geometry, decltype(&zelbeam_geometry_free)>;

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// A coordinate as the file writes it: surrounding whitespace ignored, an optional '+', then a
// decimal number that fills the rest. Returns EXML for anything else and EPOSITION for a number
// that is not finite. Locale-independent, unlike strtod.
int parse_coordinate(std::string_view text, double *value) {
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) return ZELBEAM_EXML;
  }
  if (text.empty()) return ZELBEAM_EXML;
  double parsed = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (end != text.data() + text.size()) return ZELBEAM_EXML;
  if (ec == std::errc::result_out_of_range) return ZELBEAM_EPOSITION;
  if (ec != std::errc()) return ZELBEAM_EXML;
  if (!std::isfinite(parsed)) return ZELBEAM_EPOSITION;
  *value = parsed;
  return ZELBEAM_OK;
}

int check_positions(const zelbeam_geometry &g) {
  const size_t n = g.x.size();
  if (n < 2) return ZELBEAM_EMICS;
  for (size_t i = 0; i < n; ++i) {
    if (!std::isfinite(g.x[i]) || !std::isfinite(g.y[i]) || !std::isfinite(g.z[i])) {
      return ZELBEAM_EPOSITION;
    }
  }
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = i + 1; j < n; ++j) {
      const double d = std::hypot(g.x[i] - g.x[j], g.y[i] - g.y[j], g.z[i] - g.z[j]);
      if (d < same_position) return ZELBEAM_EDUPLICATE;
    }
  }
  return ZELBEAM_OK;
}

// Every <pos> element at any depth, in document order.
int read_pos_elements(const pugi::xml_node &root, zelbeam_geometry *g) {
  for (pugi::xml_node node = root.first_child(); node;) {
    if (node.type() == pugi::node_element && std::string_view(node.name()) == "pos") {
      double xyz[3] = {0, 0, 0};
      const char *names[3] = {"x", "y", "z"};
      for (int c = 0; c < 3; ++c) {
        const pugi::xml_attribute attribute = node.attribute(names[c]);
        if (!attribute) return ZELBEAM_EXML;
        const int code = parse_coordinate(attribute.value(), &xyz[c]);
        if (code != ZELBEAM_OK) return code;
      }
      g->x.push_back(xyz[0]);
      g->y.push_back(xyz[1]);
      g->z.push_back(xyz[2]);
    }
    // Depth-first walk without recursion, so a deeply nested file cannot exhaust the stack.
    if (node.first_child()) {
      node = node.first_child();
      continue;
    }
    while (node && !node.next_sibling() && node != root) node = node.parent();
    if (!node || node == root) break;
    node = node.next_sibling();
  }
  return g->x.empty() ? ZELBEAM_EXML : ZELBEAM_OK;
}

zelbeam_geometry *finish(GeometryPtr geometry, zelbeam_error *err) {
  const int code = check_positions(*geometry);
  if (code != ZELBEAM_OK) {
    zelbeam_report(err, code);
    return nullptr;
  }
  geometry->left_out.assign(geometry->x.size(), 0);
  zelbeam_report(err, ZELBEAM_OK);
  return geometry.release();
}

zelbeam_geometry *parse_text(const char *text, size_t length, zelbeam_error *err) {
  GeometryPtr geometry(new (std::nothrow) zelbeam_geometry, &zelbeam_geometry_free);
  if (!geometry) {
    zelbeam_report(err, ZELBEAM_ENOMEM);
    return nullptr;
  }
  pugi::xml_document document;
  const pugi::xml_parse_result parsed = document.load_buffer(text, length);
  if (parsed.status == pugi::status_out_of_memory) {
    zelbeam_report(err, ZELBEAM_ENOMEM);
    return nullptr;
  }
  if (!parsed || !document.document_element()) {
    zelbeam_report(err, ZELBEAM_EXML);
    return nullptr;
  }
  const int code = read_pos_elements(document, geometry.get());
  if (code != ZELBEAM_OK) {
    zelbeam_report(err, code);
    return nullptr;
  }
  return finish(std::move(geometry), err);
}

bool valid_channel(const zelbeam_geometry *g, int channel) {
  return channel >= 0 && static_cast<size_t>(channel) < g->x.size();
}

}  // namespace

extern "C" {

zelbeam_geometry_t *zelbeam_geometry_parse(const char *text, size_t length, zelbeam_error *err) {
  if (text == nullptr) {
    zelbeam_report(err, ZELBEAM_ENULL);
    return nullptr;
  }
  try {
    return parse_text(text, length, err);
  } catch (const std::bad_alloc &) {
    zelbeam_report(err, ZELBEAM_ENOMEM);
    return nullptr;
  }
}

zelbeam_geometry_t *zelbeam_geometry_read(const char *path, zelbeam_error *err) {
  if (path == nullptr) {
    zelbeam_report(err, ZELBEAM_ENULL);
    return nullptr;
  }
  try {
    std::unique_ptr<FILE, int (*)(FILE *)> file(std::fopen(path, "rb"), &std::fclose);
    if (!file) {
      zelbeam_report(err, ZELBEAM_EFILE);
      return nullptr;
    }
    std::string text;
    char chunk[65536];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) text.append(chunk, got);
    if (std::ferror(file.get())) {
      zelbeam_report(err, ZELBEAM_EFILE);
      return nullptr;
    }
    return parse_text(text.data(), text.size(), err);
  } catch (const std::bad_alloc &) {
    zelbeam_report(err, ZELBEAM_ENOMEM);
    return nullptr;
  }
}

zelbeam_geometry_t *zelbeam_geometry_from_arrays(const double *x, const double *y, const double *z,
                                                 int count, zelbeam_error *err) {
  if (x == nullptr || y == nullptr || z == nullptr) {
    zelbeam_report(err, ZELBEAM_ENULL);
    return nullptr;
  }
  if (count < 2) {
    zelbeam_report(err, ZELBEAM_EMICS);
    return nullptr;
  }
  try {
    GeometryPtr geometry(new zelbeam_geometry, &zelbeam_geometry_free);
    geometry->x.assign(x, x + count);
    geometry->y.assign(y, y + count);
    geometry->z.assign(z, z + count);
    return finish(std::move(geometry), err);
  } catch (const std::bad_alloc &) {
    zelbeam_report(err, ZELBEAM_ENOMEM);
    return nullptr;
  }
}

void zelbeam_geometry_free(zelbeam_geometry_t *geometry) {
  delete geometry;
}

int zelbeam_geometry_count(const zelbeam_geometry_t *geometry, zelbeam_error *err) {
  if (geometry == nullptr) {
    zelbeam_report(err, ZELBEAM_ENULL);
    return 0;
  }
  zelbeam_report(err, ZELBEAM_OK);
  return static_cast<int>(geometry->x.size());
}

int zelbeam_geometry_active(const zelbeam_geometry_t *geometry, zelbeam_error *err) {
  if (geometry == nullptr) {
    zelbeam_report(err, ZELBEAM_ENULL);
    return 0;
  }
  int active = 0;
  for (const char out : geometry->left_out) active += out ? 0 : 1;
  zelbeam_report(err, ZELBEAM_OK);
  return active;
}

void zelbeam_geometry_position(const zelbeam_geometry_t *geometry, int channel, double *xyz,
                               zelbeam_error *err) {
  if (geometry == nullptr || xyz == nullptr) {
    zelbeam_report(err, ZELBEAM_ENULL);
    return;
  }
  if (!valid_channel(geometry, channel)) {
    zelbeam_report(err, ZELBEAM_ECHANNEL);
    return;
  }
  xyz[0] = geometry->x[channel];
  xyz[1] = geometry->y[channel];
  xyz[2] = geometry->z[channel];
  zelbeam_report(err, ZELBEAM_OK);
}

void zelbeam_geometry_leave_out(zelbeam_geometry_t *geometry, const int *channels, int count,
                                zelbeam_error *err) {
  if (geometry == nullptr || (channels == nullptr && count > 0)) {
    zelbeam_report(err, ZELBEAM_ENULL);
    return;
  }
  if (count < 0) {
    zelbeam_report(err, ZELBEAM_ECHANNEL);
    return;
  }
  std::vector<char> out;
  try {
    out.assign(geometry->x.size(), 0);
  } catch (const std::bad_alloc &) {
    zelbeam_report(err, ZELBEAM_ENOMEM);
    return;
  }
  for (int i = 0; i < count; ++i) {
    if (!valid_channel(geometry, channels[i])) {
      zelbeam_report(err, ZELBEAM_ECHANNEL);
      return;
    }
    out[channels[i]] = 1;
  }
  size_t remaining = 0;
  for (const char o : out) remaining += o ? 0 : 1;
  if (remaining < 2) {
    zelbeam_report(err, ZELBEAM_EMICS);
    return;
  }
  geometry->left_out.swap(out);
  zelbeam_report(err, ZELBEAM_OK);
}

int zelbeam_geometry_is_left_out(const zelbeam_geometry_t *geometry, int channel,
                                 zelbeam_error *err) {
  if (geometry == nullptr) {
    zelbeam_report(err, ZELBEAM_ENULL);
    return 0;
  }
  if (!valid_channel(geometry, channel)) {
    zelbeam_report(err, ZELBEAM_ECHANNEL);
    return 0;
  }
  zelbeam_report(err, ZELBEAM_OK);
  return geometry->left_out[channel] ? 1 : 0;
}

}  // extern "C"
