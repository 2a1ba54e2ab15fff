#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

#include "payload.h"
#include "udp.h"
#include "zelsim.h"

namespace zelsim {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The array's wire protocol, from its side.
constexpr uint8_t kTypeData = 0x86;
constexpr uint8_t cmd_set_slave = 1;
constexpr uint8_t cmd_query_slave = 2;
constexpr uint8_t cmd_query_ids = 3;
constexpr uint8_t cmd_set_capture = 4;
constexpr uint8_t cmd_query_capture = 5;
constexpr uint8_t cmd_set_speed = 7;
constexpr uint8_t cmd_query_speed = 8;
constexpr uint8_t type_slave = 2;
constexpr uint8_t type_ids = 3;
constexpr uint8_t type_capture = 5;
constexpr uint8_t type_speed = 7;
constexpr uint16_t kArgOn = 0xFFFF;
constexpr uint16_t kArgOff = 0x0000;
constexpr size_t kIdsReplyBytes = 14;
constexpr size_t kPromBytes = 8;

// Slots handed to one sendmmsg call at most; bounds the burst after the stream fell behind.
constexpr int kBatch = 64;
// Longest single sleep of the stream thread, so that stop() is never kept waiting longer.
constexpr auto kSleepStep = 5ms;

timespec to_timespec(Clock::time_point tp) {
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(tp.time_since_epoch()).count();
  return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

// steady_clock is CLOCK_MONOTONIC, so absolute deadlines on it never drift with the wall clock.
void sleep_until(Clock::time_point deadline, const std::atomic<bool> &stopping) {
  while (!stopping.load(std::memory_order_relaxed)) {
    auto now = Clock::now();
    if (now >= deadline) return;
    timespec ts = to_timespec(std::min(deadline, now + kSleepStep));
    ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
  }
}

int64_t wall_clock_us() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return int64_t{ts.tv_sec} * 1000000 + ts.tv_nsec / 1000;
}

struct Slot {  // one data datagram to build
  uint16_t number = 0;
  uint64_t index = 0;
};

// The stream thread's scratch space for one sendmmsg call, kept from batch to batch. Only grows,
// so iovec and mmsghdr pointers into it stay valid for the whole call.
struct OutBuffers {
  std::vector<std::array<uint8_t, kDataDatagramBytes>> datagrams;
  std::vector<iovec> iov;
  std::vector<mmsghdr> msgs;
  // Wall-clock times around the send call of each datagram while the send log is on; -1: failed.
  std::vector<int64_t> before_us;
  std::vector<int64_t> after_us;

  void resize(size_t n) {
    if (datagrams.size() >= n) return;
    datagrams.resize(n);
    iov.resize(n);
    msgs.resize(n);
    before_us.resize(n);
    after_us.resize(n);
  }
};

struct DelayedReply {
  Clock::time_point due;
  std::vector<uint8_t> bytes;
  sockaddr_in dest{};
};

bool is_set_command(uint8_t code) {
  return code == cmd_set_slave || code == cmd_set_capture || code == cmd_set_speed;
}

std::string check_config(const Config &c) {
  in_addr unused{};
  if (!detail::parse_ipv4(c.address, &unused)) return "not an IPv4 address: '" + c.address + "'";
  if (c.acquiring && !detail::parse_ipv4(c.dest_address, &unused))
    return "not an IPv4 address: '" + c.dest_address + "'";
  if (c.id < 0 || c.id > 65535) return "identifier out of 0..65535: " + std::to_string(c.id);
  if (c.prom.size() > kPromBytes) return "PROM number longer than 8 characters: '" + c.prom + "'";
  if (c.speed != 22050 && c.speed != 44100)
    return "speed must be 22050 or 44100: " + std::to_string(c.speed);
  if (!std::isfinite(c.rate_multiple) || c.rate_multiple < 0)
    return "rate multiple must be 0 (flat out) or positive";
  if (c.drop_every < 0 || c.duplicate_every < 0) return "fault periods must be 0 (off) or positive";
  if (!std::isfinite(c.amplitude) || !std::isfinite(c.tone_hz))
    return "amplitude and tone frequency must be finite";
  return "";
}

}  // namespace

