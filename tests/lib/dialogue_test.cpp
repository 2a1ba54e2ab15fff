// The device dialogue in memory: queries and set commands against a scripted array on a virtual
// clock, with replies late, stale, short, foreign or withheld.
#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"
#include "zelarray_dialogue.h"

namespace {

using zeltest::Handle;
using zeltest::make_handle;
using Bytes = std::vector<unsigned char>;
using Command = std::array<unsigned char, 4>;

constexpr int64_t kDataPeriodUs = 113;  // one data datagram every 113 µs at 44100 Hz

// An array behind a link whose clock only moves while the dialogue waits. It answers each query
// with the state it holds when the query arrives, `latency_us` later; a set command takes
// effect `apply_after_us` after it arrives. Datagrams can also be scripted to arrive at given
// times, and a data stream to run over a window of time.
class ScriptedArray final : public zel_link {
 public:
  unsigned char capture = 0, speed = 1, slave = 0;  // status bytes
  int64_t latency_us = 500;
  int64_t apply_after_us = 0;
  bool ignore_sets = false;
  bool withhold = false;
  int status_override = -1;  // a status byte sent instead of the true one
  int64_t stream_from_us = -1, stream_until_us = -1;
  std::vector<Command> received;

  void deliver(int64_t at_us, Bytes bytes) {
    in_flight_.push_back({at_us, std::move(bytes)});
    std::stable_sort(in_flight_.begin(), in_flight_.end(),
                     [](const Arrival &a, const Arrival &b) { return a.at_us < b.at_us; });
  }

  void stream(int64_t from_us, int64_t until_us) {
    stream_from_us = from_us;
    stream_until_us = until_us;
    next_data_us_ = from_us;
  }

  size_t count(const Command &command) const {
    return std::count(received.begin(), received.end(), command);
  }

  int64_t now_us() const { return now_us_; }

  zelerror send(const zelmsg_t *msg) override {
    Command command{};
    memcpy(command.data(), msg->data, std::min<size_t>(4, static_cast<size_t>(msg->len)));
    received.push_back(command);
    apply_due_sets();
    const bool on = command[2] == 0xFF;
    switch (command[1]) {
      case 1:
      case 4:
      case 7:
        if (!ignore_sets) pending_.push_back({now_us_ + apply_after_us, command[1], on});
        if (apply_after_us == 0) apply_due_sets();
        break;
      case 2:
        reply({2, 0, slave});
        break;
      case 3:
        reply({3, 0, 0x34, 0x12, 0, 0, 'Z', 'E', 'L', 'S', 'I', 'M', '0', '1'});
        break;
      case 5:
        reply({5, 0, capture});
        break;
      case 8:
        reply({7, 0, speed});
        break;
    }
    return ZEL_OK;
  }

  zel_wait take(zelmsg_t *msg, int64_t deadline_ms) override {
    const int64_t until_us = std::max(now_us_, deadline_ms * 1000);
    const bool data_due =
        next_data_us_ >= 0 && next_data_us_ < stream_until_us && next_data_us_ <= until_us;
    const bool reply_due = !in_flight_.empty() && in_flight_.front().at_us <= until_us;
    if (!data_due && !reply_due) {
      now_us_ = until_us;
      return zel_wait::silent;
    }
    Bytes bytes;
    if (data_due && (!reply_due || next_data_us_ < in_flight_.front().at_us)) {
      now_us_ = std::max(now_us_, next_data_us_);
      next_data_us_ += kDataPeriodUs;
      bytes.assign(964, 0);
      bytes[0] = 0x86;
    } else {
      now_us_ = std::max(now_us_, in_flight_.front().at_us);
      bytes = std::move(in_flight_.front().bytes);
      in_flight_.erase(in_flight_.begin());
    }
    if (!bytes.empty()) memcpy(msg->data, bytes.data(), bytes.size());
    msg->len = static_cast<int>(bytes.size());
    return zel_wait::datagram;
  }

  int64_t now_ms() override { return now_us_ / 1000; }

 private:
  struct Arrival {
    int64_t at_us;
    Bytes bytes;
  };
  struct PendingSet {
    int64_t at_us;
    unsigned char code;
    bool on;
  };

