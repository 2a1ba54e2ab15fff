// Several handles in one process, each connected to its own emulated array: every sample reaches
// the handle of the array that sent it, and a loss and a stall of one array leave the others
// untouched.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "array_fixture.h"
#include "zellib.h"
#include "zelsim.h"

namespace zeltest {
namespace {

struct Array {
  const char *address;
  int first_frame;  // far apart, so that a slot's number tells which array sent it
  int req_frames;   // 4410: the thread sleeps between receives; 5: it waits for each datagram
  int burst;        // datagrams this array loses half a second in; it then stalls
  std::unique_ptr<zelsim::Emulator> sim;
  zelarray_t *handle = nullptr;
  // What the reader saw.
  long long ramp_slots = 0, zero_slots = 0, wrong_slots = 0, breaks = 0;
  int lost_frames = -1;
};

// Reads `seconds` of the array's stream through the default cursor and checks every slot: in
// sequence from a number near the array's first, and either its ramp or a fill.
void ReadAndCheck(Array &a, double seconds) {
  const int slots_per_buffer = a.req_frames / 5;
  std::vector<unsigned char> buffer(static_cast<size_t>(a.req_frames) * 192);
  const long long want = static_cast<long long>(seconds * 8820);
  int next = -1;
  zelerror err = 0;
  for (long long seen = 0; seen < want; seen += slots_per_buffer) {
    int nfnbr = -1;
    if (zelarray_get_databuffer_with_nfnbr(a.handle, buffer.data(), nullptr, &nfnbr, &err) !=
        zel_true) {
      ++a.breaks;
      return;
    }
    if (next == -1) {
      next = nfnbr;
      if (((nfnbr - a.first_frame) & 0xFFFF) > 2000) ++a.wrong_slots;
    }
    if (nfnbr != next) ++a.breaks;
    for (int j = 0; j < slots_per_buffer; ++j) {
      const unsigned char *slot = buffer.data() + 960 * j;
      const int number = (nfnbr + j) & 0xFFFF;
      if (holds_ramp(slot, number)) {
        ++a.ramp_slots;
      } else if (all_zero(slot, 960)) {
        ++a.zero_slots;
      } else {
        ++a.wrong_slots;
      }
    }
    next = (nfnbr + slots_per_buffer) & 0xFFFF;
  }
  a.lost_frames = zelarray_check_lostdataframes(a.handle, &err);
}

TEST(SeveralArrays, EachHandleGetsEverySampleOfItsOwnArrayWhileAnotherLosesAndStalls) {
  Array arrays[] = {
      {"127.0.0.2", 0, 4410, 0, nullptr},
      {"127.0.0.4", 20000, 4410, 100, nullptr},
      {"127.0.0.5", 40000, 5, 0, nullptr},
  };
  zelerror err = -1;
  for (Array &a : arrays) {
    zelsim::Config config;
    config.address = a.address;
    config.first_frame = static_cast<uint16_t>(a.first_frame);
    a.sim = std::make_unique<zelsim::Emulator>(config);
    std::string why;
    ASSERT_TRUE(a.sim->start(&why)) << a.address << ": " << why;
    a.handle = zelarray_create(16, a.req_frames, &err);
    ASSERT_EQ(err, ZEL_OK);
    zelarray_display_warnings(a.handle, zel_false, &err);
    zelarray_comminit(a.handle, a.address, &err);
    ASSERT_EQ(err, ZEL_OK) << a.address;
    zelarray_initparams_wp(a.handle, 44100, zel_false, &err);
    ASSERT_EQ(err, ZEL_OK) << a.address;
  }
  for (Array &a : arrays) {
    zelarray_capture_on(a.handle, &err);
    ASSERT_EQ(err, ZEL_OK) << a.address;
  }
  std::vector<std::thread> readers;
  for (Array &a : arrays) readers.emplace_back([&a] { ReadAndCheck(a, 2.0); });
  std::this_thread::sleep_for(500ms);
  for (Array &a : arrays) {
    if (a.burst > 0) a.sim->drop_burst(a.burst);
  }
  std::this_thread::sleep_for(300ms);
  for (Array &a : arrays) {
    if (a.burst > 0) a.sim->pause_stream(50ms);  // a stall shorter than the silence limit
  }
  for (std::thread &t : readers) t.join();
  for (Array &a : arrays) {
    zelarray_capture_off(a.handle, &err);
    EXPECT_EQ(err, ZEL_OK) << a.address;
    EXPECT_EQ(a.wrong_slots, 0) << a.address;
    EXPECT_EQ(a.breaks, 0) << a.address;
    EXPECT_EQ(a.zero_slots, a.burst) << a.address;
    EXPECT_EQ(a.lost_frames, 5 * a.burst) << a.address;
    EXPECT_EQ(zelarray_check_kernel_drops(a.handle, &err), 0) << a.address;
    EXPECT_GE(a.ramp_slots, 2 * 8820 - 882 - a.burst) << a.address;
    zelarray_delete(a.handle, &err);
    EXPECT_EQ(err, ZEL_OK) << a.address;
    a.sim->stop();
  }
}

}  // namespace
}  // namespace zeltest