struct Emulator::Impl {
  explicit Impl(Config c) : config(std::move(c)) {}

  // Everything the two threads and the callers share; guarded by m.
  struct State {
    bool acquiring = false;
    int speed = 44100;
    bool slave = false;
    sockaddr_in dest{};  // where the stream goes
    sockaddr_in peer{};  // sender of the last request
    bool have_peer = false;
    uint16_t next_number = 0;
    uint64_t next_index = 0;

    bool free_running = true;  // streams without a script while acquisition is on
    bool scripted = false;
    std::deque<int> script;
    bool in_flight = false;  // slots taken from the state but not yet on the wire

    bool reanchor = true;
    Clock::time_point anchor;
    int64_t slots_taken = 0;  // since anchor
    std::chrono::milliseconds pause_request{0};
    Clock::time_point pause_end;

    int drop_every = 0;
    int64_t drop_count = 0;
    int burst_left = 0;
    double drop_probability = 0;
    uint64_t drop_rng = 0;
    int duplicate_every = 0;
    int64_t duplicate_count = 0;
    int reorder_every = 0;
    int64_t reorder_count = 0;
    int linger_after_off = 0;
    int linger_left = 0;

    int status_override = -1;
    std::chrono::milliseconds reply_delay{0};
    bool withhold = false;
    bool ignore_sets = false;
    std::vector<std::vector<uint8_t>> foreign_before;

    std::vector<std::array<uint8_t, 4>> received;
  };

  Config config;
  detail::PayloadSource payload;
  zeltool::UniqueFd sock;
  zeltool::UniqueFd wake;
  std::thread control;
  std::thread stream;
  std::atomic<bool> stopping{false};
  bool running = false;  // owner thread only

  mutable std::mutex m;
  std::condition_variable stream_cv;
  mutable std::condition_variable event_cv;
  State s;
  Stats stats;
  // The send log lives outside State, so that it can be switched on before start.
  std::atomic<bool> send_log_on{false};          // read by the stream thread without m
  size_t send_log_capacity = 0;                  // guarded by m
  std::vector<Emulator::SentDatagram> send_log;  // guarded by m

  bool start(std::string *error);
  void stop();
  void reset_state();

  // Stream thread.
  void stream_loop();
  bool stream_wanted_locked() const;
  std::optional<Clock::time_point> plan_locked(std::vector<Slot> &batch);
  int64_t slots_due_locked(Clock::time_point now) const;
  Clock::duration slot_offset_locked(int64_t slots) const;
  void take_due_locked(int64_t count, std::vector<Slot> &batch);
  Slot next_slot_locked();
  void apply_stream_faults_locked(Slot slot, std::vector<Slot> &batch);
  double next_random_locked();
  void send_batch(const std::vector<Slot> &batch, const sockaddr_in &dest, int speed,
                  OutBuffers &out);

  // Control thread.
  void control_loop();
  bool wait_for_input(const std::vector<DelayedReply> &pending);
  void receive_one(std::vector<DelayedReply> &pending);
  void handle_request(const uint8_t *bytes, ssize_t size, const sockaddr_in &from,
                      std::vector<DelayedReply> &pending);
  void apply_set_locked(uint8_t code, uint16_t arg, const sockaddr_in &from);
  void switch_acquisition_locked(bool on, const sockaddr_in &dest);
  std::vector<uint8_t> reply_for_locked(uint8_t code);
  std::vector<uint8_t> status_reply_locked(uint8_t type, bool value);
  std::vector<uint8_t> ids_reply() const;
  void send_due_replies(std::vector<DelayedReply> &pending);
  void send_reply(const std::vector<uint8_t> &bytes, const sockaddr_in &dest);
  bool send_to(int fd, const std::vector<uint8_t> &bytes, const sockaddr_in &dest);

