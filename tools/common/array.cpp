#include "array.h"

#include <sys/stat.h>

#include <array>
#include <cmath>
#include <cstdio>

namespace zeltool {
namespace {

struct FileCloser {
  void operator()(FILE *file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

constexpr long kMeanFileBytes = 64 * 4;
constexpr long kGainFileBytes = 64 * 8;

const char *g_program = "zel";

void complain(const std::string &text) {
  std::fprintf(stderr, "%s: %s\n", g_program, text.c_str());
}

// The library reads the first bytes of whatever it is given; a file of another size is the other
// calibration file or no calibration file at all, and would normalize with garbage.
FilePtr open_calibration(const std::string &path, long bytes, const char *kind) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    complain("cannot read " + std::string(kind) + " file '" + path + "'");
    return nullptr;
  }
  if (st.st_size != bytes) {
    complain("'" + path + "' is not a " + kind + " file: it holds " + std::to_string(st.st_size) +
             " bytes, not " + std::to_string(bytes));
    return nullptr;
  }
  FilePtr file(std::fopen(path.c_str(), "rb"));
  if (!file) complain("cannot read " + std::string(kind) + " file '" + path + "'");
  return file;
}

// A calibration over silence or over one frame gives gains that are not numbers.
bool gains_are_finite(FILE *gains, const std::string &path) {
  std::array<double, 64> values{};
  if (std::fread(values.data(), sizeof(double), values.size(), gains) != values.size()) {
    complain("cannot read gain file '" + path + "'");
    return false;
  }
  std::rewind(gains);
  for (size_t c = 0; c < values.size(); ++c) {
    if (!std::isfinite(values[c])) {
      complain("gain file '" + path + "': the gain of channel " + std::to_string(c) +
               " is not a number; calibrate again over a longer recording");
      return false;
    }
  }
  return true;
}

bool load_calibration(zelarray_t *handle, const ArraySetup &o) {
  if (o.mean_file.empty()) return true;
  FilePtr means = open_calibration(o.mean_file, kMeanFileBytes, "mean");
  if (!means) return false;
  FilePtr gains = open_calibration(o.gain_file, kGainFileBytes, "gain");
  if (!gains || !gains_are_finite(gains.get(), o.gain_file)) return false;
  zelerror err = 0;
  zelarray_normalize(handle, means.get(), gains.get(), &err);
  if (err != 0) report("loading '" + o.mean_file + "' and '" + o.gain_file + "'", err);
  return err == 0;
}

bool set_options(zelarray_t *handle, const ArraySetup &o) {
  zelerror err = 0;
  if (o.wait_frame >= 0) zelarray_wait_nfnbr(handle, o.wait_frame, &err);
  if (err == 0) zelarray_fix_drop_X_first_frames(handle, o.drop, &err);
  if (err == 0) zelarray_fix_one_sample_delay(handle, o.fix_delay ? zel_true : zel_false, &err);
  if (err == 0) zelarray_display_warnings(handle, o.warnings ? zel_true : zel_false, &err);
  if (err == 0) zelarray_set_realtime(handle, o.realtime ? zel_true : zel_false, &err);
  if (err == 0 && o.silence_limit_ms > 0) {
    zelarray_set_silence_limit(handle, o.silence_limit_ms, &err);
  }
  if (err != 0) report("setting the capture options", err);
  return err == 0;
}

bool connect(zelarray_t *handle, const ArraySetup &o, ArrayInfo *info) {
  zelerror err = 0;
  zelarray_comminit(handle, o.address.c_str(), &err);
  if (err != 0) {
    report("no answer from the array at " + o.address, err);
    return false;
  }
  info->id = zelarray_ask_id(handle, &err);
  char prom[9] = {};
  zelarray_ask_promnb(handle, prom, &err);
  info->prom = prom;
  return true;
}

bool set_parameters(zelarray_t *handle, const ArraySetup &o, ArrayInfo *info) {
  zelerror err = 0;
  if (o.rate != 0) zelarray_set_speed(handle, o.rate, &err);
  if (err == 0) info->rate = zelarray_ask_speed(handle, &err);
  if (err == 0 && !o.keep_clock) zelarray_set_slave(handle, o.slave ? zel_true : zel_false, &err);
  if (err == 0) info->slave = zelarray_ask_slave(handle, &err) == zel_true;
  if (err == 0) zelarray_initparams(handle, &err);
  if (err != 0) report("setting the array's rate and clock mode", err);
  return err == 0;
}

}  // namespace

void HandleCloser::operator()(zelarray_t *handle) const {
  zelerror err = 0;
  zelarray_capture_off(handle, &err);  // refused with 9 when not capturing
  zelarray_delete(handle, &err);
}

void set_program_name(const char *name) {
  g_program = name;
}

const char *program_name() {
  return g_program;
}

void report(const std::string &what, zelerror err) {
  zelarray_perror(&err, (std::string(g_program) + ": " + what).c_str());
}

Handle open_array(const ArraySetup &setup, ArrayInfo *info) {
  zelerror err = 0;
  Handle handle(zelarray_create(setup.ring_mb, setup.req_frames, &err));
  if (!handle) {
    report("cannot set up the capture", err);
    return nullptr;
  }
  if (!load_calibration(handle.get(), setup) || !set_options(handle.get(), setup) ||
      !connect(handle.get(), setup, info) || !set_parameters(handle.get(), setup, info)) {
    return nullptr;
  }
  return handle;
}

}  // namespace zeltool
