// Every fault switch, counted both by the emulator and by what arrives.
#include <numeric>
#include <set>
#include <thread>

#include "fixture.h"

using namespace std::chrono_literals;

namespace {

std::vector<int> range(int count) {
  std::vector<int> numbers(count);
  std::iota(numbers.begin(), numbers.end(), 0);
  return numbers;
}

TEST_F(EmulatorTest, DropEveryNthLosesExactlyThoseDatagrams) {
  zelsim::Config config = scripted_config();
  config.drop_every = 4;
  start(config);
  auto numbers = probe::numbers_of(stream_script(range(20)));
  EXPECT_EQ(numbers, (std::vector<int>{0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 16, 17, 18}));
  EXPECT_EQ(sim_->stats().dropped, 5u);
  EXPECT_EQ(sim_->stats().datagrams_sent, 15u);

  sim_->set_stream_faults({});
  EXPECT_EQ(probe::numbers_of(stream_script({20, 21, 22, 23})).size(), 4u);
}

TEST_F(EmulatorTest, DropBurstLosesConsecutiveDatagrams) {
  start(scripted_config());
  sim_->drop_burst(3);
  EXPECT_EQ(probe::numbers_of(stream_script(range(8))), (std::vector<int>{3, 4, 5, 6, 7}));
  EXPECT_EQ(sim_->stats().dropped, 3u);
}

TEST_F(EmulatorTest, RandomDropsFollowTheirSeed) {
  auto run = [this](uint64_t seed) {
    sim_ = std::make_unique<zelsim::Emulator>(scripted_config());
    EXPECT_TRUE(sim_->start(nullptr));
    sim_->set_stream_faults({.drop_probability = 0.3, .drop_seed = seed});
    auto numbers = probe::numbers_of(stream_script(range(200)));
    EXPECT_EQ(numbers.size() + sim_->stats().dropped, 200u);
    return numbers;
  };
  start(scripted_config());
  auto first = run(42);
  EXPECT_GT(first.size(), 100u);
  EXPECT_LT(first.size(), 180u);
  EXPECT_EQ(run(42), first);
  EXPECT_NE(run(43), first);
}

TEST_F(EmulatorTest, DuplicateEveryNthSendsASecondCopy) {
  zelsim::Config config = scripted_config();
  config.duplicate_every = 3;
  start(config);
  auto data = stream_script(range(7));
  EXPECT_EQ(probe::numbers_of(data), (std::vector<int>{0, 1, 2, 2, 3, 4, 5, 5, 6}));
  ASSERT_EQ(data.size(), 9u);
  EXPECT_EQ(data[2].bytes, data[3].bytes);
  EXPECT_EQ(sim_->stats().duplicated, 2u);
  EXPECT_EQ(sim_->stats().datagrams_sent, 9u);
}

TEST_F(EmulatorTest, ReorderSendsADatagramAfterItsSuccessor) {
  start(scripted_config());
  sim_->set_stream_faults({.reorder_every = 5});
  EXPECT_EQ(probe::numbers_of(stream_script(range(12))),
            (std::vector<int>{0, 1, 2, 3, 5, 4, 6, 7, 8, 9, 11, 10}));
  EXPECT_EQ(sim_->stats().reordered, 2u);
}

TEST_F(EmulatorTest, PauseLeavesASilenceButNoGapInNumbers) {
  start();
  probe_->request(kSetCapture, kOn);
  auto before = probe_->collect_data(20, 1s);
  ASSERT_EQ(before.size(), 20u);
  sim_->pause_stream(150ms);
  auto data = probe_->collect_data(100, 2s);
  ASSERT_EQ(data.size(), 100u);
  data.insert(data.begin(), before.back());
  double longest = 0;
  for (size_t i = 1; i < data.size(); ++i) {
    EXPECT_EQ(data[i].number(), (data[i - 1].number() + 1) % 65536);
    longest = std::max(longest, data[i].kernel_at - data[i - 1].kernel_at);
  }
  EXPECT_GE(longest, 0.140);
  EXPECT_EQ(sim_->stats().paused, 1u);
}

TEST_F(EmulatorTest, ForeignDatagramsArriveFromTheirSource) {
  start();
  ASSERT_TRUE(probe_->query(kQueryIds, kTypeIds));  // makes the probe the emulator's peer
  sim_->send_foreign({5, 0, 1, 0});
  sim_->send_foreign({}, "127.0.0.3");
  sim_->send_foreign(std::vector<uint8_t>(100, 0x86), "127.0.0.3");
  EXPECT_TRUE(sim_->send_foreign_to({8, 0, 0, 0}, "127.0.0.1", 32767));
  EXPECT_FALSE(sim_->send_foreign_to({8}, "not an address", 32767));
  sim_->send_foreign({1}, "192.0.2.1");  // not a local address: cannot be bound

  auto got = probe_->drain(100ms);
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0].bytes, (std::vector<uint8_t>{5, 0, 1, 0}));
  EXPECT_EQ(got[0].from, "127.0.0.2:32767");
  EXPECT_TRUE(got[1].bytes.empty());
  EXPECT_EQ(got[1].from, "127.0.0.3:32767");
  EXPECT_EQ(got[2].bytes.size(), 100u);
  EXPECT_EQ(got[2].from, "127.0.0.3:32767");
  EXPECT_EQ(got[3].bytes[0], 8);
  EXPECT_EQ(sim_->stats().foreign_sent, 4u);
  EXPECT_EQ(sim_->stats().send_errors, 1u);
}