  sockaddr_in foreign_dest_locked() const;
  bool send_foreign(const std::vector<uint8_t> &bytes, const std::string &from,
                    const sockaddr_in &dest);
};

// ---------------------------------------------------------------------------------------------
// Life cycle

bool Emulator::Impl::start(std::string *error) {
  auto fail = [error](const std::string &why) {
    if (error) *error = why;
    return false;
  };
  if (running) return fail("emulator already running");
  if (std::string why = check_config(config); !why.empty()) return fail(why);
  std::string why;
  if (!payload.load(config, &why)) return fail(why);
  zeltool::UniqueFd bound = detail::bind_udp(config.address, config.port, &why);
  if (!bound.valid()) return fail(why);
  zeltool::UniqueFd event(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!event.valid()) return fail("eventfd failed");
  sock = std::move(bound);
  wake = std::move(event);
  reset_state();
  stopping.store(false);
  control = std::thread([this] { control_loop(); });
  stream = std::thread([this] { stream_loop(); });
  running = true;
  return true;
}

void Emulator::Impl::reset_state() {
  std::lock_guard lk(m);
  s = State{};
  stats = Stats{};
  s.acquiring = config.acquiring;
  s.speed = config.speed;
  s.slave = config.slave;
  s.next_number = config.first_frame;
  s.next_index = config.first_frame;
  s.free_running = config.stream_on_acquire;
  s.drop_every = config.drop_every;
  s.duplicate_every = config.duplicate_every;
  s.drop_rng = config.seed;
  if (config.acquiring) detail::make_sockaddr(config.dest_address, config.dest_port, &s.dest);
}

void Emulator::Impl::stop() {
  if (!running) return;
  {
    std::lock_guard lk(m);
    stopping.store(true);
  }
  stream_cv.notify_all();
  uint64_t one = 1;
  [[maybe_unused]] ssize_t w = ::write(wake.get(), &one, sizeof one);
  control.join();
  stream.join();
  sock.reset();
  wake.reset();
  running = false;
  event_cv.notify_all();
}

// ---------------------------------------------------------------------------------------------
// Stream thread

bool Emulator::Impl::stream_wanted_locked() const {
  bool has_next = s.scripted ? !s.script.empty() : s.free_running;
  return has_next && (s.acquiring || s.linger_left > 0);
}

void Emulator::Impl::stream_loop() {
  // The default 50 us timer slack would be most of a 113 us slot.
  ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  std::vector<Slot> batch;
  batch.reserve(4 * kBatch);
  OutBuffers out;
  out.resize(2 * kBatch + 2);  // a full batch, every slot duplicated, plus a reordered pair
  while (true) {
    batch.clear();
    std::optional<Clock::time_point> sleep;
    sockaddr_in dest{};
    int speed = 0;
    {
      std::unique_lock lk(m);
      if (!stopping && !stream_wanted_locked()) {
        s.reanchor = true;
        event_cv.notify_all();
        stream_cv.wait(lk, [this] { return stopping || stream_wanted_locked(); });
      }
      if (stopping) break;
      sleep = plan_locked(batch);
      dest = s.dest;
      speed = s.speed;
      s.in_flight = !batch.empty();
    }
    if (sleep) {
      sleep_until(*sleep, stopping);
      continue;
    }
    send_batch(batch, dest, speed, out);
  }
}

// Either fills batch with the slots due now, or tells until when to sleep.
std::optional<Clock::time_point> Emulator::Impl::plan_locked(std::vector<Slot> &batch) {
  auto now = Clock::now();
  if (s.pause_request > 0ms) {
    s.pause_end = now + s.pause_request;
    s.pause_request = 0ms;
    ++stats.paused;
  }
  if (now < s.pause_end) {
    s.reanchor = true;
    return s.pause_end;
  }
  if (s.reanchor) {
    s.anchor = now;
    s.slots_taken = 0;
    s.reanchor = false;
  }
  int64_t due = slots_due_locked(now);
  if (due <= 0) return s.anchor + slot_offset_locked(s.slots_taken);
  take_due_locked(std::min<int64_t>(due, kBatch), batch);
  return std::nullopt;
}

