#include "pass_engine.hpp"

#include <sched.h>

#include <algorithm>
#include <array>
#include <system_error>
#include <thread>

namespace zelnorm {
namespace {

// Chunks a worker reads ahead of the one it processes, so that the others
// rarely wait for data.
constexpr std::int64_t kLookahead = 2;

// The wide decode of the last sample of a chunk reads one byte past it.
constexpr std::size_t kSlotPadding = 8;

// `chunk` says what the slot holds: c >= 0 once chunk c is read (published
// with release ordering), -(c + 2) while chunk c is being read into it, -1
// before the first read. A worker that lags may look at a slot while it is
// refilled; it checks `chunk` again after reading `count`, and touches the
// bytes only while a group it holds keeps the slot from being refilled.
struct alignas(64) Slot {
  std::vector<unsigned char> bytes = std::vector<unsigned char>(kChunkBytes + kSlotPadding);
  std::atomic<long> count{0};
  std::atomic<std::int64_t> chunk{-1};
};

constexpr std::int64_t reading_mark(std::int64_t chunk) {
  return -(chunk + 2);
}

// What a worker finds for a chunk: its byte count, or that every group is
// done with it and the slot has moved on, so that it was not the last.
struct ChunkState {
  bool past = false;
  long count = 0;
};

// Eight channels per group: enough independent chains per frame to hide the
// latency of each sum's store and reload, and enough groups per chunk for a
// worker on a busy core to take fewer of them.
constexpr int kGroupWidth = 8;
constexpr int kGroups = kChannels / kGroupWidth;

// A group's sums pass from worker to worker; `done` hands them over with
// release ordering. `claimed` - `done` is 1 while a worker holds the group.
struct alignas(64) ChannelGroup {
  std::atomic<std::int64_t> claimed{0};  // chunks taken on by some worker
  std::atomic<std::int64_t> done{0};     // chunks added into the sums
  std::array<double, kGroupWidth> means{};
  std::array<double, kGroupWidth> variances{};
};

void wait_until_at_least(const std::atomic<std::int64_t> &value, std::int64_t target) {
  for (std::int64_t seen = value.load(std::memory_order_acquire); seen < target;
       seen = value.load(std::memory_order_acquire))
    value.wait(seen, std::memory_order_acquire);
}

// Decoding inside the x87 loops is almost free: the integer work runs in the
// shadow of the x87 multiplications and divisions.
template <bool kByProduct>
void accumulate_means(const unsigned char *frames_bytes, std::size_t frames, int first, int width,
                      double *means, const FrameDivisor &divisor) {
  for (std::size_t f = 0; f < frames; ++f) {
    const unsigned char *sample = frames_bytes + f * kFrameBytes + first * kSampleBytes;
    for (int c = 0; c < width; ++c, sample += kSampleBytes) {
      if constexpr (kByProduct)
        means[c] = add_mean_term(means[c], decode_sample_wide(sample), divisor);
      else
        means[c] = add_mean_term(means[c], decode_sample_wide(sample), divisor.frames);
    }
  }
}

void accumulate_variances(const unsigned char *frames_bytes, std::size_t frames, int first,
                          int width, const double *means, double *variances,
                          long double n_less_one) {
  for (std::size_t f = 0; f < frames; ++f) {
    const unsigned char *sample = frames_bytes + f * kFrameBytes + first * kSampleBytes;
    for (int c = 0; c < width; ++c, sample += kSampleBytes)
      variances[c] =
          add_variance_term(variances[c], decode_sample_wide(sample), means[c], n_less_one);
  }
}

}  // namespace

// The padding is the point: workers on other cores update the groups and the read counter, each
// on its own cache line.
struct PassBuffers::Ring {  // NOLINT(clang-analyzer-optin.performance.Padding)
  explicit Ring(int workers) : slots(static_cast<std::size_t>(workers) + kLookahead + 2) {}

  void reset(const Accumulators &acc) {
    for (Slot &slot : slots) slot.chunk.store(-1, std::memory_order_relaxed);
    next_read.store(0, std::memory_order_relaxed);
    for (int g = 0; g < kGroups; ++g) {
      ChannelGroup &group = groups[g];
      group.claimed.store(0, std::memory_order_relaxed);
      group.done.store(0, std::memory_order_relaxed);
      std::copy_n(acc.means.begin() + g * kGroupWidth, kGroupWidth, group.means.begin());
      std::copy_n(acc.variances.begin() + g * kGroupWidth, kGroupWidth, group.variances.begin());
    }
  }

