// The array's side of the request and reply dialogue.
#include <string>

#include "fixture.h"

using namespace std::chrono_literals;

namespace {

TEST_F(EmulatorTest, QueriesAreAnsweredInTheArrayLayouts) {
  zelsim::Config config;
  config.id = 0x1234;
  config.prom = "ABCDEFGH";
  config.speed = 22050;
  config.slave = true;
  start(config);

  auto ids = probe_->query(kQueryIds, kTypeIds);
  ASSERT_TRUE(ids);
  ASSERT_GE(ids->bytes.size(), 14u);
  EXPECT_EQ(ids->from, "127.0.0.2:32767");
  EXPECT_EQ(ids->bytes[2], 0x34);  // little-endian identifier
  EXPECT_EQ(ids->bytes[3], 0x12);
  EXPECT_EQ(std::string(ids->bytes.begin() + 6, ids->bytes.begin() + 14), "ABCDEFGH");

  auto slave = probe_->query(kQuerySlave, kTypeSlave);
  auto capture = probe_->query(kQueryCapture, kTypeCapture);
  auto speed = probe_->query(kQuerySpeed, kTypeSpeed);  // code 8 answered by type 7
  ASSERT_TRUE(slave && capture && speed);
  EXPECT_EQ(slave->bytes[2], 1);
  EXPECT_EQ(capture->bytes[2], 0);
  EXPECT_EQ(speed->bytes[2], 0);
  EXPECT_EQ(sim_->stats().replies_sent, 4u);
}

TEST_F(EmulatorTest, ShortPromNumberIsPaddedWithZeros) {
  zelsim::Config config;
  config.prom = "AB";
  start(config);
  auto ids = probe_->query(kQueryIds, kTypeIds);
  ASSERT_TRUE(ids);
  ASSERT_GE(ids->bytes.size(), 14u);
  EXPECT_EQ(std::string(ids->bytes.begin() + 6, ids->bytes.begin() + 14),
            std::string("AB\0\0\0\0\0\0", 8));
}

TEST_F(EmulatorTest, SetCommandsTakeEffectWithoutReply) {
  start();
  probe_->request(kSetSpeed, kOff);
  probe_->request(kSetSlave, kOn);
  EXPECT_FALSE(probe_->receive(100ms)) << "set commands get no reply";
  EXPECT_EQ(probe_->query(kQuerySpeed, kTypeSpeed)->bytes[2], 0);
  EXPECT_EQ(probe_->query(kQuerySlave, kTypeSlave)->bytes[2], 1);

  probe_->request(kSetSpeed, kOn);
  probe_->request(kSetSlave, kOff);
  probe_->request(kSetCapture, kOn);
  EXPECT_EQ(probe_->query(kQuerySpeed, kTypeSpeed)->bytes[2], 1);
  EXPECT_EQ(probe_->query(kQuerySlave, kTypeSlave)->bytes[2], 0);
  EXPECT_EQ(probe_->query(kQueryCapture, kTypeCapture)->bytes[2], 1);
  EXPECT_TRUE(sim_->acquiring());

  probe_->request(kSetCapture, kOff);
  EXPECT_EQ(probe_->query(kQueryCapture, kTypeCapture)->bytes[2], 0);
  EXPECT_FALSE(sim_->acquiring());
  EXPECT_EQ(sim_->speed(), 44100);
  EXPECT_FALSE(sim_->slave());
}

TEST_F(EmulatorTest, UnknownAndMalformedDatagramsAreIgnoredButRecorded) {
  start();
  probe_->request(6);                     // unused code
  probe_->request(9);                     // unknown code
  probe_->send({1, kQueryIds, 0, 0});     // first byte not 0
  probe_->request(kSetSpeed, 0x00FF);     // neither on nor off
  probe_->send({0, kQueryIds, 0});        // 3 bytes
  probe_->send({0, kQueryIds, 0, 0, 0});  // 5 bytes
  probe_->send({});
  EXPECT_FALSE(probe_->receive(150ms));
  EXPECT_EQ(sim_->speed(), 44100);

  using Cmd = std::array<uint8_t, 4>;
  std::vector<Cmd> want = {
      {0, 6, 0, 0}, {0, 9, 0, 0}, {1, kQueryIds, 0, 0}, {0, kSetSpeed, 0, 0xFF}};
  EXPECT_EQ(sim_->received_commands(), want);
  EXPECT_EQ(sim_->stats().commands_received, 4u);
  EXPECT_EQ(sim_->stats().other_received, 3u);
  sim_->clear_received();
  EXPECT_TRUE(sim_->received_commands().empty());
  probe_->request(kQuerySlave);
  EXPECT_TRUE(sim_->wait_received(1, 500ms));
}

TEST(EmulatorConfig, StartRefusesInvalidSettingsWithAReason) {
  auto refused = [](auto change) {
    zelsim::Config config;
    change(config);
    zelsim::Emulator sim(config);
    std::string error;
    bool started = sim.start(&error);
    return !started && !error.empty();
  };
  EXPECT_TRUE(refused([](zelsim::Config &c) { c.address = "127.0.0.999"; }));
  EXPECT_TRUE(refused([](zelsim::Config &c) { c.address = "localhost"; }));
  EXPECT_TRUE(refused([](zelsim::Config &c) { c.speed = 48000; }));
  EXPECT_TRUE(refused([](zelsim::Config &c) { c.id = 65536; }));
  EXPECT_TRUE(refused([](zelsim::Config &c) { c.prom = "123456789"; }));
  EXPECT_TRUE(refused([](zelsim::Config &c) { c.rate_multiple = -1; }));
  EXPECT_TRUE(refused([](zelsim::Config &c) { c.drop_every = -3; }));
  EXPECT_TRUE(refused([](zelsim::Config &c) {
    c.signal = zelsim::SignalKind::file;
    c.signal_file = "/nonexistent/capture.raw";
  }));
}

TEST(EmulatorConfig, StopIsIdempotentAndTheEmulatorRestarts) {
  zelsim::Emulator sim(zelsim::Config{});
  sim.stop();
  std::string error;
  ASSERT_TRUE(sim.start(&error)) << error;
  EXPECT_FALSE(sim.start(&error));
  sim.stop();
  sim.stop();
  ASSERT_TRUE(sim.start(&error)) << error;
}

}  // namespace