// Slot i is due at anchor + i / rate: an absolute schedule, so late wake-ups never accumulate.
int64_t Emulator::Impl::slots_due_locked(Clock::time_point now) const {
  if (config.rate_multiple == 0) return kBatch;
  double rate = s.speed / 5.0 * config.rate_multiple;
  double elapsed = std::chrono::duration<double>(now - s.anchor).count();
  return static_cast<int64_t>(std::floor(elapsed * rate)) + 1 - s.slots_taken;
}

Clock::duration Emulator::Impl::slot_offset_locked(int64_t slots) const {
  double rate = s.speed / 5.0 * config.rate_multiple;
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(slots / rate));
}

void Emulator::Impl::take_due_locked(int64_t count, std::vector<Slot> &batch) {
  for (int64_t i = 0; i < count && stream_wanted_locked(); ++i) {
    Slot first = next_slot_locked();
    bool swap =
        s.reorder_every > 0 && ++s.reorder_count % s.reorder_every == 0 && stream_wanted_locked();
    size_t mark = batch.size();
    apply_stream_faults_locked(first, batch);
    if (!swap) continue;
    size_t middle = batch.size();
    apply_stream_faults_locked(next_slot_locked(), batch);
    ++i;
    if (middle > mark && batch.size() > middle) ++stats.reordered;
    std::rotate(batch.begin() + static_cast<ptrdiff_t>(mark),
                batch.begin() + static_cast<ptrdiff_t>(middle), batch.end());
  }
}

Slot Emulator::Impl::next_slot_locked() {
  Slot slot;
  if (s.scripted) {
    int value = s.script.front();
    s.script.pop_front();
    slot.number = static_cast<uint16_t>(value & 0xFFFF);
    slot.index = value >= 0 ? static_cast<uint64_t>(value) : slot.number;
    s.next_number = static_cast<uint16_t>(slot.number + 1);
    s.next_index = slot.index + 1;
  } else {
    slot.number = s.next_number++;
    slot.index = s.next_index++;
  }
  if (!s.acquiring) {
    --s.linger_left;
    ++stats.lingered;
  }
  ++s.slots_taken;
  return slot;
}

// A slot becomes nothing (lost), one datagram, or two copies. Each switch counts every slot, so
// "every Nth" keeps its period whatever the other switches do.
void Emulator::Impl::apply_stream_faults_locked(Slot slot, std::vector<Slot> &batch) {
  bool drop = false;
  if (s.burst_left > 0) {
    --s.burst_left;
    drop = true;
  }
  if (s.drop_every > 0 && ++s.drop_count % s.drop_every == 0) drop = true;
  if (s.drop_probability > 0 && next_random_locked() < s.drop_probability) drop = true;
  bool duplicate = s.duplicate_every > 0 && ++s.duplicate_count % s.duplicate_every == 0;
  if (drop) {
    ++stats.dropped;
    return;
  }
  batch.push_back(slot);
  if (duplicate) {
    batch.push_back(slot);
    ++stats.duplicated;
  }
}

double Emulator::Impl::next_random_locked() {
  uint64_t x = (s.drop_rng += 0x9E3779B97F4A7C15ull);
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  x ^= x >> 31;
  return static_cast<double>(x >> 11) * 0x1.0p-53;
}

