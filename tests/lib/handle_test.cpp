#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <malloc.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "test_support.h"
#include "zellib.h"

namespace {

using zeltest::Handle;
using zeltest::make_handle;
using zeltest::stream_with;
using zeltest::unwritten;

// ---- Creation -------------------------------------------------------------------------------

struct Sizing {
  int megabytes, req_frames, ring_frames;
};

TEST(Create, RingHoldsWholeBlocksOfLcmFiveAndRequestedFrames) {
  const Sizing cases[] = {{0, 1024, 87040},   {16, 1024, 87040}, {16, 1, 87380},
                          {16, 5, 87380},     {16, 1000, 87000}, {32, 441, 174195},
                          {16, 87380, 87380}, {16, 17476, 87380}};
  for (const Sizing &c : cases) {
    SCOPED_TRACE(testing::Message() << "create(" << c.megabytes << ", " << c.req_frames << ")");
    zelerror err = unwritten;
    Handle h(zelarray_create(c.megabytes, c.req_frames, &err));
    ASSERT_EQ(err, ZEL_OK);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->ring_frames, c.ring_frames);
    EXPECT_EQ(h->ring_bytes, c.ring_frames * 192);
    EXPECT_EQ(h->req_frames, c.req_frames);
    // The last byte of the ring and the last entry of each slot table must be there, zeroed.
    const int slots = c.ring_frames / 5;
    EXPECT_EQ(h->ring[h->ring_bytes - 1], 0);
    EXPECT_EQ(h->ring_ts[2 * slots - 1], 0);
    EXPECT_EQ(h->ring_nfnbr[slots - 1], 0);
  }
}

TEST(Create, NewHandleStartsWithDefaultsAndDefaultCursorInSlotZero) {
  Handle h = make_handle(0, 1024);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->status, st_created);
  EXPECT_EQ(h->id, -1);
  EXPECT_EQ(h->sock, -1);
  EXPECT_EQ(h->speed, 0);
  EXPECT_EQ(h->slave, zel_unset);
  EXPECT_STREQ(h->dip, "");
  EXPECT_STREQ(h->prom_nb, "");
  EXPECT_EQ(h->wpos, 0);
  EXPECT_EQ(h->running, 0);
  EXPECT_EQ(h->wait_nfnbr, -1);
  EXPECT_EQ(h->drop_frames, 0);
  // Kept for the layout only: never allocated nor written.
  EXPECT_EQ(h->msg_a, nullptr);
  EXPECT_EQ(h->msg_b, nullptr);
  EXPECT_EQ(h->msg_current, 0);
  EXPECT_EQ(h->fix_delay, zel_false);
  EXPECT_EQ(h->warnings, zel_true);
  EXPECT_EQ(h->normalize, zel_false);
  EXPECT_EQ(h->lost_frames, 0);
  ASSERT_EQ(h->cursor_count, 1);
  ASSERT_NE(h->cursors[0], nullptr);
  EXPECT_EQ(h->cursors[0]->slot, 0);
  EXPECT_EQ(h->cursors[0]->frames, 1024);
  EXPECT_EQ(h->cursors[0]->datasize, 196608);
  for (int i = 1; i < ZEL_MAX_CURSORS; ++i) EXPECT_EQ(h->cursors[i], nullptr);
}

struct Refusal {
  int megabytes, req_frames;
  zelerror code;
};

