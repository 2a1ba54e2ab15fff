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
#include <mutex>
#include <optional>
#include <span>
#include <thread>

#include "control.h"
#include "payload.h"
#include "stream.h"
#include "udp.h"
#include "zelsim.h"

namespace zelsim {
namespace {

using detail::Clock;
using detail::Slot;
using namespace std::chrono_literals;

constexpr uint8_t kTypeData = 0x86;  // byte 0 of every data datagram

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

constexpr size_t kPromBytes = 8;

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
  explicit Impl(Config c)
      : config(std::move(c)), stream(Config{}, &stats), control(Config{}, &stream, &stats) {}

  Config config;
  detail::PayloadSource payload;
  zeltool::UniqueFd sock;
  zeltool::UniqueFd wake;
  std::thread control_thread;
  std::thread stream_thread;
  std::atomic<bool> stopping{false};
  bool running = false;  // owner thread only

  // Everything the two threads and the callers share is guarded by m.
  mutable std::mutex m;
  std::condition_variable stream_cv;
  mutable std::condition_variable event_cv;
  Stats stats;
  detail::Stream stream;
  detail::Control control;
  bool in_flight = false;  // slots taken from the stream but not yet on the wire
  // The send log lives outside the stream, so that it can be switched on before start.
  std::atomic<bool> send_log_on{false};          // read by the stream thread without m
  size_t send_log_capacity = 0;                  // guarded by m
  std::vector<Emulator::SentDatagram> send_log;  // guarded by m

  bool start(std::string *error);
  void stop();
  void reset_state();

  // Stream thread.
  void stream_loop();
  void send_batch(const std::vector<Slot> &batch, const sockaddr_in &dest, int speed,
                  OutBuffers &out);
  void build_datagrams(const std::vector<Slot> &batch, const sockaddr_in &dest, int speed,
                       OutBuffers &out);
  uint64_t send_all(size_t count, bool logging, OutBuffers &out);

