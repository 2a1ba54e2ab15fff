// zelmonitor on a terminal: the program runs in a tmux session of its own against the emulated
// array, and the tests read the screen as a person would.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <thread>

#include "harness.h"

namespace {

using namespace std::chrono_literals;
using zeltest::read_file;
using zeltest::run;

constexpr int kCols = 100;
constexpr int kRows = 26;

class MonitorScreen : public ::testing::Test {
 protected:
  ~MonitorScreen() override { tmux({"kill-server"}); }

  zeltest::ChildResult tmux(std::vector<std::string> args) {
    args.insert(args.begin(), {TMUX, "-f", "/dev/null", "-S", (dir_ / "tmux.sock").string()});
    return run(args, dir_.path(), 10s);
  }

  // Starts zelmonitor with `args` in a detached session; its exit status lands in a file.
  void start(const std::string &args) {
    const std::string command = std::string(ZELMONITOR) + " " + args + " 2>" +
                                (dir_ / "stderr").string() + "; echo $? >" +
                                (dir_ / "status").string();
    ASSERT_EQ(tmux({"new-session", "-d", "-x", std::to_string(kCols), "-y", std::to_string(kRows),
                    command})
                  .status,
              0);
  }

  std::string screen() { return tmux({"capture-pane", "-p"}).out; }
  void keys(const std::vector<std::string> &keys) {
    std::vector<std::string> args = {"send-keys"};
    args.insert(args.end(), keys.begin(), keys.end());
    tmux(args);
  }

  // The screen once `ready` holds for it, else the last screen seen after `timeout`.
  std::string wait_for(const std::function<bool(const std::string &)> &ready,
                       std::chrono::milliseconds timeout = 10s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    std::string text;
    do {
      text = screen();
      if (ready(text)) return text;
      std::this_thread::sleep_for(100ms);
    } while (std::chrono::steady_clock::now() < end);
    return text;
  }

  // The program's exit status, -1 when it has not ended within `timeout`.
  int exit_status(std::chrono::milliseconds timeout = 10s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
      const std::string text = read_file(dir_ / "status");
      if (!text.empty()) return std::stoi(text);
      std::this_thread::sleep_for(50ms);
    }
    return -1;
  }

  zeltest::TempDir dir_;
};

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

// The 64 levels of the grid in channel order; empty unless every cell holds a number.
std::vector<double> grid_levels(const std::string &text) {
  const std::vector<std::string> lines = lines_of(text);
  std::vector<double> levels;
  const int width = kCols / 8;
  for (int c = 0; c < 64; ++c) {
    const size_t line = 2 + 2 * static_cast<size_t>(c / 8);
    if (line >= lines.size()) return {};
    const std::string cell =
        lines[line].substr(static_cast<size_t>(c % 8) * static_cast<size_t>(width), width);
    int channel = -1;
    double level = 0;
    if (std::sscanf(cell.c_str(), "%d %lf", &channel, &level) != 2 || channel != c) return {};
    levels.push_back(level);
  }
  return levels;
}

// The number after `label` on the screen, or -1.
double number_after(const std::string &text, const std::string &label) {
  const size_t at = text.find(label);
  return at == std::string::npos ? -1 : std::atof(text.c_str() + at + label.size());
}

TEST_F(MonitorScreen, CalibLevelsFollowTheEmulatorsGainsAndQQuitsWithStatus0) {
  zelsim::Config config;
  config.signal = zelsim::SignalKind::calib;
  auto emulator = zeltest::start_emulator(config);
  ASSERT_TRUE(emulator);
  start("");
  const std::string text =
      wait_for([](const std::string &s) { return grid_levels(s).size() == 64; });
  const std::vector<double> levels = grid_levels(text);
  ASSERT_EQ(levels.size(), 64u) << text;
  EXPECT_NE(text.find("array 4660  PROM ZELSIM01"), std::string::npos) << text;
  EXPECT_NE(text.find("44100 Hz  master  raw"), std::string::npos) << text;
  // Every channel hears one noise through its own gain, and the meters leave the offsets out,
  // so the levels differ by the gains' ratios alone (to the display's 0.1 dB).
  for (int c = 1; c < 64; ++c) {
    const double expected = 20 * std::log10(zelsim::calib_gain(c) / zelsim::calib_gain(0));
    EXPECT_NEAR(levels[c] - levels[0], expected, 0.11) << "channel " << c << "\n" << text;
    EXPECT_GE(levels[c], levels[c - 1]) << "channel " << c;
  }
  keys({"q"});
  EXPECT_EQ(exit_status(), 0) << read_file(dir_ / "stderr");
}

