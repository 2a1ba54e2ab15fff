// Shared set-up of the emulator tests: a probe on 127.0.0.1:32767 and an emulator on 127.0.0.2.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "probe.h"
#include "zelsim.h"

// Request codes and reply types as the array's users know them.
enum : uint8_t {
  kSetSlave = 1,
  kQuerySlave = 2,
  kQueryIds = 3,
  kSetCapture = 4,
  kQueryCapture = 5,
  kSetSpeed = 7,
  kQuerySpeed = 8,
};
enum : uint8_t { kTypeSlave = 2, kTypeIds = 3, kTypeCapture = 5, kTypeSpeed = 7 };
inline constexpr uint16_t kOn = 0xFFFF;
inline constexpr uint16_t kOff = 0x0000;

class EmulatorTest : public ::testing::Test {
 protected:
  // The probe binds first, so that nothing the emulator sends is missed.
  void start(zelsim::Config config = {}) {
    probe_ = std::make_unique<probe::Probe>();
    ASSERT_TRUE(probe_->ok());
    sim_ = std::make_unique<zelsim::Emulator>(std::move(config));
    std::string error;
    ASSERT_TRUE(sim_->start(&error)) << error;
  }

  // Streams exactly these numbers to the probe and returns what arrived.
  std::vector<probe::Datagram> stream_script(const std::vector<int> &numbers) {
    sim_->set_acquiring(true);
    sim_->script_frames(numbers);
    EXPECT_TRUE(sim_->wait_script_sent(std::chrono::seconds(10)));
    return probe_->drain(std::chrono::milliseconds(50));
  }

  static zelsim::Config scripted_config() {
    zelsim::Config config;
    config.stream_on_acquire = false;
    return config;
  }

  std::unique_ptr<probe::Probe> probe_;
  std::unique_ptr<zelsim::Emulator> sim_;
};

// The ramp pattern, written out afresh: channel in the top 6 bits, sample position below.
inline uint32_t expected_ramp(int channel, int number, int k) {
  return (static_cast<uint32_t>(channel) << 18) |
         ((static_cast<uint32_t>(number) * 5 + k) % 262144);
}
