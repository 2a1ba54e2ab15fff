// Where the screen goes: full screen through ncurses on a terminal that can address its cursor,
// else plain text printed once a second with commands read as lines.
#pragma once

#include <memory>

#include "screen.h"

namespace zelmonitor {

// Keys as the monitor understands them.
enum Key : int {
  kNoKey = -1,
  kKeyLeft = 1000,
  kKeyRight,
  kKeyUp,
  kKeyDown,
  kKeyResize,
  kKeyEnter,
};

class Terminal {
 public:
  virtual ~Terminal() = default;
  // Waits at most `ms` for a key; kNoKey when none came. A plain terminal hands out the
  // characters of a line typed, then kKeyEnter.
  virtual int key(int ms) = 0;
  virtual void size(int *cols, int *rows) const = 0;
  // Shows `screen`; a plain terminal prints at most once a second unless `now` is set.
  virtual void show(const Screen &screen, bool now) = 0;
  // Gives the terminal back as it was found. Idempotent; the destructor calls it.
  virtual void restore() = 0;
};

// Full screen when standard input and output are a terminal that can address its cursor,
// otherwise plain text.
std::unique_ptr<Terminal> open_terminal();

}  // namespace zelmonitor
