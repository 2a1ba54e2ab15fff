#include "options.h"

#include "command_line.h"

namespace zelmonitor {
namespace {

const zeltool::OptionTable<Options> &option_table() {
  static const zeltool::OptionTable<Options> table = {
      .values =
          {
              {"address", zeltool::set_address<Options>},
              {"rate", zeltool::set_rate<Options>},
              {"mean", [](const std::string &t, Options *o) { return (o->mean_file = t, ""); }},
              {"gain", [](const std::string &t, Options *o) { return (o->gain_file = t, ""); }},
          },
      .flags = {{"fix-delay", &Options::fix_delay},
                {"no-realtime", &Options::no_realtime},
                {"help", &Options::help}},
      .letters = {{'D', "address"}, {'r', "rate"}, {'h', "help"}},
  };
  return table;
}

}  // namespace

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
  if (options.mean_file.empty() != options.gain_file.empty()) {
    return "normalization needs both --mean FILE and --gain FILE";
  }
  *out = options;
  return "";
}

std::string usage() {
  return R"(Usage: zelmonitor [OPTION]...
Show the 64 channels of the microphone array live, full screen: level meters, lost
frames, and the spectrum of one channel.

  -D, --address ADDR     the array's IPv4 address (default 127.0.0.2)
  -r, --rate 22050|44100 sampling rate in Hz (default: the array's current rate)
      --mean FILE --gain FILE
                         normalize every sample with zelnormalize's two files
      --fix-delay        delay the odd channels by one sample
      --no-realtime      run the capture thread at normal priority (default: real-time
                         priority where this host allows it)
  -h, --help             print this help and exit

Each channel shows its RMS level over the last 100 ms in dBFS (its DC offset left
out; -inf for a channel that does not move), a bar with a mark at the peak of the
last 2 s, and '!' when a sample reached full scale in the last 2 s. Arrow keys or
a channel number select the channel whose spectrum is shown; q or Ctrl-C quits.
The array's clock mode is left as it is. On a terminal without cursor addressing
(TERM=dumb) or when not on a terminal, the screen is printed as text once a second
and commands are read as lines. Exit status: 0 on quitting, 1 on failure (the array
does not answer or stops streaming), 2 on bad arguments.
)";
}

}  // namespace zelmonitor
