#include "terminal.h"

#include <curses.h>
#include <poll.h>
#include <term.h>
#include <unistd.h>

#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <deque>

#include "clock.h"

namespace zelmonitor {
namespace {

enum Pair : short { kPairGreen = 1, kPairYellow, kPairRed, kPairCyan, kPairAlarm };

class CursesTerminal : public Terminal {
 public:
  CursesTerminal() {
    initscr();
    cbreak();
    noecho();
    keypad(stdscr, TRUE);
    curs_set(0);
    colours_ = has_colors();
    if (colours_) {
      start_color();
      use_default_colors();
      init_pair(kPairGreen, COLOR_GREEN, -1);
      init_pair(kPairYellow, COLOR_YELLOW, -1);
      init_pair(kPairRed, COLOR_RED, -1);
      init_pair(kPairCyan, COLOR_CYAN, -1);
      init_pair(kPairAlarm, COLOR_WHITE, COLOR_RED);
    }
  }
  ~CursesTerminal() override { CursesTerminal::restore(); }

  int key(int ms) override {
    timeout(ms);
    const int ch = getch();
    switch (ch) {
      case ERR:
        return kNoKey;
      case KEY_LEFT:
        return kKeyLeft;
      case KEY_RIGHT:
        return kKeyRight;
      case KEY_UP:
        return kKeyUp;
      case KEY_DOWN:
        return kKeyDown;
      case KEY_RESIZE:
        resized_ = true;
        return kKeyResize;
      case KEY_ENTER:
      case '\n':
      case '\r':
        return kKeyEnter;
      default:
        return ch;
    }
  }

  void size(int *cols, int *rows) const override { getmaxyx(stdscr, *rows, *cols); }

  void show(const Screen &screen, bool /*now*/) override {
    if (resized_) {
      clear();
      resized_ = false;
    }
    for (size_t y = 0; y < screen.text.size(); ++y) {
      const std::string &text = screen.text[y];
      const std::string &tags = screen.tags[y];
      for (size_t x = 0; x < text.size();) {
        size_t end = x;
        while (end < text.size() && tags[end] == tags[x]) ++end;
        const attr_t attr = attribute(tags[x]);
        attron(attr);
        mvaddnstr(static_cast<int>(y), static_cast<int>(x), text.c_str() + x,
                  static_cast<int>(end - x));
        attroff(attr);
        x = end;
      }
    }
    refresh();
  }

  void restore() override {
    if (isendwin()) return;
    curs_set(1);
    endwin();
  }

 private:
  attr_t attribute(char tag) const {
    switch (tag) {
      case kGreen:
        return colours_ ? COLOR_PAIR(kPairGreen) : A_NORMAL;
      case kYellow:
        return colours_ ? COLOR_PAIR(kPairYellow) : A_NORMAL;
      case kRed:
        return colours_ ? COLOR_PAIR(kPairRed) | A_BOLD : A_BOLD;
      case kCyan:
        return colours_ ? COLOR_PAIR(kPairCyan) : A_NORMAL;
      case kAlarm:
        return colours_ ? COLOR_PAIR(kPairAlarm) | A_BOLD : A_REVERSE | A_BOLD;
      case kBold:
        return A_BOLD;
      case kReverse:
        return A_REVERSE;
      case kDim:
        return colours_ ? A_DIM : A_NORMAL;
      default:
        return A_NORMAL;
    }
  }

  bool colours_ = false;
  bool resized_ = false;
};

// Text on standard output once a second; commands typed as lines on standard input.
class PlainTerminal : public Terminal {
 public:
  int key(int ms) override {
    if (pending_.empty() && !input_closed_) {
      pollfd in{STDIN_FILENO, POLLIN, 0};
      if (poll(&in, 1, ms) > 0) {
        char bytes[256];
        const ssize_t got = read(STDIN_FILENO, bytes, sizeof bytes);
        if (got <= 0) input_closed_ = true;
        for (ssize_t i = 0; i < got; ++i)
          pending_.push_back(bytes[i] == '\n' ? static_cast<int>(kKeyEnter) : bytes[i]);
      }
    } else if (pending_.empty()) {
      poll(nullptr, 0, ms);
    }
    if (pending_.empty()) return kNoKey;
    const int k = pending_.front();
    pending_.pop_front();
    return k;
  }

  void size(int *cols, int *rows) const override {
    *cols = from_environment("COLUMNS", kMinCols);
    *rows = from_environment("LINES", 24);
  }

  void show(const Screen &screen, bool now) override {
    const double t = zeltool::now_seconds();
    if (!now && t - last_print_ < 1.0) return;
    last_print_ = t;
    for (const std::string &line : screen.text) {
      const size_t end = line.find_last_not_of(' ');
      std::printf("%s\n", end == std::string::npos ? "" : line.substr(0, end + 1).c_str());
    }
    std::printf("\n");
    std::fflush(stdout);
  }

  void restore() override {}

 private:
  static int from_environment(const char *name, int fallback) {
    const char *text = std::getenv(name);
    const int value = text ? std::atoi(text) : 0;
    return value > 0 ? value : fallback;
  }

  std::deque<int> pending_;
  bool input_closed_ = false;
  double last_print_ = -1e9;
};

// True when the terminal named by TERM is known and can move its cursor anywhere.
bool can_address_cursor() {
  int error = 0;
  if (setupterm(nullptr, STDOUT_FILENO, &error) != OK) return false;
  const char *cup = tigetstr("cup");
  const bool ok = cup != nullptr && reinterpret_cast<std::intptr_t>(cup) != -1;
  del_curterm(cur_term);
  return ok;
}

}  // namespace

std::unique_ptr<Terminal> open_terminal() {
  if (isatty(STDIN_FILENO) && isatty(STDOUT_FILENO) && can_address_cursor()) {
    return std::make_unique<CursesTerminal>();
  }
  return std::make_unique<PlainTerminal>();
}

}  // namespace zelmonitor
