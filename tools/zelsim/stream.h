// The data stream's decisions, apart from threads and sockets: which numbers go out next, which
// of them the faults lose, copy or swap, and when the next one is due at the array's rate.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "zelsim.h"

namespace zelsim::detail {

using Clock = std::chrono::steady_clock;

struct Slot {  // one data datagram to build
  uint16_t number = 0;
  uint64_t index = 0;  // position in the signal; unlike number, it does not wrap
};

class Stream {
 public:
  // Most slots one plan hands out; bounds the burst after the stream fell behind.
  static constexpr int kBatch = 64;

  // Counts its faults into *stats, which must outlive it.
  Stream(const Config &config, Stats *stats);

  // --- The device state the stream follows.
  bool acquiring() const { return acquiring_; }
  // On: streams from the next slot, paced afresh. Off: only the lingering datagrams remain.
  void switch_acquisition(bool on);
  int speed() const { return speed_; }
  void set_speed(int speed);
  uint16_t next_number() const { return next_number_; }
  void set_next_number(uint16_t number) { next_number_ = number; }

  void set_faults(const StreamFaults &faults);
  void drop_burst(int count);
  void pause(std::chrono::milliseconds duration);

  void script(const std::vector<int> &numbers);
  bool script_done() const { return script_.empty(); }
  void resume();

  // True while there is a datagram to send.
  bool wanted() const;
  // The stream thread goes idle: whenever it wakes, pacing starts afresh from then.
  void hold() { reanchor_ = true; }
  // Either fills batch with the slots due at `now`, or tells until when to sleep.
  std::optional<Clock::time_point> plan(Clock::time_point now, std::vector<Slot> &batch);

 private:
  int64_t slots_due(Clock::time_point now) const;
  Clock::duration slot_offset(int64_t slots) const;
  void take_due(int64_t count, std::vector<Slot> &batch);
  Slot next_slot();
  void apply_faults(Slot slot, std::vector<Slot> &batch);
  double next_random();

  double rate_multiple_;
  Stats *stats_;

  bool acquiring_;
  int speed_;
  uint16_t next_number_;
  uint64_t next_index_;

  bool free_running_;  // streams without a script while acquisition is on
  bool scripted_ = false;
  std::deque<int> script_;

  bool reanchor_ = true;
  Clock::time_point anchor_;
  int64_t slots_taken_ = 0;  // since anchor_
  std::chrono::milliseconds pause_request_{0};
  Clock::time_point pause_end_;

  StreamFaults faults_;
  int64_t drop_count_ = 0;
  int64_t duplicate_count_ = 0;
  int64_t reorder_count_ = 0;
  uint64_t drop_rng_ = 0;
  int burst_left_ = 0;
  int linger_left_ = 0;
};

}  // namespace zelsim::detail
