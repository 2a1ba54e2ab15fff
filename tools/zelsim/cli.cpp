#include "cli.h"

#include "geometry.h"
#include "sources.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>
#include <sstream>

namespace zelsim::cli {
namespace {

bool to_long(const std::string &text, long min, long max, long *out) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
  char *end = nullptr;
  errno = 0;
  long value = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < min || value > max) return false;
  *out = value;
  return true;
}

bool to_double(const std::string &text, double *out) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
  char *end = nullptr;
  errno = 0;
  double value = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(value)) return false;
  *out = value;
  return true;
}

bool to_u64(const std::string &text, uint64_t *out) {
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
  char *end = nullptr;
  errno = 0;
  unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *out = value;
  return true;
}

bool parse_signal(const std::string &text, Config *c) {
  static const std::map<std::string, SignalKind> kinds = {{"ramp", SignalKind::ramp},
                                                          {"tone", SignalKind::tone},
                                                          {"noise", SignalKind::noise},
                                                          {"calib", SignalKind::calib}};
  if (text.rfind("file:", 0) == 0) {
    c->signal = SignalKind::file;
    c->signal_file = text.substr(5);
    return true;
  }
  auto it = kinds.find(text);
  if (it == kinds.end()) return false;
  c->signal = it->second;
  return true;
}

// Numbers separated by `separator`, each finite; false unless there are `min` to `max` of them.
bool to_doubles(const std::string &text, char separator, size_t min, size_t max,
                std::vector<double> *out) {
  std::vector<double> values;
  size_t begin = 0;
  while (true) {
    size_t end = text.find(separator, begin);
    double value;
    if (!to_double(text.substr(begin, end - begin), &value)) return false;
    values.push_back(value);
    if (end == std::string::npos) break;
    begin = end + 1;
  }
  if (values.size() < min || values.size() > max) return false;
  *out = std::move(values);
  return true;
}

bool parse_source(const std::string &text, PointSource *out) {
  std::vector<double> v;
  if (!to_doubles(text, ',', 3, 4, &v)) return false;
  PointSource source;
  source.position = {v[0], v[1], v[2]};
  if (v.size() == 4) source.level_db = v[3];
  *out = source;
  return true;
}

// X1,Y1,Z1:X2,Y2,Z2:SECONDS
bool parse_source_path(const std::string &text, PointSource *out) {
  size_t first = text.find(':');
  size_t second = first == std::string::npos ? first : text.find(':', first + 1);
  if (second == std::string::npos) return false;
  std::vector<double> from, to, seconds;
  if (!to_doubles(text.substr(0, first), ',', 3, 3, &from) ||
      !to_doubles(text.substr(first + 1, second - first - 1), ',', 3, 3, &to) ||
      !to_doubles(text.substr(second + 1), ',', 1, 1, &seconds) || seconds[0] <= 0)
    return false;
  PointSource source;
  source.position = {from[0], from[1], from[2]};
  source.end = {to[0], to[1], to[2]};
  source.seconds = seconds[0];
  *out = source;
  return true;
}

using Setter = std::function<std::string(const std::string &, Options *)>;

std::string bad(const std::string &option, const std::string &value, const std::string &want) {
  return "invalid value '" + value + "' for " + option + ": " + want;
}

// Checked here as well as by the emulator, so that a wrong file is a usage error (status 2).
std::string check_signal_file(const std::string &value, const std::string &path) {
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    return bad("--signal", value, "cannot read the file");
  if (st.st_size == 0 || st.st_size % kSampleFrameBytes != 0)
    return bad("--signal", value, "the file is not a non-empty sequence of 192-byte sample frames");
  return "";
}

constexpr long kMaxPeriod = 1000000000;  // keeps a fault period within an int

// An option taking a whole number from 0 to max, stored in the config's `field`.
template <class Field>
Setter whole_number(const char *option, long max, const char *want, Field Config::*field) {
  return [=](const std::string &v, Options *o) {
    long n;
    if (!to_long(v, 0, max, &n)) return bad(option, v, want);
    o->config.*field = static_cast<Field>(n);
    return std::string();
  };
}

