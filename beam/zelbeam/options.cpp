#include "options.h"

#include <cmath>
#include <map>

#include "command_line.h"

namespace zelbeam_cli {
namespace {

using Setter = zeltool::OptionTable<Options>::Setter;

bool to_double(const std::string &text, double *out) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
  char *end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(value)) return false;
  *out = value;
  return true;
}

std::string set_grid(const std::string &text, Options *o) {
  double v[6];
  size_t begin = 0;
  for (int k = 0; k < 6; ++k) {
    const size_t end = text.find(',', begin);
    if ((end == std::string::npos) != (k == 5) ||
        !to_double(text.substr(begin, end - begin), &v[k]))
      return "invalid --grid '" + text + "': expected XMIN,XMAX,YMIN,YMAX,Z,INC in metres";
    begin = end + 1;
  }
  o->grid = zelbeam_grid_t{v[0], v[1], v[2], v[3], v[4], v[5]};
  zelbeam_error err = ZELBEAM_OK;
  if (zelbeam_grid_shape(&o->grid, nullptr, nullptr, &err) == 0)
    return "invalid --grid '" + text + "': " + zelbeam_strerror(err);
  o->grid_given = true;
  return "";
}

// An option whose value is one word of a table.
template <class T>
Setter choice(const char *name, const std::map<std::string, T> &words, T Options::*field,
              const char *expected) {
  return [=](const std::string &text, Options *o) -> std::string {
    auto it = words.find(text);
    if (it == words.end()) return std::string("invalid ") + name + " '" + text + "': " + expected;
    o->*field = it->second;
    return "";
  };
}

// The same for a field of the library's settings.
Setter setting(const char *name, const std::map<std::string, int> &words,
               int zelbeam_settings_t::*field, const char *expected) {
  return [=](const std::string &text, Options *o) -> std::string {
    auto it = words.find(text);
    if (it == words.end()) return std::string("invalid ") + name + " '" + text + "': " + expected;
    o->settings.*field = it->second;
    return "";
  };
}

Setter seconds(const char *name, double Options::*field, bool zero_allowed) {
  return [=](const std::string &text, Options *o) -> std::string {
    double v = 0;
    if (!to_double(text, &v) || v < 0 || (!zero_allowed && v == 0))
      return std::string("invalid ") + name + " '" + text + "': expected seconds " +
             (zero_allowed ? ">= 0" : "> 0");
    o->*field = v;
    return "";
  };
}

std::string set_block(const std::string &text, Options *o) {
  int64_t v = 0;
  if (!zeltool::to_int64(text, &v) || v < 128 || v > 8192 || (v & (v - 1)) != 0)
    return "invalid --block '" + text + "': expected a power of two from 128 to 8192";
  o->settings.block = static_cast<int>(v);
  return "";
}

std::string set_freq(const std::string &text, Options *o) {
  if (!to_double(text, &o->freq) || o->freq <= 0)
    return "invalid --freq '" + text + "': expected a frequency in Hz above 0";
  o->freq_given = true;
  return "";
}

std::string set_rate(const std::string &text, Options *o) {
  if (!to_double(text, &o->raw_rate) || o->raw_rate <= 0)
    return "invalid --rate '" + text + "': expected a sampling rate in Hz above 0";
  o->rate_given = true;
  return "";
}

std::string set_output(const std::string &text, Options *o) {
  static const std::map<std::string, OutputType> types = {
      {".npy", OutputType::npy}, {".csv", OutputType::csv}, {".png", OutputType::png}};
  const size_t dot = text.rfind('.');
  auto it = dot == std::string::npos ? types.end() : types.find(text.substr(dot));
  if (it == types.end())
    return "invalid -o '" + text + "': the name must end in .npy, .csv or .png";
  o->output = text;
  o->output_type = it->second;
  return "";
}

