#include "api.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>

#include "options.h"

namespace zelcamera {
namespace {

using nlohmann::json;

// JSON has no infinities: a silent channel or an empty map reads null.
json number_or_null(double v) {
  return std::isfinite(v) ? json(v) : json(nullptr);
}

std::string check_number(const json &value, const char *name, double *out) {
  if (!value.is_number()) return std::string(name) + " must be a number";
  *out = value.get<double>();
  if (!std::isfinite(*out)) return std::string(name) + " must be finite";
  return "";
}

std::string merge_one(const std::string &key, const json &value, const SettingsLimits &limits,
                      LiveSettings *s) {
  double v = 0;
  if (key == "band") {
    const int band = value.is_string() ? band_from_name(value.get<std::string>()) : -1;
    if (band < 0) return "band must be \"third\", \"octave\" or \"bin\"";
    s->band = band;
  } else if (key == "freq") {
    if (std::string why = check_number(value, "freq", &v); !why.empty()) return why;
    if (v <= 0 || v >= limits.rate / 2) {
      return "freq must lie between 0 and " + std::to_string(static_cast<int>(limits.rate / 2)) +
             " Hz (half the sampling rate)";
    }
    s->freq = v;
  } else if (key == "window") {
    if (std::string why = check_number(value, "window", &v); !why.empty()) return why;
    if (v < limits.min_window || v > limits.max_window) {
      char text[120];
      std::snprintf(text, sizeof text, "window must lie between %.4f and %.2f s", limits.min_window,
                    limits.max_window);
      return text;
    }
    s->window = v;
  } else if (key == "range_db") {
    if (std::string why = check_number(value, "range_db", &v); !why.empty()) return why;
    if (v < 1 || v > 100) return "range_db must lie between 1 and 100 dB";
    s->range_db = v;
  } else {
    return "unknown setting '" + key + "' (freq, band, window, range_db)";
  }
  return "";
}

json peak_json(const Peak &p) {
  return json{{"x", p.x}, {"y", p.y}, {"z", p.z}, {"level_db", number_or_null(p.level_db)}};
}

template <class T>
void put(std::string *out, size_t at, T value) {
  std::memcpy(out->data() + at, &value, sizeof value);
}

}  // namespace

std::string merge_settings(const std::string &body, const SettingsLimits &limits,
                           LiveSettings *settings) {
  const json parsed = json::parse(body, nullptr, false);
  if (parsed.is_discarded()) return "the body is not JSON";
  if (!parsed.is_object()) return "the body must be a JSON object";
  LiveSettings merged = *settings;
  for (const auto &[key, value] : parsed.items()) {
    if (std::string why = merge_one(key, value, limits, &merged); !why.empty()) return why;
  }
  *settings = merged;
  return "";
}

std::string settings_json(const LiveSettings &s) {
  return json{
      {"freq", s.freq}, {"band", band_name(s.band)}, {"window", s.window}, {"range_db", s.range_db}}
      .dump();
}

std::string error_json(const std::string &reason) {
  return json{{"error", reason}}.dump();
}

std::string status_json(const Status &s) {
  json levels = json::array();
  for (size_t c = 0; c < s.rms_dbfs.size(); ++c) {
    levels.push_back(json{{"rms_dbfs", number_or_null(s.rms_dbfs[c])},
                          {"peak_dbfs", number_or_null(s.peak_dbfs[c])},
                          {"clipped", s.clipped[c]}});
  }
  const Losses &l = s.losses;
  const zeltool::LossSplit split = zeltool::split_losses(l.lost_frames, l.kernel_drops);
  json out = {
      {"array", {{"id", s.array_id}, {"prom", s.prom}, {"address", s.address}}},
      {"rate", s.rate},
      {"freq", s.settings.freq},
      {"band", band_name(s.settings.band)},
      {"window", s.settings.window},
      {"range_db", s.settings.range_db},
      {"grid",
       {{"x_min", s.grid.x_min},
        {"x_max", s.grid.x_max},
        {"y_min", s.grid.y_min},
        {"y_max", s.grid.y_max},
        {"z", s.grid.z},
        {"increment", s.grid.increment},
        {"nx", s.nx},
        {"ny", s.ny}}},
      {"peak", s.have_map ? peak_json(s.peak) : json(nullptr)},
      {"map_time", s.map_time},
      {"maps", s.maps},
      {"maps_per_second", s.maps_per_second},
      {"engine", {{"skips", s.skips}, {"skipped_frames", s.skipped_frames}}},
      {"clients", s.clients},
      {"data_flowing", s.data_flowing},
      {"loss",
       {{"lost_frames", l.lost_frames},
        {"host_dropped_frames", split.host},
        {"network_missing_frames", split.network},
        {"summary", zeltool::loss_counters_text(l.lost_frames, l.kernel_drops)},
        {"host_warning", split.host > 0 ? zeltool::host_drops_text(split.host) : ""},
        {"kernel_drops", l.kernel_drops},
        {"overflows", l.overflows},
        {"outages", l.outages},
        {"discontinuities", l.discontinuities}}},
      {"capture",
       {{"realtime", s.host.realtime},
        {"priority", zeltool::priority_text(s.host)},
        {"buffer_bytes", s.host.buffer_bytes},
        {"buffer_ms", s.host.buffer_ms},
        {"buffer_warning", zeltool::buffer_warning(s.host)}}},
      {"levels", levels},
  };
  return out.dump();
}

std::string encode_frame(const FrameInfo &f, const std::vector<double> &map_db) {
  std::string out(kFrameHeaderBytes + map_db.size() * sizeof(float), '\0');
  std::memcpy(out.data(), "ZMAP", 4);
  put(&out, 4, static_cast<uint32_t>(f.nx));
  put(&out, 8, static_cast<uint32_t>(f.ny));
  put(&out, 12, static_cast<uint32_t>(f.band));
  const double doubles[] = {f.freq,          f.time,  f.peak.x, f.peak.y,   f.peak.z,
                            f.peak.level_db, f.x_min, f.y_min,  f.increment};
  for (size_t k = 0; k < std::size(doubles); ++k) put(&out, 16 + 8 * k, doubles[k]);
  put(&out, 88, f.sequence);
  put(&out, 92, f.skips);
  for (size_t k = 0; k < map_db.size(); ++k) {
    put(&out, kFrameHeaderBytes + 4 * k, static_cast<float>(map_db[k]));
  }
  return out;
}

std::string geometry_json(const std::vector<double> &x, const std::vector<double> &y,
                          const std::vector<double> &z, const std::vector<bool> &left_out) {
  json mics = json::array();
  for (size_t k = 0; k < x.size(); ++k) {
    mics.push_back(json{{"x", x[k]}, {"y", y[k]}, {"z", z[k]}, {"left_out", left_out[k]}});
  }
  return json{{"microphones", mics}}.dump();
}

zelbeam_grid_t default_grid(const std::vector<double> &x, const std::vector<double> &y,
                            const std::vector<double> &z) {
  const auto [x_lo, x_hi] = std::minmax_element(x.begin(), x.end());
  const auto [y_lo, y_hi] = std::minmax_element(y.begin(), y.end());
  double mean_z = 0;
  for (double v : z) mean_z += v;
  mean_z /= static_cast<double>(z.size());
  const double span = std::max(*x_hi - *x_lo, *y_hi - *y_lo);
  const double half = span > 0 ? 0.7 * span : 0.5;
  const double cx = (*x_lo + *x_hi) / 2;
  const double cy = (*y_lo + *y_hi) / 2;
  return zelbeam_grid_t{cx - half, cx + half, cy - half, cy + half, mean_z + 1.0, 2 * half / 40};
}

}  // namespace zelcamera