// Each option taking a value, with what it accepts.
const std::map<std::string, Setter> &value_options() {
  static const std::map<std::string, Setter> options = {
      {"--address",
       [](const std::string &v, Options *o) {
         in_addr unused{};
         if (inet_pton(AF_INET, v.c_str(), &unused) != 1)
           return bad("--address", v, "expected an IPv4 address such as 127.0.0.2");
         o->config.address = v;
         return std::string();
       }},
      {"--id", whole_number("--id", 65535, "expected 0 to 65535", &Config::id)},
      {"--prom",
       [](const std::string &v, Options *o) {
         if (v.size() > 8) return bad("--prom", v, "at most 8 characters");
         o->config.prom = v;
         return std::string();
       }},
      {"--speed",
       [](const std::string &v, Options *o) {
         if (v != "22050" && v != "44100") return bad("--speed", v, "expected 22050 or 44100");
         o->config.speed = std::stoi(v);
         return std::string();
       }},
      {"--first-frame",
       whole_number("--first-frame", 65535, "expected 0 to 65535", &Config::first_frame)},
      {"--signal",
       [](const std::string &v, Options *o) {
         if (!parse_signal(v, &o->config))
           return bad("--signal", v, "expected ramp, tone, noise, calib or file:PATH");
         if (o->config.signal == SignalKind::file)
           return check_signal_file(v, o->config.signal_file);
         return std::string();
       }},
      {"--drop-every",
       whole_number("--drop-every", kMaxPeriod, "expected N >= 0", &Config::drop_every)},
      {"--duplicate-every",
       whole_number("--duplicate-every", kMaxPeriod, "expected N >= 0", &Config::duplicate_every)},
      {"--rate-multiple",
       [](const std::string &v, Options *o) {
         double x;
         if (!to_double(v, &x) || x < 0)
           return bad("--rate-multiple", v, "expected X >= 0 (0: as fast as possible)");
         o->config.rate_multiple = x;
         return std::string();
       }},
      {"--duration",
       [](const std::string &v, Options *o) {
         double x;
         if (!to_double(v, &x) || x <= 0) return bad("--duration", v, "expected seconds > 0");
         o->duration_s = x;
         return std::string();
       }},
      {"--geometry",
       [](const std::string &v, Options *o) { return read_geometry(v, &o->config.microphones); }},
      {"--source",
       [](const std::string &v, Options *o) {
         PointSource source;
         if (!parse_source(v, &source))
           return bad("--source", v, "expected X,Y,Z or X,Y,Z,LEVEL_DB (metres, dB)");
         o->config.sources.push_back(source);
         return std::string();
       }},
      {"--source-path",
       [](const std::string &v, Options *o) {
         PointSource source;
         if (!parse_source_path(v, &source))
           return bad("--source-path", v, "expected X1,Y1,Z1:X2,Y2,Z2:SECONDS with SECONDS > 0");
         o->config.sources.push_back(source);
         return std::string();
       }},
      {"--source-tone",
       [](const std::string &v, Options *o) {
         double x;
         if (!to_double(v, &x) || x <= 0 || x >= 22050)
           return bad("--source-tone", v, "expected a frequency above 0 and below 22050 Hz");
         o->config.source_tone_hz = x;
         return std::string();
       }},
      {"--seed",
       [](const std::string &v, Options *o) {
         if (!to_u64(v, &o->config.seed)) return bad("--seed", v, "expected an unsigned integer");
         return std::string();
       }},
  };
  return options;
}

// The sources need the geometry and replace the other signals; the emulator's own check runs
// here too, so that sources that would clip are a usage error.
std::string check_sources(Options *o, bool signal_given) {
  Config &c = o->config;
  const bool sources = !c.sources.empty();
  if (!sources && (!c.microphones.empty() || c.source_tone_hz > 0))
    return "--geometry and --source-tone need a --source or --source-path";
  if (!sources) return "";
  if (c.microphones.empty()) return "--source and --source-path need --geometry";
  if (signal_given) return "--signal cannot be combined with --source or --source-path";
  c.signal = SignalKind::sources;
  detail::SourceField field;
  std::string why;
  return field.load(c, &why) ? "" : why;
}

}  // namespace

std::string parse(const std::vector<std::string> &args, Options *out) {
  Options options;
  bool signal_given = false;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::string value;
    bool has_value = false;
    if (auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
      has_value = true;
    }
    if (name == "--help" || name == "-h") {
      options.help = true;
      continue;
    }
    if (name == "--slave" && !has_value) {
      options.config.slave = true;
      continue;
    }
    auto it = value_options().find(name);
    if (it == value_options().end()) return "unknown option '" + args[i] + "'";
    if (!has_value) {
      if (i + 1 >= args.size()) return "option " + name + " needs a value";
      value = args[++i];
    }
    if (std::string why = it->second(value, &options); !why.empty()) return why;
    signal_given = signal_given || name == "--signal";
  }
  if (std::string why = check_sources(&options, signal_given); !why.empty()) return why;
  *out = options;
  return "";
}

