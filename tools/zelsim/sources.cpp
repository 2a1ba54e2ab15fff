#include "sources.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <sstream>

#include "payload.h"

namespace zelsim::detail {
namespace {

constexpr double kKaiserBeta = 6.0;            // about 60 dB of stop band for 32 taps
constexpr int kChunk = 64;                     // frames rendered per stretch of noise
constexpr uint64_t kSourceStream = 0x50C0;     // noise stream of source i: kSourceStream + i
constexpr double kSqrt3 = 1.7320508075688772;  // uniform [-1, 1) to rms 1
constexpr double kFullScale = 8388607.0 / 8388608.0;
constexpr int kMaxRate = 44100;

double sinc(double x) {
  if (x == 0) return 1.0;
  double px = std::numbers::pi * x;
  return std::sin(px) / px;
}

double kaiser(double x, double half_width) {
  double u = x / half_width;
  if (u * u >= 1) return 0;
  return std::cyl_bessel_i(0.0, kKaiserBeta * std::sqrt(1 - u * u)) /
         std::cyl_bessel_i(0.0, kKaiserBeta);
}

using Point = std::array<double, 3>;

double distance(const Point &a, const Point &b) {
  double dx = a[0] - b[0], dy = a[1] - b[1], dz = a[2] - b[2];
  return std::sqrt(dx * dx + dy * dy + dz * dz);
}

// The point of the segment a-b nearest to p.
Point nearest_on_segment(const Point &a, const Point &b, const Point &p) {
  Point ab{b[0] - a[0], b[1] - a[1], b[2] - a[2]};
  double len2 = ab[0] * ab[0] + ab[1] * ab[1] + ab[2] * ab[2];
  double t = 0;
  if (len2 > 0)
    t = std::clamp(((p[0] - a[0]) * ab[0] + (p[1] - a[1]) * ab[1] + (p[2] - a[2]) * ab[2]) / len2,
                   0.0, 1.0);
  return {a[0] + t * ab[0], a[1] + t * ab[1], a[2] + t * ab[2]};
}

bool finite(const Point &p) {
  return std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]);
}

bool refuse(std::string *error, const std::string &why) {
  if (error) *error = why;
  return false;
}

// The taps are the same for every delay line, so the process computes them once.
const std::vector<float> &kaiser_sinc_taps(double *peak_gain) {
  static double gain = 0;
  static const std::vector<float> taps = [] {
    constexpr int P = FractionalDelay::kPhases, T = FractionalDelay::kTaps;
    std::vector<float> rows(static_cast<size_t>(P) * T);
    for (int p = 0; p < P; ++p) {
      const double frac = static_cast<double>(p) / P;
      float *row = &rows[static_cast<size_t>(p) * T];
      std::array<double, T> h{};
      double sum = 0, abs_sum = 0;
      for (int t = 0; t < T; ++t) {
        const double x = (t - FractionalDelay::kBefore) - frac;  // sample time minus read time
        h[t] = sinc(x) * kaiser(x, T / 2.0);
        sum += h[t];
      }
      // Unit gain at DC in every phase, so that the phases differ only in delay.
      for (int t = 0; t < T; ++t) {
        row[t] = static_cast<float>(h[t] / sum);
        abs_sum += std::fabs(row[t]);
      }
      gain = std::max(gain, abs_sum);
    }
    return rows;
  }();
  *peak_gain = gain;
  return taps;
}

}  // namespace

FractionalDelay::FractionalDelay() {
  taps_ = &kaiser_sinc_taps(&peak_gain_);
}

const float *FractionalDelay::taps_for(double t, int64_t *first) const {
  const double whole = std::floor(t);
  auto k = static_cast<int64_t>(whole);
  auto p = static_cast<int>(std::lround((t - whole) * kPhases));
  if (p == kPhases) {
    p = 0;
    ++k;
  }
  *first = k - kBefore;
  return taps_->data() + static_cast<size_t>(p) * kTaps;
}