  void reply(Bytes bytes) {
    if (withhold) return;
    if (status_override >= 0 && bytes[0] != 3)
      bytes[2] = static_cast<unsigned char>(status_override);
    deliver(now_us_ + latency_us, std::move(bytes));
  }

  void apply_due_sets() {
    for (auto it = pending_.begin(); it != pending_.end();) {
      if (it->at_us > now_us_) {
        ++it;
        continue;
      }
      const unsigned char value = it->on ? 1 : 0;
      if (it->code == 1) slave = value;
      if (it->code == 4) capture = value;
      if (it->code == 7) speed = value;
      it = pending_.erase(it);
    }
  }

  int64_t now_us_ = 0;
  int64_t next_data_us_ = -1;
  std::vector<Arrival> in_flight_;
  std::vector<PendingSet> pending_;
};

constexpr Command kQuerySlave{0, 2, 0, 0};
constexpr Command kQueryCapture{0, 5, 0, 0};
constexpr Command kQuerySpeed{0, 8, 0, 0};
constexpr Command kSetSlaveOn{0, 1, 0xFF, 0xFF};
constexpr Command kSetCaptureOff{0, 4, 0, 0};
constexpr Command kSetCaptureOn{0, 4, 0xFF, 0xFF};
constexpr Command kSetSpeed22050{0, 7, 0, 0};

class DialogueTest : public testing::Test {
 protected:
  void SetUp() override {
    h = make_handle(0, 1024);
    ASSERT_TRUE(h);
    array = ScriptedArray{};
  }

