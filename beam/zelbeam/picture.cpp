#include "picture.h"

#include <png.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

namespace zelbeam_cli {
namespace {

using Rgb = std::array<uint8_t, 3>;

constexpr Rgb kBackground{40, 40, 40};
constexpr Rgb kWhite{255, 255, 255};
constexpr Rgb kBlack{0, 0, 0};
constexpr Rgb kPeak{230, 30, 30};
constexpr double kPlotPixels = 480;  // the longer side of the plot
constexpr int kMargin = 12, kBarGap = 24, kBarWidth = 20, kLabelWidth = 72, kTextScale = 2;

// A perceptually even ramp from dark blue-violet to yellow, by its anchors.
Rgb colour(double t) {
  static constexpr std::array<Rgb, 5> anchors = {
      {{68, 1, 84}, {59, 82, 139}, {33, 145, 140}, {94, 201, 98}, {253, 231, 37}}};
  t = std::clamp(t, 0.0, 1.0) * (anchors.size() - 1);
  const auto k = std::min(static_cast<size_t>(t), anchors.size() - 2);
  const double f = t - static_cast<double>(k);
  Rgb c{};
  for (int i = 0; i < 3; ++i)
    c[i] =
        static_cast<uint8_t>(std::lround(anchors[k][i] + f * (anchors[k + 1][i] - anchors[k][i])));
  return c;
}

// 5 x 7 glyphs of the characters the scale needs, one row per entry, bit 4 the leftmost pixel.
const uint8_t *glyph(char c) {
  static constexpr uint8_t digits[10][7] = {
      {14, 17, 19, 21, 25, 17, 14}, {4, 12, 4, 4, 4, 4, 14},  {14, 17, 1, 2, 4, 8, 31},
      {31, 2, 4, 2, 1, 17, 14},     {2, 6, 10, 18, 31, 2, 2}, {31, 16, 30, 1, 1, 17, 14},
      {6, 8, 16, 30, 17, 17, 14},   {31, 1, 2, 4, 8, 8, 8},   {14, 17, 17, 14, 17, 17, 14},
      {14, 17, 17, 15, 1, 2, 12}};
  static constexpr uint8_t minus[7] = {0, 0, 0, 31, 0, 0, 0};
  static constexpr uint8_t point[7] = {0, 0, 0, 0, 0, 12, 12};
  static constexpr uint8_t d[7] = {1, 1, 13, 19, 17, 17, 15};
  static constexpr uint8_t b[7] = {30, 17, 17, 30, 17, 17, 30};
  static constexpr uint8_t blank[7] = {};
  if (c >= '0' && c <= '9') return digits[c - '0'];
  if (c == '-') return minus;
  if (c == '.') return point;
  if (c == 'd') return d;
  if (c == 'B') return b;
  return blank;
}

class Canvas {
 public:
  Canvas(int width, int height) : width_(width), height_(height), pixels_(3u * width * height) {
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) set(x, y, kBackground);
  }
  int width() const { return width_; }
  int height() const { return height_; }
  void set(int x, int y, Rgb c) {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return;
    std::memcpy(&pixels_[3 * (static_cast<size_t>(y) * width_ + x)], c.data(), 3);
  }
  void disc(double cx, double cy, double radius, Rgb c) {
    for (int y = static_cast<int>(cy - radius) - 1; y <= cy + radius + 1; ++y)
      for (int x = static_cast<int>(cx - radius) - 1; x <= cx + radius + 1; ++x)
        if (std::hypot(x + 0.5 - cx, y + 0.5 - cy) <= radius) set(x, y, c);
  }
  void text(int x, int y, const std::string &s, Rgb c) {
    for (char ch : s) {
      const uint8_t *rows = glyph(ch);
      for (int r = 0; r < 7; ++r)
        for (int col = 0; col < 5; ++col)
          if (rows[r] & (16 >> col))
            for (int k = 0; k < kTextScale * kTextScale; ++k)
              set(x + col * kTextScale + k % kTextScale, y + r * kTextScale + k / kTextScale, c);
      x += 6 * kTextScale;
    }
  }
  const uint8_t *row(int y) const { return &pixels_[3 * static_cast<size_t>(y) * width_]; }

