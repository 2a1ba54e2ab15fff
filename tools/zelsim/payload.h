// Payload generation: the 960 bytes of five sample frames for one data datagram.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sources.h"
#include "zelsim.h"

namespace zelsim::detail {

// Uniform in [-1, 1), a pure function of its arguments so that any datagram can be generated on
// its own, in any order.
double uniform(uint64_t seed, uint64_t stream, uint64_t position);

class PayloadSource {
 public:
  // Takes the signal settings of config; SignalKind::file reads the whole file here, so that the
  // stream thread never touches the file system.
  bool load(const Config &config, std::string *error);

  // Payload of the datagram numbered nfnbr whose first sample frame is the stream's sample frame
  // 5 * index; speed sets the tone's time base.
  void fill(uint16_t nfnbr, uint64_t index, int speed, uint8_t *payload) const;

 private:
  int32_t sample(int channel, uint64_t sample_index, int speed) const;
  void fill_ramp(uint16_t nfnbr, uint8_t *payload) const;
  void fill_file(uint64_t index, uint8_t *payload) const;
  void fill_sources(uint64_t index, int speed, uint8_t *payload) const;

  SignalKind kind_ = SignalKind::ramp;
  std::array<int32_t, kChannels> offsets_{};
  std::array<double, kChannels> gains_{};
  double amplitude_ = 0;
  double tone_hz_ = 0;
  uint64_t seed_ = 0;
  std::vector<uint8_t> file_frames_;
  SourceField sources_;
};

}  // namespace zelsim::detail
