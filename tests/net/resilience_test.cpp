// A capture through the events of a long recording, against the emulated array: the end of the
// capture reaching blocked readers, a silent array before the start number, a vanished array,
// outages ridden through or not, and a restart of the array's numbering.
#include <atomic>

#include "array_fixture.h"

namespace zeltest {
namespace {

class ResilienceTest : public ArrayTest {
 protected:
  double ElapsedSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }

  // Frames the default cursor (5 frames) can read now, without waiting.
  int64_t DrainFrames() {
    std::vector<unsigned char> buffer(960);
    int64_t frames = 0;
    while (zelarray_get_databuffer_nonblocking(handle, buffer.data(), nullptr, &err) == zel_true) {
      frames += 5;
    }
    return frames;
  }

  // Blocks until the stream has filled one buffer: the capture is under way.
  void AwaitStream() {
    std::vector<unsigned char> buffer(960);
    ASSERT_EQ(zelarray_get_databuffer(handle, buffer.data(), nullptr, &err), zel_true);
  }
};

TEST_F(ResilienceTest, BlockedReaderIsWokenWithTheFailureWhenTheCaptureEnds) {
  StartScriptedArray();
  Connect(5);
  CaptureOn();
  std::atomic<int> buffers{0};
  zelerror reader_err = -1;
  zelbool last = zel_unset;
  std::thread reader([&] {
    std::vector<unsigned char> dest(960);
    while ((last = zelarray_get_databuffer(handle, dest.data(), nullptr, &reader_err)) == zel_true)
      ++buffers;
  });
  sim->script_frames({1, 2, 3});
  // The array falls silent: the capture ends on its own, nobody calls zelarray_capture_off.
  const auto start = std::chrono::steady_clock::now();
  reader.join();
  EXPECT_LT(ElapsedSince(start), 2.0);
  EXPECT_EQ(buffers, 3);
  EXPECT_EQ(last, zel_false);
  EXPECT_EQ(reader_err, ZEL_ECAPTURE);
  EXPECT_EQ(handle->status, st_capturing);
  std::vector<unsigned char> dest(960);
  EXPECT_EQ(zelarray_get_databuffer(handle, dest.data(), nullptr, &err), zel_false)
      << "a later read does not block";
  EXPECT_EQ(err, ZEL_ECAPTURE);
}

TEST_F(ResilienceTest, WaitForTheStartNumberThroughSilenceIsNoFailure) {
  StartScriptedArray();
  Connect(5);
  zelarray_wait_nfnbr(handle, 500, &err);
  CaptureOn();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(zelarray_check_capture_ok(handle, &err), zel_true);
  EXPECT_EQ(err, ZEL_OK);
  ScriptAndWaitForEnd({499, 500, 501, 502});
  EXPECT_EQ(Numbers(DrainSlots()), (std::vector<int>{501, 502}));
}

TEST_F(ResilienceTest, HandleOfAVanishedArrayCanBeFreed) {
  StartArray();
  Connect(5);
  CaptureOn();
  AwaitStream();
  sim->stop();
  zelarray_capture_off(handle, &err);
  EXPECT_NE(err, ZEL_OK) << "the stop command found no array";
  EXPECT_EQ(handle->status, st_params_ready);
  zelarray_delete(handle, &err);
  EXPECT_EQ(err, ZEL_OK);
  handle = nullptr;
}

// 0.6 s of the stream lost on the way, its numbers going on, as a cable pulled and put back.
TEST_F(ResilienceTest, OutageWithinTheSilenceLimitIsRiddenThroughAtItsTrueLength) {
  StartArray();
  Connect(5);
  zelarray_set_silence_limit(handle, 2000, &err);
  ASSERT_EQ(err, ZEL_OK);
  CaptureOn();
  AwaitStream();
  const int lost_before = zelarray_check_lostdataframes(handle, &err);
  sim->drop_burst(static_cast<int>(0.6 * 8820));
  // Reading on until the stream is back: the datagram after the outage fills it at once.
  const auto give_up = std::chrono::steady_clock::now() + 3s;
  while (zelarray_check_outages(handle, &err) == 0 && std::chrono::steady_clock::now() < give_up)
    AwaitStream();
  EXPECT_EQ(zelarray_check_capture_ok(handle, &err), zel_true);
  EXPECT_EQ(zelarray_check_outages(handle, &err), 1);
  const int filled = zelarray_check_lostdataframes(handle, &err) - lost_before;
  EXPECT_NEAR(filled, 0.6 * 44100, 0.03 * 44100) << "silence of the pause's length";
  CaptureOff();
}

TEST_F(ResilienceTest, SilenceBeyondTheLimitEndsTheCapture) {
  StartArray();
  Connect(5);
  zelarray_set_silence_limit(handle, 300, &err);
  CaptureOn();
  AwaitStream();
  sim->pause_stream(1500ms);
  const auto start = std::chrono::steady_clock::now();
  WaitForCaptureEnd();
  EXPECT_GT(ElapsedSince(start), 0.25);
  EXPECT_LT(ElapsedSince(start), 1.0);
  EXPECT_EQ(zelarray_check_outages(handle, &err), 0);
}

TEST_F(ResilienceTest, RestartedNumberingIsADiscontinuityNotALongLoss) {
  StartScriptedArray();
  Connect(5);
  std::vector<int> numbers;
  for (int n = 20000; n < 20400; ++n) numbers.push_back(n);
  for (int n = 0; n < 400; ++n) numbers.push_back(n);
  CaptureOn();
  ScriptAndWaitForEnd(numbers);
  const int64_t frames = DrainFrames();
  EXPECT_EQ(zelarray_check_discontinuities(handle, &err), 1);
  EXPECT_LE(zelarray_check_lostdataframes(handle, &err), 5 * 50);
  EXPECT_EQ(frames, 5 * 800 + zelarray_check_lostdataframes(handle, &err));
}

}  // namespace
}  // namespace zeltest
