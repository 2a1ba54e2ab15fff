// The slot assembler in memory: sequences of datagram numbers and arrival times in, slots,
// losses, discontinuities and outages out; and the judgement of one numbering gap.
#include <cmath>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"
#include "zelarray_slots.h"
#include "zellib.h"

namespace {

using zeltest::Handle;
using zeltest::make_handle;

constexpr double kRate = 8820.0;                    // datagrams a second at 44100 Hz
constexpr int64_t kStart = 1700000000LL * 1000000;  // wall clock of the first arrival, µs

// One datagram as played: its number and its arrival, µs after the first.
struct Played {
  int nfnbr;
  int64_t at_us;
};

// A run of numbers from `first`, one period apart from `at_us` on.
std::vector<Played> run(int first, int count, int64_t at_us) {
  std::vector<Played> out;
  out.reserve(count);
  for (int i = 0; i < count; ++i) {
    out.push_back({(first + i) & 0xFFFF, at_us + std::llround(i * 1e6 / kRate)});
  }
  return out;
}

std::vector<Played> operator+(std::vector<Played> a, const std::vector<Played> &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Channel c of sample frame k of datagram n: positive, never zero, distinct within a datagram
// and between neighbouring ones.
int32_t ramp(int channel, int n, int k) {
  return 1 + ((n * 5 + k) * 64 + channel) % 0x7FFFFE;
}

int32_t sample_at(const unsigned char *frame, int channel) {
  const unsigned char *p = frame + 3 * channel;
  return static_cast<int32_t>((uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) |
                              (uint32_t{p[2]} << 8)) >>
         8;
}

std::vector<unsigned char> payload_of(int n) {
  std::vector<unsigned char> p(960);
  for (int k = 0; k < 5; ++k) {
    for (int c = 0; c < 64; ++c) {
      const int32_t v = ramp(c, n, k);
      unsigned char *s = p.data() + 192 * k + 3 * c;
      s[0] = static_cast<unsigned char>(v >> 16);
      s[1] = static_cast<unsigned char>(v >> 8);
      s[2] = static_cast<unsigned char>(v);
    }
  }
  return p;
}

timeval wall_at(int64_t us) {
  return {static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
}

struct Slot {
  int nfnbr;
  int64_t time_us;
  bool silent;
  std::vector<unsigned char> bytes;
};

std::vector<int> numbers_of(const std::vector<Slot> &slots) {
  std::vector<int> numbers;
  numbers.reserve(slots.size());
  for (const Slot &s : slots) numbers.push_back(s.nfnbr);
  return numbers;
}

class SlotAssemblerTest : public testing::Test {
 protected:
  void SetUp() override {
    h = make_handle(16, 5);
    ASSERT_TRUE(h);
    h->speed = 44100;
    h->warnings = zel_false;
    _zelarray_set_running(h.get(), true);
    _zelarray_set_state(h.get(), st_capturing);  // reads are only served while capturing
  }

  // Plays the datagrams to one assembler; the wall clock may step by `wall_step_us` from the
  // datagram at index `step_at` on, while the monotonic clock runs on. With `batch` the slots
  // are published every `batch` datagrams, as the capture thread does per receive; the total
  // published before the last publication is left in unflushed_from.
  void Play(const std::vector<Played> &played, int step_at = -1, int64_t wall_step_us = 0,
            int batch = 0) {
    SlotAssembler slots(h.get());
    for (size_t i = 0; i < played.size(); ++i) {
      const std::vector<unsigned char> payload = payload_of(played[i].nfnbr);
      const int64_t wall = kStart + played[i].at_us +
                           (step_at >= 0 && static_cast<int>(i) >= step_at ? wall_step_us : 0);
      const zel_arrival datagram{
          played[i].nfnbr, payload.data(), wall_at(wall), played[i].at_us, 0, false};
      if (batch == 0) {
        slots.take(datagram);
        continue;
      }
      slots.add(datagram);
      if ((i + 1) % batch == 0) slots.flush();
    }
    unflushed_from = h->wtotal;
    slots.flush();
  }

  uint64_t unflushed_from = 0;

  std::vector<Slot> Drain() {
    std::vector<Slot> out;
    void *data = nullptr;
    int32_t ts[2];
    int nfnbr = -1;
    zelerror err = 0;
    while (zelcursor_get_ptr(h.get(), h->cursors[0], &data, ts, &nfnbr, &err, zel_false,
                             zel_true) == zel_true) {
      const auto *bytes = static_cast<const unsigned char *>(data);
      const bool silent = std::all_of(bytes, bytes + 960, [](unsigned char b) { return b == 0; });
      out.push_back({nfnbr, static_cast<int64_t>(ts[0]) * 1000000 + ts[1] / 1000 - kStart, silent,
                     std::vector<unsigned char>(bytes, bytes + 960)});
    }
    return out;
  }

  bool Overflowed() {
    zelerror err = 0;
    return zelcursor_check_overflow(h.get(), h->cursors[0], &err) == zel_true;
  }

  Handle h;
};

TEST(JudgeGap, NumbersDecideWhereTheArrivalTimesAgree) {
  struct Case {
    const char *what;
    int gap;
    int64_t elapsed_us;
    int64_t kernel_drops;
    zel_gap::Kind kind;
    int64_t lost;
  } cases[] = {
      {"next number", 0, 113, 0, zel_gap::in_sequence, 0},
      {"two lost", 2, 340, 0, zel_gap::loss, 2},
      {"duplicate", 65535, 10, 0, zel_gap::stale, 0},
      {"late by 100", 65436, 10, 0, zel_gap::stale, 0},
      {"numbering restarted", 45136, 500, 0, zel_gap::discontinuity, 3},
      {"burst the kernel dropped", 1000, 5000, 1000, zel_gap::loss, 1000},
      {"jump the times deny", 1000, 5000, 0, zel_gap::discontinuity, 43},
      {"held up, then one lost", 1, 60000, 0, zel_gap::loss, 1},
      {"2 s outage, numbers on", 17639, 2000113, 0, zel_gap::loss, 17639},
      {"9 s outage, past the wrap", 79380 - 65536, 9000113, 0, zel_gap::loss, 79380},
      {"held up 2 s, numbers unbroken", 0, 2000000, 0, zel_gap::in_sequence, 0},
      {"held up 2 s, then 3 lost", 3, 2000000, 0, zel_gap::loss, 3},
      {"2 s outage, numbering restarted", 30000, 2000000, 0, zel_gap::discontinuity, 17639},
      {"9 s pause, numbers held", 0, 9000000, 0, zel_gap::discontinuity, 79379},
      {"outage, restart a little behind", 65500, 200000, 0, zel_gap::discontinuity, 1763},
      {"within the tolerance", 100, 113 * 140, 0, zel_gap::loss, 100},
  };
  for (const Case &c : cases) {
    const zel_gap got = _zelarray_judge_gap(c.gap, c.elapsed_us, 8820, c.kernel_drops);
    EXPECT_EQ(got.kind, c.kind) << c.what;
    EXPECT_EQ(got.lost, c.lost) << c.what;
  }
}

TEST_F(SlotAssemblerTest, SequencesGiveTheirSlotsLossesAndDiscontinuities) {
  struct Case {
    const char *what;
    std::vector<Played> played;
    std::vector<int> numbers;  // of the slots
    std::vector<int> silent;   // indexes of the zero slots
    int lost_frames, discontinuities, outages;
  } cases[] = {
      {"gap", {{10, 0}, {11, 113}, {14, 454}}, {10, 11, 12, 13, 14}, {2, 3}, 10, 0, 0},
      {"duplicate and late",
       {{10, 0}, {11, 113}, {11, 120}, {13, 340}, {12, 350}, {14, 454}},
       {10, 11, 12, 13, 14},
       {2},
       5,
       0,
       0},
      {"wrap", {{65535, 0}, {0, 113}}, {65535, 0}, {}, 0, 0, 0},
      {"restart half a millisecond later",
       run(20000, 3, 0) + run(0, 2, 227 + 500),
       {20000, 20001, 20002, 20003, 20004, 20005, 0, 1},
       {3, 4, 5},
       15,
       1,
       0},
  };
  for (const Case &c : cases) {
    SetUp();
    Play(c.played);
    const std::vector<Slot> slots = Drain();
    std::vector<int> numbers, silent;
    for (size_t i = 0; i < slots.size(); ++i) {
      numbers.push_back(slots[i].nfnbr);
      if (slots[i].silent) silent.push_back(static_cast<int>(i));
    }
    EXPECT_EQ(numbers, c.numbers) << c.what;
    EXPECT_EQ(silent, c.silent) << c.what;
    zelerror err = 0;
    EXPECT_EQ(zelarray_check_lostdataframes(h.get(), &err), c.lost_frames) << c.what;
    EXPECT_EQ(zelarray_check_discontinuities(h.get(), &err), c.discontinuities) << c.what;
    EXPECT_EQ(zelarray_check_outages(h.get(), &err), c.outages) << c.what;
  }
}

// A silence ridden through fills its true length, whether the numbers went on through it or
// restarted; numbers that go on unbroken came late and fill nothing.
TEST_F(SlotAssemblerTest, OutageIsFilledByItsLengthOnTheTimeline) {
  struct Case {
    int after;  // number of the first datagram after 300 ms of silence
    int64_t filled;
    int discontinuities;
  } cases[] = {{1000 + 2646, 2645, 0}, {40000, 2645, 1}, {1001, 0, 0}};
  for (const Case &c : cases) {
    SetUp();
    Play(run(1000, 1, 0) + run(c.after, 2, 300000));
    const std::vector<Slot> slots = Drain();
    ASSERT_EQ(static_cast<int64_t>(slots.size()), c.filled + 3) << c.after;
    for (size_t i = 1; i + 2 < slots.size(); ++i) {
      ASSERT_TRUE(slots[i].silent) << i;
      ASSERT_GT(slots[i].time_us, slots[i - 1].time_us) << "fill times spread between arrivals";
    }
    EXPECT_EQ(slots[slots.size() - 2].time_us, 300000) << "a datagram's slot has its arrival";
    zelerror err = 0;
    EXPECT_EQ(zelarray_check_outages(h.get(), &err), 1) << c.after;
    EXPECT_EQ(zelarray_check_discontinuities(h.get(), &err), c.discontinuities) << c.after;
  }
}

// 200 ms without datagrams is an outage of the array only when this host did not drop them: a
// capture thread held off the CPU loses the same frames, but the array never fell silent.
TEST_F(SlotAssemblerTest, GapThisHostDroppedIsNoOutage) {
  const struct {
    uint32_t drops_meanwhile;
    int outages;
  } cases[] = {{1763, 0}, {1700, 0}, {0, 1}, {800, 1}};
  for (const auto &c : cases) {
    SetUp();
    SlotAssembler slots(h.get());
    const std::vector<unsigned char> payload = payload_of(1);
    const uint32_t before = 7;
    slots.take({1000, payload.data(), wall_at(kStart), 0, before, true});
    slots.take(
        {2764, payload.data(), wall_at(kStart + 200000), 200000, before + c.drops_meanwhile, true});
    zelerror err = 0;
    EXPECT_EQ(zelarray_check_lostdataframes(h.get(), &err), 1763 * 5) << c.drops_meanwhile;
    EXPECT_EQ(zelarray_check_outages(h.get(), &err), c.outages) << c.drops_meanwhile;
  }
}

TEST_F(SlotAssemblerTest, DelayFixSlotTakesTheTimeOfTheDatagramBeforeIt) {
  h->fix_delay = zel_true;
  Play({{5, 0}, {6, 113}, {7, 227}});
  const std::vector<Slot> slots = Drain();
  ASSERT_EQ(slots.size(), 2u);
  EXPECT_EQ(slots[0].nfnbr, 6);
  EXPECT_EQ(slots[0].time_us, 0);
  EXPECT_EQ(slots[1].time_us, 113);
}

// 16 MB hold 17476 slots: a 3 s outage fills more than the ring.
TEST_F(SlotAssemblerTest, FillLongerThanTheRingKeepsTheTotalsAndLapsTheReader) {
  Play(run(0, 1, 0) + run(100, 1, 3000000));
  const uint64_t filled = std::llround(3.0 * kRate - 1);
  EXPECT_EQ(h->wtotal, 5 * (filled + 2));
  const std::vector<Slot> slots = Drain();
  ASSERT_FALSE(slots.empty());
  EXPECT_EQ(slots.back().nfnbr, 100);
  EXPECT_FALSE(slots.back().silent);
  EXPECT_TRUE(Overflowed()) << "the reader never read while the ring went round";
}

TEST_F(SlotAssemblerTest, WallClockStepsChangeNeitherLossNorOverflow) {
  for (int64_t step : {-10000000LL, 10000000LL}) {
    SetUp();
    Play(run(0, 200, 0), 100, step);
    const std::vector<Slot> slots = Drain();
    EXPECT_EQ(slots.size(), 200u) << step;
    EXPECT_FALSE(Overflowed()) << step;
    zelerror err = 0;
    EXPECT_EQ(zelarray_check_lostdataframes(h.get(), &err), 0) << step;
  }
}

// A batch gives the slots datagram-by-datagram publication gives, and a writer that is not
// told to publish does so on its own before it runs 64 slots ahead, long fills included.
TEST_F(SlotAssemblerTest, BatchedPublicationGivesTheSameSlotsWithinTheWritersSpan) {
  const std::vector<Played> played =
      run(0, 100, 0) + run(103, 50, 12000) + run(500, 300, 400000) + run(900, 1, 440000);
  Play(played);
  const std::vector<Slot> one_by_one = Drain();
  for (int batch : {1, 7, 64, 100000}) {
    SetUp();
    Play(played, -1, 0, batch);
    EXPECT_LE(h->wtotal - unflushed_from, 64u * 5) << batch;
    const std::vector<Slot> batched = Drain();
    ASSERT_EQ(batched.size(), one_by_one.size()) << batch;
    for (size_t i = 0; i < batched.size(); ++i) {
      ASSERT_EQ(batched[i].nfnbr, one_by_one[i].nfnbr) << batch << " slot " << i;
      ASSERT_EQ(batched[i].time_us, one_by_one[i].time_us) << batch << " slot " << i;
      ASSERT_EQ(batched[i].silent, one_by_one[i].silent) << batch << " slot " << i;
    }
  }
}

// Datagrams before the start number, the start number itself and the leading frames to drop,
// in whole datagrams, give no slot.
TEST_F(SlotAssemblerTest, StartNumberAndLeadingDropComeBeforeTheFirstSlot) {
  struct Case {
    int wait_nfnbr, drop_frames;
    std::vector<Played> played;
    std::vector<int> numbers;
    int dropped;
  } cases[] = {
      {500, 0, run(498, 5, 0), {501, 502}, 0},
      {-1, 7, run(1, 4, 0), {3, 4}, 10},
      {500, 5, run(499, 5, 0), {502, 503}, 5},
      {7, 0, run(65530, 16, 0), {8, 9}, 0},
  };
  for (const Case &c : cases) {
    SetUp();
    h->wait_nfnbr = c.wait_nfnbr;
    h->drop_frames = c.drop_frames;
    Play(c.played);
    EXPECT_EQ(numbers_of(Drain()), c.numbers) << c.wait_nfnbr << " " << c.drop_frames;
    EXPECT_EQ(h->dropped, c.dropped) << c.wait_nfnbr << " " << c.drop_frames;
  }
}

// Channel c of output frame k: even channels from frame k, odd ones from the frame before;
// older -1: nothing precedes newer (it revealed a loss), so frame 0's odd channels are silence.
void ExpectDelayFixed(const Slot &slot, int newer, int older) {
  for (int k = 0; k < 5; ++k) {
    for (int c = 0; c < 64; ++c) {
      const int32_t want = c % 2 == 0 ? ramp(c, newer, k)
                           : k == 0   ? (older < 0 ? 0 : ramp(c, older, 4))
                                      : ramp(c, newer, k - 1);
      ASSERT_EQ(sample_at(slot.bytes.data() + 192 * k, c), want)
          << "slot " << slot.nfnbr << " frame " << k << " ch " << c;
    }
  }
}

TEST_F(SlotAssemblerTest, DelayFixPairsEachDatagramWithTheLastOneKept) {
  struct Case {
    std::vector<int> played;
    std::vector<int> numbers;
    std::vector<int> older;  // per slot: the datagram its first odd samples come from, -2 silent
  } cases[] = {
      {{9, 10, 11, 14, 15}, {10, 11, 12, 13, 14, 15}, {9, 10, -2, -2, -1, 14}},
      {{9, 10, 10, 11}, {10, 11}, {9, 10}},
  };
  for (const Case &c : cases) {
    SetUp();
    h->fix_delay = zel_true;
    std::vector<Played> played;
    for (size_t i = 0; i < c.played.size(); ++i) {
      played.push_back({c.played[i], static_cast<int64_t>(i) * 113});
    }
    Play(played);
    const std::vector<Slot> slots = Drain();
    ASSERT_EQ(numbers_of(slots), c.numbers);
    for (size_t i = 0; i < slots.size(); ++i) {
      if (c.older[i] == -2) {
        EXPECT_TRUE(slots[i].silent) << i;
      } else {
        ExpectDelayFixed(slots[i], slots[i].nfnbr, c.older[i]);
      }
    }
  }
}

// (sample - mean) / gain in every slot, zero fill included; a zero gain gives silence.
TEST_F(SlotAssemblerTest, NormalizationAppliesToEverySlotItWrites) {
  struct Case {
    int32_t mean;
    double gain;
    int32_t fill;  // what a zero slot becomes
  } cases[] = {{100, 2.0, -50}, {-7, 0.5, 14}, {0, 0.0, 0}};
  for (const Case &c : cases) {
    SetUp();
    for (int ch = 0; ch < 64; ++ch) {
      h->means[ch] = c.mean;
      h->gains[ch] = c.gain;
    }
    h->normalize = zel_true;
    Play({{3, 0}, {5, 227}});
    const std::vector<Slot> slots = Drain();
    ASSERT_EQ(numbers_of(slots), (std::vector<int>{3, 4, 5})) << c.gain;
    for (int k = 0; k < 5; ++k) {
      for (int ch = 0; ch < 64; ++ch) {
        const int32_t want =
            c.gain == 0.0 ? 0 : static_cast<int32_t>((ramp(ch, 3, k) - c.mean) / c.gain);
        ASSERT_EQ(sample_at(slots[0].bytes.data() + 192 * k, ch), want) << c.gain;
        ASSERT_EQ(sample_at(slots[1].bytes.data() + 192 * k, ch), c.fill) << c.gain;
      }
    }
  }
}

TEST_F(SlotAssemblerTest, NothingIsPublishedOnceStopped) {
  _zelarray_set_running(h.get(), false);
  Play(run(0, 3, 0) + run(10, 1, 2000));
  EXPECT_EQ(h->wtotal, 0u);
}

}  // namespace
