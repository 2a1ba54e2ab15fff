// zelsim: an emulator of the 64-channel microphone array, on loopback.
//
// It plays the array's side of the UDP protocol: it answers the 4-byte requests, applies the set
// commands and, while acquisition is on, streams 964-byte data datagrams paced at the array's
// real rate. Every misbehaviour of a real network and device can be switched on to order.
//
// Conventions:
// - One `Emulator` owns one UDP socket bound to ADDRESS:32767 and two threads: a control thread
//   (requests and replies) and a stream thread (data datagrams). `start` creates them, `stop`
//   joins them.
// - `start` and `stop` belong to the thread that owns the Emulator. Every other member function
//   may be called from any thread at any time; the switches take effect from the next datagram or
//   request on.
// - Replies: types 2, 5 and 7 are 4 bytes {type, 0, value 0 or 1, 0}; type 3 is 14 bytes with the
//   identifier little-endian in bytes 2-3 and the PROM number in bytes 6-13. Set commands get no
//   reply, and one whose argument is neither 0xFFFF nor 0x0000 changes nothing. Requests of other
//   codes, a first byte other than 0, or a size other than 4 get no answer.
// - Inside, the decisions are plain values without threads or sockets: stream.h tells which data
//   datagrams go out and when, control.h what each request gets back. The threads only drive them.
// - Nothing here shares code with the capture library: the wire constants are the emulator's own,
//   so that the two check each other.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zelsim {

inline constexpr int kChannels = 64;
inline constexpr int kSampleFrameBytes = 192;  // 64 channels x 3 bytes, big-endian
inline constexpr int kFramesPerDatagram = 5;
inline constexpr int kPayloadBytes = 960;
inline constexpr int kDataDatagramBytes = 964;

enum class SignalKind {
  ramp,     // (c << 18) | ((n * 5 + k) & 0x3FFFF): tells which sample landed where
  tone,     // offset + gain * amplitude * sin(2 pi tone_hz t), same phase on every channel
  noise,    // offset + gain * amplitude * uniform[-1, 1), independent per channel, seeded
  calib,    // offset + gain * amplitude * b(t): one seeded noise b shared by all channels
  file,     // sample frames of a raw capture file, looped; offsets and gains not applied
  sources,  // point sources heard by microphones at known positions; offsets and gains not applied
};

// The per-channel DC offset and gain used by the tone, noise and calib signals unless a Config
// sets others: offset (c - 32) * 1000 counts, gain 0.5 + c / 63. The gains average exactly 1, so
// a calibration run over the calib signal gives back these gains themselves.
int32_t calib_offset(int channel);
double calib_gain(int channel);
std::array<int32_t, kChannels> calib_offsets();
std::array<double, kChannels> calib_gains();

// The 24-bit ramp pattern of channel `channel` in sample frame `k` (0..4) of the data datagram
// numbered `nfnbr` (0..65535).
uint32_t ramp_value(int channel, int nfnbr, int k);

// A sound source in free field. Microphone m hears a * s(t - r_m / c) / r_m, r_m its distance
// from the source and a the source's rms pressure at 1 m; s is seeded white noise of rms 1 or,
// with Config::source_tone_hz, a sine of rms 1. Levels are in dB re 20 uPa where the full scale
// of a 24-bit sample is 1 Pa, so 60 dB is an rms of 0.02 of full scale at 1 m.
struct PointSource {
  std::array<double, 3> position{};  // metres
  double level_db = 60;
  // A moving source goes from `position` to `end` in `seconds`, back in as many, and so on;
  // seconds 0: it stays at `position`. Its delays follow its place at the time of hearing.
  std::array<double, 3> end{};
  double seconds = 0;
};

struct Config {
  std::string address = "127.0.0.2";  // local IPv4 address the array listens on
  uint16_t port = 32767;
  int id = 4660;                  // identifier, 0..65535, sent little-endian
  std::string prom = "ZELSIM01";  // PROM number, at most 8 characters, NUL-padded on the wire
  int speed = 44100;              // 22050 or 44100
  bool slave = false;
  bool acquiring = false;  // when true, streams from start to dest_address:dest_port
  std::string dest_address = "127.0.0.1";
  uint16_t dest_port = 32767;
  uint16_t first_frame = 0;       // number of the first data datagram
  bool stream_on_acquire = true;  // false: acquisition on sends only scripted datagrams

  SignalKind signal = SignalKind::ramp;
  std::string signal_file;  // SignalKind::file: raw capture, a positive multiple of 192 bytes
  std::array<int32_t, kChannels> offsets = calib_offsets();
  std::array<double, kChannels> gains = calib_gains();
  double amplitude = 100000.0;  // counts; results are clamped to the 24-bit range
  double tone_hz = 1000.0;
  uint64_t seed = 1;  // noise, calib, the sources' noise and random drops

  // SignalKind::sources: one position per channel (metres), the sources, the speed of sound and,
  // when positive, the frequency of the sine every source plays instead of its noise.
  std::vector<std::array<double, 3>> microphones;
  std::vector<PointSource> sources;
  double speed_of_sound = 343.0;
  double source_tone_hz = 0;

  double rate_multiple = 1.0;  // data datagrams at this multiple of the real rate; 0: flat out
  int drop_every = 0;          // 0: off; N: every Nth data datagram is lost
  int duplicate_every = 0;     // 0: off; N: every Nth data datagram is sent twice
};

