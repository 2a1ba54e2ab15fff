// The camera's HTTP interface as a function from a request to a response, apart from the web
// server that carries it, so that every path and refusal can be checked in memory.
#pragma once

#include <memory>
#include <string>

#include "api.h"

namespace zelcamera {

// What the routes need from the running camera.
class Backend {
 public:
  virtual ~Backend() = default;
  virtual Status current_status() = 0;
  // The latest map in dB (empty before the first) and its shape.
  virtual bool latest_map(std::vector<double> *map_db, int *nx, int *ny) = 0;
  // "" and *now, or why the settings were refused.
  virtual std::string change_settings(const std::string &body, LiveSettings *now) = 0;
  virtual std::string geometry() = 0;
};

struct Response {
  int status = 200;
  std::string content_type;
  std::string body;
  std::string disposition;  // Content-Disposition, for downloads
};

// Bodies above this are refused with 413 before they are read.
inline constexpr long long kMaxBody = 4096;

// The page's two files, served as they are.
extern const char *const kIndexHtml;
extern const char *const kCameraJs;

Response route(Backend *backend, const std::string &method, const std::string &uri,
               const std::string &body);

}  // namespace zelcamera
