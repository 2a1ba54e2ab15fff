// Faults on the array's stream with exact accounting: the library's lost count equals what went
// missing, duplicates and late datagrams insert no silence, and every silent slot stands where
// a frame went missing. Faults come from the emulator's switches, from a seeded script, and from
// the kernel itself through nftables rules inside the test's private network namespace.
#include <net/if.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>

#include "array_fixture.h"
#include "stream_log.h"

namespace zeltest {
namespace {

using zelrel::CursorReader;
using zelrel::SlotKind;

class FaultTest : public ArrayTest {
 protected:
  // Stops the stream and waits until the capture thread has taken every datagram and ended on
  // the silence that follows; the counters are final from then on.
  void StopStreamAndWaitForCaptureEnd() {
    sim->set_acquiring(false);
    WaitForCaptureEnd();
  }

  static void WaitForBuffers(const CursorReader &reader, long long count) {
    const auto give_up = std::chrono::steady_clock::now() + 5s;
    while (reader.buffers() < count && std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(5ms);
    }
    ASSERT_GE(reader.buffers(), count);
  }

  int LostNetworkFrames() { return zelarray_check_lostdataframes(handle, &err) / 5; }
  int KernelDrops() { return zelarray_check_kernel_drops(handle, &err); }
};

TEST_F(FaultTest, EmulatorDropsDuplicatesReordersAndPausesAreAccountedExactly) {
  StartArray();
  Connect(5);
  CursorReader reader(handle, handle->cursors[0]);
  CaptureOn();
  reader.start();
  WaitForBuffers(reader, 100);
  const zelsim::Stats before = sim->stats();
  sim->set_stream_faults({.drop_probability = 0.01,
                          .drop_seed = 20240607,
                          .duplicate_every = 97,
                          .reorder_every = 89});
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> pause_ms(10, 60);  // a pause of 100 ms would end the capture
  std::uniform_int_distribution<int> gap_ms(100, 400);
  for (int i = 0; i < 10; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(gap_ms(rng)));
    sim->pause_stream(std::chrono::milliseconds(pause_ms(rng)));
  }
  sim->set_stream_faults({});
  std::this_thread::sleep_for(200ms);
  const zelsim::Stats after = sim->stats();
  StopStreamAndWaitForCaptureEnd();
  const int lost = LostNetworkFrames();
  const int kernel_drops = KernelDrops();
  CaptureOff();
  reader.join();

