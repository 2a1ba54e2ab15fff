// Datagrams that are not the array's data, arriving in the middle of a capture: every malformed
// length, every wrong type, and well-formed data from another address change nothing in the
// ring, published or not.
#include "array_fixture.h"
#include "stream_log.h"

namespace zeltest {
namespace {

class HostileInputTest : public ArrayTest {};

std::vector<uint8_t> DataLike(size_t length, uint8_t type) {
  std::vector<uint8_t> bytes(length, 0xEE);
  // Number 40000: taken as data, it would open a gap of tens of thousands of slots.
  const uint8_t header[4] = {type, 0x9C, 0x40, 0};
  std::copy(header, header + std::min<size_t>(4, length), bytes.begin());
  return bytes;
}

std::vector<int> Range(int first, int count) {
  std::vector<int> numbers;
  numbers.reserve(count);
  for (int i = 0; i < count; ++i) numbers.push_back(first + i);
  return numbers;
}

TEST_F(HostileInputTest, MalformedAndForeignDatagramsChangeNothingInTheRing) {
  StartScriptedArray();
  Connect(5);
  CaptureOn();
  sim->script_frames(Range(100, 10));
  ASSERT_TRUE(sim->wait_script_sent(5s));
  // Sent within a few milliseconds: the capture thread gives up after 100 ms without data.
  size_t hostile = 0;
  for (size_t length : {0, 1, 3, 963, 965, 1500, 65507}) {
    sim->send_foreign(DataLike(length, 0x86));
    ++hostile;
  }
  for (uint8_t type : {0x00, 0x02, 0x03, 0x05, 0x07, 0x85, 0x87, 0xFF}) {
    sim->send_foreign(DataLike(964, type));
    ++hostile;
  }
  sim->send_foreign(DataLike(964, 0x86), "127.0.0.3");
  ++hostile;
  ScriptAndWaitForEnd(Range(110, 10));
  EXPECT_EQ(sim->stats().foreign_sent, hostile);
  EXPECT_EQ(sim->stats().send_errors, 0u);

  const std::vector<Slot> slots = DrainSlots();
  ASSERT_EQ(Numbers(slots), Range(100, 20));
  for (const Slot &slot : slots) {
    EXPECT_EQ(zelrel::classify(slot.bytes.data(), slot.nfnbr), zelrel::SlotKind::ramp)
        << slot.nfnbr;
  }
  EXPECT_EQ(zelarray_check_lostdataframes(handle, &err), 0);
  // Past the published slots the ring is as it was made: nothing was written there either.
  EXPECT_EQ(handle->wpos, 100);
  EXPECT_TRUE(all_zero(handle->ring + 100 * 192, static_cast<size_t>(handle->ring_bytes) - 19200));
  for (int s = 20; s < handle->ring_frames / 5; ++s) ASSERT_EQ(handle->ring_nfnbr[s], 0) << s;
}

}  // namespace
}  // namespace zeltest