TEST_F(EmulatorTest, ForeignDatagramsPrecedeEveryReply) {
  start();
  std::vector<uint8_t> data(964, 0);
  data[0] = 0x86;
  sim_->set_control_faults({.foreign_before_reply = {{}, data}});
  probe_->request(kQueryCapture);
  auto got = probe_->drain(100ms);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_TRUE(got[0].bytes.empty());
  EXPECT_EQ(got[1].bytes, data);
  EXPECT_EQ(got[2].bytes[0], kTypeCapture);
  EXPECT_EQ(sim_->stats().foreign_sent, 2u);
}

TEST_F(EmulatorTest, StatusOverrideReachesEveryStatusReply) {
  start();
  sim_->set_control_faults({.status_override = 2});
  EXPECT_EQ(probe_->query(kQuerySlave, kTypeSlave)->bytes[2], 2);
  EXPECT_EQ(probe_->query(kQueryCapture, kTypeCapture)->bytes[2], 2);
  EXPECT_EQ(probe_->query(kQuerySpeed, kTypeSpeed)->bytes[2], 2);
  EXPECT_EQ(probe_->query(kQueryIds, kTypeIds)->bytes[2], 0x34);  // identifier untouched
  EXPECT_EQ(sim_->stats().status_overridden, 3u);
  sim_->set_control_faults({});
  EXPECT_EQ(probe_->query(kQuerySpeed, kTypeSpeed)->bytes[2], 1);
}

TEST_F(EmulatorTest, DelayedRepliesArriveLate) {
  start();
  sim_->set_control_faults({.reply_delay = 150ms});
  auto asked = probe::Clock::now();
  auto reply = probe_->query(kQueryIds, kTypeIds, 1s);
  ASSERT_TRUE(reply);
  EXPECT_GE(reply->at - asked, 145ms);
  EXPECT_EQ(sim_->stats().replies_delayed, 1u);
  EXPECT_EQ(sim_->stats().replies_sent, 1u);
}

TEST_F(EmulatorTest, WithheldRepliesNeverArrive) {
  start();
  sim_->set_control_faults({.withhold_replies = true});
  EXPECT_FALSE(probe_->query(kQueryIds, kTypeIds, 200ms));
  EXPECT_EQ(sim_->stats().replies_withheld, 1u);
  sim_->set_control_faults({});
  EXPECT_TRUE(probe_->query(kQueryIds, kTypeIds));
}

TEST_F(EmulatorTest, IgnoredSetCommandsChangeNothing) {
  start();
  sim_->set_control_faults({.ignore_set_commands = true});
  probe_->request(kSetSpeed, kOff);
  probe_->request(kSetSlave, kOn);
  probe_->request(kSetCapture, kOn);
  EXPECT_EQ(probe_->query(kQuerySpeed, kTypeSpeed)->bytes[2], 1);
  EXPECT_EQ(probe_->query(kQuerySlave, kTypeSlave)->bytes[2], 0);
  EXPECT_EQ(probe_->query(kQueryCapture, kTypeCapture)->bytes[2], 0);
  EXPECT_TRUE(probe_->collect_data(1, 50ms).empty());
  EXPECT_EQ(sim_->stats().sets_ignored, 3u);
}

TEST_F(EmulatorTest, LingerKeepsStreamingAfterAcquisitionOff) {
  start();
  sim_->set_stream_faults({.linger_after_off = 5});
  probe_->request(kSetCapture, kOn);
  ASSERT_EQ(probe_->collect_data(10, 1s).size(), 10u);
  probe_->request(kSetCapture, kOff);
  ASSERT_TRUE(sim_->wait_received(2, 1s));
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(sim_->acquiring());
  EXPECT_EQ(sim_->stats().lingered, 5u);
  auto numbers = probe::numbers_of(probe_->drain(100ms));
  ASSERT_GE(numbers.size(), 5u);
  EXPECT_EQ(numbers.back(), (sim_->next_frame() + 65535) % 65536);
  EXPECT_EQ(probe_->query(kQueryCapture, kTypeCapture)->bytes[2], 0);
}

}  // namespace