TEST(Create, RefusesSizesTheRingCannotHold) {
  const Refusal cases[] = {
      {15, 256, ZEL_EMEGABYTES},       {-1, 256, ZEL_EMEGABYTES},   {2048, 1, ZEL_EMEGABYTES},
      {INT_MAX, 1, ZEL_EMEGABYTES},    {5, 0, ZEL_EREQFRAMES},      {16, -1, ZEL_EREQFRAMES},
      {16, 87385, ZEL_EREQFRAMES},     {16, 17477, ZEL_EREQFRAMES}, {16, INT_MAX, ZEL_EREQFRAMES},
      {2047, INT_MAX, ZEL_EREQFRAMES},
  };
  for (const Refusal &c : cases) {
    zelerror err = unwritten;
    zelarray_t *h = zelarray_create(c.megabytes, c.req_frames, &err);
    EXPECT_EQ(h, nullptr) << "create(" << c.megabytes << ", " << c.req_frames << ")";
    EXPECT_EQ(err, c.code) << "create(" << c.megabytes << ", " << c.req_frames << ")";
    if (h != nullptr) zelarray_delete(h, nullptr);
  }
}

TEST(Create, LargestRingIs2047Megabytes) {
  zelerror err = unwritten;
  Handle h(zelarray_create(2047, 1, &err));
  ASSERT_EQ(err, ZEL_OK);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->ring_frames, 11179345);
  EXPECT_EQ(h->ring_bytes, 11179345 * 192);
}

// Sanitizers reserve address space of their own and report allocation failures themselves.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

void create_under_address_limit() {
  zelarray_delete(zelarray_create(16, 1, nullptr), nullptr);
  const rlimit limit{1u << 30, 1u << 30};
  setrlimit(RLIMIT_AS, &limit);
  const struct mallinfo2 before = mallinfo2();
  zelerror err = unwritten;
  zelarray_t *h = zelarray_create(2047, 1, &err);
  const struct mallinfo2 after = mallinfo2();
  if (h != nullptr || err != 5) {
    fprintf(stderr, "handle %p, status %d\n", static_cast<void *>(h), err);
    _exit(1);
  }
  // The slot tables are mapped blocks and must all be unmapped again. A failed request leaves
  // some allocator bookkeeping on the heap, well below the size of the handle record itself.
  if (after.hblkhd != before.hblkhd || after.uordblks >= before.uordblks + sizeof(zelarray_t)) {
    fprintf(stderr, "leaked: heap %zu -> %zu, mmapped %zu -> %zu\n", before.uordblks,
            after.uordblks, before.hblkhd, after.hblkhd);
    _exit(2);
  }
  _exit(0);
}

TEST(Create, FailedAllocationReportsCodeFiveAndReleasesEverything) {
  if (sanitized) GTEST_SKIP() << "address limits do not apply under a sanitizer";
  EXPECT_EXIT(create_under_address_limit(), testing::ExitedWithCode(0), "");
}

// ---- Deletion ---------------------------------------------------------------------------------

TEST(Delete, NullHandleIsRefusedWithCodeFour) {
  zelerror err = unwritten;
  zelarray_delete(nullptr, &err);
  EXPECT_EQ(err, ZEL_ENULL);
}

TEST(Delete, CapturingHandleIsRefusedAndStaysUsable) {
  Handle h = make_handle(16, 10);
  ASSERT_NE(h, nullptr);
  _zelarray_set_state(h.get(), st_capturing);
  zelerror err = unwritten;
  zelarray_delete(h.get(), &err);
  EXPECT_EQ(err, ZEL_EORDER);
  EXPECT_EQ(h->cursor_count, 1);
  zelcursor_t *cursor = zelcursor_create(h.get(), 5, &err);
  EXPECT_EQ(err, ZEL_OK);
  EXPECT_NE(cursor, nullptr);
}

TEST(Delete, ClosesOpenSocketAndExtraCursors) {
  zelerror err = unwritten;
  zelarray_t *h = zelarray_create(16, 10, &err);
  ASSERT_NE(h, nullptr);
  const int sock = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(sock, 0);
  h->sock = sock;
  zelcursor_create(h, 5, &err);
  zelcursor_create(h, 2, &err);
  err = unwritten;
  zelarray_delete(h, &err);
  EXPECT_EQ(err, ZEL_OK);
  errno = 0;
  EXPECT_EQ(fcntl(sock, F_GETFD), -1);
  EXPECT_EQ(errno, EBADF);
}