TEST_F(MonitorScreen, DroppedDatagramsMoveTheLostCounter) {
  zelsim::Config config;
  config.signal = zelsim::SignalKind::calib;
  config.drop_every = 100;
  auto emulator = zeltest::start_emulator(config);
  ASSERT_TRUE(emulator);
  start("-r 22050");
  std::string text =
      wait_for([](const std::string &s) { return number_after(s, "lost frames ") > 0; });
  const double first = number_after(text, "lost frames ");
  ASSERT_GT(first, 0) << text;
  EXPECT_NE(text.find("22050 Hz"), std::string::npos) << text;
  text = wait_for([&](const std::string &s) { return number_after(s, "lost frames ") > first; });
  EXPECT_GT(number_after(text, "lost frames "), first) << text;
  // The emulator's drops never reached this host: all of them are the network's.
  EXPECT_EQ(number_after(text, "(host "), 0) << text;
  EXPECT_EQ(number_after(text, ", network "), number_after(text, "lost frames ")) << text;
  if (geteuid() == 0) {
    EXPECT_NE(text.find("  real-time  "), std::string::npos) << text;
  }
  keys({"q"});
  EXPECT_EQ(exit_status(), 0);
}

TEST_F(MonitorScreen, SelectedChannelShowsItsTonesFrequencyAndCtrlCQuits) {
  zelsim::Config config;
  config.signal = zelsim::SignalKind::tone;
  config.tone_hz = 3000;
  auto emulator = zeltest::start_emulator(config);
  ASSERT_TRUE(emulator);
  start("");
  wait_for([](const std::string &s) { return grid_levels(s).size() == 64; });
  keys({"4", "2", "Down"});  // channel 42, then one row down
  const std::string text = wait_for([](const std::string &s) {
    return s.find("channel 50 ") != std::string::npos &&
           s.find("spectrum peak") != std::string::npos;
  });
  ASSERT_NE(text.find("channel 50 "), std::string::npos) << text;
  EXPECT_NEAR(number_after(text, "spectrum peak "), 3000, 3) << text;
  keys({"C-c"});
  EXPECT_EQ(exit_status(), 0);
}

TEST_F(MonitorScreen, ArrayThatStopsStreamingIsShownThenExits1) {
  auto emulator = zeltest::start_emulator();
  ASSERT_TRUE(emulator);
  start("");
  ASSERT_EQ(grid_levels(wait_for([](const std::string &s) {
              return grid_levels(s).size() == 64;
            })).size(),
            64u);
  emulator->set_acquiring(false);
  const std::string text = wait_for(
      [](const std::string &s) { return s.find("stopped streaming") != std::string::npos; });
  EXPECT_NE(text.find("the array at 127.0.0.2 stopped streaming"), std::string::npos) << text;
  EXPECT_EQ(exit_status(), 1);
  EXPECT_NE(read_file(dir_ / "stderr").find("stopped streaming"), std::string::npos);
}

TEST(Zelmonitor, BadArgumentsAndAnAbsentArrayAreRefusedWithAMessage) {
  struct Case {
    std::vector<std::string> args;
    int status;
    const char *message;
  };
  const std::vector<Case> cases = {
      {{"-r", "48000"}, 2, "invalid rate '48000'"},
      {{"--mean", "m.bin"}, 2, "needs both --mean FILE and --gain FILE"},
      {{"-D", "300.1.2.3"}, 2, "invalid address"},
      {{"--bogus"}, 2, "unknown option '--bogus'"},
      {{"out.raw"}, 2, "unexpected argument 'out.raw'"},
      {{"--mean", "/nonexistent", "--gain", "/nonexistent"}, 1, "cannot read mean file"},
      {{"-D", "127.0.0.9"}, 1, "no answer from the array at 127.0.0.9"},
  };
  zeltest::TempDir dir;
  for (const Case &k : cases) {
    std::vector<std::string> argv = {ZELMONITOR};
    argv.insert(argv.end(), k.args.begin(), k.args.end());
    const zeltest::ChildResult r = run(argv, dir.path());
    EXPECT_EQ(r.status, k.status) << k.message;
    EXPECT_NE(r.err.find(k.message), std::string::npos) << r.err;
  }
}

}  // namespace
