#include "options.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>

namespace zelrecord {
namespace {

// One option's value check and store; returns "" or the reason the value is refused.
using Setter = std::function<std::string(const std::string &, Options *)>;

bool to_int64(const std::string &text, int64_t *value) {
  if (text.empty()) return false;
  char *end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *value = v;
  return true;
}

// An integer option within [low, high].
Setter int_setter(const char *name, int64_t low, int64_t high, int Options::*field) {
  return [=](const std::string &text, Options *o) -> std::string {
    int64_t v = 0;
    if (!to_int64(text, &v) || v < low || v > high) {
      return std::string("invalid ") + name + " '" + text + "' (" + std::to_string(low) + " to " +
             std::to_string(high) + ")";
    }
    o->*field = static_cast<int>(v);
    return "";
  };
}

std::string set_address(const std::string &text, Options *o) {
  in_addr parsed{};
  if (inet_pton(AF_INET, text.c_str(), &parsed) != 1) {
    return "invalid address '" + text + "' (dotted IPv4, e.g. 127.0.0.2)";
  }
  o->address = text;
  return "";
}

std::string set_rate(const std::string &text, Options *o) {
  if (text != "22050" && text != "44100") {
    return "invalid rate '" + text + "': the array runs at 22050 or 44100 Hz";
  }
  o->rate = std::stoi(text);
  return "";
}

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

// Long names of the options that take a value; the short letters map onto them.
const std::map<std::string, Setter> &value_options() {
  static const std::map<std::string, Setter> options = {
      {"address", set_address},
      {"rate", set_rate},
      {"duration", set_duration},
      {"frames", set_frames},
      {"type", set_type},
      {"mean", [](const std::string &t, Options *o) { return (o->mean_file = t, ""); }},
      {"gain", [](const std::string &t, Options *o) { return (o->gain_file = t, ""); }},
      {"wait-frame", int_setter("frame number", 0, 65535, &Options::wait_frame)},
      {"drop", int_setter("frame count to drop", 0, 1 << 30, &Options::drop)},
      {"ring", set_ring},
      {"silence-limit", set_silence_limit},
  };
  return options;
}

const std::map<std::string, bool Options::*> &flag_options() {
  static const std::map<std::string, bool Options::*> flags = {
      {"slave", &Options::slave},
      {"fix-delay", &Options::fix_delay},
      {"quiet", &Options::quiet},
      {"help", &Options::help},
  };
  return flags;
}

std::string long_name(char letter) {
  switch (letter) {
    case 'D':
      return "address";
    case 'r':
      return "rate";
    case 'd':
      return "duration";
    case 's':
      return "frames";
    case 't':
      return "type";
    case 'q':
      return "quiet";
    case 'h':
      return "help";
    default:
      return "";
  }
}

bool ends_with(const std::string &text, const std::string &tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

class Parser {
 public:
  Parser(const std::vector<std::string> &args, Options *options) : args_(args), options_(options) {}

  std::string run() {
    for (i_ = 0; i_ < args_.size(); ++i_) {
      const std::string &arg = args_[i_];
      std::string why;
      if (arg == "--") {
        only_operands_ = true;
      } else if (only_operands_ || arg == "-" || arg.empty() || arg[0] != '-') {
        operands_.push_back(arg);
      } else if (arg.rfind("--", 0) == 0) {
        why = long_option(arg.substr(2));
      } else {
        why = short_options(arg.substr(1));
      }
      if (!why.empty()) return why;
    }
    return operands_error();
  }

  std::vector<std::string> operands_;

 private:
  // "--name", "--name=value" or "--name value".
  std::string long_option(const std::string &body) {
    const size_t eq = body.find('=');
    const std::string name = body.substr(0, eq);
    if (auto flag = flag_options().find(name); flag != flag_options().end()) {
      if (eq != std::string::npos) return "option --" + name + " takes no value";
      options_->*(flag->second) = true;
      return "";
    }
    if (value_options().count(name) == 0) return "unknown option '--" + name + "'";
    if (eq != std::string::npos) return value_options().at(name)(body.substr(eq + 1), options_);
    return take_value(name, "--" + name);
  }

  // "-q", "-d3", "-d 3", "-qd 3".
  std::string short_options(const std::string &letters) {
    for (size_t k = 0; k < letters.size(); ++k) {
      const std::string name = long_name(letters[k]);
      if (name.empty()) return std::string("unknown option '-") + letters[k] + "'";
      if (auto flag = flag_options().find(name); flag != flag_options().end()) {
        options_->*(flag->second) = true;
        continue;
      }
      if (k + 1 < letters.size()) return value_options().at(name)(letters.substr(k + 1), options_);
      return take_value(name, std::string("-") + letters[k]);
    }
    return "";
  }

  std::string take_value(const std::string &name, const std::string &spelled) {
    if (i_ + 1 >= args_.size()) return "option " + spelled + " needs a value";
    return value_options().at(name)(args_[++i_], options_);
  }

  std::string operands_error() const {
    if (options_->help) return "";
    if (operands_.empty()) return "no output file given ('-' for standard output)";
    if (operands_.size() > 1) return "more than one output file given: '" + operands_[1] + "'";
    return "";
  }

  const std::vector<std::string> &args_;
  Options *options_;
  size_t i_ = 0;
  bool only_operands_ = false;
};

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
  Parser parser(args, &options);
  if (std::string why = parser.run(); !why.empty()) return why;
  if (options.help) {
    *out = options;
    return "";
  }
  options.output = parser.operands_.front();
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
  -q, --quiet            no status line, no summary: only errors, and warnings of
                         lost or overwritten frames
  -h, --help             print this help and exit

Without -d or -s, recording goes on until Ctrl-C (SIGINT) or SIGTERM, which stop it
cleanly and leave a complete file. On a terminal a status line shows the elapsed
time, the frames written, the lost frames and the peak level of the quietest and
the loudest channel. Exit status: 0 on success, 1 on failure, 2 on bad arguments.
)";
}

}  // namespace zelrecord
