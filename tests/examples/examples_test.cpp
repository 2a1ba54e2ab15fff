// The examples run against the emulated array, as a user would run them.
#include <gtest/gtest.h>

#include <cstdio>
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
  std::istringstream lines(r.out);
  int buffers = 0;
  for (std::string line; std::getline(lines, line);) {
    int index = -1, nfnbr = -1;
    unsigned long first = 0;
    if (std::sscanf(line.c_str(), "buffer %d: datagram %d at %*d.%*d, channel 0 starts at %lu",
                    &index, &nfnbr, &first) != 3) {
      continue;
    }
    EXPECT_EQ(index, buffers++);
    EXPECT_EQ(first, zelsim::ramp_value(0, nfnbr, 0)) << line;
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
  std::istringstream lines(r.out);
  int readers = 0;
  for (std::string line; std::getline(lines, line);) {
    int size = 0, buffers = 0, breaks = -1;
    if (std::sscanf(line.c_str(), "cursor of %d frames: %d buffers, %d breaks", &size, &buffers,
                    &breaks) != 3) {
      continue;
    }
    ++readers;
    // One second of 44100 frames, give or take the start and the stop.
    EXPECT_GT(size * buffers, 30000) << line;
    EXPECT_EQ(breaks, 0) << line;
  }
  EXPECT_EQ(readers, 3) << r.out;
  EXPECT_NE(r.out.find("lost frames: 0\n"), std::string::npos) << r.out;
}

}  // namespace