  Handle h;
  ScriptedArray array;
};

TEST_F(DialogueTest, QueriesResendForEveryOtherDatagramAndDecodeTheAwaitedReply) {
  struct Case {
    const char *what;
    std::function<void(ScriptedArray &)> script;
    std::function<zelerror(zelarray_t *, zel_link &)> query;
    zelerror code;
    size_t sent;
    int speed, slave;  // the handle's fields afterwards
  } cases[] = {
      {"speed 1 is 44100", [](ScriptedArray &) {}, _zelarray_query_speed_over, ZEL_OK, 1, 44100,
       zel_unset},
      {"speed 0 is 22050", [](ScriptedArray &a) { a.speed = 0; }, _zelarray_query_speed_over,
       ZEL_OK, 1, 22050, zel_unset},
      {"status byte 2 is unexpected", [](ScriptedArray &a) { a.status_override = 2; },
       _zelarray_query_speed_over, ZEL_EPARSE, 1, 0, zel_unset},
      {"a reply of another type is dropped and the query resent",
       [](ScriptedArray &a) {
         a.deliver(100, {8, 0, 0});
       },
       _zelarray_query_speed_over, ZEL_OK, 2, 44100, zel_unset},
      {"two data datagrams cost two resends",
       [](ScriptedArray &a) {
         a.slave = 1;
         a.stream(100, 300);
       },
       _zelarray_query_slave_over, ZEL_OK, 3, 0, zel_true},
      {"an empty datagram and a short reply cost a resend each",
       [](ScriptedArray &a) {
         a.deliver(100, {});
         a.deliver(200, {2, 0});
       },
       _zelarray_query_slave_over, ZEL_OK, 3, 0, zel_false},
      {"a reply queued before the query answers an earlier one",
       [](ScriptedArray &a) {
         a.deliver(0, {2, 0, 1});
       },
       _zelarray_query_slave_over, ZEL_OK, 1, 0, zel_false},
      {"of the replies queued together the last is kept",
       [](ScriptedArray &a) {
         a.withhold = true;
         a.deliver(500, {2, 0, 0});
         a.deliver(500, {2, 0, 1});
       },
       _zelarray_query_slave_over, ZEL_OK, 1, 0, zel_true},
      {"a withheld reply is a receive error", [](ScriptedArray &a) { a.withhold = true; },
       _zelarray_query_slave_over, ZEL_ERECV, 1, 0, zel_unset},
  };
  for (const Case &c : cases) {
    SetUp();
    c.script(array);
    EXPECT_EQ(c.query(h.get(), array), c.code) << c.what;
    EXPECT_EQ(array.received.size(), c.sent) << c.what;
    EXPECT_EQ(h->speed, c.speed) << c.what;
    EXPECT_EQ(h->slave, c.slave) << c.what;
  }
}

TEST_F(DialogueTest, IdentifierReplyGivesIdAndPromNumber) {
  ASSERT_EQ(_zelarray_query_ids_over(h.get(), array), ZEL_OK);
  EXPECT_EQ(h->id, 4660);
  EXPECT_STREQ(h->prom_nb, "ZELSIM01");
}

TEST_F(DialogueTest, SilenceEndsAQueryAfter100msAndAFloodAfterASecond) {
  array.withhold = true;
  EXPECT_EQ(_zelarray_query_slave_over(h.get(), array), ZEL_ERECV);
  EXPECT_EQ(array.now_us(), 100000);

  SetUp();
  array.withhold = true;
  array.stream(0, 5000000);
  EXPECT_EQ(_zelarray_query_slave_over(h.get(), array), ZEL_ERECV);
  EXPECT_GE(array.now_us(), 1000000);
  EXPECT_LT(array.now_us(), 1001000);
}

TEST_F(DialogueTest, SetCommandsSendUntilTheArrayReportsTheWantedValue) {
  struct Case {
    const char *what;
    std::function<void(zelarray_t *, ScriptedArray &)> script;
    std::function<zelerror(zelarray_t *, zel_link &)> set;
    zelerror code;
    std::vector<Command> sent;
  } cases[] = {
      {"speed already known sends nothing",
       [](zelarray_t *h, ScriptedArray &) { h->speed = 44100; },
       [](zelarray_t *h, zel_link &l) { return _zelarray_enforce_speed_over(h, l, 44100); },
       ZEL_OK,
       {}},
      {"speed changed",
       [](zelarray_t *h, ScriptedArray &) { h->speed = 44100; },
       [](zelarray_t *h, zel_link &l) { return _zelarray_enforce_speed_over(h, l, 22050); },
       ZEL_OK,
       {kSetSpeed22050, kQuerySpeed}},
      {"slave unknown, array already slave",
       [](zelarray_t *, ScriptedArray &a) { a.slave = 1; },
       [](zelarray_t *h, zel_link &l) { return _zelarray_enforce_slave_over(h, l, zel_true); },
       ZEL_OK,
       {kSetSlaveOn, kQuerySlave}},
      {"capture off when already off is still sent",
       [](zelarray_t *, ScriptedArray &) {},
       [](zelarray_t *, zel_link &l) { return _zelarray_enforce_capture_over(l, zel_false); },
       ZEL_OK,
       {kSetCaptureOff, kQueryCapture}},
      {"capture withheld reply",
       [](zelarray_t *, ScriptedArray &a) { a.withhold = true; },
       [](zelarray_t *, zel_link &l) { return _zelarray_enforce_capture_over(l, zel_true); },
       ZEL_ERECV,
       {kSetCaptureOn, kQueryCapture}},
  };
  for (const Case &c : cases) {
    SetUp();
    c.script(h.get(), array);
    EXPECT_EQ(c.set(h.get(), array), c.code) << c.what;
    EXPECT_EQ(array.received, c.sent) << c.what;
  }
}

TEST_F(DialogueTest, ArrayThatIgnoresSetCommandsExhaustsTwentyPasses) {
  array.ignore_sets = true;
  h->speed = 44100;
  EXPECT_EQ(_zelarray_enforce_speed_over(h.get(), array, 22050), ZEL_EPARSE);
  EXPECT_EQ(array.count(kSetSpeed22050), 20u);
  EXPECT_EQ(h->speed, 44100);
}

// An array slow to stop (10 ms) keeps streaming: every data datagram costs the capture query a
// resend, each answered "on" while the array still runs. Their late replies must not be taken
// for answers to the passes that follow, or twenty of them end the set command with
// ZEL_EPARSE while the array has long stopped.
TEST_F(DialogueTest, LateRepliesOfEarlierPassesDoNotExhaustTheSetCommand) {
  array.capture = 1;
  array.latency_us = 1000;
  array.apply_after_us = 10000;
  array.stream(0, 20000);
  EXPECT_EQ(_zelarray_enforce_capture_over(array, zel_false), ZEL_OK);
  EXPECT_EQ(array.capture, 0);
  EXPECT_GT(array.count(kSetCaptureOff), 20u) << "passes on stale replies were not counted";
  EXPECT_LT(array.now_us(), 1000000);
}

}  // namespace
