// A library handle connected to an emulated array on loopback, for the network tests.
#ifndef ZEL_TESTS_ARRAY_FIXTURE_H
#define ZEL_TESTS_ARRAY_FIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "zellib.h"
#include "zelsim.h"

namespace zeltest {

using namespace std::chrono_literals;

// One network-frame slot as a reader saw it.
struct Slot {
  int nfnbr = -1;
  std::vector<unsigned char> bytes;
};

inline int open_descriptors() {
  int count = 0;
  DIR *dir = opendir("/proc/self/fd");
  while (dir != nullptr && readdir(dir) != nullptr) ++count;
  if (dir != nullptr) closedir(dir);
  return count;
}

inline uint32_t sample_at(const unsigned char *frame, int channel) {
  const unsigned char *p = frame + 3 * channel;
  return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
}

// True when the 960 bytes hold the emulator's ramp for datagram `nfnbr`.
inline bool holds_ramp(const unsigned char *slot, int nfnbr) {
  for (int k = 0; k < 5; ++k) {
    for (int c = 0; c < 64; ++c) {
      if (sample_at(slot + 192 * k, c) != zelsim::ramp_value(c, nfnbr, k)) return false;
    }
  }
  return true;
}

inline bool all_zero(const unsigned char *bytes, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

class ArrayTest : public ::testing::Test {
 protected:
  zelsim::Config config;
  std::unique_ptr<zelsim::Emulator> sim;
  zelarray_t *handle = nullptr;
  zelerror err = -1;

  // Emulator that streams only what a test scripts.
  void StartScriptedArray() {
    config.stream_on_acquire = false;
    StartArray();
  }

  void StartArray() {
    sim = std::make_unique<zelsim::Emulator>(config);
    std::string why;
    ASSERT_TRUE(sim->start(&why)) << why;
  }

  // Handle in st_params_ready at 44100 Hz, warnings off.
  void Connect(int req_frames = 5, int megabytes = 16) {
    handle = zelarray_create(megabytes, req_frames, &err);
    ASSERT_EQ(err, ZEL_OK);
    zelarray_display_warnings(handle, zel_false, &err);
    zelarray_comminit(handle, "127.0.0.2", &err);
    ASSERT_EQ(err, ZEL_OK);
    zelarray_initparams_wp(handle, 44100, zel_false, &err);
    ASSERT_EQ(err, ZEL_OK);
  }

  void CaptureOn() {
    zelarray_capture_on(handle, &err);
    ASSERT_EQ(err, ZEL_OK);
  }

  void CaptureOff() {
    zelarray_capture_off(handle, &err);
    ASSERT_EQ(err, ZEL_OK);
  }

  // Sends the numbers and waits until the capture thread has taken them all and ended on the
  // silence that follows.
  void ScriptAndWaitForEnd(const std::vector<int> &numbers) {
    sim->script_frames(numbers);
    ASSERT_TRUE(sim->wait_script_sent(10s));
    WaitForCaptureEnd();
  }

  // Waits until the capture thread has ended on the silence after the stream; the counters are
  // final from then on.
  void WaitForCaptureEnd() {
    const auto give_up = std::chrono::steady_clock::now() + 5s;
    zelerror status = 0;
    while (zelarray_check_capture_ok(handle, &status) == zel_true &&
           std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(status, 1) << "capture thread still running";
  }

  // Every slot the default cursor (5 frames) can still read, without waiting.
  std::vector<Slot> DrainSlots() {
    std::vector<Slot> slots;
    std::vector<unsigned char> buffer(960);
    int nfnbr = -1;
    int32_t ts[2];
    while (zelarray_get_databuffer_nonblocking_with_nfnbr(handle, buffer.data(), ts, &nfnbr,
                                                          &err) == zel_true) {
      slots.push_back({nfnbr, buffer});
    }
    return slots;
  }

  static std::vector<int> Numbers(const std::vector<Slot> &slots) {
    std::vector<int> numbers;
    numbers.reserve(slots.size());
    for (const Slot &s : slots) numbers.push_back(s.nfnbr);
    return numbers;
  }

  void TearDown() override {
    if (handle != nullptr) {
      zelerror e;
      if (handle->status == st_capturing) zelarray_capture_off(handle, &e);
      zelarray_delete(handle, &e);
      EXPECT_EQ(e, ZEL_OK) << "handle not deleted";
    }
    if (sim) sim->stop();
  }
};

}  // namespace zeltest

#endif
