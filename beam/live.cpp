// The live window: frames pushed as they arrive, and maps over the blocks of the last T seconds.
//
// Each block's beam powers per bin and point are kept in a ring beside running sums over the
// window, so a new map costs only the blocks that arrived since the last one: they are added and
// the blocks that left are subtracted. Negative powers are clipped after the window's sum, per
// bin, as for a whole signal. A new band or window rebuilds the sums from the frames held.
#include <algorithm>
#include <cmath>

#include "engine.h"

using namespace zelbeam_detail;

namespace {

uint64_t complete_blocks(const zelbeam *beam) {
  if (beam->pushed < static_cast<uint64_t>(beam->block)) return 0;
  return (beam->pushed - beam->block) / beam->hop + 1;
}

size_t slot_of(const zelbeam *beam, uint64_t block) {
  return block % beam->window_blocks;
}

float *power_row(zelbeam *beam, uint64_t block, int k) {
  const size_t nb = static_cast<size_t>(beam->live.bins.count());
  return beam->live_power.data() + (slot_of(beam, block) * nb + k) * beam->padded;
}

float *autos_row(zelbeam *beam, uint64_t block) {
  const size_t nb = static_cast<size_t>(beam->live.bins.count());
  return beam->live_autos.data() + slot_of(beam, block) * nb * beam->mics;
}

// Sums for a band over no block yet, with the ring sized for the window.
int start_band(zelbeam *beam, const Bins &bins, uint64_t first_block) {
  beam->live_valid = false;
  const size_t nb = static_cast<size_t>(bins.count());
  const size_t slots = static_cast<size_t>(beam->window_blocks);
  if (!beam->live.allocate(bins, beam->mics, beam->padded) ||
      !beam->live_power.allocate(slots * nb * beam->padded) ||
      !beam->live_autos.allocate(slots * nb * beam->mics)) {
    return ZELBEAM_ENOMEM;
  }
  steer_to_first_bin(beam, &beam->live);
  beam->live_oldest = beam->live_next = first_block;
  beam->live_valid = true;
  return ZELBEAM_OK;
}

void subtract_block(zelbeam *beam, uint64_t block) {
  const int nb = beam->live.bins.count();
  const size_t points = beam->padded;
  for (int k = 0; k < nb; ++k) {
    beam->kernels->add_row(beam->live.power.data() + static_cast<size_t>(k) * points,
                           power_row(beam, block, k), points, -1.0);
  }
  const float *autos = autos_row(beam, block);
  const size_t cells = static_cast<size_t>(nb) * beam->mics;
  for (size_t c = 0; c < cells; ++c) beam->live.autos[c] -= autos[c];
}

void add_blocks(zelbeam *beam, uint64_t first, int count) {
  const size_t mics = static_cast<size_t>(beam->mics);
  for (int b = 0; b < count; ++b) {
    const uint64_t start = (first + b) * beam->hop;
    const auto row = [&](int n) {
      return beam->ring.data() + ((start + n) % beam->ring_frames) * mics;
    };
    transform_block(beam, row, nullptr, b, &beam->live, autos_row(beam, first + b));
  }
  beam_powers(
      beam, count, &beam->live, [&](int b, int k) { return power_row(beam, first + b, k); }, false);
}

// Brings the sums to the blocks [first_wanted, complete): the older ones leave, the new enter.
void slide_window(zelbeam *beam, uint64_t first_wanted, uint64_t complete) {
  if (beam->live_next <= first_wanted) {
    // Nothing held is still in the window.
    beam->live.power.zero();
    beam->live.autos.zero();
    beam->live_oldest = beam->live_next = first_wanted;
  }
  for (; beam->live_oldest < first_wanted; ++beam->live_oldest) {
    subtract_block(beam, beam->live_oldest);
  }
  while (beam->live_next < complete) {
    const int count =
        static_cast<int>(std::min<uint64_t>(chunk_blocks, complete - beam->live_next));
    add_blocks(beam, beam->live_next, count);
    beam->live_next += count;
  }
}

}  // namespace

extern "C" {

void zelbeam_push(zelbeam_t *beam, const float *samples, size_t frames, int channels,
                  zelbeam_error *err) {
  if (beam == nullptr || (samples == nullptr && frames > 0)) {
    zelbeam_report(err, ZELBEAM_ENULL);
    return;
  }
  if (channels != beam->channels) {
    zelbeam_report(err, ZELBEAM_ECHANNELS);
    return;
  }
  const size_t mics = static_cast<size_t>(beam->mics);
  const int *active = beam->active.data();
  for (size_t f = 0; f < frames; ++f) {
    float *to = beam->ring.data() + (beam->pushed % beam->ring_frames) * mics;
    const float *from = samples + f * channels;
    for (size_t m = 0; m < mics; ++m) to[m] = from[active[m]];
    ++beam->pushed;
  }
  zelbeam_report(err, ZELBEAM_OK);
}

void zelbeam_reset(zelbeam_t *beam, zelbeam_error *err) {
  if (beam == nullptr) {
    zelbeam_report(err, ZELBEAM_ENULL);
    return;
  }
  beam->pushed = 0;
  beam->live_valid = false;
  zelbeam_report(err, ZELBEAM_OK);
}

void zelbeam_set_window(zelbeam_t *beam, double seconds, zelbeam_error *err) {
  if (beam == nullptr) {
    zelbeam_report(err, ZELBEAM_ENULL);
    return;
  }
  if (!std::isfinite(seconds) || seconds < beam->block / beam->rate || seconds > beam->max_window) {
    zelbeam_report(err, ZELBEAM_EWINDOW);
    return;
  }
  const int blocks =
      static_cast<int>(std::floor((seconds * beam->rate - beam->block) / beam->hop + 1e-9)) + 1;
  if (blocks != beam->window_blocks) {
    // The ring's slots depend on the window's length; the next map rebuilds from the frames.
    beam->window_blocks = blocks;
    beam->live_valid = false;
  }
  zelbeam_report(err, ZELBEAM_OK);
}

void zelbeam_live_map(zelbeam_t *beam, double freq, int band, double *map_db, zelbeam_peak_t *peak,
                      zelbeam_error *err) {
  if (beam == nullptr || map_db == nullptr) {
    zelbeam_report(err, ZELBEAM_ENULL);
    return;
  }
  Bins bins;
  int code = band_bins(beam, freq, band, &bins);
  if (code != ZELBEAM_OK) {
    zelbeam_report(err, code);
    return;
  }
  const uint64_t complete = complete_blocks(beam);
  if (complete == 0) {
    zelbeam_report(err, ZELBEAM_ENODATA);
    return;
  }
  const uint64_t window = static_cast<uint64_t>(beam->window_blocks);
  const uint64_t first_wanted = complete > window ? complete - window : 0;
  if (!beam->live_valid || !(beam->live.bins == bins)) {
    code = start_band(beam, bins, first_wanted);
    if (code != ZELBEAM_OK) {
      zelbeam_report(err, code);
      return;
    }
  }
  slide_window(beam, first_wanted, complete);
  finish_map(beam, beam->live, static_cast<double>(beam->live_next - beam->live_oldest), map_db,
             peak);
  zelbeam_report(err, ZELBEAM_OK);
}

int zelbeam_live_blocks(const zelbeam_t *beam, zelbeam_error *err) {
  if (beam == nullptr) {
    zelbeam_report(err, ZELBEAM_ENULL);
    return 0;
  }
  zelbeam_report(err, ZELBEAM_OK);
  return static_cast<int>(std::min<uint64_t>(complete_blocks(beam), beam->window_blocks));
}

}  // extern "C"