// ---- Capture options ---------------------------------------------------------------------------

TEST(Options, WaitNfnbrAcceptsSixteenBitNumbersOnly) {
  Handle h = make_handle(16, 10);
  zelerror err = unwritten;
  for (int n : {0, 65535, 1234}) {
    zelarray_wait_nfnbr(h.get(), n, &err);
    EXPECT_EQ(err, ZEL_OK);
    EXPECT_EQ(h->wait_nfnbr, n);
  }
  for (int n : {65536, -1, INT_MIN}) {
    err = unwritten;
    zelarray_wait_nfnbr(h.get(), n, &err);
    EXPECT_EQ(err, ZEL_ENFNBR);
    EXPECT_EQ(h->wait_nfnbr, 1234);
  }
}

TEST(Options, DropFramesAcceptsZeroOrMore) {
  Handle h = make_handle(16, 10);
  zelerror err = unwritten;
  zelarray_fix_drop_X_first_frames(h.get(), 0, &err);
  EXPECT_EQ(err, ZEL_OK);
  zelarray_fix_drop_X_first_frames(h.get(), 25, &err);
  EXPECT_EQ(err, ZEL_OK);
  EXPECT_EQ(h->drop_frames, 25);
  zelarray_fix_drop_X_first_frames(h.get(), -1, &err);
  EXPECT_EQ(err, ZEL_EDROP);
  EXPECT_EQ(h->drop_frames, 25);
}

TEST(Options, FlagOptionsAcceptOnlyTrueAndFalse) {
  Handle h = make_handle(16, 10);
  zelerror err = unwritten;
  zelarray_fix_one_sample_delay(h.get(), zel_true, &err);
  EXPECT_EQ(err, ZEL_OK);
  EXPECT_EQ(h->fix_delay, zel_true);
  zelarray_display_warnings(h.get(), zel_false, &err);
  EXPECT_EQ(err, ZEL_OK);
  EXPECT_EQ(h->warnings, zel_false);
  for (zelbool bad : {0, 1, static_cast<int>(zel_unset)}) {
    zelarray_fix_one_sample_delay(h.get(), bad, &err);
    EXPECT_EQ(err, ZEL_EDELAY);
    zelarray_display_warnings(h.get(), bad, &err);
    EXPECT_EQ(err, ZEL_EWARNINGS);
  }
  EXPECT_EQ(h->fix_delay, zel_true);
  EXPECT_EQ(h->warnings, zel_false);
}

TEST(Options, SilenceLimitAcceptsATenthOfASecondToAnHour) {
  Handle h = make_handle(16, 10);
  EXPECT_EQ(h->silence_limit_ms, 100) << "the default: one receive's wait";
  zelerror err = unwritten;
  for (int ms : {100, 2000, 3600000}) {
    zelarray_set_silence_limit(h.get(), ms, &err);
    EXPECT_EQ(err, ZEL_OK);
    EXPECT_EQ(h->silence_limit_ms, ms);
  }
  for (int ms : {99, 0, -1, 3600001}) {
    zelarray_set_silence_limit(h.get(), ms, &err);
    EXPECT_EQ(err, ZEL_ESILENCELIMIT) << ms;
    EXPECT_EQ(h->silence_limit_ms, 3600000);
  }
  _zelarray_set_state(h.get(), st_capturing);
  zelarray_set_silence_limit(h.get(), 500, &err);
  EXPECT_EQ(err, ZEL_EORDER);
  EXPECT_EQ(h->silence_limit_ms, 3600000);
}

