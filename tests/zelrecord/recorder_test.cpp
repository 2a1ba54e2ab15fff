// zelrecord against the emulated array on loopback: what lands in the files, stops, failures.
#include <gtest/gtest.h>
#include <signal.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <cmath>
#include <fstream>
#include <thread>

#include "harness.h"

namespace {

using namespace std::chrono_literals;
using zeltest::ChildResult;

constexpr int kFrameBytes = 192;

uint32_t SampleAt(const unsigned char *frame, int channel) {
  const unsigned char *p = frame + 3 * channel;
  return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
}

bool FrameIsSilent(const unsigned char *frame) {
  return std::all_of(frame, frame + kFrameBytes, [](unsigned char b) { return b == 0; });
}

// Frame f of a recording that starts with datagram `first` holds the ramp of datagram
// first + f / 5, modulo 65536.
bool FrameHoldsRamp(const unsigned char *frame, int first, int64_t f) {
  const int nfnbr = static_cast<int>((first + f / 5) % 65536);
  for (int c = 0; c < 64; ++c) {
    if (SampleAt(frame, c) != zelsim::ramp_value(c, nfnbr, static_cast<int>(f % 5))) return false;
  }
  return true;
}

// Index of the first frame that is not the ramp from datagram `first`, or -1.
int64_t FirstRampMismatch(const std::string &bytes, int first) {
  const auto *data = reinterpret_cast<const unsigned char *>(bytes.data());
  for (int64_t f = 0; f < static_cast<int64_t>(bytes.size() / kFrameBytes); ++f) {
    if (!FrameHoldsRamp(data + f * kFrameBytes, first, f)) return f;
  }
  return -1;
}

// The PCM of a WAV or RF64 file back as raw sample frames.
std::string ReadPcmAsRaw(const std::filesystem::path &path, SF_INFO *info) {
  SNDFILE *file = sf_open(path.c_str(), SFM_READ, info);
  if (file == nullptr) return "";
  std::vector<int> pcm(static_cast<size_t>(info->frames) * info->channels);
  const sf_count_t n = sf_readf_int(file, pcm.data(), info->frames);
  sf_close(file);
  std::string raw(static_cast<size_t>(n) * kFrameBytes, '\0');
  for (size_t i = 0; i < static_cast<size_t>(n) * 64; ++i) {
    const uint32_t v = static_cast<uint32_t>(pcm[i]) >> 8;
    raw[3 * i] = static_cast<char>(v >> 16);
    raw[3 * i + 1] = static_cast<char>(v >> 8);
    raw[3 * i + 2] = static_cast<char>(v);
  }
  return raw;
}

bool WaitForSize(const std::filesystem::path &path, uintmax_t bytes,
                 std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    std::error_code missing;
    const uintmax_t size = std::filesystem::file_size(path, missing);
    if (!missing && size >= bytes) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(20ms);
  }
}

class Zelrecord : public ::testing::Test {
 protected:
  zeltest::TempDir dir;
  zelsim::Config config;
  std::unique_ptr<zelsim::Emulator> sim;

  void StartArray() {
    sim = zeltest::start_emulator(config);
    ASSERT_TRUE(sim);
  }

  static std::vector<std::string> Command(std::vector<std::string> args) {
    args.insert(args.begin(), ZELRECORD);
    return args;
  }

  ChildResult Record(const std::vector<std::string> &args) {
    return zeltest::run(Command(args), dir.path());
  }

  std::string Path(const std::string &name) const { return (dir / name).string(); }
};