void Emulator::Impl::send_batch(const std::vector<Slot> &batch, const sockaddr_in &dest, int speed,
                                OutBuffers &out) {
  out.resize(batch.size());
  for (size_t i = 0; i < batch.size(); ++i) {
    uint8_t *d = out.datagrams[i].data();
    d[0] = kTypeData;
    d[1] = static_cast<uint8_t>(batch[i].number >> 8);
    d[2] = static_cast<uint8_t>(batch[i].number);
    d[3] = 0;
    payload.fill(batch[i].number, batch[i].index, speed, d + 4);
    out.iov[i] = iovec{d, kDataDatagramBytes};
    out.msgs[i] = mmsghdr{};
    out.msgs[i].msg_hdr.msg_name = const_cast<sockaddr_in *>(&dest);
    out.msgs[i].msg_hdr.msg_namelen = sizeof dest;
    out.msgs[i].msg_hdr.msg_iov = &out.iov[i];
    out.msgs[i].msg_hdr.msg_iovlen = 1;
  }
  const size_t count = batch.size();  // out may hold more, from an earlier, bigger batch
  const bool logging = send_log_on.load(std::memory_order_relaxed);
  size_t done = 0;
  uint64_t failed = 0;
  while (done < count) {
    const int64_t before = logging ? wall_clock_us() : 0;
    int n = ::sendmmsg(sock.get(), out.msgs.data() + done, static_cast<unsigned>(count - done), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {  // the first datagram of the rest failed: it is lost, go on with the next
      if (logging) out.after_us[done] = -1;
      ++failed;
      ++done;
      continue;
    }
    if (logging) {
      const int64_t after = wall_clock_us();
      std::fill_n(out.before_us.begin() + static_cast<ptrdiff_t>(done), n, before);
      std::fill_n(out.after_us.begin() + static_cast<ptrdiff_t>(done), n, after);
    }
    done += static_cast<size_t>(n);
  }
  std::lock_guard lk(m);
  stats.datagrams_sent += count - failed;
  stats.send_errors += failed;
  if (logging && send_log_on.load(std::memory_order_relaxed)) {
    for (size_t i = 0; i < count && send_log.size() < send_log_capacity; ++i) {
      if (out.after_us[i] >= 0)
        send_log.push_back({batch[i].number, out.before_us[i], out.after_us[i]});
    }
  }
  s.in_flight = false;
  event_cv.notify_all();
}

// ---------------------------------------------------------------------------------------------
// Control thread

void Emulator::Impl::control_loop() {
  std::vector<DelayedReply> pending;
  while (!stopping.load()) {
    bool readable = wait_for_input(pending);
    if (stopping.load()) break;
    if (readable) receive_one(pending);
    send_due_replies(pending);
  }
}

// Waits for a datagram, for stop(), or for the next delayed reply to fall due.
bool Emulator::Impl::wait_for_input(const std::vector<DelayedReply> &pending) {
  pollfd fds[2] = {{sock.get(), POLLIN, 0}, {wake.get(), POLLIN, 0}};
  timespec timeout{};
  timespec *limit = nullptr;
  if (!pending.empty()) {
    auto due = std::min_element(pending.begin(), pending.end(), [](auto &a, auto &b) {
                 return a.due < b.due;
               })->due;
    auto left = std::max(Clock::duration::zero(), due - Clock::now());
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    timeout = timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    limit = &timeout;
  }
  int n = ::ppoll(fds, 2, limit, nullptr);
  return n > 0 && (fds[0].revents & POLLIN);
}

void Emulator::Impl::receive_one(std::vector<DelayedReply> &pending) {
  std::array<uint8_t, 2048> buffer;
  sockaddr_in from{};
  socklen_t from_len = sizeof from;
  ssize_t n = ::recvfrom(sock.get(), buffer.data(), buffer.size(), MSG_DONTWAIT,
                         reinterpret_cast<sockaddr *>(&from), &from_len);
  if (n < 0) return;
  handle_request(buffer.data(), n, from, pending);
}

void Emulator::Impl::handle_request(const uint8_t *bytes, ssize_t size, const sockaddr_in &from,
                                    std::vector<DelayedReply> &pending) {
  std::vector<uint8_t> reply;
  std::vector<std::vector<uint8_t>> foreign;
  std::chrono::milliseconds delay{0};
  {
    std::lock_guard lk(m);
    if (size != 4) {
      ++stats.other_received;
      return;
    }
    ++stats.commands_received;
    s.received.push_back({bytes[0], bytes[1], bytes[2], bytes[3]});
    s.peer = from;
    s.have_peer = true;
    event_cv.notify_all();
    if (bytes[0] != 0) return;
    uint8_t code = bytes[1];
    if (is_set_command(code)) return apply_set_locked(code, (bytes[2] << 8) | bytes[3], from);
    reply = reply_for_locked(code);
    if (reply.empty()) return;
    if (s.withhold) {
      ++stats.replies_withheld;
      return;
    }
    foreign = s.foreign_before;
    stats.foreign_sent += foreign.size();
    delay = s.reply_delay;
    if (delay > 0ms) ++stats.replies_delayed;
  }
  for (const auto &datagram : foreign) send_to(sock.get(), datagram, from);
  if (delay > 0ms)
    pending.push_back({Clock::now() + delay, std::move(reply), from});
  else
    send_reply(reply, from);
}

// Counted before the send, so that whoever receives the reply already sees it counted.
void Emulator::Impl::send_reply(const std::vector<uint8_t> &bytes, const sockaddr_in &dest) {
  {
    std::lock_guard lk(m);
    ++stats.replies_sent;
  }
  if (send_to(sock.get(), bytes, dest)) return;
  std::lock_guard lk(m);
  --stats.replies_sent;
}

void Emulator::Impl::apply_set_locked(uint8_t code, uint16_t arg, const sockaddr_in &from) {
  if (arg != kArgOn && arg != kArgOff) return;  // the array knows no third value
  if (s.ignore_sets) {
    ++stats.sets_ignored;
    return;
  }
  bool on = arg == kArgOn;
  if (code == cmd_set_slave) s.slave = on;
  if (code == cmd_set_capture) switch_acquisition_locked(on, from);
  if (code == cmd_set_speed) {
    int speed = on ? 44100 : 22050;
    if (speed != s.speed) s.reanchor = true;
    s.speed = speed;
  }
  stream_cv.notify_all();
}

void Emulator::Impl::switch_acquisition_locked(bool on, const sockaddr_in &dest) {
  if (on) {
    if (!s.acquiring) s.reanchor = true;
    s.acquiring = true;
    s.dest = dest;
    s.linger_left = 0;
  } else if (s.acquiring) {
    s.acquiring = false;
    s.linger_left = s.linger_after_off;
  }
  stream_cv.notify_all();
}

std::vector<uint8_t> Emulator::Impl::reply_for_locked(uint8_t code) {
  switch (code) {
    case cmd_query_slave:
      return status_reply_locked(type_slave, s.slave);
    case cmd_query_ids:
      return ids_reply();
    case cmd_query_capture:
      return status_reply_locked(type_capture, s.acquiring);
    case cmd_query_speed:
      return status_reply_locked(type_speed, s.speed == 44100);
    default:
      return {};
  }
}

std::vector<uint8_t> Emulator::Impl::status_reply_locked(uint8_t type, bool value) {
  std::vector<uint8_t> reply{type, 0, static_cast<uint8_t>(value ? 1 : 0), 0};
  if (s.status_override >= 0) {
    reply[2] = static_cast<uint8_t>(s.status_override);
    ++stats.status_overridden;
  }
  return reply;
}

std::vector<uint8_t> Emulator::Impl::ids_reply() const {
  std::vector<uint8_t> reply(kIdsReplyBytes, 0);
  reply[0] = type_ids;
  reply[2] = static_cast<uint8_t>(config.id & 0xFF);
  reply[3] = static_cast<uint8_t>(config.id >> 8);
  std::copy(config.prom.begin(), config.prom.end(), reply.begin() + 6);
  return reply;
}

void Emulator::Impl::send_due_replies(std::vector<DelayedReply> &pending) {
  auto now = Clock::now();
  auto due = std::stable_partition(pending.begin(), pending.end(),
                                   [now](const DelayedReply &r) { return r.due > now; });
  for (auto it = due; it != pending.end(); ++it) send_reply(it->bytes, it->dest);
  pending.erase(due, pending.end());
}

bool Emulator::Impl::send_to(int fd, const std::vector<uint8_t> &bytes, const sockaddr_in &dest) {
  ssize_t n = ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr *>(&dest),
                       sizeof dest);
  if (n == static_cast<ssize_t>(bytes.size())) return true;
  std::lock_guard lk(m);
  ++stats.send_errors;
  return false;
}