// The real-time option: on by default, flags only, refused while capturing; what the capture got
// reads zel_false until a capture thread has run.
TEST(Options, RealtimeIsOnByDefaultAndTakesFlagsOnlyOutsideTheCapture) {
  Handle h = make_handle(16, 10);
  EXPECT_EQ(h->realtime, zel_true);
  zelerror err = unwritten;
  EXPECT_EQ(zelarray_check_realtime(h.get(), &err), zel_false);
  EXPECT_EQ(err, ZEL_OK);
  const struct {
    int state;
    zelbool value;
    zelerror code;
    zelbool after;
  } cases[] = {
      {st_created, zel_false, ZEL_OK, zel_false},
      {st_comm_ready, zel_true, ZEL_OK, zel_true},
      {st_params_ready, 0, ZEL_EREALTIME, zel_true},
      {st_params_ready, 1, ZEL_EREALTIME, zel_true},
      {st_params_ready, zel_unset, ZEL_EREALTIME, zel_true},
      {st_params_ready, zel_false, ZEL_OK, zel_false},
      {st_capturing, zel_true, ZEL_EORDER, zel_false},
      {st_capturing, 7, ZEL_EORDER, zel_false},
  };
  for (const auto &c : cases) {
    _zelarray_set_state(h.get(), c.state);
    err = unwritten;
    zelarray_set_realtime(h.get(), c.value, &err);
    EXPECT_EQ(err, c.code) << "state " << c.state << ", value " << c.value;
    EXPECT_EQ(h->realtime, c.after) << "state " << c.state << ", value " << c.value;
    EXPECT_EQ(zelarray_check_realtime(h.get(), &err), zel_false);
  }
  _zelarray_set_state(h.get(), st_created);
}

// The socket buffer needs the socket; the default cursor and its skipped frames need nothing.
TEST(Options, SocketBufferAfterConnectingDefaultCursorAndSkippedFramesAnyTime) {
  Handle h = make_handle(16, 10);
  zelerror err = unwritten;
  int ms = -1;
  EXPECT_EQ(zelarray_get_socket_buffer(h.get(), &ms, &err), 0);
  EXPECT_EQ(err, ZEL_EORDER);
  EXPECT_EQ(ms, -1) << "nothing written on failure";
  for (int state : {st_created, st_capturing}) {
    _zelarray_set_state(h.get(), state);
    zelcursor_t *cursor = zelarray_get_default_cursor(h.get(), &err);
    EXPECT_EQ(err, ZEL_OK);
    EXPECT_EQ(cursor, h->cursors[0]);
    EXPECT_EQ(zelcursor_get_skipped_frames(h.get(), cursor, &err), 0u);
    EXPECT_EQ(err, ZEL_OK);
  }
  _zelarray_set_state(h.get(), st_created);
  Handle other = make_handle(16, 10);
  zelcursor_t *foreign = zelarray_get_default_cursor(other.get(), &err);
  foreign->skipped = 40;
  EXPECT_EQ(zelcursor_get_skipped_frames(h.get(), foreign, &err), 0u);
  EXPECT_EQ(err, ZEL_ECURSOR);
  EXPECT_EQ(zelcursor_get_skipped_frames(other.get(), foreign, &err), 40u);
}

TEST(Options, AllowedInEveryStateButCapturing) {
  Handle h = make_handle(16, 10);
  for (int state : {st_created, st_comm_ready, st_params_ready}) {
    _zelarray_set_state(h.get(), state);
    zelerror err = unwritten;
    zelarray_wait_nfnbr(h.get(), 7 + state, &err);
    EXPECT_EQ(err, ZEL_OK) << "state " << state;
    EXPECT_EQ(h->wait_nfnbr, 7 + state);
  }
}

TEST(Options, RefusedWhileCapturingAndNothingChanges) {
  Handle h = make_handle(16, 10);
  _zelarray_set_state(h.get(), st_capturing);
  zelerror err = unwritten;
  zelarray_wait_nfnbr(h.get(), 5, &err);
  EXPECT_EQ(err, ZEL_EORDER);
  err = unwritten;
  zelarray_fix_drop_X_first_frames(h.get(), 10, &err);
  EXPECT_EQ(err, ZEL_EORDER);
  err = unwritten;
  zelarray_fix_one_sample_delay(h.get(), zel_true, &err);
  EXPECT_EQ(err, ZEL_EORDER);
  err = unwritten;
  zelarray_display_warnings(h.get(), zel_false, &err);
  EXPECT_EQ(err, ZEL_EORDER);
  // The state test comes before the value test.
  zelarray_wait_nfnbr(h.get(), -1, &err);
  EXPECT_EQ(err, ZEL_EORDER);
  EXPECT_EQ(h->wait_nfnbr, -1);
  EXPECT_EQ(h->drop_frames, 0);
  EXPECT_EQ(h->fix_delay, zel_false);
  EXPECT_EQ(h->warnings, zel_true);
}

