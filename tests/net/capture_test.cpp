// The capture thread against scripted datagram sequences from the emulated array: loss
// detection and zero fill, duplicates, the counter's wrap, the end of the capture, restarts and
// a lapped reader. The start number, the dropped leading frames, the one-sample-delay fix and
// normalization are played to the slot assembler in memory (tests/lib/slots_test.cpp).
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <cstdio>

#include "array_fixture.h"

namespace zeltest {
namespace {

class CaptureTest : public ArrayTest {
 protected:
  void SetUp() override {
    StartScriptedArray();
    Connect(5);
  }

  // Captures the scripted numbers and returns every slot published.
  std::vector<Slot> Capture(const std::vector<int> &numbers) {
    CaptureOn();
    ScriptAndWaitForEnd(numbers);
    return DrainSlots();
  }
};

TEST_F(CaptureTest, PlainLoopFillsAGapWithSilenceAndWarns) {
  zelarray_display_warnings(handle, zel_true, &err);
  testing::internal::CaptureStderr();
  const auto slots = Capture({10, 11, 14});
  const std::string warnings = testing::internal::GetCapturedStderr();
  ASSERT_EQ(Numbers(slots), (std::vector<int>{10, 11, 12, 13, 14}));
  EXPECT_TRUE(holds_ramp(slots[1].bytes.data(), 11));
  EXPECT_TRUE(all_zero(slots[2].bytes.data(), 960));
  EXPECT_TRUE(all_zero(slots[3].bytes.data(), 960));
  EXPECT_TRUE(holds_ramp(slots[4].bytes.data(), 14));
  EXPECT_EQ(zelarray_check_lostdataframes(handle, &err), 10);
  EXPECT_EQ(warnings.rfind("[ZELLIB] Lost 12-13=>2 at ", 0), 0u) << warnings;
  EXPECT_EQ(warnings.back(), '\n');
}

TEST_F(CaptureTest, CounterWrapIsNoLoss) {
  const auto slots = Capture({65534, 65535, 0, 1});
  EXPECT_EQ(Numbers(slots), (std::vector<int>{65534, 65535, 0, 1}));
  EXPECT_EQ(zelarray_check_lostdataframes(handle, &err), 0);
}

TEST_F(CaptureTest, GapAcrossTheWrapCountsEveryMissingNumber) {
  const auto slots = Capture({65534, 1});
  ASSERT_EQ(Numbers(slots), (std::vector<int>{65534, 65535, 0, 1}));
  EXPECT_TRUE(all_zero(slots[1].bytes.data(), 960));
  EXPECT_TRUE(all_zero(slots[2].bytes.data(), 960));
  EXPECT_TRUE(holds_ramp(slots[3].bytes.data(), 1));
  EXPECT_EQ(zelarray_check_lostdataframes(handle, &err), 10);
}

TEST_F(CaptureTest, DuplicateAndLateDatagramsAreDroppedWithoutSilence) {
  // 11 repeats, 13 comes after 14: only 13's own slot is lost.
  const auto slots = Capture({10, 11, 11, 12, 14, 13, 15});
  ASSERT_EQ(Numbers(slots), (std::vector<int>{10, 11, 12, 13, 14, 15}));
  EXPECT_TRUE(holds_ramp(slots[2].bytes.data(), 12));
  EXPECT_TRUE(all_zero(slots[3].bytes.data(), 960));
  EXPECT_TRUE(holds_ramp(slots[5].bytes.data(), 15));
  EXPECT_EQ(zelarray_check_lostdataframes(handle, &err), 5);
}

TEST_F(CaptureTest, ReceiveFailureEndsTheThreadButNotTheCapture) {
  CaptureOn();
  ScriptAndWaitForEnd({});
  EXPECT_EQ(handle->status, st_capturing);
  char dest[960];
  EXPECT_EQ(zelarray_get_databuffer_nonblocking(handle, dest, nullptr, &err), zel_false);
  EXPECT_EQ(err, ZEL_ECAPTURE) << "a read after the end tells why nothing more comes";
  CaptureOff();
  EXPECT_EQ(zelarray_check_capture_ok(handle, &err), zel_false);
  EXPECT_EQ(err, ZEL_EORDER);
}

TEST_F(CaptureTest, RestartResetsPositionsAndCounters) {
  Capture({1, 4});
  EXPECT_EQ(zelarray_check_lostdataframes(handle, &err), 10);
  CaptureOff();
  EXPECT_EQ(zelarray_check_lostdataframes(handle, &err), 10) << "kept after the stop";
  const auto slots = Capture({40, 41});
  EXPECT_EQ(Numbers(slots), (std::vector<int>{40, 41}));
  EXPECT_EQ(zelarray_check_lostdataframes(handle, &err), 0);
  EXPECT_EQ(zelcursor_check_overflow(handle, handle->cursors[0], &err), zel_false);
}

TEST_F(CaptureTest, ReaderBlockedAtStopGetsFalseAndAnUntouchedBuffer) {
  CaptureOn();
  std::vector<unsigned char> dest(960, 0xAB);
  zelerror reader_err = -1;
  zelbool result = zel_unset;
  std::thread reader(
      [&] { result = zelarray_get_databuffer(handle, dest.data(), nullptr, &reader_err); });
  std::this_thread::sleep_for(50ms);
  CaptureOff();
  reader.join();
  EXPECT_EQ(result, zel_false);
  EXPECT_EQ(reader_err, ZEL_OK);
  EXPECT_EQ(std::count(dest.begin(), dest.end(), 0xAB), 960);
}

TEST_F(CaptureTest, LappedReaderIsToldAndMovedPastOverwrittenData) {
  // 16 MB with 5-frame buffers: 17476 slots. 20000 datagrams lap a reader that never read.
  sim->stop();
  // Ten times the real rate: fast, yet slow enough for a sanitizer build to keep up with.
  config.rate_multiple = 10;
  StartScriptedArray();
  std::vector<int> numbers(20000);
  for (int i = 0; i < 20000; ++i) numbers[i] = i;
  zelarray_display_warnings(handle, zel_true, &err);
  CaptureOn();
  ScriptAndWaitForEnd(numbers);
  testing::internal::CaptureStderr();
  const auto slots = DrainSlots();
  const std::string warnings = testing::internal::GetCapturedStderr();
  EXPECT_EQ(zelarray_check_databuffer_overflow(handle, &err), zel_true);
  EXPECT_NE(warnings.find("[ZELLIB] Ring buffer overflow (cursor #0) at "), std::string::npos);
  // It resumes an eighth of the ring past the 64 slots the writer may be writing unpublished,
  // then reads on in order.
  const size_t ring_slots = 17476;
  EXPECT_EQ(slots.size(), ring_slots - 64 - (ring_slots * 5 / 8 + 4) / 5);
  for (size_t i = 1; i < slots.size(); ++i) {
    ASSERT_EQ(slots[i].nfnbr, (slots[i - 1].nfnbr + 1) & 0xFFFF) << "in time order";
    ASSERT_TRUE(holds_ramp(slots[i].bytes.data(), slots[i].nfnbr));
  }
  EXPECT_EQ(slots.back().nfnbr, 19999);
  // What the reader never saw is what it skipped.
  EXPECT_EQ(zelcursor_get_skipped_frames(handle, zelarray_get_default_cursor(handle, &err), &err),
            (20000 - slots.size()) * 5);
  CaptureOff();
  CaptureOn();
  EXPECT_EQ(zelcursor_get_skipped_frames(handle, zelarray_get_default_cursor(handle, &err), &err),
            0u)
      << "counted from the start of each capture";
}

int scheduling_policy(pthread_t thread) {
  int policy = -1;
  sched_param param{};
  pthread_getschedparam(thread, &policy, &param);
  return policy;
}

// Tests run as root (or with CAP_SYS_NICE) get the real-time thread; turned off, it runs as any
// other thread, and each answer holds until the next capture.
TEST_F(CaptureTest, CaptureThreadIsRealTimeWhereAllowedUnlessTurnedOff) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for real-time priority";
  EXPECT_EQ(zelarray_check_realtime(handle, &err), zel_false) << "no capture yet";
  CaptureOn();
  EXPECT_EQ(zelarray_check_realtime(handle, &err), zel_true);
  EXPECT_EQ(scheduling_policy(handle->thread), SCHED_FIFO);
  zelarray_set_realtime(handle, zel_false, &err);
  EXPECT_EQ(err, ZEL_EORDER);
  CaptureOff();
  EXPECT_EQ(zelarray_check_realtime(handle, &err), zel_true) << "the last capture's";
  zelarray_set_realtime(handle, zel_false, &err);
  ASSERT_EQ(err, ZEL_OK);
  CaptureOn();
  EXPECT_EQ(zelarray_check_realtime(handle, &err), zel_false);
  EXPECT_EQ(scheduling_policy(handle->thread), SCHED_OTHER);
}

// The buffer's duration follows the rate: half as many datagrams a second last twice as long.
TEST_F(CaptureTest, SocketBufferIsReportedInBytesAndInTimeAtTheRate) {
  int at_44100 = 0;
  const int bytes = zelarray_get_socket_buffer(handle, &at_44100, &err);
  ASSERT_EQ(err, ZEL_OK);
  EXPECT_GE(bytes, 2 * 4608) << "at least the kernel's smallest buffer";
  EXPECT_GT(at_44100, 0);
  zelarray_set_speed(handle, 22050, &err);
  ASSERT_EQ(err, ZEL_OK);
  int at_22050 = 0;
  EXPECT_EQ(zelarray_get_socket_buffer(handle, &at_22050, &err), bytes);
  EXPECT_NEAR(at_22050, 2 * at_44100, 1);
}

}  // namespace
}  // namespace zeltest
