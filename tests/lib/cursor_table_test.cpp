#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"
#include "zelarray.h"
#include "zellib.h"

namespace {

using zeltest::Handle;
using zeltest::make_handle;
using zeltest::unwritten;

zelcursor_t *create_cursor(zelarray_t *h, int frames) {
  zelerror err = unwritten;
  zelcursor_t *cursor = zelcursor_create(h, frames, &err);
  EXPECT_EQ(err, ZEL_OK);
  return cursor;
}

TEST(CursorTable, HoldsAtMost256CursorsWithTheDefaultOne) {
  Handle h = make_handle(16, 10);
  for (int i = 1; i < 256; ++i) {
    zelcursor_t *cursor = create_cursor(h.get(), 5);
    ASSERT_NE(cursor, nullptr);
    EXPECT_EQ(cursor->slot, i);
  }
  EXPECT_EQ(h->cursor_count, 256);
  zelerror err = unwritten;
  EXPECT_EQ(zelcursor_create(h.get(), 5, &err), nullptr);
  EXPECT_EQ(err, ZEL_ECURSORLIMIT);
  EXPECT_EQ(h->cursor_count, 256);
}

TEST(CursorTable, FramesMustDivideRequestedFrames) {
  Handle h = make_handle(16, 10);
  for (int frames : {5, 10, 1, 2}) {
    zelcursor_t *cursor = create_cursor(h.get(), frames);
    ASSERT_NE(cursor, nullptr);
    EXPECT_EQ(cursor->frames, frames);
    EXPECT_EQ(cursor->datasize, frames * 192);
    EXPECT_EQ(cursor->rpos, 0);
    EXPECT_EQ(cursor->last_ts, 0u);
    EXPECT_EQ(cursor->overflow, zel_false);
  }
  const int count = h->cursor_count;
  for (int frames : {3, 20, 0, -5, -10}) {
    zelerror err = unwritten;
    EXPECT_EQ(zelcursor_create(h.get(), frames, &err), nullptr) << "frames " << frames;
    EXPECT_EQ(err, ZEL_ECURSORFRAMES) << "frames " << frames;
  }
  EXPECT_EQ(h->cursor_count, count);
}

TEST(CursorTable, FreedSlotIsTakenByTheNextCursor) {
  Handle h = make_handle(16, 10);
  std::vector<zelcursor_t *> cursors;
  for (int i = 1; i <= 5; ++i) cursors.push_back(create_cursor(h.get(), 5));
  ASSERT_EQ(cursors[2]->slot, 3);
  zelerror err = unwritten;
  zelcursor_delete(h.get(), cursors[2], &err);
  EXPECT_EQ(err, ZEL_OK);
  EXPECT_EQ(h->cursors[3], nullptr);
  EXPECT_EQ(h->cursor_count, 5);
  zelcursor_t *again = create_cursor(h.get(), 2);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->slot, 3);
  EXPECT_EQ(h->cursors[3], again);
  EXPECT_EQ(h->cursor_count, 6);
}

TEST(CursorTable, DefaultCursorCannotBeDeleted) {
  Handle h = make_handle(16, 10);
  zelcursor_t *default_cursor = h->cursors[0];
  zelerror err = unwritten;
  zelcursor_delete(h.get(), default_cursor, &err);
  EXPECT_EQ(err, ZEL_ECURSOR);
  EXPECT_EQ(h->cursors[0], default_cursor);
  EXPECT_EQ(h->cursor_count, 1);
  EXPECT_EQ(zelcursor_get_datasize(h.get(), default_cursor, &err), 1920);
}

TEST(CursorTable, MembershipIsTheCursorInItsOwnSlot) {
  Handle a = make_handle(16, 10);
  Handle b = make_handle(16, 10);
  EXPECT_EQ(zelcursor_isof(a.get(), a->cursors[0]), 1);
  EXPECT_EQ(zelcursor_isof(a.get(), b->cursors[0]), 0);
  zelcursor_t *cursor = create_cursor(b.get(), 5);
  EXPECT_EQ(zelcursor_isof(b.get(), cursor), 1);
  EXPECT_EQ(zelcursor_isof(a.get(), cursor), 0);
  EXPECT_EQ(zelcursor_isof(a.get(), nullptr), 0);
}

