// The stream's decisions in memory: which numbers leave, in what order, and when.
#include <gtest/gtest.h>

#include <numeric>

#include "stream.h"

using namespace std::chrono_literals;

namespace {

using zelsim::detail::Clock;
using zelsim::detail::Slot;
using zelsim::detail::Stream;

// Acquiring, as fast as planning goes, sending only what is scripted.
zelsim::Config flat_out() {
  zelsim::Config config;
  config.acquiring = true;
  config.rate_multiple = 0;
  config.stream_on_acquire = false;
  return config;
}

std::vector<int> range(int count) {
  std::vector<int> numbers(count);
  std::iota(numbers.begin(), numbers.end(), 0);
  return numbers;
}

// Plans at one instant until the stream has nothing left; the numbers in send order.
std::vector<int> drain(Stream &stream, Clock::time_point now = Clock::now()) {
  std::vector<int> numbers;
  std::vector<Slot> batch;
  while (stream.wanted()) {
    batch.clear();
    if (stream.plan(now, batch)) break;
    for (const Slot &slot : batch) numbers.push_back(slot.number);
  }
  return numbers;
}

struct FaultCase {
  const char *name;
  zelsim::StreamFaults faults;
  int burst;
  std::vector<int> script;
  std::vector<int> sent;
  uint64_t dropped, duplicated, reordered;
};

TEST(StreamPlan, FaultsShapeTheSequenceSent) {
  const FaultCase cases[] = {
      {"no faults", {}, 0, {65535, 65536, -2}, {65535, 0, 65534}, 0, 0, 0},
      {"drop every 4", {.drop_every = 4}, 0, range(10), {0, 1, 2, 4, 5, 6, 8, 9}, 2, 0, 0},
      {"burst of 3", {}, 3, range(6), {3, 4, 5}, 3, 0, 0},
      {"duplicate every 3",
       {.duplicate_every = 3},
       0,
       range(7),
       {0, 1, 2, 2, 3, 4, 5, 5, 6},
       0,
       2,
       0},
      {"reorder every 5",
       {.reorder_every = 5},
       0,
       range(12),
       {0, 1, 2, 3, 5, 4, 6, 7, 8, 9, 11, 10},
       0,
       0,
       2},
      {"a drop outweighs a copy",
       {.drop_every = 2, .duplicate_every = 2},
       0,
       range(6),
       {0, 2, 4},
       3,
       0,
       0},
      {"a swap whose successor is lost is no reorder",
       {.drop_every = 3, .reorder_every = 2},
       0,
       range(6),
       {0, 1, 3, 4},
       2,
       0,
       0},
      {"negative settings are off",
       {.drop_every = -1, .reorder_every = -5},
       -2,
       range(3),
       {0, 1, 2},
       0,
       0,
       0},
  };
  for (const FaultCase &c : cases) {
    zelsim::Stats stats;
    Stream stream(flat_out(), &stats);
    stream.set_faults(c.faults);
    stream.drop_burst(c.burst);
    stream.script(c.script);
    EXPECT_EQ(drain(stream), c.sent) << c.name;
    EXPECT_TRUE(stream.script_done()) << c.name;
    EXPECT_EQ(stats.dropped, c.dropped) << c.name;
    EXPECT_EQ(stats.duplicated, c.duplicated) << c.name;
    EXPECT_EQ(stats.reordered, c.reordered) << c.name;
  }
}

TEST(StreamPlan, LingerSendsExactlyThatManyAfterAcquisitionOff) {
  zelsim::Config config = flat_out();
  config.stream_on_acquire = true;
  zelsim::Stats stats;
  Stream stream(config, &stats);
  stream.set_faults({.linger_after_off = 3});
  std::vector<Slot> batch;
  ASSERT_FALSE(stream.plan(Clock::now(), batch));
  ASSERT_EQ(batch.size(), size_t{Stream::kBatch});
  stream.switch_acquisition(false);
  EXPECT_EQ(drain(stream), (std::vector<int>{64, 65, 66}));
  EXPECT_EQ(stats.lingered, 3u);
  EXPECT_EQ(stream.next_number(), 67);
}

TEST(StreamPlan, SlotsFallDueAtTheArraysRateFromTheAnchor) {
  zelsim::Config config;
  config.acquiring = true;  // 44100 Hz: 8820 datagrams a second
  zelsim::Stats stats;
  Stream stream(config, &stats);
  std::vector<Slot> batch;
  const Clock::time_point t0 = Clock::now();
  ASSERT_FALSE(stream.plan(t0, batch));
  EXPECT_EQ(batch.size(), 1u) << "the first slot is due at once";
  batch.clear();
  const std::optional<Clock::time_point> wake = stream.plan(t0, batch);
  ASSERT_TRUE(wake);
  EXPECT_NEAR(std::chrono::duration<double>(*wake - t0).count(), 1 / 8820.0, 1e-9);
  ASSERT_FALSE(stream.plan(t0 + 1ms, batch));
  EXPECT_EQ(batch.size(), 8u) << "floor(0.001 s * 8820) slots after the first";
  batch.clear();
  ASSERT_FALSE(stream.plan(t0 + 10s, batch));
  EXPECT_EQ(batch.size(), size_t{Stream::kBatch}) << "a late stream catches up a batch at a time";
}

TEST(StreamPlan, PauseDefersTheNextSlotWithoutAGapInNumbers) {
  zelsim::Config config;
  config.acquiring = true;
  zelsim::Stats stats;
  Stream stream(config, &stats);
  std::vector<Slot> batch;
  const Clock::time_point t0 = Clock::now();
  ASSERT_FALSE(stream.plan(t0, batch));
  stream.pause(150ms);
  EXPECT_EQ(stream.plan(t0, batch), t0 + 150ms);
  EXPECT_EQ(stream.plan(t0 + 100ms, batch), t0 + 150ms);
  ASSERT_FALSE(stream.plan(t0 + 150ms, batch));
  ASSERT_EQ(batch.size(), 2u) << "pacing starts afresh when the pause ends";
  EXPECT_EQ(batch[1].number, 1);
  EXPECT_EQ(stats.paused, 1u);
}

}  // namespace
