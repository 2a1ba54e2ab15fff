#include "options.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>

#include "command_line.h"

namespace zelrecord {
namespace {

using Setter = zeltool::OptionTable<Options>::Setter;
using zeltool::int_setter;
using zeltool::to_int64;

std::string set_duration(const std::string &text, Options *o) {
  char *end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(v) || v < 0 || v > 1e8) {
    return "invalid duration '" + text + "' (seconds, 0 for no limit)";
  }
  o->duration_s = v;
  return "";
}

std::string set_silence_limit(const std::string &text, Options *o) {
  char *end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(v) || v < 0.1 || v > 3600) {
    return "invalid silence limit '" + text + "' (seconds, 0.1 to 3600)";
  }
  o->silence_limit_s = v;
  return "";
}

std::string set_ring(const std::string &text, Options *o) {
  static const Setter checked = int_setter("ring size", 16, 2047, &Options::ring_mb);
  std::string why = checked(text, o);
  if (why.empty()) o->ring_given = true;
  return why;
}

std::string set_frames(const std::string &text, Options *o) {
  int64_t v = 0;
  if (!to_int64(text, &v) || v < 0) {
    return "invalid frame count '" + text + "' (0 for no limit)";
  }
  o->frames = v;
  return "";
}

std::string set_type(const std::string &text, Options *o) {
  if (text == "raw") {
    o->type = FileType::raw;
  } else if (text == "wav") {
    o->type = FileType::wav;
  } else if (text == "rf64") {
    o->type = FileType::rf64;
  } else if (text == "h5") {
    o->type = FileType::h5;
  } else {
    return "invalid file type '" + text + "' (raw, wav, rf64 or h5)";
  }
  o->type_given = true;
  return "";
}

// Long names of the options; the short letters map onto them.
const zeltool::OptionTable<Options> &option_table() {
  static const zeltool::OptionTable<Options> table = {
      .values =
          {
              {"address", zeltool::set_address<Options>},
              {"rate", zeltool::set_rate<Options>},
              {"duration", set_duration},
              {"frames", set_frames},
              {"type", set_type},
              {"mean", [](const std::string &t, Options *o) { return (o->mean_file = t, ""); }},
              {"gain", [](const std::string &t, Options *o) { return (o->gain_file = t, ""); }},
              {"wait-frame", zeltool::int_setter("frame number", 0, 65535, &Options::wait_frame)},
              {"drop", zeltool::int_setter("frame count to drop", 0, 1 << 30, &Options::drop)},
              {"ring", set_ring},
              {"silence-limit", set_silence_limit},
          },
      .flags =
          {
              {"slave", &Options::slave},
              {"fix-delay", &Options::fix_delay},
              {"quiet", &Options::quiet},
              {"no-realtime", &Options::no_realtime},
              {"help", &Options::help},
          },
      .letters = {{'D', "address"},
                  {'r', "rate"},
                  {'d', "duration"},
                  {'s', "frames"},
                  {'t', "type"},
                  {'q', "quiet"},
                  {'h', "help"}},
  };
  return table;
}

std::string operands_error(const Options &o, const std::vector<std::string> &operands) {
  if (o.help) return "";
  if (operands.empty()) return "no output file given ('-' for standard output)";
  if (operands.size() > 1) return "more than one output file given: '" + operands[1] + "'";
  return "";
}

bool ends_with(const std::string &text, const std::string &tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The type follows the file name unless -t names it.
void infer_type(Options *o) {
  if (o->type_given) return;
  if (ends_with(o->output, ".wav")) o->type = FileType::wav;
  if (ends_with(o->output, ".rf64")) o->type = FileType::rf64;
  if (ends_with(o->output, ".h5")) o->type = FileType::h5;
}

std::string check_combinations(const Options &o) {
  if (o.duration_s > 0 && o.frames > 0)
    return "give a duration (-d) or a frame count (-s), not both";
  if (o.mean_file.empty() != o.gain_file.empty()) {
    return "normalization needs both --mean FILE and --gain FILE";
  }
  if (o.output == "-" && o.type != FileType::raw) {
    return std::string("standard output takes raw only, not ") + type_name(o.type);
  }
  return "";
}

}  // namespace