float FractionalDelay::apply(const float *taps, const float *x) {
  // Eight partial sums in a fixed order: the compiler keeps them in vector lanes, and every
  // caller gets the same rounding for the same time.
  std::array<float, 8> lanes{};
  for (int i = 0; i < kTaps; i += 8)
    for (int l = 0; l < 8; ++l) lanes[l] += taps[i + l] * x[i + l];
  return ((lanes[0] + lanes[4]) + (lanes[1] + lanes[5])) +
         ((lanes[2] + lanes[6]) + (lanes[3] + lanes[7]));
}

float FractionalDelay::at(const float *x, double t) const {
  int64_t first = 0;
  const float *taps = taps_for(t, &first);
  return apply(taps, x + first);
}

// ---------------------------------------------------------------------------------------------

bool SourceField::load(const Config &config, std::string *error) {
  microphones_ = config.microphones;
  c_ = config.speed_of_sound;
  tone_hz_ = config.source_tone_hz;
  seed_ = config.seed;
  sources_.clear();
  peak_bound_ = 0;
  if (microphones_.size() != static_cast<size_t>(kChannels))
    return refuse(error, "the geometry has " + std::to_string(microphones_.size()) +
                             " microphones, the array " + std::to_string(kChannels) + " channels");
  for (const Point &m : microphones_)
    if (!finite(m)) return refuse(error, "a microphone position is not a finite number");
  if (config.sources.empty()) return refuse(error, "no point source given");
  if (!std::isfinite(c_) || c_ <= 0)
    return refuse(error, "the speed of sound must be a positive number");
  if (!std::isfinite(tone_hz_) || tone_hz_ < 0 || tone_hz_ >= kMaxRate / 2.0)
    return refuse(error, "the source tone must be above 0 and below 22050 Hz");

  const double unit_peak = tone_hz_ > 0 ? std::numbers::sqrt2 : kSqrt3 * delay_.peak_gain();
  size_t stretch = 0;
  int nearest_mic = 0;
  double nearest_r = INFINITY;
  for (size_t i = 0; i < config.sources.size(); ++i) {
    const PointSource &p = config.sources[i];
    if (!finite(p.position) || !finite(p.end) || !std::isfinite(p.level_db) ||
        !std::isfinite(p.seconds) || p.seconds < 0)
      return refuse(error, "a source position, level or period is not a finite number");
    Source s;
    s.from = p.position;
    s.to = p.seconds > 0 ? p.end : p.position;
    s.seconds = p.seconds;
    s.amplitude = 2e-5 * std::pow(10.0, p.level_db / 20.0);
    s.stream = kSourceStream + i;
    s.phase = 0.5 * (uniform(seed_, s.stream, 0) + 1);
    s.r_min = INFINITY;
    for (int m = 0; m < kChannels; ++m) {
      double near = distance(nearest_on_segment(s.from, s.to, microphones_[m]), microphones_[m]);
      s.r[m] = distance(s.from, microphones_[m]);
      s.r_max = std::max({s.r_max, s.r[m], distance(s.to, microphones_[m])});
      if (near < s.r_min) s.r_min = near;
      if (near < nearest_r) nearest_r = near, nearest_mic = m;
    }
    peak_bound_ += s.r_min > 0 ? s.amplitude * unit_peak / s.r_min : INFINITY;
    double spread = (s.r_max - s.r_min) / c_ * kMaxRate;
    if (!(spread < 1e7)) return refuse(error, "a source is too far from the microphones");
    stretch = std::max(stretch, static_cast<size_t>(spread) + kChunk + 2 * FractionalDelay::kTaps);
    sources_.push_back(s);
  }
  if (!(peak_bound_ <= kFullScale)) {
    std::ostringstream why;
    why.precision(3);
    why << "the sources could clip the 24-bit samples (peak up to " << peak_bound_
        << " of full scale; microphone " << nearest_mic << " is " << nearest_r
        << " m from a source): lower their levels or move them away";
    return refuse(error, why.str());
  }
  noise_.assign(stretch, 0.0f);
  return true;
}