 private:
  int width_, height_;
  std::vector<uint8_t> pixels_;
};

// Metres to pixels over the box holding the grid's cells and the microphones, y upwards.
struct Frame {
  double x0 = 0, y1 = 0, scale = 1;  // left edge, top edge, pixels per metre
  int width = 1, height = 1;
  double px(double x) const { return kMargin + (x - x0) * scale; }
  double py(double y) const { return kMargin + (y1 - y) * scale; }
};

Frame frame_of(const MapPicture &p) {
  const double half = p.grid.increment / 2;
  double x0 = p.grid.x_min - half, x1 = p.grid.x_min + (p.nx - 1) * p.grid.increment + half;
  double y0 = p.grid.y_min - half, y1 = p.grid.y_min + (p.ny - 1) * p.grid.increment + half;
  for (const auto &m : p.microphones) {
    x0 = std::min(x0, m[0] - half), x1 = std::max(x1, m[0] + half);
    y0 = std::min(y0, m[1] - half), y1 = std::max(y1, m[1] + half);
  }
  Frame f;
  f.x0 = x0;
  f.y1 = y1;
  f.scale = kPlotPixels / std::max(x1 - x0, y1 - y0);
  f.width = std::max(1, static_cast<int>(std::lround((x1 - x0) * f.scale)));
  f.height = std::max(1, static_cast<int>(std::lround((y1 - y0) * f.scale)));
  return f;
}

void draw_map(Canvas &c, const Frame &f, const MapPicture &p) {
  const double floor_db = p.peak.level_db - p.range_db;
  for (int y = 0; y < f.height; ++y)
    for (int x = 0; x < f.width; ++x) {
      const double mx = f.x0 + (x + 0.5) / f.scale, my = f.y1 - (y + 0.5) / f.scale;
      const long i = std::lround((mx - p.grid.x_min) / p.grid.increment);
      const long j = std::lround((my - p.grid.y_min) / p.grid.increment);
      if (i < 0 || j < 0 || i >= p.nx || j >= p.ny) continue;
      const double level = p.map_db[i * p.ny + j];
      c.set(kMargin + x, kMargin + y, colour((level - floor_db) / p.range_db));
    }
}

void draw_marks(Canvas &c, const Frame &f, const MapPicture &p) {
  for (const auto &m : p.microphones) {
    c.disc(f.px(m[0]), f.py(m[1]), 4, kBlack);
    c.disc(f.px(m[0]), f.py(m[1]), 3, kWhite);
  }
  const double x = f.px(p.peak.x), y = f.py(p.peak.y);
  for (int k = -8; k <= 8; ++k)
    for (int w = -1; w <= 1; ++w) {
      c.set(static_cast<int>(x) + k + w, static_cast<int>(y) + k, kPeak);
      c.set(static_cast<int>(x) + k + w, static_cast<int>(y) - k, kPeak);
    }
}

void draw_scale(Canvas &c, const Frame &f, const MapPicture &p) {
  const int left = kMargin + f.width + kBarGap, top = kMargin + 20, bottom = c.height() - kMargin;
  for (int y = top; y < bottom; ++y)
    for (int x = left; x < left + kBarWidth; ++x)
      c.set(x, y, colour(1.0 - static_cast<double>(y - top) / (bottom - 1 - top)));
  c.text(left, kMargin, "dB", kWhite);
  for (int k = 0; k <= 4; ++k) {
    const double level = p.peak.level_db - k * p.range_db / 4;
    const int y = top + static_cast<int>(std::lround(k * (bottom - 1 - top) / 4.0));
    for (int x = left; x < left + kBarWidth; ++x) c.set(x, y, kBlack);
    char label[32];
    std::snprintf(label, sizeof label, "%.1f", level);
    c.text(left + kBarWidth + 8, std::clamp(y - 7, 0, c.height() - 14), label, kWhite);
  }
}

// libpng reports failures by longjmp, so nothing with a destructor lives in this frame.
bool write_rows(FILE *file, const Canvas &canvas) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (!png) return false;
  png_infop info = png_create_info_struct(png);
  if (!info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_init_io(png, file);
  png_set_IHDR(png, info, static_cast<png_uint_32>(canvas.width()),
               static_cast<png_uint_32>(canvas.height()), 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < canvas.height(); ++y)
    png_write_row(png, const_cast<png_bytep>(canvas.row(y)));
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace

std::string write_png(const std::string &path, const MapPicture &p) {
  const Frame f = frame_of(p);
  Canvas canvas(kMargin + f.width + kBarGap + kBarWidth + kLabelWidth + kMargin,
                kMargin + std::max(f.height, 200) + kMargin);
  draw_map(canvas, f, p);
  draw_marks(canvas, f, p);
  draw_scale(canvas, f, p);
  std::unique_ptr<FILE, decltype(&std::fclose)> file(std::fopen(path.c_str(), "wb"), std::fclose);
  if (!file) return "cannot write '" + path + "': " + std::strerror(errno);
  if (!write_rows(file.get(), canvas) || std::fclose(file.release()) != 0)
    return "cannot write '" + path + "'";
  return "";
}

}  // namespace zelbeam_cli
