// The tools' shared wording of where frames were lost and of what the capture got on this host.
#include <gtest/gtest.h>

#include "capture_host.h"
#include "options.h"

namespace zeltool {
namespace {

TEST(LossSplit, KernelDropsAreWholeDatagramsOfTheLostFramesAndNeverMore) {
  const struct {
    int64_t lost, kernel_drops, host, network;
  } cases[] = {
      {0, 0, 0, 0},      {100, 0, 0, 100},     {100, 5, 25, 75},
      {100, 20, 100, 0}, {100, 30, 100, 0},  // drops of replies or after the last datagram
      {0, 7, 0, 0},      {2120, 424, 2120, 0}, {885, 100, 500, 385},
  };
  for (const auto &c : cases) {
    const LossSplit split = split_losses(c.lost, c.kernel_drops);
    EXPECT_EQ(split.host, c.host) << c.lost << " lost, " << c.kernel_drops << " drops";
    EXPECT_EQ(split.network, c.network) << c.lost << " lost, " << c.kernel_drops << " drops";
  }
}

TEST(LossSplit, TextsNameWhereTheFramesWereLost) {
  EXPECT_EQ(host_drops_text(25),
            "25 frames dropped by this host (socket buffer full: the capture thread was held off "
            "the CPU; see \"Setting up a capture host\" in the README)");
  EXPECT_EQ(network_loss_text(75), "75 frames missing from the network");
  EXPECT_EQ(loss_counters_text(100, 5), "lost frames 100 (host 25, network 75)");
}

TEST(CaptureHostWarning, OnlyASmallBufferWithoutRealTimeIsWarnedAbout) {
  EXPECT_EQ(buffer_warning({true, 425984, 20}), "") << "real-time keeps up";
  EXPECT_EQ(buffer_warning({false, 2 * 1048576, 100}), "") << "100 ms is enough";
  const std::string warning = buffer_warning({false, 425984, 20});
  EXPECT_EQ(warning.find('\n'), std::string::npos) << "one line";
  EXPECT_NE(warning.find("holds only 20 ms"), std::string::npos) << warning;
  EXPECT_NE(warning.find("'sysctl -w net.core.rmem_max=8388608'"), std::string::npos) << warning;
  EXPECT_EQ(priority_text({true, 0, 0}), "real-time capture");
  EXPECT_EQ(priority_text({false, 0, 0}), "capture at normal priority");
}

TEST(CaptureHostOptions, NoRealtimeIsAFlagOfZelrecord) {
  zelrecord::Options o;
  ASSERT_EQ(zelrecord::parse({"x.raw"}, &o), "");
  EXPECT_FALSE(o.no_realtime);
  ASSERT_EQ(zelrecord::parse({"--no-realtime", "x.raw"}, &o), "");
  EXPECT_TRUE(o.no_realtime);
  EXPECT_NE(zelrecord::parse({"--no-realtime=1", "x.raw"}, &o), "");
}

}  // namespace
}  // namespace zeltool
