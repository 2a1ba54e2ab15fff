#include "options.h"

#include <arpa/inet.h>

#include <cmath>
#include <cstdlib>
#include <sstream>

#include "command_line.h"

namespace zelcamera {
namespace {

// A whole finite decimal number.
bool to_double(const std::string &text, double *value) {
  if (text.empty()) return false;
  char *end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (*end != '\0' || !std::isfinite(v)) return false;
  *value = v;
  return true;
}

std::string set_geometry(const std::string &text, Options *o) {
  if (text.empty()) return "invalid geometry '' (an XML file of microphone positions)";
  o->geometry = text;
  return "";
}

std::string set_grid(const std::string &text, Options *o) {
  if (!parse_grid(text, &o->grid)) {
    return "invalid grid '" + text + "' (XMIN,XMAX,YMIN,YMAX,Z,INC in metres)";
  }
  zelbeam_error err = ZELBEAM_OK;
  zelbeam_grid_shape(&o->grid, nullptr, nullptr, &err);
  if (err != ZELBEAM_OK) return "invalid grid '" + text + "': " + zelbeam_strerror(err);
  o->has_grid = true;
  return "";
}

std::string set_freq(const std::string &text, Options *o) {
  if (!to_double(text, &o->freq) || o->freq <= 0) {
    return "invalid frequency '" + text + "' (Hz, above 0)";
  }
  return "";
}

std::string set_band(const std::string &text, Options *o) {
  const int band = band_from_name(text);
  if (band < 0) return "invalid band '" + text + "' (third, octave or bin)";
  o->band = band;
  return "";
}

std::string set_window(const std::string &text, Options *o) {
  if (!to_double(text, &o->window) || o->window <= 0 || o->window > 2) {
    return "invalid window '" + text + "' (seconds, above 0 and at most 2)";
  }
  return "";
}

std::string set_listen(const std::string &text, Options *o) {
  in_addr parsed{};
  if (inet_pton(AF_INET, text.c_str(), &parsed) != 1) {
    return "invalid listen address '" + text + "' (dotted IPv4, e.g. 0.0.0.0)";
  }
  o->listen = text;
  return "";
}

const zeltool::OptionTable<Options> &option_table() {
  static const zeltool::OptionTable<Options> table = {
      .values =
          {
              {"address", zeltool::set_address<Options>},
              {"geometry", set_geometry},
              {"grid", set_grid},
              {"freq", set_freq},
              {"band", set_band},
              {"window", set_window},
              {"mean", [](const std::string &t, Options *o) { return (o->mean_file = t, ""); }},
              {"gain", [](const std::string &t, Options *o) { return (o->gain_file = t, ""); }},
              {"port", zeltool::int_setter<Options>("port", 1, 65535, &Options::port)},
              {"listen", set_listen},
          },
      .flags = {{"help", &Options::help}, {"no-realtime", &Options::no_realtime}},
      .letters = {{'D', "address"}, {'h', "help"}},
  };
  return table;
}

}  // namespace

int band_from_name(const std::string &name) {
  if (name == "third") return ZELBEAM_BAND_THIRD;
  if (name == "octave") return ZELBEAM_BAND_OCTAVE;
  if (name == "bin") return ZELBEAM_BAND_BIN;
  return -1;
}

const char *band_name(int band) {
  switch (band) {
    case ZELBEAM_BAND_THIRD:
      return "third";
    case ZELBEAM_BAND_OCTAVE:
      return "octave";
    default:
      return "bin";
  }
}

bool parse_grid(const std::string &text, zelbeam_grid_t *grid) {
  double v[6];
  std::stringstream in(text);
  std::string part;
  int n = 0;
  while (std::getline(in, part, ',')) {
    if (n == 6 || !to_double(part, &v[n])) return false;
    ++n;
  }
  if (n != 6 || text.back() == ',') return false;
  *grid = zelbeam_grid_t{v[0], v[1], v[2], v[3], v[4], v[5]};
  return true;
}

std::string parse(const std::vector<std::string> &args, Options *out) {
  Options options;
  std::vector<std::string> operands;
  if (std::string why = zeltool::parse_options(args, option_table(), &options, &operands);
      !why.empty()) {
    return why;
  }
  if (options.help) {
    *out = options;
    return "";
  }
  if (!operands.empty()) return "unexpected argument '" + operands.front() + "'";
  if (options.geometry.empty()) return "missing --geometry FILE (the microphone positions)";
  if (options.mean_file.empty() != options.gain_file.empty()) {
    return "normalization needs both --mean FILE and --gain FILE";
  }
  *out = options;
  return "";
}

std::string usage() {
  return R"(Usage: zelcamera --geometry G.xml [OPTION]...
Capture the microphone array and show where the sound comes from, live, in a web
browser: a map of the sound level over a plane in front of the array, the 64
channels' levels and the capture's health.

  -D, --address ADDR     the array's IPv4 address (default 127.0.0.2)
      --geometry FILE    the microphone positions (XML with <pos x= y= z=/>)
      --grid XMIN,XMAX,YMIN,YMAX,Z,INC
                         the map's plane and spacing in metres (default: the
                         array's aperture plus a margin, 1 m in front, 41 x 41)
      --freq HZ          the band's centre frequency (default 4000)
      --band third|octave|bin
                         third-octave, octave or one FFT bin (default third)
      --window SECONDS   the time each map covers (default 0.25, at most 2)
      --mean FILE --gain FILE
                         normalize every sample with zelnormalize's two files
      --port N           the web server's TCP port (default 8080)
      --listen ADDR      the address to serve on (default 127.0.0.1, this machine
                         only; 0.0.0.0 serves other machines too)
      --no-realtime      run the capture thread at normal priority (default: real-time
                         where this host allows it)
  -h, --help             print this help and exit

Open http://127.0.0.1:PORT/ in a browser. Beside the page: GET /api/status (JSON),
GET /api/map.npy (the latest map, float64 dB, shape (nx, ny)) and POST
/api/settings (JSON: freq, band, window, range_db). Ctrl-C stops. Exit status: 0
when stopped, 1 on failure (the array does not answer or stops streaming, the port
is taken), 2 on bad arguments.
)";
}

}  // namespace zelcamera
