// Point sources in memory: fractional delays, 1/r spreading, moving sources and what is refused.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>

#include "cli.h"
#include "sources.h"

namespace {

using zelsim::Config;
using zelsim::PointSource;
using zelsim::detail::FractionalDelay;
using zelsim::detail::SourceField;

constexpr int kRate = 44100;
constexpr double kC = 343.0;
constexpr int M = zelsim::kChannels;

TEST(FractionalDelay, ReadsSinesBetweenSamples) {
  FractionalDelay delay;
  for (auto [hz, tolerance] :
       {std::pair{500.0, 1e-3}, {4000.0, 1e-3}, {8000.0, 1e-3}, {16000.0, 3e-3}}) {
    std::vector<float> x(400);
    const double w = 2 * std::numbers::pi * hz / kRate;
    for (size_t k = 0; k < x.size(); ++k) x[k] = static_cast<float>(std::sin(w * k));
    double worst = 0;
    // Points 0.0137 samples apart over samples 100 to 300, so that every phase is visited.
    for (int i = 0; 100 + 0.0137 * i < 300; ++i) {
      const double t = 100 + 0.0137 * i;
      worst = std::max(worst, std::fabs(delay.at(x.data(), t) - std::sin(w * t)));
    }
    EXPECT_LT(worst, tolerance) << hz << " Hz";
  }
  EXPECT_GT(delay.peak_gain(), 1.0);
  EXPECT_LT(delay.peak_gain(), 3.0);
}

// Microphones on the z axis whose distances from a source at the origin are whole numbers of
// samples: there the field must be exactly the source's samples, delayed and scaled.
Config whole_sample_line(double level_db = 60) {
  Config c;
  for (int m = 0; m < M; ++m) c.microphones.push_back({0, 0, (40.0 + 3 * m) * kC / kRate});
  c.sources.push_back(PointSource{{0, 0, 0}, level_db});
  c.signal = zelsim::SignalKind::sources;
  return c;
}

std::vector<float> render(const Config &c, uint64_t first, int frames) {
  SourceField field;
  std::string why;
  EXPECT_TRUE(field.load(c, &why)) << why;
  std::vector<float> out(static_cast<size_t>(frames) * M);
  field.render(first, frames, kRate, out.data());
  return out;
}

TEST(SourceField, DelaysAndSpreadsBySampleAndDistance) {
  const Config c = whole_sample_line();
  const std::vector<float> out = render(c, 1000, 400);
  // r_m * y_m(n + d_m) is the source signal itself, the same on every microphone.
  for (int n = 1000; n < 1100; ++n) {
    const double r0 = (40.0) * kC / kRate;
    const double reference = r0 * out[static_cast<size_t>(n - 1000 + 40) * M];
    for (int m = 1; m < M; ++m) {
      const double r = (40.0 + 3 * m) * kC / kRate;
      ASSERT_NEAR(r * out[static_cast<size_t>(n - 1000 + 40 + 3 * m) * M + m], reference, 1e-6)
          << "microphone " << m << " frame " << n;
    }
  }
  // Any stretch renders the same values alone as within a longer one.
  const std::vector<float> part = render(c, 1137, 5);
  for (int i = 0; i < 5 * M; ++i) EXPECT_EQ(part[i], out[137 * M + i]);
  // rms 1 at 1 m for 93.98 dB (1 Pa at full scale).
  Config loud = whole_sample_line(20 * std::log10(1 / 2e-5) - 40);
  const std::vector<float> y = render(loud, 0, 20000);
  double sum = 0;
  for (int n = 0; n < 20000; ++n) sum += std::pow(y[n * M] * (40.0 * kC / kRate), 2);
  EXPECT_NEAR(std::sqrt(sum / 20000), 0.01, 0.0003);
}

TEST(SourceField, TonesArriveWithTheirDelay) {
  Config c = whole_sample_line();
  c.microphones[5] = {0.07, -0.02, 0.31};
  c.source_tone_hz = 3000;
  const int frames = 441 * 4;  // a whole number of cycles
  const std::vector<float> y = render(c, 123456, frames);
  auto phasor = [&](int m) {
    double re = 0, im = 0, w = 2 * std::numbers::pi * c.source_tone_hz / kRate;
    for (int n = 0; n < frames; ++n) {
      re += y[n * M + m] * std::cos(w * (123456 + n));
      im -= y[n * M + m] * std::sin(w * (123456 + n));
    }
    return std::complex<double>(re, im) * (2.0 / frames);
  };
  const double r0 = std::hypot(0.0, 0.0, 40.0 * kC / kRate);
  const double r5 = std::hypot(0.07, -0.02, 0.31);
  const double a = 2e-5 * 1000 * std::numbers::sqrt2;
  EXPECT_NEAR(std::abs(phasor(0)), a / r0, 1e-4 * a / r0);
  EXPECT_NEAR(std::abs(phasor(5)), a / r5, 1e-4 * a / r5);
  const double turn = std::arg(phasor(5) / phasor(0)) / (2 * std::numbers::pi);
  const double expected = -c.source_tone_hz * (r5 - r0) / kC;
  EXPECT_NEAR(std::remainder(turn - expected, 1.0), 0.0, 1e-5);
}

TEST(SourceField, MovingSourceTurnsAtItsEnds) {
  Config moving = whole_sample_line();
  moving.sources[0] = PointSource{{0.01, 0, 0}, 60, {-0.02, 0.03, -0.05}, 0.5};
  Config at_from = moving, at_to = moving;
  at_from.sources[0].seconds = 0;
  at_to.sources[0] = PointSource{{-0.02, 0.03, -0.05}, 60};
  for (uint64_t n : {uint64_t{0}, uint64_t{kRate}, uint64_t{3 * kRate}})
    EXPECT_EQ(render(moving, n, 1), render(at_from, n, 1)) << n;
  for (uint64_t n : {uint64_t{kRate / 2}, uint64_t{3 * kRate / 2}})
    EXPECT_EQ(render(moving, n, 1), render(at_to, n, 1)) << n;
  EXPECT_NE(render(moving, kRate / 4, 1), render(at_from, kRate / 4, 1));
}

TEST(SourceField, RefusesWhatCannotBeRendered) {
  struct Case {
    const char *name;
    void (*change)(Config &);
    const char *says;
  };
  const Case cases[] = {
      {"63 microphones", [](Config &c) { c.microphones.pop_back(); }, "63 microphones"},
      {"microphone at infinity", [](Config &c) { c.microphones[3][1] = INFINITY; }, "not a finite"},
      {"no source", [](Config &c) { c.sources.clear(); }, "no point source"},
      {"source level NaN", [](Config &c) { c.sources[0].level_db = NAN; }, "not a finite"},
      {"source on a microphone", [](Config &c) { c.sources[0].position = c.microphones[9]; },
       "clip"},
      {"source too loud", [](Config &c) { c.sources[0].level_db = 90; }, "clip"},
      {"path through a microphone",
       [](Config &c) {
         c.sources[0].end = {0, 0, 1};
         c.sources[0].seconds = 1;
       },
       "clip"},
      {"tone at Nyquist", [](Config &c) { c.source_tone_hz = 22050; }, "tone"},
      {"no speed of sound", [](Config &c) { c.speed_of_sound = 0; }, "speed of sound"},
  };
  for (const Case &k : cases) {
    Config c = whole_sample_line();
    k.change(c);
    SourceField field;
    std::string why;
    EXPECT_FALSE(field.load(c, &why)) << k.name;
    EXPECT_NE(why.find(k.says), std::string::npos) << k.name << ": " << why;
  }
}

TEST(ZelsimSourceOptions, ParsesSourcesAndRefusesBadOnes) {
  const std::string xml = ZELSIM_TEST_DATA "/beam-reference/array_64.xml";
  zelsim::cli::Options o;
  ASSERT_EQ(zelsim::cli::parse({"--source", "0.1,-0.05,-0.3", "--geometry", xml, "--source",
                                "-0.12,0.08,-0.3,54", "--source-path=0,0,-0.5:0.2,0,-0.5:2"},
                               &o),
            "");
  EXPECT_EQ(o.config.signal, zelsim::SignalKind::sources);
  ASSERT_EQ(o.config.microphones.size(), 64u);
  EXPECT_DOUBLE_EQ(o.config.microphones[0][0], 0.152);  // tabs around the value
  ASSERT_EQ(o.config.sources.size(), 3u);
  EXPECT_EQ(o.config.sources[1].level_db, 54);
  EXPECT_EQ(o.config.sources[2].end[0], 0.2);
  EXPECT_EQ(o.config.sources[2].seconds, 2);

  const std::vector<std::vector<std::string>> refused = {
      {"--source", "0,0,-0.3"},
      {"--geometry", xml},
      {"--geometry", xml, "--source", "0,0"},
      {"--geometry", xml, "--source", "0,0,-0.3,60,1"},
      {"--geometry", xml, "--source", "0,0,nan"},
      {"--geometry", xml, "--source-path", "0,0,-1:0,1,-1"},
      {"--geometry", xml, "--source-path", "0,0,-1:0,1,-1:0"},
      {"--geometry", xml, "--source", "0,0,-0.3", "--signal", "noise"},
      {"--geometry", xml, "--source", "0,0,-0.3", "--source-tone", "0"},
      {"--geometry", "/nonexistent.xml", "--source", "0,0,-0.3"},
      {"--geometry", ZELSIM_TEST_DATA "/beam-reference/maps.npz", "--source", "0,0,-0.3"},
  };
  for (const auto &args : refused) {
    zelsim::cli::Options unused;
    std::string joined;
    for (const auto &a : args) joined += a + " ";
    EXPECT_NE(zelsim::cli::parse(args, &unused), "") << joined;
  }
}

}  // namespace
