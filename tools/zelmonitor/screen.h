// The monitor's screen as text: a pure function from what is to be shown to lines of characters
// and a colour tag for each character, which the terminal code paints (or prints as it is).
#pragma once

#include <array>
#include <string>
#include <vector>

#include "meter.h"

namespace zelmonitor {

struct View {
  // Header.
  int id = 0;
  std::string prom;
  std::string address;
  int rate = 44100;
  bool slave = false;
  bool normalized = false;
  double elapsed_s = 0;
  bool realtime = false;  // the capture thread runs at real-time priority
  // Counters.
  int lost = 0;
  int kernel_drops = 0;
  int overflows = 0;
  int discontinuities = 0;
  int outages = 0;
  // Meters.
  bool have_data = false;
  std::array<Level, kChannels> levels{};
  // The selected channel: its spectrum in dBFS per bin (empty until 4096 samples are in).
  int selected = 0;
  std::vector<double> spectrum;
  // A message over the grid, e.g. that the array went silent; empty for none.
  std::string banner;
};

// Colour tags, one per character.
enum Tag : char {
  kPlain = ' ',
  kGreen = 'g',
  kYellow = 'y',
  kRed = 'r',
  kCyan = 'c',
  kBold = 'b',
  kReverse = 'v',
  kAlarm = 'a',  // the banner
  kDim = 'd',
};

struct Screen {
  std::vector<std::string> text;  // `rows` lines of `cols` characters
  std::vector<std::string> tags;  // the same shape
};

inline constexpr int kMinCols = 80;
inline constexpr int kMinRows = 21;

// "-12.3" or "-inf".
std::string level_text(double dbfs);

Screen render(const View &view, int cols, int rows);

}  // namespace zelmonitor