  void store_into(Accumulators &acc) const {
    for (int g = 0; g < kGroups; ++g) {
      std::copy_n(groups[g].means.begin(), kGroupWidth, acc.means.begin() + g * kGroupWidth);
      std::copy_n(groups[g].variances.begin(), kGroupWidth,
                  acc.variances.begin() + g * kGroupWidth);
    }
  }

  std::vector<Slot> slots;
  std::array<ChannelGroup, kGroups> groups;
  alignas(64) std::atomic<std::int64_t> next_read{0};  // the first chunk nobody reads yet
};

PassBuffers::PassBuffers(int workers)
    : workers_(std::clamp(workers, 1, kMaxWorkers)), ring_(std::make_unique<Ring>(workers_)) {}

PassBuffers::~PassBuffers() = default;

int default_workers() {
  // The CPUs this process may run on, which a container or taskset can make
  // fewer than the machine's.
  cpu_set_t allowed;
  const int cpus = ::sched_getaffinity(0, sizeof allowed, &allowed) == 0
                       ? CPU_COUNT(&allowed)
                       : static_cast<int>(std::thread::hardware_concurrency());
  return std::clamp(cpus, 1, kMaxWorkers);
}

namespace {

struct PassPlan {
  PassKind kind;
  const ChunkReader &read_at;
  std::int64_t expected_bytes;
  FrameDivisor frames;          // pass 1
  long double frames_less_one;  // pass 2
};

struct PassEnd {
  std::int64_t chunk = 0;
  long count = 0;
};

// Every worker walks the chunks in order. On entering a chunk it reads the
// chunks up to kLookahead ahead that nobody has taken yet; then it takes the
// channel groups of the chunk that are free, so that a worker on a busy core
// simply takes fewer groups. A group is taken for chunk c only once its sums
// hold chunk c - 1, so each group's chunks are added in file order.
//
// Why no wait lasts forever: a worker at the lowest chunk m finds every group
// done with m - 1, since any group behind would be held by a worker further
// back. Its reads therefore find their slots free, and it moves on. A worker
// never waits for another worker as such, only for data and free slots, so
// one that is descheduled holds the others up only by the group it holds.
class Worker {
 public:
  Worker(PassBuffers::Ring &ring, const PassPlan &plan, int index)
      : ring_(ring), plan_(plan), index_(index) {}

  PassEnd run(const ProgressReport *progress) {
    for (std::int64_t chunk = 0;; ++chunk) {
      read_ahead(chunk + kLookahead);
      const ChunkState state = await(chunk);
      if (state.past) continue;
      const PassEnd end{chunk, state.count};
      process_groups(chunk, state.count);
      if (progress != nullptr)
        (*progress)(std::min(chunk * std::int64_t{kChunkBytes} + std::max(end.count, 0L),
                             plan_.expected_bytes));
      if (is_last(chunk, end.count)) return end;
    }
  }

 private:
  Slot &slot_of(std::int64_t chunk) const {
    return ring_.slots[static_cast<std::size_t>(chunk) % ring_.slots.size()];
  }

  // A short chunk ends the pass like a short read; so does a full one past the
  // expected size, since the input cannot match any more.
  bool is_last(std::int64_t chunk, long count) const {
    return count != static_cast<long>(kChunkBytes) ||
           (chunk + 1) * std::int64_t{kChunkBytes} > plan_.expected_bytes;
  }

  void read_ahead(std::int64_t up_to) {
    for (std::int64_t next = ring_.next_read.load(std::memory_order_relaxed); next <= up_to;) {
      if (ring_.next_read.compare_exchange_weak(next, next + 1, std::memory_order_relaxed))
        fill(next++);
    }
  }

  // The slot is reused only after every group is done with its previous chunk.
  void fill(std::int64_t chunk) {
    const std::int64_t reused = chunk - static_cast<std::int64_t>(ring_.slots.size());
    for (const ChannelGroup &group : ring_.groups) wait_until_at_least(group.done, reused + 1);
    Slot &slot = slot_of(chunk);
    slot.chunk.store(reading_mark(chunk), std::memory_order_relaxed);
    const long count =
        plan_.read_at({slot.bytes.data(), kChunkBytes}, chunk * std::int64_t{kChunkBytes});
    // Whoever sees this count sees the reading mark too.
    slot.count.store(count, std::memory_order_release);
    slot.chunk.store(chunk, std::memory_order_release);
    slot.chunk.notify_all();
  }