std::string parse(const std::vector<std::string> &args, Options *out) {
  Options options;
  std::vector<std::string> operands;
  std::string why = zeltool::parse_options(args, option_table(), &options, &operands);
  if (why.empty()) why = operands_error(options, operands);
  if (!why.empty()) return why;
  if (options.help) {
    *out = options;
    return "";
  }
  options.output = operands.front();
  infer_type(&options);
  if (std::string why = check_combinations(options); !why.empty()) return why;
  *out = options;
  return "";
}

const char *type_name(FileType type) {
  switch (type) {
    case FileType::wav:
      return "wav";
    case FileType::rf64:
      return "rf64";
    case FileType::h5:
      return "h5";
    default:
      return "raw";
  }
}

int ring_megabytes(const Options &options) {
  if (options.ring_given) return options.ring_mb;
  const double bytes = (options.silence_limit_s + 2) * 44100 * 192;
  const int wanted = static_cast<int>(std::ceil(bytes / 1048576));
  return std::clamp(wanted, options.ring_mb, 2047);
}

int64_t frame_limit(const Options &options, int rate) {
  if (options.frames > 0) return options.frames;
  if (options.duration_s > 0) return std::max<int64_t>(1, std::llround(options.duration_s * rate));
  return 0;
}

std::string usage() {
  return R"(Usage: zelrecord [OPTION]... OUTPUT
Record the 64-channel microphone array to OUTPUT ('-' for standard output, raw only).

  -D, --address ADDR     the array's IPv4 address (default 127.0.0.2)
  -r, --rate 22050|44100 sampling rate in Hz (default: the array's current rate)
      --slave            run the array as a clock slave (default: master)
  -d, --duration SECONDS stop after SECONDS of audio (decimals allowed; 0: no limit)
  -s, --frames FRAMES    stop after FRAMES sample frames (0: no limit)
  -t, --type raw|wav|rf64|h5
                         file type (default: from OUTPUT's extension .wav, .rf64 or
                         .h5, else raw); raw is the sample frames as captured, 192
                         bytes each, as zelnormalize reads them; wav and rf64 hold 64
                         channels of 24-bit PCM, rf64 for files past 4 GiB; h5 is
                         HDF5 with a float32 dataset time_data (frames, 64), full
                         scale [-1, 1), its attribute sample_freq the rate, and the
                         start time and loss counts as attributes
      --mean FILE --gain FILE
                         normalize every sample with zelnormalize's two files
      --wait-frame N     start with the datagram after the one numbered N (0 to 65535)
      --drop N           drop the first N sample frames (in whole datagrams of 5)
      --fix-delay        delay the odd channels by one sample
      --ring MB          ring buffer in memory, 16 to 2047 MB (default 64, or more to
                         hold an outage of the silence limit)
      --silence-limit SECONDS
                         ride through silences of the array up to SECONDS (0.1 to
                         3600, default 10), recorded as silence of their length
      --no-realtime      run the capture thread at normal priority (default: real-time
                         priority where this host allows it)
  -q, --quiet            no status line, no summary: only errors, and warnings of
                         lost or overwritten frames
  -h, --help             print this help and exit

Without -d or -s, recording goes on until Ctrl-C (SIGINT) or SIGTERM, which stop it
cleanly and leave a complete file. On a terminal a status line shows the elapsed
time, the frames written, the lost frames and the peak level of the quietest and
the loudest channel. The start line says whether the capture runs at real-time
priority, and a warning follows when the socket buffer holds under 100 ms of the
stream without it. Lost frames are told apart: those dropped by this host (its
socket buffer was full) and those missing from the network. Exit status: 0 on
success, 1 on failure, 2 on bad arguments.
)";
}

}  // namespace zelrecord