// ---- Calibration files -------------------------------------------------------------------------

std::string mean_bytes(int count) {
  std::string bytes;
  for (int32_t k = 0; k < count; ++k) {
    const int32_t mean = 1000 * k - 32000;
    bytes.append(reinterpret_cast<const char *>(&mean), sizeof mean);
  }
  return bytes;
}

std::string gain_bytes(int count) {
  std::string bytes;
  for (int k = 0; k < count; ++k) {
    const double gain = 0.5 + k;
    bytes.append(reinterpret_cast<const char *>(&gain), sizeof gain);
  }
  return bytes;
}

TEST(Normalize, LoadsMeansAndGainsAndLeavesTrailingBytesUnread) {
  Handle h = make_handle(16, 10);
  auto means = stream_with(mean_bytes(64));
  auto gains = stream_with(gain_bytes(64) + "12345678");
  zelerror err = unwritten;
  zelarray_normalize(h.get(), means.get(), gains.get(), &err);
  ASSERT_EQ(err, ZEL_OK);
  EXPECT_EQ(h->normalize, zel_true);
  for (int k = 0; k < 64; ++k) {
    EXPECT_EQ(h->means[k], 1000 * k - 32000);
    EXPECT_EQ(h->gains[k], 0.5 + k);
  }
  EXPECT_EQ(ftell(gains.get()), 512);
  EXPECT_EQ(fgetc(gains.get()), '1');
}

TEST(Normalize, ReadsFromEachStreamsCurrentPosition) {
  Handle h = make_handle(16, 10);
  auto means = stream_with("skip" + mean_bytes(64));
  auto gains = stream_with("xx" + gain_bytes(64));
  fseek(means.get(), 4, SEEK_SET);
  fseek(gains.get(), 2, SEEK_SET);
  zelerror err = unwritten;
  zelarray_normalize(h.get(), means.get(), gains.get(), &err);
  ASSERT_EQ(err, ZEL_OK);
  EXPECT_EQ(h->means[0], -32000);
  EXPECT_EQ(h->gains[63], 63.5);
}

TEST(Normalize, ShortFileIsANormalizationFileErrorAndKeepsNormalizationOff) {
  Handle h = make_handle(16, 10);
  const std::pair<std::string, std::string> short_files[] = {
      {mean_bytes(64).substr(0, 255), gain_bytes(64)},
      {mean_bytes(64), gain_bytes(64).substr(0, 511)},
      {"", ""},
  };
  for (const auto &[mean, gain] : short_files) {
    auto means = stream_with(mean);
    auto gains = stream_with(gain);
    zelerror err = unwritten;
    zelarray_normalize(h.get(), means.get(), gains.get(), &err);
    EXPECT_EQ(err, ZEL_ENORMFILES)
        << mean.size() << "-byte means, " << gain.size() << "-byte gains";
    EXPECT_EQ(h->normalize, zel_false);
  }
}

TEST(Normalize, FailedReloadKeepsNormalizationOn) {
  Handle h = make_handle(16, 10);
  auto means = stream_with(mean_bytes(64));
  auto gains = stream_with(gain_bytes(64));
  zelerror err = unwritten;
  zelarray_normalize(h.get(), means.get(), gains.get(), &err);
  ASSERT_EQ(err, ZEL_OK);
  auto short_means = stream_with(mean_bytes(10));
  zelarray_normalize(h.get(), short_means.get(), gains.get(), &err);
  EXPECT_EQ(err, ZEL_ENORMFILES);
  EXPECT_EQ(h->normalize, zel_true);
}