std::string usage() {
  return R"(Usage: zelsim [OPTION]...
Play the 64-channel microphone array on UDP port 32767: answer its requests and,
while acquisition is on, stream data datagrams to whoever switched it on.

  --address ADDR        local IPv4 address to listen on (default 127.0.0.2)
  --id N                identifier, 0 to 65535 (default 4660)
  --prom TEXT           PROM number, at most 8 characters (default ZELSIM01)
  --speed 22050|44100   starting sampling rate in Hz (default 44100)
  --slave               start in clock-slave mode
  --first-frame N       number of the first data datagram, 0 to 65535 (default 0)
  --signal KIND         ramp (default), tone, noise, calib or file:PATH (a raw
                        capture of 192-byte sample frames, looped)
  --drop-every N        lose every Nth data datagram (default 0: never)
  --duplicate-every N   send every Nth data datagram twice (default 0: never)
  --rate-multiple X     stream at X times the real rate; 0: as fast as possible
  --duration S          stop after S seconds (default: run until SIGINT/SIGTERM)
  --seed N              seed of the noise, calib and source signals (default 1)
  --geometry FILE       microphone positions (XML of pos elements with x, y, z in
                        metres, one per channel in channel order), for the sources
  --source X,Y,Z[,LEVEL_DB]
                        a point source of white noise at X,Y,Z metres; LEVEL_DB is
                        its rms at 1 m, in dB re 20 uPa with 1 Pa at full scale
                        (default 60); repeatable, each source with its own noise
  --source-path X1,Y1,Z1:X2,Y2,Z2:SECONDS
                        a source moving from the first point to the second in
                        SECONDS, back again and so on; repeatable
  --source-tone HZ      the sources play a sine of HZ instead of noise
  --help                print this help and exit

The calib signal gives channel c the DC offset (c - 32) * 1000 and the gain
0.5 + c / 63 (mean 1), so that zelnormalize on a capture of it gives back
these gains. With sources, microphone m hears each source's signal delayed by
r/c and scaled by 1/r (r its distance, c = 343 m/s); sources that could clip
the 24-bit samples are refused. On exit a summary of datagrams sent and faults
injected goes to standard error. Exit status: 0 on success, 1 if the port
cannot be bound, 2 on bad arguments.
)";
}

std::string describe(const Config &c) {
  static const char *kinds[] = {"ramp", "tone", "noise", "calib", "file", "sources"};
  std::ostringstream out;
  out << "zelsim: array " << c.id << " (PROM " << c.prom << ") on " << c.address << ":" << c.port
      << ", " << c.speed << " Hz, " << (c.slave ? "slave" : "master") << ", signal "
      << kinds[static_cast<int>(c.signal)];
  if (c.signal == SignalKind::file) out << " " << c.signal_file;
  if (c.signal == SignalKind::sources) {
    out << " (" << c.sources.size() << ", "
        << (c.source_tone_hz > 0 ? std::to_string(c.source_tone_hz) + " Hz" : "noise") << ")";
  }
  if (c.rate_multiple != 1.0) out << ", rate x" << c.rate_multiple;
  out << "\n";
  return out.str();
}

std::string summary(const Stats &st) {
  std::ostringstream out;
  out << "zelsim: sent " << st.datagrams_sent << " data datagrams, " << st.replies_sent
      << " replies\n"
      << "zelsim: faults: dropped " << st.dropped << ", duplicated " << st.duplicated
      << ", reordered " << st.reordered << ", paused " << st.paused << ", foreign "
      << st.foreign_sent << ", replies delayed " << st.replies_delayed << ", replies withheld "
      << st.replies_withheld << ", status overridden " << st.status_overridden << ", sets ignored "
      << st.sets_ignored << ", lingered " << st.lingered << "\n"
      << "zelsim: received " << st.commands_received << " requests, " << st.other_received
      << " other datagrams; " << st.send_errors << " send errors\n";
  return out.str();
}

}  // namespace zelsim::cli