std::array<double, 3> SourceField::place(const Source &s, uint64_t frame, int speed) const {
  if (s.seconds <= 0) return s.from;
  double t = static_cast<double>(frame) / speed;
  double u = std::fmod(t, 2 * s.seconds) / s.seconds;
  double w = u <= 1 ? u : 2 - u;
  return {s.from[0] + w * (s.to[0] - s.from[0]), s.from[1] + w * (s.to[1] - s.from[1]),
          s.from[2] + w * (s.to[2] - s.from[2])};
}

void SourceField::render_chunk(const Source &s, uint64_t first, int frames, int speed,
                               float *out) const {
  const double samples_per_metre = speed / c_;
  const bool still = s.seconds <= 0;
  // The stretch of noise every channel reads from: from the latest arrival's taps on the left to
  // the earliest arrival's on the right.
  const auto lo = static_cast<int64_t>(first) -
                  static_cast<int64_t>(std::ceil(s.r_max * samples_per_metre)) -
                  FractionalDelay::kBefore - 2;
  const bool tone = tone_hz_ > 0;
  if (!tone) {
    const int64_t hi = static_cast<int64_t>(first) + frames + FractionalDelay::kAfter + 2 -
                       static_cast<int64_t>(std::floor(s.r_min * samples_per_metre));
    for (int64_t k = lo; k < hi; ++k)
      noise_[static_cast<size_t>(k - lo)] =
          static_cast<float>(kSqrt3 * uniform(seed_, s.stream, static_cast<uint64_t>(k)));
  }
  if (still && !tone) {
    // The delay of each channel is the same for every frame: its taps are found once.
    for (int m = 0; m < kChannels; ++m) {
      int64_t k = 0;
      const float *taps = delay_.taps_for(
          static_cast<double>(static_cast<int64_t>(first) - lo) - s.r[m] * samples_per_metre, &k);
      const auto gain = static_cast<float>(s.amplitude / s.r[m]);
      for (int f = 0; f < frames; ++f)
        out[static_cast<size_t>(f) * kChannels + m] +=
            gain * FractionalDelay::apply(taps, noise_.data() + k + f);
    }
    return;
  }
  for (int f = 0; f < frames; ++f) {
    const uint64_t n = first + static_cast<uint64_t>(f);
    const Point at = still ? s.from : place(s, n, speed);
    // The tone's phase is reduced before the delay is taken off, so long runs keep precision.
    const double cycles = tone ? std::fmod(tone_hz_ * static_cast<double>(n) / speed, 1.0) : 0;
    float *row = out + static_cast<size_t>(f) * kChannels;
    for (int m = 0; m < kChannels; ++m) {
      const double r = still ? s.r[m] : distance(at, microphones_[m]);
      if (tone) {
        row[m] += static_cast<float>(
            s.amplitude / r * std::numbers::sqrt2 *
            std::sin(2 * std::numbers::pi * (cycles - tone_hz_ * r / c_ + s.phase)));
      } else {
        // Rounded as the still sources' are, so that a moving source at rest matches them.
        const double t = static_cast<double>(n - first) +
                         static_cast<double>(static_cast<int64_t>(first) - lo) -
                         r * samples_per_metre;
        row[m] += static_cast<float>(s.amplitude / r) * delay_.at(noise_.data(), t);
      }
    }
  }
}

void SourceField::render(uint64_t first, int frames, int speed, float *out) const {
  std::fill(out, out + static_cast<size_t>(frames) * kChannels, 0.0f);
  for (int done = 0; done < frames; done += kChunk) {
    int count = std::min(kChunk, frames - done);
    for (const Source &s : sources_)
      render_chunk(s, first + static_cast<uint64_t>(done), count, speed,
                   out + static_cast<size_t>(done) * kChannels);
  }
}

}  // namespace zelsim::detail
