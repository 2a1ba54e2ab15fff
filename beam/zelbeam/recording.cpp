#include "recording.h"

#include <hdf5.h>
#include <sndfile.h>
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace zelbeam_cli {
namespace {

constexpr int kRawChannels = 64;
constexpr size_t kRawFrameBytes = 3 * kRawChannels;

bool ends_with(const std::string &text, const char *suffix) {
  const size_t n = std::strlen(suffix);
  if (text.size() < n) return false;
  for (size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(text[text.size() - n + i])) != suffix[i])
      return false;
  return true;
}

// Frames [first, first + count) of `total` at `rate`, or the reason there are none.
std::string select(const Selection &s, double rate, size_t total, size_t *first, size_t *count) {
  const double start = std::round(s.start_s * rate);
  if (start >= static_cast<double>(total)) {
    char why[160];
    std::snprintf(why, sizeof why, "--start %g s is past the end of the recording (%.3f s)",
                  s.start_s, static_cast<double>(total) / rate);
    return why;
  }
  *first = static_cast<size_t>(start);
  *count = total - *first;
  if (s.duration_s > 0)
    *count = std::min(*count, static_cast<size_t>(std::max(1.0, std::round(s.duration_s * rate))));
  return "";
}

// Room for the samples, or the reason there is none.
std::string make_room(Recording *r, size_t frames, int channels) {
  try {
    r->samples.assign(frames * static_cast<size_t>(channels), 0.0f);
  } catch (const std::bad_alloc &) {
    return "the selection is too long to hold in memory: choose a part with --start and "
           "--duration";
  }
  r->frames = frames;
  r->channels = channels;
  return "";
}

std::string read_raw(const std::string &path, const Selection &s, Recording *out) {
  std::unique_ptr<FILE, decltype(&std::fclose)> file(std::fopen(path.c_str(), "rb"), std::fclose);
  struct stat st {};
  if (!file || ::fstat(fileno(file.get()), &st) != 0 || !S_ISREG(st.st_mode))
    return "cannot read '" + path + "'" + (file ? "" : std::string(": ") + std::strerror(errno));
  const auto bytes = static_cast<size_t>(st.st_size);
  if (bytes == 0 || bytes % kRawFrameBytes != 0)
    return "'" + path + "' is not a raw recording: its size is not a whole number of " +
           std::to_string(kRawFrameBytes) + "-byte sample frames";
  size_t first = 0, count = 0;
  if (std::string why = select(s, s.raw_rate, bytes / kRawFrameBytes, &first, &count); !why.empty())
    return why;
  if (std::string why = make_room(out, count, kRawChannels); !why.empty()) return why;
  out->rate = s.raw_rate;
  std::vector<uint8_t> chunk(4096 * kRawFrameBytes);
  if (::fseeko(file.get(), static_cast<off_t>(first * kRawFrameBytes), SEEK_SET) != 0)
    return "cannot read '" + path + "': " + std::strerror(errno);
  for (size_t done = 0; done < count;) {
    const size_t frames = std::min<size_t>(4096, count - done);
    if (std::fread(chunk.data(), kRawFrameBytes, frames, file.get()) != frames)
      return "cannot read '" + path + "': the file ended early";
    float *dest = &out->samples[done * kRawChannels];
    for (size_t i = 0; i < frames * kRawChannels; ++i) {
      const uint8_t *b = &chunk[3 * i];
      const int32_t v = (b[0] << 16) | (b[1] << 8) | b[2];
      dest[i] = static_cast<float>((v ^ 0x800000) - 0x800000) * (1.0f / 8388608.0f);
    }
    done += frames;
  }
  return "";
}

std::string read_sound_file(const std::string &path, const Selection &s, Recording *out) {
  SF_INFO info{};
  std::unique_ptr<SNDFILE, decltype(&sf_close)> file(sf_open(path.c_str(), SFM_READ, &info),
                                                     sf_close);
  if (!file) return "cannot read '" + path + "': " + sf_strerror(nullptr);
  if (info.frames <= 0 || info.channels <= 0 || info.samplerate <= 0)
    return "'" + path + "' holds no samples";
  size_t first = 0, count = 0;
  if (std::string why =
          select(s, info.samplerate, static_cast<size_t>(info.frames), &first, &count);
      !why.empty())
    return why;
  if (std::string why = make_room(out, count, info.channels); !why.empty()) return why;
  out->rate = info.samplerate;
  if (sf_seek(file.get(), static_cast<sf_count_t>(first), SEEK_SET) < 0 ||
      sf_readf_float(file.get(), out->samples.data(), static_cast<sf_count_t>(count)) !=
          static_cast<sf_count_t>(count))
    return "cannot read '" + path + "': " + sf_strerror(file.get());
  return "";
}

// An HDF5 identifier closed when it goes out of scope.
class H5Id {
 public:
  H5Id(hid_t id, herr_t (*close)(hid_t)) : id_(id), close_(close) {}
  ~H5Id() {
    if (id_ >= 0) close_(id_);
  }
  H5Id(const H5Id &) = delete;
  H5Id &operator=(const H5Id &) = delete;
  hid_t get() const { return id_; }
  bool ok() const { return id_ >= 0; }

 private:
  hid_t id_;
  herr_t (*close_)(hid_t);
};

std::string read_hdf5(const std::string &path, const Selection &s, Recording *out) {
  H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
  H5Id file(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT), H5Fclose);
  if (!file.ok()) return "cannot read '" + path + "' as HDF5";
  H5Id data(H5Dopen2(file.get(), "time_data", H5P_DEFAULT), H5Dclose);
  if (!data.ok()) return "'" + path + "' has no dataset time_data";
  H5Id space(H5Dget_space(data.get()), H5Sclose);
  hsize_t dims[2] = {0, 0};
  if (!space.ok() || H5Sget_simple_extent_ndims(space.get()) != 2 ||
      H5Sget_simple_extent_dims(space.get(), dims, nullptr) != 2 || dims[0] == 0 || dims[1] == 0 ||
      dims[1] > 65536)
    return "'" + path + "': time_data is not a non-empty array of frames x channels";
  double rate = 0;
  {
    H5Id attr(H5Aopen(data.get(), "sample_freq", H5P_DEFAULT), H5Aclose);
    if (!attr.ok() || H5Aread(attr.get(), H5T_NATIVE_DOUBLE, &rate) < 0 || !std::isfinite(rate) ||
        rate <= 0)
      return "'" + path + "': time_data has no valid sample_freq attribute";
  }
  size_t first = 0, count = 0;
  if (std::string why = select(s, rate, dims[0], &first, &count); !why.empty()) return why;
  if (std::string why = make_room(out, count, static_cast<int>(dims[1])); !why.empty()) return why;
  out->rate = rate;
  const hsize_t start[2] = {first, 0}, extent[2] = {count, dims[1]};
  H5Id memory(H5Screate_simple(2, extent, nullptr), H5Sclose);
  if (H5Sselect_hyperslab(space.get(), H5S_SELECT_SET, start, nullptr, extent, nullptr) < 0 ||
      H5Dread(data.get(), H5T_NATIVE_FLOAT, memory.get(), space.get(), H5P_DEFAULT,
              out->samples.data()) < 0)
    return "cannot read time_data of '" + path + "'";
  return "";
}

}  // namespace

std::string read_recording(const std::string &path, const Selection &selection, Recording *out) {
  if (ends_with(path, ".h5") || ends_with(path, ".hdf5")) return read_hdf5(path, selection, out);
  if (ends_with(path, ".wav") || ends_with(path, ".rf64"))
    return read_sound_file(path, selection, out);
  return read_raw(path, selection, out);
}

}  // namespace zelbeam_cli
