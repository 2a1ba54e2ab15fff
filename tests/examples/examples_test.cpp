// The examples run against the emulated array, as a user would run them.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "harness.h"

namespace {

class Examples : public ::testing::Test {
 protected:
  zeltest::TempDir dir;
  std::unique_ptr<zelsim::Emulator> sim;

  void SetUp() override {
    sim = zeltest::start_emulator();
    ASSERT_TRUE(sim);
  }
};

TEST_F(Examples, DefaultReaderPrintsEveryBufferWithItsDatagram) {
  const zeltest::ChildResult r = zeltest::run({DEFAULT_READER, "127.0.0.2", "4"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("array 4660, PROM ZELSIM01, at 127.0.0.2\n"), std::string::npos) << r.out;
  // Each buffer starts with the ramp of the datagram it names.
  const std::regex line(R"(buffer (\d): datagram (\d+) at \d+\.\d{6}, channel 0 starts at (\d+))");
  int buffers = 0;
  for (std::sregex_iterator m(r.out.begin(), r.out.end(), line), end; m != end; ++m, ++buffers) {
    EXPECT_EQ(std::stoi((*m)[1]), buffers);
    EXPECT_EQ(std::stoul((*m)[3]), zelsim::ramp_value(0, std::stoi((*m)[2]), 0)) << m->str();
  }
  EXPECT_EQ(buffers, 4) << r.out;
  EXPECT_NE(r.out.find("lost frames: 0\n"), std::string::npos) << r.out;
}

TEST_F(Examples, DefaultReaderReportsAFailedCallAndStops) {
  const zeltest::ChildResult r = zeltest::run({DEFAULT_READER, "127.0.0.9", "4"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "zelarray_comminit: Error receiving data from Zel\n");
}

TEST_F(Examples, CursorReadersEachSeeAnUnbrokenStream) {
  const zeltest::ChildResult r = zeltest::run({CURSORS, "127.0.0.2", "1"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  const std::regex line(R"(cursor of +(\d+) frames: +(\d+) buffers, (\d+) breaks)");
  int readers = 0;
  for (std::sregex_iterator m(r.out.begin(), r.out.end(), line), end; m != end; ++m, ++readers) {
    // One second of 44100 frames, give or take the start and the stop.
    const int frames = std::stoi((*m)[1]) * std::stoi((*m)[2]);
    EXPECT_GT(frames, 30000) << m->str();
    EXPECT_EQ((*m)[3], "0") << m->str();
  }
  EXPECT_EQ(readers, 3) << r.out;
  EXPECT_NE(r.out.find("lost frames: 0\n"), std::string::npos) << r.out;
}

}  // namespace