  // Control thread.
  void control_loop();
  bool wait_for_input(const std::vector<DelayedReply> &pending);
  void receive_one(std::vector<DelayedReply> &pending);
  void answer(const detail::Answer &answer, const sockaddr_in &to,
              std::vector<DelayedReply> &pending);
  void send_due_replies(std::vector<DelayedReply> &pending);
  void send_reply(const std::vector<uint8_t> &bytes, const sockaddr_in &dest);
  bool send_to(int fd, const std::vector<uint8_t> &bytes, const sockaddr_in &dest);

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
  control_thread = std::thread([this] { control_loop(); });
  stream_thread = std::thread([this] { stream_loop(); });
  running = true;
  return true;
}

void Emulator::Impl::reset_state() {
  std::lock_guard lk(m);
  stats = Stats{};
  stream = detail::Stream(config, &stats);
  control = detail::Control(config, &stream, &stats);
  in_flight = false;
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
  control_thread.join();
  stream_thread.join();
  sock.reset();
  wake.reset();
  running = false;
  event_cv.notify_all();
}

// ---------------------------------------------------------------------------------------------
// Stream thread

void Emulator::Impl::stream_loop() {
  // The default 50 us timer slack would be most of a 113 us slot.
  ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  std::vector<Slot> batch;
  batch.reserve(4 * detail::Stream::kBatch);
  OutBuffers out;
  out.resize(2 * detail::Stream::kBatch + 2);  // a full batch, every slot twice, a swapped pair
  while (true) {
    batch.clear();
    std::optional<Clock::time_point> sleep;
    sockaddr_in dest{};
    int speed = 0;
    {
      std::unique_lock lk(m);
      if (!stopping && !stream.wanted()) {
        stream.hold();
        event_cv.notify_all();
        stream_cv.wait(lk, [this] { return stopping || stream.wanted(); });
      }
      if (stopping) break;
      sleep = stream.plan(Clock::now(), batch);
      dest = control.dest();
      speed = stream.speed();
      in_flight = !batch.empty();
    }
    if (sleep) {
      sleep_until(*sleep, stopping);
      continue;
    }
    send_batch(batch, dest, speed, out);
  }
}

void Emulator::Impl::build_datagrams(const std::vector<Slot> &batch, const sockaddr_in &dest,
                                     int speed, OutBuffers &out) {
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
}

// Sends the first `count` datagrams of out; returns how many of them were lost.
uint64_t Emulator::Impl::send_all(size_t count, bool logging, OutBuffers &out) {
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
  return failed;
}

void Emulator::Impl::send_batch(const std::vector<Slot> &batch, const sockaddr_in &dest, int speed,
                                OutBuffers &out) {
  build_datagrams(batch, dest, speed, out);
  const size_t count = batch.size();  // out may hold more, from an earlier, bigger batch
  const bool logging = send_log_on.load(std::memory_order_relaxed);
  const uint64_t failed = send_all(count, logging, out);
  std::lock_guard lk(m);
  stats.datagrams_sent += count - failed;
  stats.send_errors += failed;
  if (logging && send_log_on.load(std::memory_order_relaxed)) {
    for (size_t i = 0; i < count && send_log.size() < send_log_capacity; ++i) {
      if (out.after_us[i] >= 0)
        send_log.push_back({batch[i].number, out.before_us[i], out.after_us[i]});
    }
  }
  in_flight = false;
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
  detail::Answer reply;
  {
    std::lock_guard lk(m);
    reply = control.handle(std::span(buffer.data(), static_cast<size_t>(n)), from);
  }
  // A request may have been recorded; only a set command concerns the stream thread, which is
  // not woken for every query (a library resends its query for every data datagram).
  event_cv.notify_all();
  if (reply.set_applied) stream_cv.notify_all();
  answer(reply, from, pending);
}

void Emulator::Impl::answer(const detail::Answer &answer, const sockaddr_in &to,
                            std::vector<DelayedReply> &pending) {
  for (const auto &datagram : answer.foreign) send_to(sock.get(), datagram, to);
  if (answer.reply.empty()) return;
  if (answer.delay > 0ms)
    pending.push_back({Clock::now() + answer.delay, answer.reply, to});
  else
    send_reply(answer.reply, to);
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
  return impl_->stream.acquiring();
}

int Emulator::speed() const {
  std::lock_guard lk(impl_->m);
  return impl_->stream.speed();
}

bool Emulator::slave() const {
  std::lock_guard lk(impl_->m);
  return impl_->control.slave();
}

uint16_t Emulator::next_frame() const {
  std::lock_guard lk(impl_->m);
  return impl_->stream.next_number();
}

void Emulator::set_next_frame(uint16_t number) {
  std::lock_guard lk(impl_->m);
  impl_->stream.set_next_number(number);
}

bool Emulator::set_acquiring(bool on, const std::string &dest_address, uint16_t dest_port) {
  sockaddr_in dest{};
  if (on && !detail::make_sockaddr(dest_address, dest_port, &dest)) return false;
  std::lock_guard lk(impl_->m);
  impl_->control.switch_acquisition(on, dest);
  impl_->stream_cv.notify_all();
  return true;
}

void Emulator::script_frames(const std::vector<int> &numbers) {
  std::lock_guard lk(impl_->m);
  impl_->stream.script(numbers);
  impl_->stream_cv.notify_all();
}

bool Emulator::wait_script_sent(std::chrono::milliseconds timeout) {
  std::unique_lock lk(impl_->m);
  return impl_->event_cv.wait_for(
      lk, timeout, [this] { return impl_->stream.script_done() && !impl_->in_flight; });
}

void Emulator::resume_stream() {
  std::lock_guard lk(impl_->m);
  impl_->stream.resume();
  impl_->stream_cv.notify_all();
}

void Emulator::set_stream_faults(const StreamFaults &faults) {
  std::lock_guard lk(impl_->m);
  impl_->stream.set_faults(faults);
}

void Emulator::drop_burst(int count) {
  std::lock_guard lk(impl_->m);
  impl_->stream.drop_burst(count);
}

void Emulator::pause_stream(std::chrono::milliseconds duration) {
  std::lock_guard lk(impl_->m);
  impl_->stream.pause(duration);
}

void Emulator::set_control_faults(ControlFaults faults) {
  std::lock_guard lk(impl_->m);
  impl_->control.set_faults(std::move(faults));
}

void Emulator::send_foreign(const std::vector<uint8_t> &bytes, const std::string &from_address) {
  sockaddr_in dest{};
  {
    std::lock_guard lk(impl_->m);
    dest = impl_->control.foreign_dest(impl_->config.port);
  }
  impl_->send_foreign(bytes, from_address, dest);
}

bool Emulator::send_foreign_to(const std::vector<uint8_t> &bytes, const std::string &dest_address,
                               uint16_t dest_port, const std::string &from_address) {
  sockaddr_in dest{};
  if (!detail::make_sockaddr(dest_address, dest_port, &dest)) return false;
  return impl_->send_foreign(bytes, from_address, dest);
}

std::vector<std::array<uint8_t, 4>> Emulator::received_commands() const {
  std::lock_guard lk(impl_->m);
  return impl_->control.received();
}

void Emulator::clear_received() {
  std::lock_guard lk(impl_->m);
  impl_->control.clear_received();
}

bool Emulator::wait_received(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lk(impl_->m);
  return impl_->event_cv.wait_for(
      lk, timeout, [this, count] { return impl_->control.received().size() >= count; });
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