  ChunkState await(std::int64_t chunk) const {
    const Slot &slot = slot_of(chunk);
    for (;;) {
      const std::int64_t seen = slot.chunk.load(std::memory_order_acquire);
      if (seen > chunk || seen < reading_mark(chunk)) return {true, 0};
      if (seen == chunk) {
        const long count = slot.count.load(std::memory_order_acquire);
        if (slot.chunk.load(std::memory_order_relaxed) != chunk) return {true, 0};
        return {false, count};
      }
      slot.chunk.wait(seen, std::memory_order_acquire);
    }
  }

  // Takes every group that is free for `chunk`. A group still busy with the
  // previous chunk is left to whoever is processing it: that worker comes to
  // this chunk next and finds the group free. Nobody waits for anybody here.
  void process_groups(std::int64_t chunk, long count) {
    for (int i = 0; i < kGroups; ++i) {
      const int index = (index_ + i) % kGroups;
      ChannelGroup &group = ring_.groups[static_cast<std::size_t>(index)];
      if (group.claimed.load(std::memory_order_relaxed) != chunk ||
          group.done.load(std::memory_order_acquire) != chunk)
        continue;
      std::int64_t expected = chunk;
      if (group.claimed.compare_exchange_strong(expected, chunk + 1, std::memory_order_acquire))
        process_group(group, index, chunk, count);
    }
  }

  // The sums are worked on in copies on this stack frame: near the spill slot
  // of the x87 loop, they never share its address bits modulo 4096, which
  // would make every reload wait for the stores to the sums.
  void process_group(ChannelGroup &group, int index, std::int64_t chunk, long count) {
    const std::size_t frames = count > 0 ? static_cast<std::size_t>(count) / kFrameBytes : 0;
    const int first = index * kGroupWidth;
    std::array<double, kGroupWidth> means = group.means;
    std::array<double, kGroupWidth> variances = group.variances;
    const unsigned char *bytes = slot_of(chunk).bytes.data();
    if (plan_.kind == PassKind::variances)
      accumulate_variances(bytes, frames, first, kGroupWidth, means.data(), variances.data(),
                           plan_.frames_less_one);
    else if (plan_.frames.by_product)
      accumulate_means<true>(bytes, frames, first, kGroupWidth, means.data(), plan_.frames);
    else
      accumulate_means<false>(bytes, frames, first, kGroupWidth, means.data(), plan_.frames);
    group.means = means;
    group.variances = variances;
    group.done.store(chunk + 1, std::memory_order_release);
    group.done.notify_all();
  }

  PassBuffers::Ring &ring_;
  const PassPlan &plan_;
  int index_;
};

PassOutcome judge(const PassEnd &end, std::int64_t expected_bytes) {
  if (end.count < 0) return PassOutcome::read_failed;
  const std::int64_t read = end.chunk * std::int64_t{kChunkBytes} + end.count;
  return read == expected_bytes ? PassOutcome::complete : PassOutcome::size_mismatch;
}

}  // namespace

PassOutcome run_pass(PassKind kind, PassBuffers &buffers, const ChunkReader &read_at,
                     std::int64_t frames, Accumulators &acc, const ProgressReport &progress) {
  const PassPlan plan{kind, read_at, frames * std::int64_t{kFrameBytes}, make_frame_divisor(frames),
                      static_cast<long double>(frames - 1)};
  PassBuffers::Ring &ring = *buffers.ring_;
  ring.reset(acc);

  std::vector<std::thread> helpers;
  helpers.reserve(static_cast<std::size_t>(buffers.workers()));
  try {
    for (int index = 1; index < buffers.workers(); ++index)
      helpers.emplace_back([&ring, &plan, index] { Worker(ring, plan, index).run(nullptr); });
  } catch (const std::system_error &) {
    // Fewer threads only cost time: any number of workers shares the groups.
  }
  const PassEnd end = Worker(ring, plan, 0).run(progress ? &progress : nullptr);
  for (std::thread &helper : helpers) helper.join();
  ring.store_into(acc);
  return judge(end, plan.expected_bytes);
}

}  // namespace zelnorm
