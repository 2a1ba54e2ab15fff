#include "pass_engine.hpp"

#include <sched.h>

#include <algorithm>
#include <system_error>
#include <thread>

namespace zelnorm {
namespace {

// Chunks a worker reads ahead of the one it processes, so that the others
// rarely wait for data.
constexpr std::int64_t kLookahead = 2;

// The wide decode of the last sample of a chunk reads one byte past it.
constexpr std::size_t kSlotPadding = 8;

struct alignas(64) Slot {
  std::vector<unsigned char> bytes = std::vector<unsigned char>(kChunkBytes + kSlotPadding);
  long count = 0;
  // Index of the chunk whose bytes and count the slot holds, published with
  // release ordering after the read.
  std::atomic<std::int64_t> chunk{-1};
};

struct alignas(64) WorkerShare {
  std::atomic<std::int64_t> chunks_done{0};
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

struct PassBuffers::Ring {
  explicit Ring(int workers) : slots(workers + kLookahead + 1), shares(workers) {}

  void reset() {
    for (Slot &slot : slots) slot.chunk.store(-1, std::memory_order_relaxed);
    for (WorkerShare &share : shares) share.chunks_done.store(0, std::memory_order_relaxed);
  }

  std::vector<Slot> slots;
  std::vector<WorkerShare> shares;
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

// Worker `index` of `count` owns channels [first_, first_ + width_) and reads
// every chunk whose index is `index` modulo `count` into the shared ring.
class Worker {
 public:
  Worker(PassBuffers::Ring &ring, const PassPlan &plan, int index, int count,
         const Accumulators &acc)
      : ring_(ring),
        plan_(plan),
        index_(index),
        count_(count),
        first_(kChannels * index / count),
        width_(kChannels * (index + 1) / count - first_) {
    std::copy_n(acc.means.begin() + first_, width_, means_.begin());
    std::copy_n(acc.variances.begin() + first_, width_, variances_.begin());
  }

  PassEnd run(const ProgressReport *progress) {
    for (std::int64_t chunk = 0; chunk < kLookahead; ++chunk)
      if (owns(chunk)) fill(chunk);
    for (std::int64_t chunk = 0;; ++chunk) {
      if (owns(chunk + kLookahead)) fill(chunk + kLookahead);
      const Slot &slot = await(chunk);
      process(slot);
      // Once finished, the slot may be refilled by another worker at any time.
      const PassEnd end{chunk, slot.count};
      finish(chunk);
      if (progress != nullptr)
        (*progress)(std::min(chunk * std::int64_t{kChunkBytes} + std::max(end.count, 0L),
                             plan_.expected_bytes));
      if (is_last(chunk, end.count)) return end;
    }
  }

  void store_into(Accumulators &acc) const {
    std::copy_n(means_.begin(), width_, acc.means.begin() + first_);
    std::copy_n(variances_.begin(), width_, acc.variances.begin() + first_);
  }

 private:
  bool owns(std::int64_t chunk) const { return chunk % count_ == index_; }

  Slot &slot_of(std::int64_t chunk) const {
    return ring_.slots[static_cast<std::size_t>(chunk) % ring_.slots.size()];
  }

  // A short chunk ends the pass like a short read; so does a full one past the
  // expected size, since the input cannot match any more.
  bool is_last(std::int64_t chunk, long count) const {
    return count != static_cast<long>(kChunkBytes) ||
           (chunk + 1) * std::int64_t{kChunkBytes} > plan_.expected_bytes;
  }

  // The slot is reused only after every worker is done with its previous chunk.
  void fill(std::int64_t chunk) {
    const std::int64_t reused = chunk - static_cast<std::int64_t>(ring_.slots.size());
    for (const WorkerShare &share : ring_.shares)
      wait_until_at_least(share.chunks_done, reused + 1);
    Slot &slot = slot_of(chunk);
    slot.count = plan_.read_at({slot.bytes.data(), kChunkBytes}, chunk * std::int64_t{kChunkBytes});
    slot.chunk.store(chunk, std::memory_order_release);
    slot.chunk.notify_all();
  }

  const Slot &await(std::int64_t chunk) const {
    const Slot &slot = slot_of(chunk);
    for (std::int64_t seen = slot.chunk.load(std::memory_order_acquire); seen != chunk;
         seen = slot.chunk.load(std::memory_order_acquire))
      slot.chunk.wait(seen, std::memory_order_acquire);
    return slot;
  }

  void finish(std::int64_t chunk) {
    std::atomic<std::int64_t> &done = ring_.shares[index_].chunks_done;
    done.store(chunk + 1, std::memory_order_release);
    done.notify_all();
  }

  // The sums are worked on in copies on this stack frame: near the spill slot
  // of the x87 loop, they never share its address bits modulo 4096, which
  // would make every reload wait for the stores to the sums.
  void process(const Slot &slot) {
    const std::size_t frames =
        slot.count > 0 ? static_cast<std::size_t>(slot.count) / kFrameBytes : 0;
    ChannelDoubles means = means_;
    ChannelDoubles variances = variances_;
    const unsigned char *bytes = slot.bytes.data();
    if (plan_.kind == PassKind::variances)
      accumulate_variances(bytes, frames, first_, width_, means.data(), variances.data(),
                           plan_.frames_less_one);
    else if (plan_.frames.by_product)
      accumulate_means<true>(bytes, frames, first_, width_, means.data(), plan_.frames);
    else
      accumulate_means<false>(bytes, frames, first_, width_, means.data(), plan_.frames);
    means_ = means;
    variances_ = variances;
  }

  PassBuffers::Ring &ring_;
  const PassPlan &plan_;
  int index_;
  int count_;
  int first_;
  int width_;
  ChannelDoubles means_{};
  ChannelDoubles variances_{};
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
  ring.reset();

  // Helpers wait for the final worker count: the channels are split only once
  // it is known how many threads could be started.
  std::atomic<int> taking_part{0};
  std::vector<Worker> workers;
  workers.reserve(static_cast<std::size_t>(buffers.workers()));
  std::vector<std::thread> helpers;
  helpers.reserve(static_cast<std::size_t>(buffers.workers()));
  auto helper_main = [&](int index) {
    taking_part.wait(0);
    workers[static_cast<std::size_t>(index)].run(nullptr);
  };
  int started = 1;
  try {
    for (; started < buffers.workers(); ++started) helpers.emplace_back(helper_main, started);
  } catch (const std::system_error &) {
    // Fewer threads only cost time.
  }
  for (int index = 0; index < started; ++index)
    workers.emplace_back(ring, plan, index, started, acc);
  taking_part.store(started);
  taking_part.notify_all();

  const PassEnd end = workers[0].run(progress ? &progress : nullptr);
  for (std::thread &helper : helpers) helper.join();
  for (const Worker &worker : workers) worker.store_into(acc);
  return judge(end, plan.expected_bytes);
}

}  // namespace zelnorm
