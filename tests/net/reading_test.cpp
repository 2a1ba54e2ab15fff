// Reading a live stream: the default reader's calls, cursors on several threads, and cursors
// made and removed while the capture runs.
#include <atomic>

#include "array_fixture.h"

namespace zeltest {
namespace {

class ReadingTest : public ArrayTest {};

// Checks one buffer of `frames` sample frames that starts at sample frame `start` of the
// stream, whose first slot carries `nfnbr`, against the emulator's ramp.
bool BufferHoldsRamp(const unsigned char *data, int frames, long long start, int nfnbr) {
  const int offset = static_cast<int>(start % 5);
  for (int j = 0; j < frames; ++j) {
    const int n = (nfnbr + (offset + j) / 5) & 0xFFFF;
    const int k = (offset + j) % 5;
    for (int c = 0; c < 64; ++c) {
      if (sample_at(data + 192 * j, c) != zelsim::ramp_value(c, n, k)) return false;
    }
  }
  return true;
}

TEST_F(ReadingTest, CursorsOfDifferentSizesReadEverySampleFromSeveralThreads) {
  StartArray();
  Connect(1000);
  std::vector<zelcursor_t *> cursors;
  for (int frames : {1000, 200, 40, 8}) {
    cursors.push_back(zelcursor_create(handle, frames, &err));
    ASSERT_EQ(err, ZEL_OK);
  }
  CaptureOn();
  constexpr long long kFramesToRead = 44100;  // one second of the stream
  std::vector<long long> bad(cursors.size(), 0);
  std::vector<std::thread> readers;
  for (size_t r = 0; r < cursors.size(); ++r) {
    readers.emplace_back([&, r] {
      zelcursor_t *cursor = cursors[r];
      zelerror e = 0;
      int first = -1;
      for (long long start = 0; start < kFramesToRead; start += cursor->frames) {
        void *data = nullptr;
        int nfnbr = -1;
        if (zelarray_get_cursorptr_with_nfnbr(handle, cursor, &data, nullptr, &nfnbr, &e) !=
            zel_true) {
          bad[r] = -1;
          return;
        }
        if (first < 0) first = nfnbr;
        const bool ok =
            BufferHoldsRamp(static_cast<unsigned char *>(data), cursor->frames, start, nfnbr) &&
            nfnbr == ((first + start / 5) & 0xFFFF);
        if (!ok) ++bad[r];
      }
    });
  }
  for (auto &t : readers) t.join();
  for (size_t r = 0; r < cursors.size(); ++r) EXPECT_EQ(bad[r], 0) << "cursor " << r;
  EXPECT_EQ(zelarray_check_lostdataframes(handle, &err), 0);
  EXPECT_EQ(zelarray_check_capture_ok(handle, &err), zel_true);
}

TEST_F(ReadingTest, CursorsComeAndGoWhileTheCaptureRuns) {
  StartArray();
  Connect(100);
  CaptureOn();
  std::atomic<bool> done{false};
  std::thread reader([&] {
    std::vector<unsigned char> dest(100 * 192);
    zelerror e = 0;
    while (!done && zelarray_get_databuffer(handle, dest.data(), nullptr, &e) == zel_true) {
    }
  });
  for (int i = 0; i < 300; ++i) {
    zelcursor_t *cursor = zelcursor_create(handle, 20, &err);
    ASSERT_EQ(err, ZEL_OK);
    void *data = nullptr;
    zelarray_get_cursorptr_nonblocking(handle, cursor, &data, nullptr, &err);
    EXPECT_EQ(err, ZEL_OK);
    zelcursor_delete(handle, cursor, &err);
    ASSERT_EQ(err, ZEL_OK);
  }
  done = true;
  CaptureOff();
  reader.join();
  EXPECT_EQ(handle->cursor_count, 1);
}

TEST_F(ReadingTest, TimestampAndSkipCallsMoveOnlyWhenTheyShould) {
  StartArray();
  Connect(10);
  CaptureOn();
  int32_t peek1[2] = {0, 0}, peek2[2] = {0, 0}, got[2] = {0, 0};
  zelarray_get_current_databuffer_timestamp(handle, peek1, &err);
  ASSERT_EQ(err, ZEL_OK);
  zelarray_get_current_databuffer_timestamp(handle, peek2, &err);
  std::vector<unsigned char> dest(10 * 192);
  int nfnbr = -1;
  ASSERT_EQ(zelarray_get_databuffer_with_nfnbr(handle, dest.data(), got, &nfnbr, &err), zel_true);
  EXPECT_EQ(peek1[0], got[0]);
  EXPECT_EQ(peek1[1], got[1]);
  EXPECT_EQ(peek2[1], got[1]);
  EXPECT_GT(got[0], 0);
  EXPECT_EQ(got[1] % 1000, 0) << "microseconds times 1000";
  const int first = nfnbr;
  zelarray_skip_current_databuffer(handle, &err);
  ASSERT_EQ(err, ZEL_OK);
  ASSERT_EQ(zelarray_get_databuffer_with_nfnbr(handle, dest.data(), got, &nfnbr, &err), zel_true);
  EXPECT_EQ(nfnbr, (first + 4) & 0xFFFF) << "two buffers of 10 frames further";
}

TEST_F(ReadingTest, ReadWithoutAdvanceReturnsTheSameBufferAgain) {
  StartArray();
  Connect(5);
  zelcursor_t *cursor = zelcursor_create(handle, 5, &err);
  CaptureOn();
  void *a = nullptr, *b = nullptr, *c = nullptr;
  int na = -1, nb = -1, nc = -1;
  ASSERT_EQ(zelcursor_get_ptr(handle, cursor, &a, nullptr, &na, &err, zel_true, 0), zel_true);
  ASSERT_EQ(zelcursor_get_ptr(handle, cursor, &b, nullptr, &nb, &err, 0, zel_false), zel_true);
  ASSERT_EQ(zelcursor_get_ptr(handle, cursor, &c, nullptr, &nc, &err, zel_true, zel_true),
            zel_true);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a, c);
  EXPECT_EQ(na, nc);
  void *d = nullptr;
  ASSERT_EQ(zelarray_get_cursorptr(handle, cursor, &d, nullptr, &err), zel_true);
  EXPECT_EQ(static_cast<char *>(d), static_cast<char *>(a) + 960);
}

TEST_F(ReadingTest, CursorReinitialisedDuringTheCaptureStartsAgainAtTheRingStart) {
  StartArray();
  Connect(5);
  zelcursor_t *cursor = zelcursor_create(handle, 5, &err);
  CaptureOn();
  int first = -1, nfnbr = -1;
  void *data = nullptr;
  ASSERT_EQ(zelarray_get_cursorptr_with_nfnbr(handle, cursor, &data, nullptr, &first, &err),
            zel_true);
  for (int i = 0; i < 20; ++i) zelarray_get_cursorptr(handle, cursor, &data, nullptr, &err);
  zelcursor_reinit(handle, cursor, &err);
  ASSERT_EQ(err, ZEL_OK);
  ASSERT_EQ(zelarray_get_cursorptr_with_nfnbr(handle, cursor, &data, nullptr, &nfnbr, &err),
            zel_true);
  EXPECT_EQ(nfnbr, first);
  EXPECT_EQ(static_cast<unsigned char *>(data), handle->ring);
  EXPECT_EQ(zelcursor_check_overflow(handle, cursor, &err), zel_false);
}

TEST_F(ReadingTest, ReadsAreRefusedOutsideTheCaptureAndForForeignCursors) {
  StartScriptedArray();
  Connect(1024);
  std::vector<unsigned char> dest(1024 * 192, 0x55);
  EXPECT_EQ(zelarray_get_databuffer(handle, dest.data(), nullptr, &err), zel_unset);
  EXPECT_EQ(err, ZEL_EORDER);
  CaptureOn();
  EXPECT_EQ(zelarray_get_databuffer_nonblocking(handle, dest.data(), nullptr, &err), zel_false);
  EXPECT_EQ(err, ZEL_OK);
  EXPECT_EQ(dest[0], 0x55);
  zelarray_t *other = zelarray_create(0, 1024, &err);
  ASSERT_EQ(err, ZEL_OK);
  void *data = nullptr;
  EXPECT_EQ(zelarray_get_cursorptr(handle, other->cursors[0], &data, nullptr, &err), zel_unset);
  EXPECT_EQ(err, ZEL_ECURSOR);
  EXPECT_EQ(zelarray_check_cursor_overflow(handle, other->cursors[0], &err), zel_unset);
  EXPECT_EQ(err, ZEL_ECURSOR);
  zelarray_delete(other, &err);
  CaptureOff();
  EXPECT_EQ(zelarray_get_databuffer_nonblocking(handle, dest.data(), nullptr, &err), zel_unset);
  EXPECT_EQ(err, ZEL_EORDER);
}

TEST_F(ReadingTest, CaptureControlFollowsTheStates) {
  StartScriptedArray();
  handle = zelarray_create(0, 5, &err);
  zelarray_capture_on(handle, &err);
  EXPECT_EQ(err, ZEL_EORDER);
  zelarray_capture_off(handle, &err);
  EXPECT_EQ(err, ZEL_EORDER);
  zelarray_comminit(handle, "127.0.0.2", &err);
  zelarray_initparams_wp(handle, 44100, zel_false, &err);
  std::thread waiter([&] {
    zelerror e = -1;
    zelarray_wait_capture_started(handle, &e);
    EXPECT_EQ(e, ZEL_OK);
  });
  std::this_thread::sleep_for(30ms);
  CaptureOn();
  waiter.join();
  EXPECT_TRUE(sim->acquiring());
  zelarray_capture_on(handle, &err);
  EXPECT_EQ(err, ZEL_EORDER);
  zelarray_delete(handle, &err);
  EXPECT_EQ(err, ZEL_EORDER) << "a capturing handle is not deleted";
  CaptureOff();
  EXPECT_FALSE(sim->acquiring());
}

}  // namespace
}  // namespace zeltest