// Faults on the data stream; negative counts and periods mean off, and the probability is
// clamped to [0, 1].
struct StreamFaults {
  int drop_every = 0;           // 0: off; N: every Nth data datagram is lost
  double drop_probability = 0;  // 0: off; each data datagram is lost with this probability
  uint64_t drop_seed = 0;       // of the random drops, which it fixes
  int duplicate_every = 0;      // 0: off; N: every Nth data datagram is sent twice
  int reorder_every = 0;        // 0: off; N: the Nth data datagram is sent after the next one
  int linger_after_off = 0;     // data datagrams still sent after acquisition is switched off
};

// Faults on the control dialogue.
struct ControlFaults {
  int status_override = -1;                  // -1: off; else byte 2 of every type 2, 5, 7 reply
  std::chrono::milliseconds reply_delay{0};  // every reply is sent this much later
  bool withhold_replies = false;             // no reply is ever sent
  bool ignore_set_commands = false;          // set commands change nothing
  // Datagrams sent to the requester just before every reply, e.g. a data datagram or an empty
  // one, so that the library must send its query again.
  std::vector<std::vector<uint8_t>> foreign_before_reply{};
};

// Every counter covers the emulator's whole life since `start`.
struct Stats {
  uint64_t datagrams_sent = 0;  // data datagrams put on the wire, copies included
  uint64_t dropped = 0;         // data datagrams numbered but never sent
  uint64_t duplicated = 0;      // extra copies sent
  uint64_t reordered = 0;       // datagrams sent after their successor
  uint64_t paused = 0;          // pauses served
  uint64_t foreign_sent = 0;    // injected datagrams of any kind
  uint64_t replies_sent = 0;
  uint64_t replies_delayed = 0;    // replies held back by the reply delay (sent later)
  uint64_t replies_withheld = 0;   // replies never sent
  uint64_t status_overridden = 0;  // status replies sent with the overriding byte 2
  uint64_t sets_ignored = 0;       // set commands received but not applied
  uint64_t lingered = 0;           // data datagrams streamed after acquisition was switched off
  uint64_t commands_received = 0;  // 4-byte datagrams
  uint64_t other_received = 0;     // datagrams of any other size
  uint64_t send_errors = 0;        // failed send calls; the datagram is lost
};

class Emulator {
 public:
  explicit Emulator(Config config);
  ~Emulator();  // stops
  Emulator(const Emulator &) = delete;
  Emulator &operator=(const Emulator &) = delete;

  // Checks the Config, loads the signal file, binds the socket and starts both threads. On
  // failure returns false with a one-line reason in *error (when error is not null); the emulator
  // may then be started again.
  bool start(std::string *error);
  // Joins both threads and closes the socket; idempotent. Replies still delayed are not sent.
  void stop();

  // --- Device state, as the requests see it.
  bool acquiring() const;
  int speed() const;
  bool slave() const;
  uint16_t next_frame() const;  // number the next unscripted data datagram will carry
  void set_next_frame(uint16_t number);
  // Switches acquisition on towards dest:port (as a cmd_set_capture from there would) or off.
  // False when dest_address is not an IPv4 address.
  bool set_acquiring(bool on, const std::string &dest_address = "127.0.0.1",
                     uint16_t dest_port = 32767);

  // --- Scripted streams. While acquisition is on, the next data datagrams carry exactly these
  // numbers (taken modulo 65536; the payload is generated for each), paced at the current rate;
  // once the script is exhausted the stream stays silent until another script or resume_stream.
  void script_frames(std::vector<int> numbers);
  // True once every scripted datagram has been sent (or lost to a fault); false on timeout, e.g.
  // while acquisition stays off.
  bool wait_script_sent(std::chrono::milliseconds timeout);
  // Leaves scripted mode: the stream goes on from the number after the last one sent.
  void resume_stream();

  // --- Faults on the data stream: switched all together, so that every "every Nth" count
  // starts afresh and the random drops start from drop_seed.
  void set_stream_faults(const StreamFaults &faults);
  void drop_burst(int count);                             // the next `count` datagrams are lost
  void pause_stream(std::chrono::milliseconds duration);  // numbers go on afterwards, no gap

  // --- Faults on the control dialogue, switched all together.
  void set_control_faults(ControlFaults faults);

  // Sends one datagram to the peer that sent the last request (else the stream destination, else
  // 127.0.0.1:32767). from_address empty: from the emulator's own socket; otherwise from a socket
  // bound to from_address:32767 with SO_REUSEADDR (e.g. 127.0.0.3).
  void send_foreign(std::vector<uint8_t> bytes, const std::string &from_address = "");
  // The same towards dest_address:dest_port; false when it could not be sent.
  bool send_foreign_to(std::vector<uint8_t> bytes, const std::string &dest_address,
                       uint16_t dest_port, const std::string &from_address = "");

  // --- What arrived: every 4-byte request in arrival order.
  std::vector<std::array<uint8_t, 4>> received_commands() const;
  void clear_received();
  bool wait_received(size_t count, std::chrono::milliseconds timeout) const;

  Stats stats() const;

  // --- Send times. While the log is on, every data datagram put on the wire is logged in send
  // order with the wall-clock time (CLOCK_REALTIME, microseconds) read just before and just after
  // the send call that carried it: the datagram entered the kernel in between. Copies are logged
  // each, failed sends not at all. Switching the log on empties it and makes room for `capacity`
  // entries, so that the stream thread never allocates; once full, later datagrams go unlogged.
  // Switching it off keeps what it holds.
  struct SentDatagram {
    uint16_t number = 0;
    int64_t before_us = 0;
    int64_t after_us = 0;
  };
  void set_send_log(bool on, size_t capacity = size_t{1} << 19);
  std::vector<SentDatagram> send_log() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zelsim