// ---------------------------------------------------------------------------------------------
// Injection

sockaddr_in Emulator::Impl::foreign_dest_locked() const {
  if (s.have_peer) return s.peer;
  if (s.dest.sin_family == AF_INET) return s.dest;
  sockaddr_in fallback{};
  detail::make_sockaddr("127.0.0.1", config.port, &fallback);
  return fallback;
}

bool Emulator::Impl::send_foreign(const std::vector<uint8_t> &bytes, const std::string &from,
                                  const sockaddr_in &dest) {
  zeltool::UniqueFd other;
  if (!from.empty()) other = detail::bind_udp(from, config.port, nullptr);
  int fd = from.empty() ? sock.get() : other.get();
  bool ok = fd >= 0 && send_to(fd, bytes, dest);
  std::lock_guard lk(m);
  if (ok) ++stats.foreign_sent;
  if (fd < 0) ++stats.send_errors;
  return ok;
}

// ---------------------------------------------------------------------------------------------
// Public interface

Emulator::Emulator(Config config) : impl_(std::make_unique<Impl>(std::move(config))) {}

Emulator::~Emulator() {
  stop();
}

bool Emulator::start(std::string *error) {
  return impl_->start(error);
}

void Emulator::stop() {
  impl_->stop();
}

bool Emulator::acquiring() const {
  std::lock_guard lk(impl_->m);
  return impl_->s.acquiring;
}

