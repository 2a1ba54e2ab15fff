// A capturing process that stops for a while: with the library's own receive buffer it loses
// nothing; with a buffer made small on purpose, the datagrams the kernel dropped are told apart
// from network losses; and a flood of foreign datagrams during a stall costs none of the array's
// frames nor delays the stop. Each capture runs in a child process stopped with SIGSTOP.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "capture_child.h"
#include "zelsim.h"

namespace zelrel {
namespace {

using namespace std::chrono_literals;

// The array starts once the child has forked, so that the child inherits none of its threads;
// then the child's capture starts.
void StartArrayAndChild(CaptureChild &child, std::unique_ptr<zelsim::Emulator> &sim) {
  ASSERT_TRUE(child.forked());
  sim = std::make_unique<zelsim::Emulator>(zelsim::Config{});
  std::string why;
  ASSERT_TRUE(sim->start(&why)) << why;
  ASSERT_TRUE(child.Start());
}

// One line of figures per test, for the record of a run.
void PrintFigures(const char *what, const ChildReport &r) {
  std::printf(
      "[ figures  ] %s: slots %lld, lost frames %d, kernel drops %d, overflows %d, "
      "receive buffer %d B, capture_off %.1f ms\n",
      what, r.slots[kChildReaders - 1], r.lost_frames, r.kernel_drops, r.overflows, r.rcvbuf,
      r.off_ms);
}

void ExpectEveryReaderSawAnUnbrokenRamp(const ChildReport &r, long long at_least) {
  for (int i = 0; i < kChildReaders; ++i) {
    EXPECT_GE(r.slots[i], at_least) << "reader " << i;
    EXPECT_EQ(r.wrong[i], 0) << "reader " << i;
    EXPECT_EQ(r.breaks[i], 0) << "reader " << i;
  }
}

TEST(StallTest, StoppedCaptureProcessLosesNoFrameWithTheLibrarysBuffer) {
  CaptureChild child;
  std::unique_ptr<zelsim::Emulator> sim;
  ASSERT_NO_FATAL_FAILURE(StartArrayAndChild(child, sim));
  std::this_thread::sleep_for(300ms);
  ASSERT_TRUE(child.Stall(200ms));
  std::this_thread::sleep_for(500ms);
  const auto report = child.Finish();
  ASSERT_TRUE(report);
  ASSERT_EQ(report->failed_step, 0) << "code " << report->failed_code;
  PrintFigures(::testing::UnitTest::GetInstance()->current_test_info()->name(), *report);
  EXPECT_GE(report->rcvbuf, 4 << 20) << "the library's receive buffer";
  EXPECT_EQ(report->lost_frames, 0);
  EXPECT_EQ(report->kernel_drops, 0);
  EXPECT_EQ(report->overflows, 0);
  for (int i = 0; i < kChildReaders; ++i) EXPECT_EQ(report->silent[i], 0) << "reader " << i;
  // One second of the stream at least, 200 ms of it queued during the stall.
  ExpectEveryReaderSawAnUnbrokenRamp(*report, 8000);
}

TEST(StallTest, KernelDropsAfterAStallWithASmallBufferEqualTheFrameGaps) {
  CaptureChild child({.rcvbuf = 64 * 1024, .end_on_silence = true});
  std::unique_ptr<zelsim::Emulator> sim;
  ASSERT_NO_FATAL_FAILURE(StartArrayAndChild(child, sim));
  std::this_thread::sleep_for(300ms);
  ASSERT_TRUE(child.Stall(200ms));
  std::this_thread::sleep_for(300ms);
  sim->set_acquiring(false);
  const auto report = child.Finish();
  ASSERT_TRUE(report);
  ASSERT_EQ(report->failed_step, 0) << "code " << report->failed_code;
  PrintFigures(::testing::UnitTest::GetInstance()->current_test_info()->name(), *report);
  EXPECT_LE(report->rcvbuf, 256 * 1024);
  // 200 ms is 1764 datagrams: far more than the buffer holds.
  EXPECT_GT(report->kernel_drops, 1000);
  EXPECT_EQ(report->lost_frames, 5 * report->kernel_drops) << "every gap is a kernel drop";
  for (int i = 0; i < kChildReaders; ++i) {
    EXPECT_EQ(report->silent[i], report->kernel_drops) << "reader " << i;
  }
  ExpectEveryReaderSawAnUnbrokenRamp(*report, 4000);
  EXPECT_EQ(sim->stats().dropped, 0u) << "the array itself lost nothing";
}

// Sends 964-byte datagrams that look like the array's from another local address, as fast as
// it can, until told to stop and at least `minimum` are out.
class Flood {
 public:
  explicit Flood(long long minimum) : minimum_(minimum) {
    thread_ = std::thread([this] { run(); });
  }
  ~Flood() {
    stop_ = true;
    join();
  }
  long long sent() const { return sent_.load(); }
  bool ok() const { return ok_.load(); }
  void stop() { stop_ = true; }
  void join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  void run() {
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    const int one = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in from{}, to{};
    from.sin_family = to.sin_family = AF_INET;
    from.sin_port = to.sin_port = htons(32767);
    inet_aton("127.0.0.3", &from.sin_addr);
    inet_aton("127.0.0.1", &to.sin_addr);
    if (bind(sock, reinterpret_cast<sockaddr *>(&from), sizeof from) != 0) {
      ok_ = false;
      close(sock);
      return;
    }
    constexpr int kBatch = 64;
    std::vector<std::vector<unsigned char>> bytes(kBatch, std::vector<unsigned char>(964, 0x5A));
    std::vector<iovec> iov(kBatch);
    std::vector<mmsghdr> msgs(kBatch);
    for (int i = 0; i < kBatch; ++i) {
      bytes[i][0] = 0x86;
      bytes[i][1] = static_cast<unsigned char>(0x80 + i);  // far from any number in use
      iov[i] = {bytes[i].data(), bytes[i].size()};
      msgs[i] = {};
      msgs[i].msg_hdr.msg_name = &to;
      msgs[i].msg_hdr.msg_namelen = sizeof to;
      msgs[i].msg_hdr.msg_iov = &iov[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
    }
    while (!stop_ || sent_ < minimum_) {
      const int n = sendmmsg(sock, msgs.data(), kBatch, 0);
      if (n > 0) sent_ += n;
    }
    close(sock);
  }

  long long minimum_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> ok_{true};
  std::atomic<long long> sent_{0};
  std::thread thread_;
};

TEST(StallTest, ForeignFloodDuringAStallCostsNoFrameAndStopStaysPrompt) {
  CaptureChild child;
  std::unique_ptr<zelsim::Emulator> sim;
  ASSERT_NO_FATAL_FAILURE(StartArrayAndChild(child, sim));
  std::this_thread::sleep_for(200ms);
  Flood flood(300000);
  std::this_thread::sleep_for(100ms);
  ASSERT_TRUE(child.Stall(200ms));
  while (flood.sent() < 200000 && flood.ok()) std::this_thread::sleep_for(10ms);
  // The stop comes while the flood goes on (the stop itself takes under a millisecond, too short
  // to be sure the flood's thread gets a turn inside it).
  const long long earlier = flood.sent();
  std::this_thread::sleep_for(10ms);
  const long long before_stop = flood.sent();
  const auto report = child.Finish();
  const long long after_stop = flood.sent();
  flood.stop();
  flood.join();
  ASSERT_TRUE(flood.ok()) << "cannot send from 127.0.0.3";
  ASSERT_TRUE(report);
  ASSERT_EQ(report->failed_step, 0) << "code " << report->failed_code;
  PrintFigures(::testing::UnitTest::GetInstance()->current_test_info()->name(), *report);
  EXPECT_GE(flood.sent(), 300000);
  EXPECT_LT(earlier, before_stop) << "the flood still ran when the stop came";
  EXPECT_LT(report->off_ms, 1000.0);
  EXPECT_EQ(report->lost_frames, 0);
  EXPECT_EQ(report->kernel_drops, 0);
  EXPECT_EQ(report->overflows, 0);
  for (int i = 0; i < kChildReaders; ++i) EXPECT_EQ(report->silent[i], 0) << "reader " << i;
  ExpectEveryReaderSawAnUnbrokenRamp(*report, 2000);
  std::printf("[ figures  ] foreign datagrams %lld, %lld of them during the stop\n", flood.sent(),
              after_stop - before_stop);
}

}  // namespace
}  // namespace zelrel
