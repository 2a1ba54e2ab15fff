#include <memory>

#include <gtest/gtest.h>

#include "test_support.h"
#include "zelmsg.h"

namespace {

struct MsgDeleter {
  void operator()(zelmsg_t *msg) const { _zelmsg_delete(msg); }
};
using Msg = std::unique_ptr<zelmsg_t, MsgDeleter>;

Msg make_msg() {
  return Msg(_zelmsg_create());
}

TEST(Message, NewBufferIsEmptyAndZeroFilled) {
  Msg msg = make_msg();
  ASSERT_NE(msg, nullptr);
  EXPECT_EQ(msg->len, 0);
  ASSERT_NE(msg->data, nullptr);
  for (int i = 0; i < zel_msg_capacity; ++i) ASSERT_EQ(msg->data[i], 0) << "byte " << i;
}

TEST(Message, DeletingANullBufferDoesNothing) {
  _zelmsg_delete(nullptr);
}

TEST(Message, FrameNumberIsBigEndianBytesOneAndTwo) {
  Msg msg = make_msg();
  const struct {
    unsigned char high, low;
    int number;
  } cases[] = {{0x12, 0x34, 4660}, {0xFF, 0xFF, 65535}, {0x00, 0x00, 0}, {0x01, 0x00, 256}};
  for (const auto &c : cases) {
    msg->data[1] = c.high;
    msg->data[2] = c.low;
    EXPECT_EQ(_zelmsg_extract_framenumber(msg.get()), c.number);
  }
}

TEST(Message, FrameNumberIgnoresTypeAndNeighbouringBytes) {
  Msg msg = make_msg();
  msg->data[0] = 0x03;
  msg->data[1] = 0xAB;
  msg->data[2] = 0xCD;
  msg->data[3] = 0xFF;
  EXPECT_EQ(_zelmsg_extract_framenumber(msg.get()), 0xABCD);
}

TEST(Message, PayloadStartsFourBytesIntoData) {
  Msg msg = make_msg();
  for (unsigned char type : {type_dataframe, type_ids, static_cast<unsigned char>(0)}) {
    msg->data[0] = type;
    EXPECT_EQ(_zelmsg_extract_dataptr(msg.get()), msg->data + 4);
  }
  msg->data[4] = 0x5A;
  msg->data[963] = 0xA5;
  EXPECT_EQ(_zelmsg_extract_dataptr(msg.get())[0], 0x5A);
  EXPECT_EQ(_zelmsg_extract_dataptr(msg.get())[959], 0xA5);
}

}  // namespace