  const auto dropped = static_cast<long long>(after.dropped - before.dropped);
  const auto reordered = static_cast<long long>(after.reordered - before.reordered);
  const auto duplicated = static_cast<long long>(after.duplicated - before.duplicated);
  std::printf(
      "[ figures  ] dropped %lld, duplicated %lld, reordered %lld, paused %llu; "
      "lost %d, kernel drops %d, slots %lld\n",
      dropped, duplicated, reordered, static_cast<unsigned long long>(after.paused - before.paused),
      lost, kernel_drops, reader.log().slots());
  ASSERT_GT(dropped, 0);
  ASSERT_GT(duplicated, 0);
  ASSERT_GT(reordered, 0);
  ASSERT_EQ(after.paused - before.paused, 10u);
  EXPECT_EQ(kernel_drops, 0);
  // A datagram sent after its successor is late: its own slot is silence, and it is dropped.
  EXPECT_EQ(lost, dropped + reordered);
  EXPECT_EQ(reader.log().silent(), lost);
  EXPECT_EQ(reader.log().wrong(), 0);
  EXPECT_EQ(reader.log().breaks(), 0);
}

// A namespace of the test's own: one that differs from its parent process's, or one that holds
// no interface but the loopback one.
bool InPrivateNamespace() {
  char own[64] = {}, parent[64] = {};
  const std::string parent_link = "/proc/" + std::to_string(getppid()) + "/ns/net";
  if (readlink("/proc/self/ns/net", own, sizeof own - 1) > 0 &&
      readlink(parent_link.c_str(), parent, sizeof parent - 1) > 0 && std::string(own) != parent) {
    return true;
  }
  struct if_nameindex *names = if_nameindex();
  if (names == nullptr) return false;
  bool only_loopback = true;
  for (struct if_nameindex *i = names; i->if_index != 0; ++i) {
    only_loopback = only_loopback && std::string(i->if_name) == "lo";
  }
  if_freenameindex(names);
  return only_loopback;
}

// A seeded fault script: which numbers went missing and the order the rest were sent in.
struct FaultScript {
  std::vector<int> sent;
  std::set<int> missing;  // dropped, or sent after their successor
};

FaultScript MakeFaultScript(int first, int count, uint32_t seed) {
  FaultScript script;
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(0, 1);
  script.sent.push_back(first);  // the first datagram is taken without a loss check
  for (int i = 1; i < count - 1; ++i) {
    const int n = (first + i) & 0xFFFF;
    const double r = u(rng);
    if (r < 0.02) {
      script.missing.insert(n);
    } else if (r < 0.03 && i + 1 < count - 1) {
      script.sent.push_back((n + 1) & 0xFFFF);
      script.sent.push_back(n);
      script.missing.insert(n);
      ++i;
    } else if (r < 0.04) {
      script.sent.push_back(n);
      script.sent.push_back(n);
    } else {
      script.sent.push_back(n);
    }
  }
  script.sent.push_back((first + count - 1) & 0xFFFF);
  return script;
}

TEST_F(FaultTest, SilenceStandsExactlyWhereScriptedFramesWentMissing) {
  StartScriptedArray();
  Connect(5);
  constexpr int kFirst = 60000;  // the numbers wrap on the way
  constexpr int kCount = 12000;
  const FaultScript script = MakeFaultScript(kFirst, kCount, 31337);
  CaptureOn();
  ScriptAndWaitForEnd(script.sent);
  const std::vector<Slot> slots = DrainSlots();
  ASSERT_EQ(slots.size(), static_cast<size_t>(kCount));
  for (int i = 0; i < kCount; ++i) {
    const int n = (kFirst + i) & 0xFFFF;
    ASSERT_EQ(slots[i].nfnbr, n);
    const SlotKind want = script.missing.count(n) ? SlotKind::silence : SlotKind::ramp;
    ASSERT_EQ(zelrel::classify(slots[i].bytes.data(), n), want) << "slot " << n;
  }
  EXPECT_EQ(LostNetworkFrames(), static_cast<int>(script.missing.size()));
  EXPECT_EQ(KernelDrops(), 0);
}

// nftables in the test's own network namespace; unusable (with the reason) anywhere else, so
// that a test never touches the rules of the machine it runs on.
class Nft {
 public:
  Nft() {
    if (!InPrivateNamespace()) {
      why_ = "not in a private network namespace (run through tests/netns.sh as root)";
    } else if (!Run("add table ip zelrel")) {
      why_ = "nft cannot add a table here: " + output_;
    }
    usable_ = why_.empty();
  }
  ~Nft() {
    if (usable_) Run("delete table ip zelrel");
  }

  bool usable() const { return usable_; }
  const std::string &why() const { return why_; }
  const std::string &output() const { return output_; }