TEST_F(Zelrecord, RawFileHoldsExactlyTheRamp) {
  config.first_frame = 65500;  // the recording runs across the wrap of the frame numbers
  StartArray();
  const ChildResult r = Record({"-q", "-s", "8820", "--wait-frame", "65530", Path("a.raw")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::string raw = zeltest::read_file(dir / "a.raw");
  ASSERT_EQ(raw.size(), 8820u * kFrameBytes);
  EXPECT_EQ(FirstRampMismatch(raw, 65531), -1);
}

TEST_F(Zelrecord, StandardOutputCarriesTheRawStream) {
  config.first_frame = 10;
  StartArray();
  const ChildResult r = Record({"-q", "--frames=1000", "--wait-frame=20", "-"});
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(r.out.size(), 1000u * kFrameBytes);
  EXPECT_EQ(FirstRampMismatch(r.out, 21), -1);
}

TEST_F(Zelrecord, WavIsReadBySoxAs64Channels24Bit44100Hz) {
  config.first_frame = 10;
  StartArray();
  const ChildResult r =
      Record({"-q", "-r", "44100", "-d", "0.5", "--wait-frame", "20", Path("a.wav")});
  ASSERT_EQ(r.status, 0) << r.err;

  const ChildResult soxi = zeltest::run({SOXI, Path("a.wav")}, dir.path());
  ASSERT_EQ(soxi.status, 0) << soxi.err;
  EXPECT_NE(soxi.out.find("Channels       : 64\n"), std::string::npos) << soxi.out;
  EXPECT_NE(soxi.out.find("Sample Rate    : 44100\n"), std::string::npos) << soxi.out;
  EXPECT_NE(soxi.out.find("Precision      : 24-bit\n"), std::string::npos) << soxi.out;
  EXPECT_NE(soxi.out.find("= 22050 samples"), std::string::npos) << soxi.out;

  SF_INFO info{};
  const std::string raw = ReadPcmAsRaw(dir / "a.wav", &info);
  ASSERT_EQ(raw.size(), 22050u * kFrameBytes);
  EXPECT_EQ(FirstRampMismatch(raw, 21), -1);
}

TEST_F(Zelrecord, StopSignalMidRecordingLeavesACompleteFile) {
  StartArray();
  for (const auto &[sig, name, file] :
       {std::tuple{SIGINT, "SIGINT", "a.wav"}, std::tuple{SIGTERM, "SIGTERM", "a.raw"}}) {
    zeltest::Child child(Command({Path(file)}), dir.path());
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(WaitForSize(dir / file, 200'000, 5s));
    child.signal(sig);
    const ChildResult r = child.wait(5s);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find(std::string("stopped by ") + name), std::string::npos) << r.err;

    std::string raw = zeltest::read_file(dir / file);
    if (std::string(file) == "a.wav") {
      SF_INFO info{};
      raw = ReadPcmAsRaw(dir / file, &info);
      EXPECT_EQ(info.channels, 64);
      // The header (the plain 44 bytes) accounts for every byte of the file.
      EXPECT_EQ(std::filesystem::file_size(dir / file) - info.frames * kFrameBytes, 44u);
    }
    ASSERT_GE(raw.size(), 200'000u - 200'000u % kFrameBytes);
    ASSERT_EQ(raw.size() % kFrameBytes, 0u);
    const auto *first = reinterpret_cast<const unsigned char *>(raw.data());
    const int start = static_cast<int>(SampleAt(first, 0) / 5);  // channel 0 holds n * 5 + k
    EXPECT_EQ(FirstRampMismatch(raw, start), -1);
    EXPECT_NE(r.err.find("recorded"), std::string::npos);
  }
}

TEST_F(Zelrecord, UnreachableArrayIsOneClearErrorWithStatus1) {
  const ChildResult r = Record({"-D", "127.0.0.9", "-d", "1", Path("a.wav")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "zelrecord: no answer from the array at 127.0.0.9: Error receiving data from Zel\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "a.wav"));
}

TEST_F(Zelrecord, FullDiskIsOneClearErrorWithStatus1) {
  StartArray();
  for (const char *type : {"raw", "wav", "h5"}) {
    const ChildResult r = Record({"-q", "-s", "44100", "-t", type, "/dev/full"});
    EXPECT_EQ(r.status, 1) << type;
    EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
}

TEST_F(Zelrecord, BadArgumentsAndFilesAreRefusedBeforeRecording) {
  const ChildResult usage = Record({"-r", "48000", Path("a.raw")});
  EXPECT_EQ(usage.status, 2);
  EXPECT_EQ(usage.err,
            "zelrecord: invalid rate '48000': the array runs at 22050 or 44100 Hz\n"
            "Try 'zelrecord --help' for more information.\n");

  // A gain file given as the mean file would normalize with garbage.
  std::ofstream(dir / "mean") << std::string(256, '\0');
  std::ofstream(dir / "gain") << std::string(512, '\0');
  const ChildResult swapped =
      Record({"--mean", Path("gain"), "--gain", Path("mean"), Path("a.raw")});
  EXPECT_EQ(swapped.status, 1);
  EXPECT_EQ(swapped.err,
            "zelrecord: '" + Path("gain") + "' is not a mean file: it holds 512 bytes, not 256\n");

  // Gains computed over one frame are not numbers.
  const double nan = std::nan("");
  std::string gains;
  for (int c = 0; c < 64; ++c) gains.append(reinterpret_cast<const char *>(&nan), sizeof nan);
  std::ofstream(dir / "gain", std::ios::binary) << gains;
  const ChildResult not_numbers =
      Record({"--mean", Path("mean"), "--gain", Path("gain"), Path("a.raw")});
  EXPECT_EQ(not_numbers.status, 1);
  EXPECT_NE(not_numbers.err.find("the gain of channel 0 is not a number"), std::string::npos)
      << not_numbers.err;
  EXPECT_FALSE(std::filesystem::exists(dir / "a.raw"));
}

TEST_F(Zelrecord, LostFramesAreReportedAndRecordedAsSilence) {
  config.drop_every = 40;
  StartArray();
  const ChildResult r = Record({"-s", "8820", Path("a.raw")});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string raw = zeltest::read_file(dir / "a.raw");
  ASSERT_EQ(raw.size(), 8820u * kFrameBytes);
  int silent = 0;
  for (size_t f = 0; f < 8820; ++f) {
    silent += FrameIsSilent(reinterpret_cast<const unsigned char *>(raw.data()) + f * kFrameBytes);
  }
  // The capture may lose more after the last frame the file takes, never less.
  const size_t at = r.err.find("lost frames ");
  ASSERT_NE(at, std::string::npos) << r.err;
  const int reported = std::stoi(r.err.substr(at + 12));
  EXPECT_GT(silent, 0);
  EXPECT_GE(reported, silent) << r.err;
  // The emulator's drops never reached this host: they are the network's, not the kernel's.
  EXPECT_NE(r.err.find("(host 0, network " + std::to_string(reported) + ")"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("warning: " + std::to_string(reported) + " frames missing from the network"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("dropped by this host"), std::string::npos) << r.err;
}

// The user's calibration round trip: a raw recording of the array's calibration signal, the
// calibration tool over it, then a recording normalized with what the tool found.
TEST_F(Zelrecord, CalibrationRecoversTheGainsAndNormalizesEveryChannelAlike) {
#ifndef ZELNORMALIZE
  GTEST_SKIP() << "zelnormalize is not part of this build";
#else
  config.signal = zelsim::SignalKind::calib;
  StartArray();
  ChildResult r = Record({"-q", "-d", "1", Path("calib.raw")});
  ASSERT_EQ(r.status, 0) << r.err;
  r = zeltest::run({ZELNORMALIZE, Path("calib.raw"), Path("mean"), Path("gain")}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string gain_bytes = zeltest::read_file(dir / "gain");
  ASSERT_EQ(gain_bytes.size(), 512u);
  std::array<double, 64> gains{};
  std::memcpy(gains.data(), gain_bytes.data(), gain_bytes.size());
  for (int c = 0; c < 64; ++c)
    EXPECT_NEAR(gains[c], zelsim::calib_gain(c), 1e-3) << "channel " << c;

  r = Record({"-q", "-d", "0.5", "--mean", Path("mean"), "--gain", Path("gain"), Path("n.wav")});
  ASSERT_EQ(r.status, 0) << r.err;
  SF_INFO info{};
  const std::string raw = ReadPcmAsRaw(dir / "n.wav", &info);
  ASSERT_EQ(info.frames, 22050);
  std::array<double, 64> sum{}, squares{};
  for (int64_t f = 0; f < info.frames; ++f) {
    for (int c = 0; c < 64; ++c) {
      const uint32_t u =
          SampleAt(reinterpret_cast<const unsigned char *>(raw.data()) + f * kFrameBytes, c);
      const double s = u >= 0x800000 ? double(u) - 0x1000000 : double(u);
      sum[c] += s;
      squares[c] += s * s;
    }
  }
  const double rms0 = std::sqrt(squares[0] / info.frames);
  ASSERT_GT(rms0, 1000);
  for (int c = 0; c < 64; ++c) {
    EXPECT_NEAR(std::sqrt(squares[c] / info.frames), rms0, rms0 * 0.01) << "channel " << c;
    EXPECT_LT(std::abs(sum[c] / info.frames), rms0 * 0.01) << "channel " << c;
  }
#endif
}

// A writer that stalls longer than the ring lasts: what the ring overwrote becomes silence of the
// same length, so every later frame stays at its place in time.
TEST_F(Zelrecord, RingOverflowIsRecordedAsSilenceAndKeepsTheTimeline) {
  config.first_frame = 100;
  config.rate_multiple = 4;  // the 16 MB ring lasts half a second
  StartArray();
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  zeltest::Child child(Command({"-q", "--ring", "16", "-s", "180000", "--wait-frame", "150", "-"}),
                       dir.path(), pipe_fds[1]);
  close(pipe_fds[1]);
  std::this_thread::sleep_for(1500ms);  // nothing reads the pipe meanwhile
  std::string raw;
  char chunk[65536];
  for (ssize_t n; (n = read(pipe_fds[0], chunk, sizeof chunk)) > 0;) raw.append(chunk, n);
  close(pipe_fds[0]);
  const ChildResult r = child.wait(10s);
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(raw.size(), 180000u * kFrameBytes);

  int64_t silent = 0;
  for (int64_t f = 0; f < 180000; ++f) {
    const auto *frame = reinterpret_cast<const unsigned char *>(raw.data()) + f * kFrameBytes;
    if (FrameIsSilent(frame)) {
      ++silent;
    } else {
      ASSERT_TRUE(FrameHoldsRamp(frame, 151, f)) << "frame " << f;
    }
  }
  EXPECT_GT(silent, 0);
  EXPECT_NE(r.err.find("frames overwritten in the ring"), std::string::npos) << r.err;
}

}  // namespace