TEST(Normalize, NullStreamIsReportedNotFollowed) {
  Handle h = make_handle(16, 10);
  auto gains = stream_with(gain_bytes(64));
  zelerror err = unwritten;
  zelarray_normalize(h.get(), nullptr, gains.get(), &err);
  EXPECT_EQ(err, ZEL_ENORMFILES);
  EXPECT_EQ(h->normalize, zel_false);
}

TEST(Normalize, RefusedWhileCapturingWithoutReadingStreams) {
  Handle h = make_handle(16, 10);
  _zelarray_set_state(h.get(), st_capturing);
  auto means = stream_with(mean_bytes(64));
  auto gains = stream_with(gain_bytes(64));
  zelerror err = unwritten;
  zelarray_normalize(h.get(), means.get(), gains.get(), &err);
  EXPECT_EQ(err, ZEL_EORDER);
  EXPECT_EQ(h->normalize, zel_false);
  EXPECT_EQ(ftell(means.get()), 0);
  EXPECT_EQ(ftell(gains.get()), 0);
}

// ---- Null handle, null status ------------------------------------------------------------------

TEST(NullHandle, EveryCallTakingAHandleRefusesWithCodeFour) {
  Handle other = make_handle(16, 10);
  zelcursor_t *cursor = other->cursors[0];
  zelarray_t *h = nullptr;
  int32_t ts[2] = {0, 0};
  int nfnbr = 0;
  void *data = nullptr;
  unsigned char dest[1920];
  char prom[9];
  int block = 0;
  int calls = 0;
  auto expect_four = [&](auto &&call) {
    zelerror err = unwritten;
    call(&err);
    EXPECT_EQ(err, ZEL_ENULL) << "call #" << calls;
    ++calls;
  };
  expect_four([&](zelerror *e) { zelarray_delete(h, e); });
  expect_four([&](zelerror *e) { zelarray_wait_nfnbr(h, 1, e); });
  expect_four([&](zelerror *e) { zelarray_fix_drop_X_first_frames(h, 1, e); });
  expect_four([&](zelerror *e) { zelarray_fix_one_sample_delay(h, zel_true, e); });
  expect_four([&](zelerror *e) { zelarray_display_warnings(h, zel_true, e); });
  expect_four([&](zelerror *e) { zelarray_normalize(h, stdin, stdin, e); });
  expect_four([&](zelerror *e) { EXPECT_EQ(zelarray_create_blocks(h, 1, &block, e), nullptr); });
  expect_four([&](zelerror *e) { EXPECT_EQ(zelarray_create_databuffer(h, &block, e), nullptr); });
  expect_four([&](zelerror *e) { zelarray_delete_databuffer(h, nullptr, e); });
  expect_four([&](zelerror *e) { zelarray_comminit(h, "127.0.0.2", e); });
  expect_four([&](zelerror *e) { EXPECT_EQ(zelarray_ask_speed(h, e), 0); });
  expect_four([&](zelerror *e) { zelarray_set_speed(h, 44100, e); });
  expect_four([&](zelerror *e) { EXPECT_EQ(zelarray_ask_slave(h, e), 0); });
  expect_four([&](zelerror *e) { zelarray_set_slave(h, zel_true, e); });
  expect_four([&](zelerror *e) { EXPECT_EQ(zelarray_ask_id(h, e), 101); });
  expect_four([&](zelerror *e) { zelarray_ask_promnb(h, prom, e); });
  expect_four([&](zelerror *e) { zelarray_initparams(h, e); });
  expect_four([&](zelerror *e) { zelarray_initparams_wp(h, 44100, zel_true, e); });
  expect_four([&](zelerror *e) { zelarray_capture_on(h, e); });
  expect_four([&](zelerror *e) { zelarray_capture_off(h, e); });
  expect_four([&](zelerror *e) { zelarray_wait_capture_started(h, e); });
  expect_four([&](zelerror *e) { EXPECT_EQ(zelarray_check_capture_ok(h, e), zel_false); });
  expect_four([&](zelerror *e) { EXPECT_EQ(zelarray_check_lostdataframes(h, e), 0); });
  expect_four([&](zelerror *e) { EXPECT_EQ(zelarray_check_kernel_drops(h, e), 0); });
  expect_four([&](zelerror *e) { EXPECT_EQ(zelarray_check_discontinuities(h, e), 0); });
  expect_four([&](zelerror *e) { EXPECT_EQ(zelarray_check_outages(h, e), 0); });
  expect_four([&](zelerror *e) { zelarray_set_silence_limit(h, 1000, e); });
  expect_four([&](zelerror *e) { zelarray_set_realtime(h, zel_false, e); });
  expect_four([&](zelerror *e) { EXPECT_EQ(zelarray_check_realtime(h, e), zel_false); });
  expect_four([&](zelerror *e) { EXPECT_EQ(zelarray_get_socket_buffer(h, nullptr, e), 0); });
  expect_four([&](zelerror *e) { EXPECT_EQ(zelarray_get_default_cursor(h, e), nullptr); });
  expect_four([&](zelerror *e) { EXPECT_EQ(zelcursor_get_skipped_frames(h, cursor, e), 0u); });
  expect_four([&](zelerror *e) { EXPECT_EQ(zelarray_get_databuffer(h, dest, ts, e), zel_unset); });
  expect_four([&](zelerror *e) { zelarray_get_databuffer_with_nfnbr(h, dest, ts, &nfnbr, e); });
  expect_four([&](zelerror *e) { zelarray_get_databuffer_nonblocking(h, dest, ts, e); });
  expect_four(
      [&](zelerror *e) { zelarray_get_databuffer_nonblocking_with_nfnbr(h, dest, ts, &nfnbr, e); });
  expect_four([&](zelerror *e) { zelarray_get_current_databuffer_timestamp(h, ts, e); });
  expect_four([&](zelerror *e) { zelarray_skip_current_databuffer(h, e); });
  expect_four([&](zelerror *e) { zelarray_check_databuffer_overflow(h, e); });
  expect_four([&](zelerror *e) { zelarray_get_cursorptr(h, cursor, &data, ts, e); });
  expect_four(
      [&](zelerror *e) { zelarray_get_cursorptr_with_nfnbr(h, cursor, &data, ts, &nfnbr, e); });
  expect_four([&](zelerror *e) { zelarray_get_cursorptr_nonblocking(h, cursor, &data, ts, e); });
  expect_four([&](zelerror *e) {
    zelarray_get_cursorptr_nonblocking_with_nfnbr(h, cursor, &data, ts, &nfnbr, e);
  });
  expect_four(
      [&](zelerror *e) { EXPECT_EQ(zelarray_check_cursor_overflow(h, cursor, e), zel_unset); });
  expect_four([&](zelerror *e) { EXPECT_EQ(zelcursor_create(h, 5, e), nullptr); });
  expect_four([&](zelerror *e) { zelcursor_delete(h, cursor, e); });
  expect_four([&](zelerror *e) { zelcursor_reinit(h, cursor, e); });
  expect_four([&](zelerror *e) { EXPECT_EQ(zelcursor_get_datasize(h, cursor, e), -1); });
  expect_four([&](zelerror *e) { EXPECT_EQ(zelcursor_check_overflow(h, cursor, e), zel_unset); });
  expect_four([&](zelerror *e) {
    EXPECT_EQ(zelcursor_get_ptr(h, cursor, &data, ts, &nfnbr, e, zel_false, zel_true), zel_unset);
  });
  EXPECT_EQ(zelcursor_isof(h, cursor), 0);
  // The other handle saw none of it.
  EXPECT_EQ(other->cursor_count, 1);
  EXPECT_EQ(other->cursors[0], cursor);
}

