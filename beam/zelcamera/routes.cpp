#include "routes.h"

#include <cstdio>

#include "npy.h"

namespace zelcamera {
namespace {

Response json_response(int status, std::string body) {
  return Response{status, "application/json", std::move(body), ""};
}

Response refusal(int status, const std::string &reason) {
  return json_response(status, error_json(reason));
}

Response map_npy(Backend *backend) {
  std::vector<double> map;
  int nx = 0;
  int ny = 0;
  if (!backend->latest_map(&map, &nx, &ny)) return refusal(503, "no map yet");
  return Response{200, "application/octet-stream", zelbeam_tools::npy_bytes(map, nx, ny),
                  "attachment; filename=\"map.npy\""};
}

Response settings(Backend *backend, const std::string &body) {
  LiveSettings now;
  if (std::string why = backend->change_settings(body, &now); !why.empty()) {
    return refusal(400, why);
  }
  return json_response(200, settings_json(now));
}

}  // namespace

Response route(Backend *backend, const std::string &method, const std::string &uri,
               const std::string &body) {
  struct Get {
    const char *uri;
    Response (*answer)(Backend *);
  };
  static const Get gets[] = {
      {"/",
       [](Backend *) {
         return Response{200, "text/html; charset=utf-8", kIndexHtml, ""};
       }},
      {"/index.html",
       [](Backend *) {
         return Response{200, "text/html; charset=utf-8", kIndexHtml, ""};
       }},
      {"/camera.js",
       [](Backend *) {
         return Response{200, "text/javascript; charset=utf-8", kCameraJs, ""};
       }},
      {"/api/status",
       [](Backend *b) { return json_response(200, status_json(b->current_status())); }},
      {"/api/geometry", [](Backend *b) { return json_response(200, b->geometry()); }},
      {"/api/map.npy", map_npy},
  };
  if (uri == "/api/settings") {
    if (method != "POST") return refusal(405, "use POST with a JSON object");
    return settings(backend, body);
  }
  for (const Get &get : gets) {
    if (uri != get.uri) continue;
    if (method != "GET" && method != "HEAD") return refusal(405, "use GET");
    return get.answer(backend);
  }
  return refusal(404, "no such path: " + uri.substr(0, 200));
}

}  // namespace zelcamera