int Emulator::speed() const {
  std::lock_guard lk(impl_->m);
  return impl_->s.speed;
}

bool Emulator::slave() const {
  std::lock_guard lk(impl_->m);
  return impl_->s.slave;
}

uint16_t Emulator::next_frame() const {
  std::lock_guard lk(impl_->m);
  return impl_->s.next_number;
}

void Emulator::set_next_frame(uint16_t number) {
  std::lock_guard lk(impl_->m);
  impl_->s.next_number = number;
}

bool Emulator::set_acquiring(bool on, const std::string &dest_address, uint16_t dest_port) {
  sockaddr_in dest{};
  if (on && !detail::make_sockaddr(dest_address, dest_port, &dest)) return false;
  std::lock_guard lk(impl_->m);
  impl_->switch_acquisition_locked(on, on ? dest : impl_->s.dest);
  return true;
}

void Emulator::script_frames(std::vector<int> numbers) {
  std::lock_guard lk(impl_->m);
  impl_->s.scripted = true;
  impl_->s.script.assign(numbers.begin(), numbers.end());
  impl_->stream_cv.notify_all();
}

bool Emulator::wait_script_sent(std::chrono::milliseconds timeout) {
  std::unique_lock lk(impl_->m);
  return impl_->event_cv.wait_for(
      lk, timeout, [this] { return impl_->s.script.empty() && !impl_->s.in_flight; });
}

void Emulator::resume_stream() {
  std::lock_guard lk(impl_->m);
  impl_->s.scripted = false;
  impl_->s.script.clear();
  impl_->s.free_running = true;
  impl_->stream_cv.notify_all();
}

void Emulator::set_drop_every(int n) {
  std::lock_guard lk(impl_->m);
  impl_->s.drop_every = std::max(0, n);
  impl_->s.drop_count = 0;
}

