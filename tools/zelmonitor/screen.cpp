#include "screen.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "capture_host.h"
#include "clock.h"

namespace zelmonitor {
namespace {

constexpr double kBarFloorDb = -60;        // level bars span -60..0 dBFS
constexpr double kSpectrumFloorDb = -120;  // spectrum bars span -120..0 dBFS
constexpr int kGridTop = 2;
constexpr int kGridRows = 8;

class Canvas {
 public:
  Canvas(int cols, int rows)
      : cols_(cols),
        screen_{std::vector<std::string>(rows, std::string(cols, ' ')),
                std::vector<std::string>(rows, std::string(cols, kPlain))} {}

  // Writes `text` from column x of line y, clipped to the screen.
  void put(int y, int x, const std::string &text, char tag = kPlain) {
    if (y < 0 || y >= static_cast<int>(screen_.text.size())) return;
    for (size_t i = 0; i < text.size(); ++i) {
      const int col = x + static_cast<int>(i);
      if (col < 0 || col >= cols_) continue;
      screen_.text[y][col] = text[i];
      screen_.tags[y][col] = tag;
    }
  }
  Screen take() { return std::move(screen_); }

 private:
  int cols_;
  Screen screen_;
};

std::string format(const char *pattern, auto... values) {
  char text[256];
  std::snprintf(text, sizeof text, pattern, values...);
  return text;
}

// Columns of a bar of `width` for a level between `floor` and 0 dB.
int bar_length(double db, double floor, int width) {
  if (!(db > floor)) return 0;  // -inf and NaN too
  return std::clamp(static_cast<int>(std::lround((db - floor) / -floor * width)), 0, width);
}

char level_colour(double db) {
  if (db >= -6) return kRed;
  if (db >= -20) return kYellow;
  return kGreen;
}

void draw_header(Canvas *canvas, const View &v, int cols) {
  std::string where = format("array %d  PROM %s", v.id, v.prom.c_str());
  const std::string rest =
      format("  %d Hz  %s  %s  %s  %s", v.rate, v.slave ? "slave" : "master",
             v.normalized ? "normalized" : "raw", v.realtime ? "real-time" : "normal priority",
             zeltool::clock_text(v.elapsed_s).c_str());
  const std::string at = "  at " + v.address;
  if (where.size() + at.size() + rest.size() <= static_cast<size_t>(cols)) where += at;
  canvas->put(0, 0, where + rest, kBold);
  canvas->put(1, 0,
              zeltool::loss_counters_text(v.lost, v.kernel_drops) +
                  format("  ring overflows %d  discontinuities %d  outages %d", v.overflows,
                         v.discontinuities, v.outages),
              v.lost > 0 || v.overflows > 0 || v.discontinuities > 0 ? kYellow : kPlain);
}

// Two lines per channel: "12 -23.4!" and a bar with the held peak marked '|'.
void draw_cell(Canvas *canvas, const View &v, int channel, int y, int x, int width) {
  const Level &level = v.levels[channel];
  const bool dead = v.have_data && std::isinf(level.rms_dbfs);
  canvas->put(y, x, format("%2d", channel), channel == v.selected ? kReverse : kBold);
  const std::string text = v.have_data ? level_text(level.rms_dbfs) : "";
  canvas->put(y, x + 3, format("%6s", text.c_str()), dead ? kRed : kPlain);
  if (level.clipped) canvas->put(y, x + 9, "!", kRed);

  const int bar = width - 1;
  const int filled = bar_length(level.rms_dbfs, kBarFloorDb, bar);
  for (int i = 0; i < bar; ++i) {
    const double db_here = kBarFloorDb + (i + 1) * -kBarFloorDb / bar;
    if (i < filled) {
      canvas->put(y + 1, x + i, "#", level_colour(db_here));
    } else {
      canvas->put(y + 1, x + i, ".", kDim);
    }
  }
  const int peak = bar_length(level.peak_dbfs, kBarFloorDb, bar);
  if (peak > 0) canvas->put(y + 1, x + peak - 1, "|", level.clipped ? kRed : kBold);
}

// A frequency axis with a label at each multiple of a round step, far enough apart to read.
void draw_axis(Canvas *canvas, int y, int cols, int rate) {
  const double nyquist = rate / 2.0;
  int step = 20000;
  for (int candidate : {1000, 2000, 2500, 5000, 10000}) {
    if (candidate / nyquist * cols >= 8) {
      step = candidate;
      break;
    }
  }
  for (int hz = 0; hz <= nyquist; hz += step) {
    const int x = static_cast<int>(hz / nyquist * (cols - 1));
    const std::string label = hz == 0 ? "0" : format("%gk", hz / 1000.0);
    canvas->put(y, std::min(x, cols - static_cast<int>(label.size())), label, kDim);
  }
}

void draw_spectrum(Canvas *canvas, const View &v, int top, int rows, int cols) {
  const Level &level = v.levels[v.selected];
  std::string title = format("channel %d  %s dBFS", v.selected, level_text(level.rms_dbfs).c_str());
  if (v.spectrum.empty()) {
    title += "  spectrum: gathering 4096 samples";
  } else {
    title += format("  spectrum peak %.1f Hz", peak_frequency(v.spectrum, v.rate));
  }
  canvas->put(top, 0, title, kBold);
  const std::string keys = "arrows/0-63 select  q quit";
  if (title.size() + 2 + keys.size() <= static_cast<size_t>(cols)) {
    canvas->put(top, cols - static_cast<int>(keys.size()), keys, kDim);
  }

  const int height = rows - top - 2;  // bar rows between the title and the axis
  const std::vector<double> bars = spectrum_bars(v.spectrum, cols);
  for (size_t x = 0; x < bars.size(); ++x) {
    const int filled = bar_length(bars[x], kSpectrumFloorDb, height * 2);  // half rows
    for (int r = 0; r < height; ++r) {
      const int from_bottom = 2 * r;
      const char *mark = filled >= from_bottom + 2 ? "#" : filled == from_bottom + 1 ? "." : "";
      canvas->put(top + height - r, static_cast<int>(x), mark, kCyan);
    }
  }
  draw_axis(canvas, rows - 1, cols, v.rate);
}

void draw_banner(Canvas *canvas, const std::string &banner, int cols) {
  const int width = std::min(cols - 2, static_cast<int>(banner.size()) + 4);
  const int x = (cols - width) / 2;
  const int y = kGridTop + kGridRows - 1;
  std::string edge;
  edge.reserve(static_cast<size_t>(width));
  edge.append(1, '+').append(static_cast<size_t>(width - 2), '-').append(1, '+');
  canvas->put(y, x, edge, kAlarm);
  canvas->put(y + 1, x, "| " + banner.substr(0, width - 4) + " |", kAlarm);
  canvas->put(y + 2, x, edge, kAlarm);
}

}  // namespace

std::string level_text(double dbfs) {
  if (std::isinf(dbfs) || std::isnan(dbfs)) return "-inf";
  return format("%.1f", dbfs);
}

Screen render(const View &view, int cols, int rows) {
  cols = std::max(cols, 1);
  rows = std::max(rows, 1);
  Canvas canvas(cols, rows);
  if (cols < kMinCols || rows < kMinRows) {
    canvas.put(0, 0,
               format("zelmonitor needs a terminal of %d x %d; this one is %d x %d", kMinCols,
                      kMinRows, cols, rows));
    canvas.put(1, 0, "q: quit");
    return canvas.take();
  }
  draw_header(&canvas, view, cols);
  const int width = cols / 8;
  for (int c = 0; c < kChannels; ++c) {
    draw_cell(&canvas, view, c, kGridTop + 2 * (c / 8), (c % 8) * width, width);
  }
  draw_spectrum(&canvas, view, kGridTop + 2 * kGridRows, rows, cols);
  if (!view.banner.empty()) draw_banner(&canvas, view.banner, cols);
  return canvas.take();
}

}  // namespace zelmonitor