// Exercises every call on a null handle and on a live one with no status pointer: none may
// write through it or crash.
TEST(NullStatus, NoCallWritesThroughANullStatus) {
  EXPECT_EQ(zelarray_create(15, 10, nullptr), nullptr);
  EXPECT_EQ(zelarray_create(16, 0, nullptr), nullptr);
  zelarray_delete(nullptr, nullptr);
  Handle h(zelarray_create(16, 10, nullptr));
  ASSERT_NE(h, nullptr);
  zelarray_t *handles[] = {nullptr, h.get()};
  for (int state : {st_created, st_capturing}) {
    _zelarray_set_state(h.get(), state);
    for (zelarray_t *a : handles) {
      int32_t ts[2];
      int nfnbr;
      void *data;
      unsigned char dest[1920];
      char prom[9];
      zelcursor_t *cursor = h->cursors[0];
      zelarray_wait_nfnbr(a, -1, nullptr);
      zelarray_fix_drop_X_first_frames(a, -1, nullptr);
      zelarray_fix_one_sample_delay(a, 0, nullptr);
      zelarray_display_warnings(a, 0, nullptr);
      zelarray_normalize(a, nullptr, nullptr, nullptr);
      zelarray_delete_databuffer(a, zelarray_create_blocks(a, 2, nullptr, nullptr), nullptr);
      zelarray_delete_databuffer(a, zelarray_create_databuffer(a, nullptr, nullptr), nullptr);
      zelarray_get_one_blocksize(a, nullptr);
      zelarray_comminit(a, "not an address", nullptr);
      zelarray_ask_id(a, nullptr);
      zelarray_ask_promnb(a, prom, nullptr);
      zelarray_initparams(a, nullptr);
      zelarray_initparams_wp(a, 1, zel_true, nullptr);
      zelarray_set_speed(a, 1, nullptr);
      zelarray_set_slave(a, 1, nullptr);
      if (state == st_capturing) zelarray_capture_on(a, nullptr);
      if (state == st_created) zelarray_capture_off(a, nullptr);
      if (state == st_created) zelarray_check_capture_ok(a, nullptr);
      zelarray_check_lostdataframes(a, nullptr);
      zelarray_check_kernel_drops(a, nullptr);
      // A live handle in st_created would send these to no array.
      if (a == nullptr || state == st_capturing) {
        zelarray_ask_speed(a, nullptr);
        zelarray_ask_slave(a, nullptr);
      }
      if (a == nullptr) zelarray_wait_capture_started(a, nullptr);
      if (state == st_created) {
        zelarray_get_databuffer(a, dest, ts, nullptr);
        zelarray_get_databuffer_nonblocking_with_nfnbr(a, dest, ts, &nfnbr, nullptr);
        zelarray_get_current_databuffer_timestamp(a, ts, nullptr);
        zelarray_skip_current_databuffer(a, nullptr);
        zelarray_get_cursorptr(a, cursor, &data, ts, nullptr);
      }
      zelarray_check_databuffer_overflow(a, nullptr);
      zelarray_check_cursor_overflow(a, cursor, nullptr);
      zelcursor_delete(a, zelcursor_create(a, 5, nullptr), nullptr);
      zelcursor_create(a, 3, nullptr);
      zelcursor_delete(a, cursor, nullptr);
      zelcursor_reinit(a, cursor, nullptr);
      zelcursor_get_datasize(a, cursor, nullptr);
      zelcursor_check_overflow(a, cursor, nullptr);
    }
  }
  _zelarray_set_state(h.get(), st_created);
  EXPECT_EQ(h->cursor_count, 1);
  EXPECT_EQ(h->cursors[0]->frames, 10);
  EXPECT_EQ(h->wait_nfnbr, -1);
  EXPECT_EQ(h->normalize, zel_false);
}

}  // namespace
