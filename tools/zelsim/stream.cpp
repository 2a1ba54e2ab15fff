#include "stream.h"

#include <algorithm>
#include <cmath>

namespace zelsim::detail {

using namespace std::chrono_literals;

Stream::Stream(const Config &config, Stats *stats)
    : rate_multiple_(config.rate_multiple),
      stats_(stats),
      acquiring_(config.acquiring),
      speed_(config.speed),
      next_number_(config.first_frame),
      next_index_(config.first_frame),
      free_running_(config.stream_on_acquire) {
  StreamFaults faults;
  faults.drop_every = config.drop_every;
  faults.duplicate_every = config.duplicate_every;
  faults.drop_seed = config.seed;
  set_faults(faults);
}

void Stream::switch_acquisition(bool on) {
  if (on) {
    if (!acquiring_) reanchor_ = true;
    acquiring_ = true;
    linger_left_ = 0;
  } else if (acquiring_) {
    acquiring_ = false;
    linger_left_ = faults_.linger_after_off;
  }
}

void Stream::set_speed(int speed) {
  if (speed != speed_) reanchor_ = true;
  speed_ = speed;
}

// Out-of-range values mean "off", so that a caller's arithmetic can never wedge the stream.
void Stream::set_faults(const StreamFaults &faults) {
  faults_ = faults;
  faults_.drop_every = std::max(0, faults.drop_every);
  faults_.duplicate_every = std::max(0, faults.duplicate_every);
  faults_.reorder_every = std::max(0, faults.reorder_every);
  faults_.linger_after_off = std::max(0, faults.linger_after_off);
  const double p = faults.drop_probability;
  faults_.drop_probability = std::isfinite(p) ? std::clamp(p, 0.0, 1.0) : 0;
  drop_count_ = 0;
  duplicate_count_ = 0;
  reorder_count_ = 0;
  drop_rng_ = faults.drop_seed;
}

void Stream::drop_burst(int count) {
  burst_left_ = std::max(0, count);
}

void Stream::pause(std::chrono::milliseconds duration) {
  pause_request_ = std::max(0ms, duration);
}

void Stream::script(const std::vector<int> &numbers) {
  scripted_ = true;
  script_.assign(numbers.begin(), numbers.end());
}

void Stream::resume() {
  scripted_ = false;
  script_.clear();
  free_running_ = true;
}

bool Stream::wanted() const {
  const bool has_next = scripted_ ? !script_.empty() : free_running_;
  return has_next && (acquiring_ || linger_left_ > 0);
}

std::optional<Clock::time_point> Stream::plan(Clock::time_point now, std::vector<Slot> &batch) {
  if (pause_request_ > 0ms) {
    pause_end_ = now + pause_request_;
    pause_request_ = 0ms;
    ++stats_->paused;
  }
  if (now < pause_end_) {
    reanchor_ = true;
    return pause_end_;
  }
  if (reanchor_) {
    anchor_ = now;
    slots_taken_ = 0;
    reanchor_ = false;
  }
  const int64_t due = slots_due(now);
  if (due <= 0) return anchor_ + slot_offset(slots_taken_);
  take_due(std::min<int64_t>(due, kBatch), batch);
  return std::nullopt;
}

// Slot i is due at anchor + i / rate: an absolute schedule, so late wake-ups never accumulate.
int64_t Stream::slots_due(Clock::time_point now) const {
  if (rate_multiple_ == 0) return kBatch;
  const double rate = speed_ / 5.0 * rate_multiple_;
  const double elapsed = std::chrono::duration<double>(now - anchor_).count();
  return static_cast<int64_t>(std::floor(elapsed * rate)) + 1 - slots_taken_;
}

Clock::duration Stream::slot_offset(int64_t slots) const {
  const double rate = speed_ / 5.0 * rate_multiple_;
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(slots / rate));
}

void Stream::take_due(int64_t count, std::vector<Slot> &batch) {
  const int reorder_every = faults_.reorder_every;
  for (int64_t i = 0; i < count && wanted(); ++i) {
    const Slot first = next_slot();
    const bool swap = reorder_every > 0 && ++reorder_count_ % reorder_every == 0 && wanted();
    const size_t mark = batch.size();
    apply_faults(first, batch);
    if (!swap) continue;
    const size_t middle = batch.size();
    apply_faults(next_slot(), batch);
    ++i;
    if (middle > mark && batch.size() > middle) ++stats_->reordered;
    std::rotate(batch.begin() + static_cast<ptrdiff_t>(mark),
                batch.begin() + static_cast<ptrdiff_t>(middle), batch.end());
  }
}

Slot Stream::next_slot() {
  Slot slot;
  if (scripted_) {
    const int value = script_.front();
    script_.pop_front();
    slot.number = static_cast<uint16_t>(value & 0xFFFF);
    slot.index = value >= 0 ? static_cast<uint64_t>(value) : slot.number;
    next_number_ = static_cast<uint16_t>(slot.number + 1);
    next_index_ = slot.index + 1;
  } else {
    slot.number = next_number_++;
    slot.index = next_index_++;
  }
  if (!acquiring_) {
    --linger_left_;
    ++stats_->lingered;
  }
  ++slots_taken_;
  return slot;
}

// A slot becomes nothing (lost), one datagram, or two copies. Each switch counts every slot, so
// "every Nth" keeps its period whatever the other switches do.
void Stream::apply_faults(Slot slot, std::vector<Slot> &batch) {
  bool drop = false;
  if (burst_left_ > 0) {
    --burst_left_;
    drop = true;
  }
  if (faults_.drop_every > 0 && ++drop_count_ % faults_.drop_every == 0) drop = true;
  if (faults_.drop_probability > 0 && next_random() < faults_.drop_probability) drop = true;
  const bool duplicate =
      faults_.duplicate_every > 0 && ++duplicate_count_ % faults_.duplicate_every == 0;
  if (drop) {
    ++stats_->dropped;
    return;
  }
  batch.push_back(slot);
  if (duplicate) {
    batch.push_back(slot);
    ++stats_->duplicated;
  }
}

// splitmix64: the same seed gives the same drops on every platform.
double Stream::next_random() {
  uint64_t x = (drop_rng_ += 0x9E3779B97F4A7C15ull);
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  x ^= x >> 31;
  return static_cast<double>(x >> 11) * 0x1.0p-53;
}

}  // namespace zelsim::detail