  bool Run(const std::string &command) {
    FILE *pipe = popen(("nft " + command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return false;
    output_.clear();
    char line[256];
    while (fgets(line, sizeof line, pipe) != nullptr) output_ += line;
    return pclose(pipe) == 0;
  }

  // Packets counted by the named counter, -1 when it cannot be read.
  long long Packets(const std::string &counter) {
    if (!Run("list counter ip zelrel " + counter)) return -1;
    const size_t at = output_.find("packets ");
    if (at == std::string::npos) return -1;
    return std::strtoll(output_.c_str() + at + 8, nullptr, 10);
  }

 private:
  bool usable_ = false;
  std::string why_;
  std::string output_;
};

// The array's data datagrams only (UDP length 8 + 964), so that the dialogue is not touched.
const char *const kDataDatagrams = "ip saddr 127.0.0.2 udp sport 32767 udp length 972";

TEST_F(FaultTest, KernelPacketLossIsCountedAsNetworkLossNotAsHostDrops) {
  Nft nft;
  if (!nft.usable()) GTEST_SKIP() << nft.why();
  StartArray();
  Connect(5);
  ASSERT_TRUE(nft.Run("add counter ip zelrel dropped")) << nft.output();
  ASSERT_TRUE(nft.Run("add chain ip zelrel in '{ type filter hook input priority 0; }'"))
      << nft.output();
  CursorReader reader(handle, handle->cursors[0]);
  CaptureOn();
  reader.start();
  WaitForBuffers(reader, 100);
  ASSERT_TRUE(nft.Run(std::string("add rule ip zelrel in ") + kDataDatagrams +
                      " numgen random mod 100 '<' 1 counter name dropped drop"))
      << nft.output();
  std::this_thread::sleep_for(2s);
  ASSERT_TRUE(nft.Run("flush chain ip zelrel in")) << nft.output();
  std::this_thread::sleep_for(200ms);
  StopStreamAndWaitForCaptureEnd();
  const int lost = LostNetworkFrames();
  const int kernel_drops = KernelDrops();
  CaptureOff();
  reader.join();
  const long long dropped = nft.Packets("dropped");
  std::printf("[ figures  ] nftables dropped %lld of %lld slots; lost %d, kernel drops %d\n",
              dropped, reader.log().slots(), lost, kernel_drops);
  ASSERT_GT(dropped, 50) << "1 % of about 17600 datagrams";
  EXPECT_EQ(lost, dropped);
  EXPECT_EQ(kernel_drops, 0) << "dropped on the way, not for want of room in the socket";
  EXPECT_EQ(reader.log().silent(), dropped);
  EXPECT_EQ(reader.log().wrong(), 0);
  EXPECT_EQ(reader.log().breaks(), 0);
}

TEST_F(FaultTest, KernelDuplicatesInsertNoSilence) {
  Nft nft;
  if (!nft.usable()) GTEST_SKIP() << nft.why();
  StartArray();
  Connect(5);
  ASSERT_TRUE(nft.Run("add counter ip zelrel duplicated")) << nft.output();
  ASSERT_TRUE(nft.Run("add chain ip zelrel out '{ type filter hook output priority 0; }'"))
      << nft.output();
  CursorReader reader(handle, handle->cursors[0]);
  CaptureOn();
  reader.start();
  WaitForBuffers(reader, 100);
  if (!nft.Run(std::string("add rule ip zelrel out ") + kDataDatagrams +
               " numgen random mod 100 '<' 1 counter name duplicated dup to 127.0.0.1 device lo")) {
    GTEST_SKIP() << "this kernel cannot duplicate with nftables: " << nft.output();
  }
  std::this_thread::sleep_for(2s);
  ASSERT_TRUE(nft.Run("flush chain ip zelrel out")) << nft.output();
  StopStreamAndWaitForCaptureEnd();
  const int lost = LostNetworkFrames();
  CaptureOff();
  reader.join();
  const long long duplicated = nft.Packets("duplicated");
  std::printf("[ figures  ] nftables duplicated %lld of %lld slots; lost %d\n", duplicated,
              reader.log().slots(), lost);
  ASSERT_GT(duplicated, 50);
  EXPECT_EQ(lost, 0);
  EXPECT_EQ(KernelDrops(), 0);
  EXPECT_EQ(reader.log().silent(), 0);
  EXPECT_EQ(reader.log().wrong(), 0);
  EXPECT_EQ(reader.log().breaks(), 0);
}

}  // namespace
}  // namespace zeltest