void Emulator::drop_burst(int count) {
  std::lock_guard lk(impl_->m);
  impl_->s.burst_left = std::max(0, count);
}

void Emulator::set_drop_random(double probability, uint64_t seed) {
  std::lock_guard lk(impl_->m);
  impl_->s.drop_probability = std::isfinite(probability) ? std::clamp(probability, 0.0, 1.0) : 0;
  impl_->s.drop_rng = seed;
}

void Emulator::set_duplicate_every(int n) {
  std::lock_guard lk(impl_->m);
  impl_->s.duplicate_every = std::max(0, n);
  impl_->s.duplicate_count = 0;
}

void Emulator::set_reorder_every(int n) {
  std::lock_guard lk(impl_->m);
  impl_->s.reorder_every = std::max(0, n);
  impl_->s.reorder_count = 0;
}

void Emulator::pause_stream(std::chrono::milliseconds duration) {
  std::lock_guard lk(impl_->m);
  impl_->s.pause_request = std::max(0ms, duration);
}

void Emulator::set_linger_after_off(int count) {
  std::lock_guard lk(impl_->m);
  impl_->s.linger_after_off = std::max(0, count);
}

void Emulator::set_status_override(int byte2) {
  std::lock_guard lk(impl_->m);
  impl_->s.status_override = byte2 < 0 ? -1 : (byte2 & 0xFF);
}

void Emulator::set_reply_delay(std::chrono::milliseconds delay) {
  std::lock_guard lk(impl_->m);
  impl_->s.reply_delay = std::max(0ms, delay);
}

void Emulator::set_withhold_replies(bool on) {
  std::lock_guard lk(impl_->m);
  impl_->s.withhold = on;
}

void Emulator::set_ignore_set_commands(bool on) {
  std::lock_guard lk(impl_->m);
  impl_->s.ignore_sets = on;
}

void Emulator::set_foreign_before_reply(std::vector<std::vector<uint8_t>> datagrams) {
  std::lock_guard lk(impl_->m);
  impl_->s.foreign_before = std::move(datagrams);
}

void Emulator::send_foreign(std::vector<uint8_t> bytes, const std::string &from_address) {
  sockaddr_in dest{};
  {
    std::lock_guard lk(impl_->m);
    dest = impl_->foreign_dest_locked();
  }
  impl_->send_foreign(bytes, from_address, dest);
}

bool Emulator::send_foreign_to(std::vector<uint8_t> bytes, const std::string &dest_address,
                               uint16_t dest_port, const std::string &from_address) {
  sockaddr_in dest{};
  if (!detail::make_sockaddr(dest_address, dest_port, &dest)) return false;
  return impl_->send_foreign(bytes, from_address, dest);
}

std::vector<std::array<uint8_t, 4>> Emulator::received_commands() const {
  std::lock_guard lk(impl_->m);
  return impl_->s.received;
}

void Emulator::clear_received() {
  std::lock_guard lk(impl_->m);
  impl_->s.received.clear();
}

bool Emulator::wait_received(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lk(impl_->m);
  return impl_->event_cv.wait_for(lk, timeout,
                                  [this, count] { return impl_->s.received.size() >= count; });
}

Stats Emulator::stats() const {
  std::lock_guard lk(impl_->m);
  return impl_->stats;
}

void Emulator::set_send_log(bool on, size_t capacity) {
  std::vector<SentDatagram> room;
  if (on) room.reserve(capacity);  // allocated outside the lock the stream thread takes
  std::lock_guard lk(impl_->m);
  if (on) {
    impl_->send_log = std::move(room);
    impl_->send_log_capacity = capacity;
  }
  impl_->send_log_on.store(on, std::memory_order_relaxed);
}

std::vector<Emulator::SentDatagram> Emulator::send_log() const {
  std::lock_guard lk(impl_->m);
  return impl_->send_log;
}

}  // namespace zelsim
