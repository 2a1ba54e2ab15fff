// The control dialogue in memory: request bytes in, answer bytes out, and what set commands do.
#include <gtest/gtest.h>

#include "control.h"
#include "udp.h"

using namespace std::chrono_literals;

namespace {

using zelsim::detail::Answer;
using zelsim::detail::Control;
using zelsim::detail::Stream;
using Bytes = std::vector<uint8_t>;

sockaddr_in address(const char *text, uint16_t port = 32767) {
  sockaddr_in out{};
  EXPECT_TRUE(zelsim::detail::make_sockaddr(text, port, &out));
  return out;
}

bool same(const sockaddr_in &a, const sockaddr_in &b) {
  return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

// A default array (identifier 4660, PROM ZELSIM01, 44100 Hz, master, idle) and its stream.
struct Array {
  zelsim::Stats stats;
  Stream stream{zelsim::Config{}, &stats};
  Control control{zelsim::Config{}, &stream, &stats};
  sockaddr_in host = address("127.0.0.1");

  Bytes reply(const Bytes &request) { return control.handle(request, host).reply; }
};

struct DialogueCase {
  const char *name;
  std::vector<Bytes> before;  // requests sent first; none of them gets a reply
  Bytes request;
  Bytes reply;
};

TEST(ControlReply, EachRequestGetsItsReplyBytes) {
  const DialogueCase cases[] = {
      {"slave query", {}, {0, 2, 0, 0}, {2, 0, 0, 0}},
      {"capture query", {}, {0, 5, 0, 0}, {5, 0, 0, 0}},
      {"speed query", {}, {0, 8, 0, 0}, {7, 0, 1, 0}},
      {"identifiers",
       {},
       {0, 3, 0, 0},
       {3, 0, 0x34, 0x12, 0, 0, 'Z', 'E', 'L', 'S', 'I', 'M', '0', '1'}},
      {"unknown code", {}, {0, 6, 0, 0}, {}},
      {"first byte not 0", {}, {1, 2, 0, 0}, {}},
      {"set commands are not answered", {}, {0, 1, 0xFF, 0xFF}, {}},
      {"slave on", {{0, 1, 0xFF, 0xFF}}, {0, 2, 0, 0}, {2, 0, 1, 0}},
      {"capture on", {{0, 4, 0xFF, 0xFF}}, {0, 5, 0, 0}, {5, 0, 1, 0}},
      {"capture on then off", {{0, 4, 0xFF, 0xFF}, {0, 4, 0, 0}}, {0, 5, 0, 0}, {5, 0, 0, 0}},
      {"22050 Hz", {{0, 7, 0, 0}}, {0, 8, 0, 0}, {7, 0, 0, 0}},
      {"a third argument changes nothing", {{0, 1, 0x12, 0x34}}, {0, 2, 0, 0}, {2, 0, 0, 0}},
      {"a set with first byte 1 changes nothing", {{1, 7, 0, 0}}, {0, 8, 0, 0}, {7, 0, 1, 0}},
  };
  for (const DialogueCase &c : cases) {
    Array array;
    for (const Bytes &request : c.before) EXPECT_TRUE(array.reply(request).empty()) << c.name;
    EXPECT_EQ(array.reply(c.request), c.reply) << c.name;
    EXPECT_EQ(array.control.received().size(), c.before.size() + 1) << c.name;
  }
}

TEST(ControlReply, OnlyFourByteDatagramsAreRequests) {
  Array array;
  EXPECT_TRUE(array.reply({0, 2, 0}).empty());
  EXPECT_TRUE(array.reply({0, 2, 0, 0, 0}).empty());
  EXPECT_TRUE(array.control.received().empty());
  EXPECT_EQ(array.stats.other_received, 2u);
  EXPECT_EQ(array.stats.commands_received, 0u);
}

TEST(ControlReply, CaptureOnStreamsToTheRequester) {
  Array array;
  const sockaddr_in other = address("127.0.0.5", 4000);
  EXPECT_TRUE(array.control.handle(Bytes{0, 4, 0xFF, 0xFF}, other).reply.empty());
  EXPECT_TRUE(array.stream.acquiring());
  EXPECT_TRUE(same(array.control.dest(), other));
  EXPECT_TRUE(same(array.control.foreign_dest(32767), other));
}

TEST(ControlReply, IgnoredSetCommandsChangeNothing) {
  Array array;
  array.control.set_faults({.ignore_set_commands = true});
  for (uint8_t code : {1, 4, 7}) array.reply({0, code, 0xFF, 0xFF});
  array.reply({0, 7, 0, 0});
  array.reply({0, 7, 0x12, 0x34});  // never a set command the array knows: not counted
  EXPECT_FALSE(array.control.slave());
  EXPECT_FALSE(array.stream.acquiring());
  EXPECT_EQ(array.stream.speed(), 44100);
  EXPECT_EQ(array.stats.sets_ignored, 4u);
}

TEST(ControlReply, StatusOverrideReplacesByteTwoOfStatusRepliesOnly) {
  Array array;
  array.control.set_faults({.status_override = 0x102});  // a byte: 0x02
  EXPECT_EQ(array.reply({0, 2, 0, 0}), (Bytes{2, 0, 2, 0}));
  EXPECT_EQ(array.reply({0, 5, 0, 0}), (Bytes{5, 0, 2, 0}));
  EXPECT_EQ(array.reply({0, 8, 0, 0}), (Bytes{7, 0, 2, 0}));
  EXPECT_EQ(array.reply({0, 3, 0, 0})[2], 0x34);
  EXPECT_EQ(array.stats.status_overridden, 3u);
}

TEST(ControlReply, WithheldRepliesTakeTheirForeignDatagramsWithThem) {
  Array array;
  array.control.set_faults({.withhold_replies = true, .foreign_before_reply = {{1}}});
  const Answer answer = array.control.handle(Bytes{0, 3, 0, 0}, array.host);
  EXPECT_TRUE(answer.reply.empty());
  EXPECT_TRUE(answer.foreign.empty());
  EXPECT_EQ(array.stats.replies_withheld, 1u);
  EXPECT_EQ(array.stats.foreign_sent, 0u);
}

TEST(ControlReply, ForeignDatagramsAndDelayGoWithEveryReply) {
  Array array;
  array.control.set_faults({.reply_delay = 150ms, .foreign_before_reply = {{}, {2}}});
  for (int i = 0; i < 2; ++i) {
    const Answer answer = array.control.handle(Bytes{0, 2, 0, 0}, array.host);
    EXPECT_EQ(answer.reply, (Bytes{2, 0, 0, 0}));
    EXPECT_EQ(answer.foreign, (std::vector<Bytes>{{}, {2}}));
    EXPECT_EQ(answer.delay, 150ms);
  }
  EXPECT_TRUE(array.control.handle(Bytes{0, 1, 0, 0}, array.host).foreign.empty())
      << "a set command gets no reply, so nothing goes before it";
  EXPECT_EQ(array.stats.foreign_sent, 4u);
  EXPECT_EQ(array.stats.replies_delayed, 2u);
}

}  // namespace