// Cursor calls given another handle's cursor are refused and neither handle changes.
TEST(CursorTable, ForeignCursorIsRefusedAsACursorError) {
  Handle a = make_handle(16, 10);
  Handle b = make_handle(16, 10);
  zelcursor_t *mine = create_cursor(a.get(), 5);
  zelcursor_t *foreign = create_cursor(b.get(), 5);
  ASSERT_EQ(mine->slot, foreign->slot);
  foreign->rpos = 5;
  foreign->overflow = zel_true;
  zelerror err = unwritten;
  EXPECT_EQ(zelcursor_get_datasize(a.get(), foreign, &err), -1);
  EXPECT_EQ(err, ZEL_ECURSOR);
  err = unwritten;
  EXPECT_EQ(zelcursor_check_overflow(a.get(), foreign, &err), zel_unset);
  EXPECT_EQ(err, ZEL_ECURSOR);
  err = unwritten;
  EXPECT_EQ(zelarray_check_cursor_overflow(a.get(), foreign, &err), zel_unset);
  EXPECT_EQ(err, ZEL_ECURSOR);
  err = unwritten;
  zelcursor_reinit(a.get(), foreign, &err);
  EXPECT_EQ(err, ZEL_ECURSOR);
  EXPECT_EQ(foreign->rpos, 5);
  EXPECT_EQ(foreign->overflow, zel_true);
  err = unwritten;
  zelcursor_delete(a.get(), foreign, &err);
  EXPECT_EQ(err, ZEL_ECURSOR);
  EXPECT_EQ(a->cursors[mine->slot], mine);
  EXPECT_EQ(b->cursors[foreign->slot], foreign);
  EXPECT_EQ(a->cursor_count, 2);
  EXPECT_EQ(b->cursor_count, 2);
  err = unwritten;
  zelcursor_delete(a.get(), nullptr, &err);
  EXPECT_EQ(err, ZEL_ECURSOR);
  EXPECT_EQ(a->cursor_count, 2);
}

TEST(CursorTable, ReinitResetsPositionTimeAndOverflowOnly) {
  Handle h = make_handle(16, 14);
  zelcursor_t *cursor = create_cursor(h.get(), 7);
  cursor->rpos = 70;
  cursor->last_ts = 123456789;
  cursor->overflow = zel_true;
  zelerror err = unwritten;
  zelcursor_reinit(h.get(), cursor, &err);
  EXPECT_EQ(err, ZEL_OK);
  EXPECT_EQ(cursor->rpos, 0);
  EXPECT_EQ(cursor->last_ts, 0u);
  EXPECT_EQ(cursor->overflow, zel_false);
  EXPECT_EQ(cursor->frames, 7);
  EXPECT_EQ(cursor->datasize, 1344);
  EXPECT_EQ(cursor->slot, 1);
  EXPECT_EQ(h->cursors[1], cursor);
}

TEST(CursorTable, DatasizeAndOverflowOfOwnCursor) {
  Handle h = make_handle(16, 14);
  zelcursor_t *cursor = create_cursor(h.get(), 7);
  zelerror err = unwritten;
  EXPECT_EQ(zelcursor_get_datasize(h.get(), cursor, &err), 1344);
  EXPECT_EQ(err, ZEL_OK);
  err = unwritten;
  EXPECT_EQ(zelcursor_check_overflow(h.get(), cursor, &err), zel_false);
  EXPECT_EQ(err, ZEL_OK);
  cursor->overflow = zel_true;
  EXPECT_EQ(zelcursor_check_overflow(h.get(), cursor, &err), zel_true);
  // Reading the flag does not clear it.
  EXPECT_EQ(zelcursor_check_overflow(h.get(), cursor, &err), zel_true);
  EXPECT_EQ(zelarray_check_cursor_overflow(h.get(), cursor, &err), zel_true);
  EXPECT_EQ(zelarray_check_databuffer_overflow(h.get(), &err), zel_false);
  EXPECT_EQ(err, ZEL_OK);
}

TEST(CursorTable, CursorsCanBeMadeAndRemovedInAnyState) {
  Handle h = make_handle(16, 10);
  for (int state : {st_created, st_comm_ready, st_params_ready, st_capturing}) {
    h->status = state;
    zelcursor_t *cursor = create_cursor(h.get(), 5);
    ASSERT_NE(cursor, nullptr) << "state " << state;
    zelerror err = unwritten;
    zelcursor_delete(h.get(), cursor, &err);
    EXPECT_EQ(err, ZEL_OK) << "state " << state;
  }
  EXPECT_EQ(h->cursor_count, 1);
}

// The capture thread sleeps as long as the smallest buffer takes to fill, within its bounds.
TEST(CursorTable, ReceivePeriodIsTheSmallestBufferWithinTheBounds) {
  struct Case {
    int req_frames, extra_frames;  // extra_frames 0: no second cursor
    int64_t bound_us, period_us;
  } cases[] = {
      {4410, 0, 20000, 20000},    // 100 ms of buffer, held to 20 ms
      {4410, 441, 20000, 10000},  // the smaller cursor decides
      {4410, 5, 20000, 113},      // below 1 ms: the thread waits for each datagram
      {4410, 0, 2600, 2600},      // a small socket buffer bounds the sleep
  };
  for (const Case &c : cases) {
    Handle h = make_handle(16, c.req_frames);
    h->speed = 44100;
    if (c.extra_frames > 0) {
      ASSERT_NE(create_cursor(h.get(), c.extra_frames), nullptr);
    }
    EXPECT_EQ(_zelarray_receive_period_us(h.get(), c.bound_us), c.period_us)
        << c.req_frames << " " << c.extra_frames << " " << c.bound_us;
  }
}

}  // namespace
