#include <gtest/gtest.h>

#include "options.h"

namespace zelrecord {
namespace {

std::string Parse(const std::vector<std::string> &args, Options *o) {
  return parse(args, o);
}

TEST(Options, ShortAndLongFormsSetTheSameFields) {
  Options a;
  ASSERT_EQ(Parse({"-D", "10.0.0.7", "-r", "22050", "-d", "2.5", "-t", "wav", "-q", "x"}, &a), "");
  Options b;
  ASSERT_EQ(Parse({"--address=10.0.0.7", "--rate", "22050", "--duration=2.5", "--type", "wav",
                   "--quiet", "x"},
                  &b),
            "");
  for (const Options &o : {a, b}) {
    EXPECT_EQ(o.address, "10.0.0.7");
    EXPECT_EQ(o.rate, 22050);
    EXPECT_DOUBLE_EQ(o.duration_s, 2.5);
    EXPECT_EQ(o.type, FileType::wav);
    EXPECT_TRUE(o.quiet);
    EXPECT_EQ(o.output, "x");
  }
}

TEST(Options, ShortOptionsTakeAttachedValuesAndGroup) {
  Options o;
  ASSERT_EQ(Parse({"-qs441", "-D127.0.0.3", "out.raw"}, &o), "");
  EXPECT_TRUE(o.quiet);
  EXPECT_EQ(o.frames, 441);
  EXPECT_EQ(o.address, "127.0.0.3");
}

TEST(Options, DefaultsRecordRawFromTheLocalArrayUntilStopped) {
  Options o;
  ASSERT_EQ(Parse({"-"}, &o), "");
  EXPECT_EQ(o.address, "127.0.0.2");
  EXPECT_EQ(o.type, FileType::raw);
  EXPECT_EQ(o.rate, 0);
  EXPECT_EQ(frame_limit(o, 44100), 0);
  EXPECT_EQ(o.wait_frame, -1);
  EXPECT_FALSE(o.slave || o.fix_delay || o.quiet);
}

TEST(Options, TypeFollowsTheExtensionUnlessGiven) {
  Options o;
  ASSERT_EQ(Parse({"take.wav"}, &o), "");
  EXPECT_EQ(o.type, FileType::wav);
  ASSERT_EQ(Parse({"take.rf64"}, &o), "");
  EXPECT_EQ(o.type, FileType::rf64);
  ASSERT_EQ(Parse({"take.h5"}, &o), "");
  EXPECT_EQ(o.type, FileType::h5);
  ASSERT_EQ(Parse({"-t", "h5", "take"}, &o), "");
  EXPECT_EQ(o.type, FileType::h5);
  ASSERT_EQ(Parse({"-t", "raw", "take.wav"}, &o), "");
  EXPECT_EQ(o.type, FileType::raw);
}

TEST(Options, CaptureSwitchesReachTheirFields) {
  Options o;
  ASSERT_EQ(Parse({"--slave", "--wait-frame", "65535", "--drop", "12", "--fix-delay", "--mean", "m",
                   "--gain", "g", "--ring", "16", "-"},
                  &o),
            "");
  EXPECT_TRUE(o.slave);
  EXPECT_EQ(o.wait_frame, 65535);
  EXPECT_EQ(o.drop, 12);
  EXPECT_TRUE(o.fix_delay);
  EXPECT_EQ(o.mean_file, "m");
  EXPECT_EQ(o.gain_file, "g");
  EXPECT_EQ(o.ring_mb, 16);
}

TEST(Options, RingGrowsToHoldTheSilenceLimitUnlessGiven) {
  Options o;
  ASSERT_EQ(Parse({"x"}, &o), "");
  EXPECT_EQ(o.silence_limit_s, 10);
  EXPECT_EQ(ring_megabytes(o), 97) << "12 s at 44100 Hz";
  ASSERT_EQ(Parse({"--silence-limit", "0.5", "x"}, &o), "");
  EXPECT_EQ(ring_megabytes(o), 64);
  ASSERT_EQ(Parse({"--silence-limit", "3600", "x"}, &o), "");
  EXPECT_EQ(ring_megabytes(o), 2047);
  ASSERT_EQ(Parse({"--silence-limit", "30", "--ring", "32", "x"}, &o), "");
  EXPECT_EQ(ring_megabytes(o), 32);
}

TEST(Options, DoubleDashMakesTheNextArgumentTheOutput) {
  Options o;
  ASSERT_EQ(Parse({"-q", "--", "-take.raw"}, &o), "");
  EXPECT_EQ(o.output, "-take.raw");
}

TEST(Options, DurationBecomesFramesAtTheArraysRate) {
  Options o;
  ASSERT_EQ(Parse({"-d", "0.5", "x"}, &o), "");
  EXPECT_EQ(frame_limit(o, 44100), 22050);
  EXPECT_EQ(frame_limit(o, 22050), 11025);
  ASSERT_EQ(Parse({"-s", "7", "x"}, &o), "");
  EXPECT_EQ(frame_limit(o, 44100), 7);
}

TEST(Options, BadArgumentsAreRefusedWithAReason) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "no output file given ('-' for standard output)"},
      {{"a", "b"}, "more than one output file given: 'b'"},
      {{"-r", "48000", "x"}, "invalid rate '48000': the array runs at 22050 or 44100 Hz"},
      {{"-D", "array.local", "x"}, "invalid address 'array.local' (dotted IPv4, e.g. 127.0.0.2)"},
      {{"-d", "-1", "x"}, "invalid duration '-1' (seconds, 0 for no limit)"},
      {{"-d", "3s", "x"}, "invalid duration '3s' (seconds, 0 for no limit)"},
      {{"-s", "1e3", "x"}, "invalid frame count '1e3' (0 for no limit)"},
      {{"-t", "flac", "x"}, "invalid file type 'flac' (raw, wav, rf64 or h5)"},
      {{"--wait-frame", "65536", "x"}, "invalid frame number '65536' (0 to 65535)"},
      {{"--ring", "8", "x"}, "invalid ring size '8' (16 to 2047)"},
      {{"--silence-limit", "0.05", "x"}, "invalid silence limit '0.05' (seconds, 0.1 to 3600)"},
      {{"--silence-limit", "3601", "x"}, "invalid silence limit '3601' (seconds, 0.1 to 3600)"},
      {{"-x", "out"}, "unknown option '-x'"},
      {{"--speed", "1", "x"}, "unknown option '--speed'"},
      {{"x", "-d"}, "option -d needs a value"},
      {{"--quiet=yes", "x"}, "option --quiet takes no value"},
      {{"-d", "1", "-s", "5", "x"}, "give a duration (-d) or a frame count (-s), not both"},
      {{"--mean", "m", "x"}, "normalization needs both --mean FILE and --gain FILE"},
      {{"-t", "wav", "-"}, "standard output takes raw only, not wav"},
  };
  for (const auto &[args, message] : cases) {
    Options o;
    EXPECT_EQ(Parse(args, &o), message);
  }
}

TEST(Options, HelpNeedsNoOutput) {
  Options o;
  ASSERT_EQ(Parse({"--help"}, &o), "");
  EXPECT_TRUE(o.help);
  ASSERT_EQ(Parse({"-h"}, &o), "");
  EXPECT_TRUE(o.help);
}

}  // namespace
}  // namespace zelrecord