const zeltool::OptionTable<Options> &option_table() {
  static const zeltool::OptionTable<Options> table = {
      {
          {"geometry",
           [](const std::string &text, Options *o) -> std::string {
             if (text.empty()) return "invalid --geometry '': expected a file";
             o->geometry = text;
             o->geometry_given = true;
             return "";
           }},
          {"grid", set_grid},
          {"freq", set_freq},
          {"band", choice<int>("--band",
                               {{"third", ZELBEAM_BAND_THIRD},
                                {"octave", ZELBEAM_BAND_OCTAVE},
                                {"bin", ZELBEAM_BAND_BIN}},
                               &Options::band, "expected third, octave or bin")},
          {"block", set_block},
          {"overlap", setting("--overlap", {{"0", 0}, {"50", 50}, {"75", 75}},
                              &zelbeam_settings_t::overlap, "expected 0, 50 or 75")},
          {"steer", setting("--steer",
                            {{"classic", ZELBEAM_STEER_CLASSIC},
                             {"inverse", ZELBEAM_STEER_INVERSE},
                             {"true-level", ZELBEAM_STEER_TRUE_LEVEL},
                             {"true-location", ZELBEAM_STEER_TRUE_LOCATION}},
                            &zelbeam_settings_t::steer,
                            "expected classic, inverse, true-level or true-location")},
          {"diagonal", setting("--diagonal", {{"remove", 1}, {"keep", 0}},
                               &zelbeam_settings_t::diagonal_removal, "expected remove or keep")},
          {"start", seconds("--start", &Options::start_s, true)},
          {"duration", seconds("--duration", &Options::duration_s, false)},
          {"rate", set_rate},
          {"output", set_output},
      },
      {{"help", &Options::help}},
      {{'o', "output"}, {'h', "help"}},
  };
  return table;
}

}  // namespace

std::string parse(const std::vector<std::string> &args, Options *out) {
  Options o;
  zelbeam_settings_default(&o.settings);
  std::vector<std::string> operands;
  if (std::string why = zeltool::parse_options(args, option_table(), &o, &operands); !why.empty())
    return why;
  if (o.help) {
    *out = o;
    return "";
  }
  if (!o.geometry_given) return "missing --geometry";
  if (!o.grid_given) return "missing --grid";
  if (!o.freq_given) return "missing --freq";
  if (operands.size() != 1)
    return operands.empty() ? "missing INPUT (a recording)" : "more than one INPUT given";
  o.input = operands[0];
  *out = o;
  return "";
}

std::string usage() {
  return R"(Usage: zelbeam --geometry G.xml --grid XMIN,XMAX,YMIN,YMAX,Z,INC --freq HZ
               [--band third|octave|bin] [--block N] [--overlap 0|50|75]
               [--steer classic|inverse|true-level|true-location]
               [--diagonal remove|keep] [--start S] [--duration S] [-o OUT] INPUT
A beamforming map of a recording: where the sound in a band came from.

  --geometry FILE   microphone positions: XML of <pos x=".." y=".." z=".."/>, one
                    per channel in channel order, in metres
  --grid ...        the map's points, in metres: x from XMIN to XMAX and y from
                    YMIN to YMAX in steps of INC, in the plane z = Z
  --freq HZ         centre frequency of the band
  --band B          third (default), octave or bin (the first FFT bin at or
                    above HZ)
  --block N         FFT block in frames, a power of two from 128 to 8192
                    (default 1024)
  --overlap P       overlap of the blocks in percent: 0, 50 (default) or 75
  --steer S         steering: classic, inverse, true-level (default) or
                    true-location
  --diagonal D      remove (default) or keep the cross-spectral diagonal
  --start S         skip the first S seconds of the recording (default 0)
  --duration S      use S seconds from there (default: to the end)
  --rate HZ         sampling rate of a raw recording (default 44100); other
                    files carry their own
  -o, --output OUT  write the map: OUT.npy (float64 dB, shape (nx, ny), x
                    first), OUT.csv (x,y,z,level_db rows) or OUT.png (a colour
                    map with a dB scale, the microphones and the peak)
  -h, --help        print this help and exit

INPUT is a recording as zelrecord writes it: .h5 (dataset time_data, frames x
channels, attribute sample_freq), .wav or .rf64 (PCM), anything else raw
(192-byte sample frames of 64 big-endian 24-bit samples). Levels are in dB re
20 uPa with full scale as 1. zelbeam prints one line: peak X Y Z LEVEL dB.
Exit status: 0 on success, 1 on failure, 2 on bad arguments.
)";
}

}  // namespace zelbeam_cli
