// Communication set-up and device commands against the emulated array.
#include <algorithm>
#include <array>

#include "array_fixture.h"

namespace zeltest {
namespace {

using Command = std::array<uint8_t, 4>;

constexpr Command kSetCaptureOff{0, 4, 0, 0};
constexpr Command kQueryCapture{0, 5, 0, 0};
constexpr Command kQueryIds{0, 3, 0, 0};
constexpr Command kQuerySlave{0, 2, 0, 0};
constexpr Command kSetSpeed22050{0, 7, 0, 0};
constexpr Command kQuerySpeed{0, 8, 0, 0};
constexpr Command kSetSlaveOn{0, 1, 0xFF, 0xFF};

class DeviceTest : public ArrayTest {
 protected:
  void SetUp() override { StartArray(); }

  void Create() {
    handle = zelarray_create(0, 1024, &err);
    ASSERT_EQ(err, ZEL_OK);
  }

  void CreateAndConnect() {
    Create();
    zelarray_comminit(handle, "127.0.0.2", &err);
    ASSERT_EQ(err, ZEL_OK);
  }

  size_t CountReceived(const Command &command) {
    const auto all = sim->received_commands();
    return std::count(all.begin(), all.end(), command);
  }
};

TEST_F(DeviceTest, ConnectSwitchesAcquisitionOffAndReadsIdentifiers) {
  CreateAndConnect();
  EXPECT_EQ(handle->status, st_comm_ready);
  const std::vector<Command> expected{kSetCaptureOff, kQueryCapture, kQueryIds};
  EXPECT_EQ(sim->received_commands(), expected);
  EXPECT_EQ(zelarray_ask_id(handle, &err), 4660);
  EXPECT_EQ(err, ZEL_OK);
  char prom[9];
  memset(prom, 'x', sizeof prom);
  zelarray_ask_promnb(handle, prom, &err);
  EXPECT_EQ(err, ZEL_OK);
  EXPECT_STREQ(prom, "ZELSIM01");
}

TEST_F(DeviceTest, SpeedAndSlaveAreSetThenAnsweredFromTheHandle) {
  CreateAndConnect();
  sim->clear_received();
  zelarray_set_speed(handle, 22050, &err);
  EXPECT_EQ(err, ZEL_OK);
  EXPECT_EQ(sim->speed(), 22050);
  zelarray_set_slave(handle, zel_true, &err);
  EXPECT_EQ(err, ZEL_OK);
  EXPECT_TRUE(sim->slave());
  const std::vector<Command> expected{kSetSpeed22050, kQuerySpeed, kSetSlaveOn, kQuerySlave};
  EXPECT_EQ(sim->received_commands(), expected);

  sim->clear_received();
  EXPECT_EQ(zelarray_ask_speed(handle, &err), 22050);
  EXPECT_EQ(zelarray_ask_slave(handle, &err), zel_true);
  zelarray_set_speed(handle, 22050, &err);
  EXPECT_EQ(err, ZEL_OK);
  EXPECT_TRUE(sim->received_commands().empty()) << "known values need no exchange";

  zelarray_initparams(handle, &err);
  EXPECT_EQ(err, ZEL_OK);
  EXPECT_EQ(handle->status, st_params_ready);
}

TEST_F(DeviceTest, InitparamsNeedsBothParametersKnown) {
  CreateAndConnect();
  zelarray_initparams(handle, &err);
  EXPECT_EQ(err, ZEL_ESPEED);
  zelarray_ask_speed(handle, &err);
  zelarray_initparams(handle, &err);
  EXPECT_EQ(err, ZEL_ESLAVE);
  EXPECT_EQ(handle->status, st_comm_ready);
  zelarray_initparams_wp(handle, 44100, zel_false, &err);
  EXPECT_EQ(err, ZEL_OK);
  EXPECT_EQ(handle->status, st_params_ready);
  // Applied to the array, then refused by the state test of initparams.
  zelarray_initparams_wp(handle, 22050, zel_false, &err);
  EXPECT_EQ(err, ZEL_EORDER);
  EXPECT_EQ(sim->speed(), 22050);
}

TEST_F(DeviceTest, UnsupportedSpeedSendsNothing) {
  CreateAndConnect();
  sim->clear_received();
  zelarray_set_speed(handle, 48000, &err);
  EXPECT_EQ(err, ZEL_ESPEED);
  zelarray_set_slave(handle, 1, &err);
  EXPECT_EQ(err, ZEL_ESLAVE);
  // Loopback keeps the order: anything the refused calls had sent would come before this query.
  zelarray_ask_speed(handle, &err);
  EXPECT_EQ(err, ZEL_OK);
  EXPECT_EQ(sim->received_commands(), std::vector<Command>{kQuerySpeed});
}

TEST_F(DeviceTest, StatusByteOutsideZeroAndOneIsUnexpectedData) {
  CreateAndConnect();
  sim->set_control_faults({.status_override = 2});
  EXPECT_EQ(zelarray_ask_slave(handle, &err), 0);
  EXPECT_EQ(err, ZEL_EPARSE);
  EXPECT_EQ(handle->slave, zel_unset);
  EXPECT_EQ(zelarray_ask_speed(handle, &err), 0);
  EXPECT_EQ(err, ZEL_EPARSE);
  EXPECT_EQ(handle->speed, 0);
}

TEST_F(DeviceTest, SilentArrayFailsConnectWithoutLeavingASocket) {
  Create();
  sim->set_control_faults({.withhold_replies = true});
  const int before = open_descriptors();
  const auto start = std::chrono::steady_clock::now();
  zelarray_comminit(handle, "127.0.0.2", &err);
  EXPECT_EQ(err, ZEL_ERECV);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
  EXPECT_EQ(handle->status, st_created);
  EXPECT_EQ(handle->sock, -1);
  EXPECT_EQ(open_descriptors(), before);
  // The same handle connects once the array answers.
  sim->set_control_faults({});
  zelarray_comminit(handle, "127.0.0.2", &err);
  EXPECT_EQ(err, ZEL_OK);
}

TEST_F(DeviceTest, ForeignOrShortDatagramBeforeTheReplyMakesTheQueryResend) {
  CreateAndConnect();
  // An empty datagram, and a slave reply too short to hold byte 2, ahead of every reply.
  sim->set_control_faults({.foreign_before_reply = {{}, {2}}});
  sim->clear_received();
  EXPECT_EQ(zelarray_ask_slave(handle, &err), zel_false);
  EXPECT_EQ(err, ZEL_OK);
  // The resent request may still be on its way when the first reply has been taken.
  EXPECT_TRUE(sim->wait_received(2, 1s));
  EXPECT_GE(CountReceived(kQuerySlave), 2u);
}

TEST_F(DeviceTest, RepliesFromAnotherAddressAreIgnored) {
  CreateAndConnect();
  sim->set_control_faults({.withhold_replies = true});
  // A slave reply saying "slave", sent from 127.0.0.3 while the array itself stays silent.
  sim->send_foreign({2, 0, 1}, "127.0.0.3");
  EXPECT_EQ(zelarray_ask_slave(handle, &err), 0);
  EXPECT_EQ(err, ZEL_ERECV);
  EXPECT_EQ(handle->slave, zel_unset);
}

TEST_F(DeviceTest, QueryGivesUpWithinASecondUnderAFloodOfOtherDatagrams) {
  CreateAndConnect();
  // The array streams but never answers: every data datagram costs a resend, and no silence
  // of 100 ms ever comes.
  sim->set_control_faults({.withhold_replies = true});
  ASSERT_TRUE(sim->set_acquiring(true));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(zelarray_ask_slave(handle, &err), 0);
  EXPECT_EQ(err, ZEL_ERECV);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
  sim->set_acquiring(false);
}

TEST_F(DeviceTest, ArrayThatIgnoresSetCommandsGivesUpWithUnexpectedData) {
  CreateAndConnect();
  sim->set_control_faults({.ignore_set_commands = true});
  const auto start = std::chrono::steady_clock::now();
  zelarray_set_speed(handle, 22050, &err);
  EXPECT_EQ(err, ZEL_EPARSE);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
  EXPECT_EQ(sim->speed(), 44100);
}

TEST_F(DeviceTest, ConnectSucceedsWhileDataStillStreams) {
  sim->stop();
  config.acquiring = true;
  StartArray();
  sim->set_stream_faults({.linger_after_off = 200});
  CreateAndConnect();
  EXPECT_FALSE(sim->acquiring());
  EXPECT_EQ(zelarray_ask_id(handle, &err), 4660);
}

TEST_F(DeviceTest, AddressTextIsCheckedBeforeAnySocketOpens) {
  Create();
  zelarray_comminit(handle, "127.0.0.2.0000001", &err);  // 17 characters
  EXPECT_EQ(err, ZEL_EDESTIP);
  EXPECT_EQ(handle->sock, -1);
  zelarray_comminit(handle, "not an address", &err);
  EXPECT_EQ(err, ZEL_EDESTIP);
  EXPECT_EQ(handle->sock, -1);
  EXPECT_EQ(handle->status, st_created);
  // 16 characters, stored whole: octal parts, still 127.0.0.2.
  zelarray_comminit(handle, "127.000.000.0002", &err);
  EXPECT_EQ(err, ZEL_OK);
  EXPECT_STREQ(handle->dip, "127.000.000.0002");
  zelarray_comminit(handle, "127.0.0.2", &err);
  EXPECT_EQ(err, ZEL_EORDER);
}

TEST_F(DeviceTest, ThousandConnectCyclesLeakNoDescriptor) {
  const int before = open_descriptors();
  for (int i = 0; i < 1000; ++i) {
    zelarray_t *h = zelarray_create(0, 1024, &err);
    ASSERT_EQ(err, ZEL_OK);
    zelarray_comminit(h, "127.0.0.2", &err);
    ASSERT_EQ(err, ZEL_OK) << "cycle " << i;
    zelarray_delete(h, &err);
    ASSERT_EQ(err, ZEL_OK);
  }
  EXPECT_EQ(open_descriptors(), before);
}

}  // namespace
}  // namespace zeltest
