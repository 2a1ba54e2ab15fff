#include "h5sink.h"

#include <hdf5.h>

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "levels.h"
#include "zellib.h"

namespace zelrecord {
namespace {

// Sample frames per chunk of `time_data`: 256 KiB, a few per second at either rate.
constexpr hsize_t kChunkFrames = 1024;

// An HDF5 identifier closed by the given call on every path.
template <herr_t (*Close)(hid_t)>
class Id {
 public:
  explicit Id(hid_t id = H5I_INVALID_HID) : id_(id) {}
  Id(Id &&other) noexcept : id_(std::exchange(other.id_, H5I_INVALID_HID)) {}
  Id &operator=(Id &&other) noexcept {
    reset();
    id_ = std::exchange(other.id_, H5I_INVALID_HID);
    return *this;
  }
  ~Id() { reset(); }
  hid_t get() const { return id_; }
  bool ok() const { return id_ >= 0; }
  // Returns the close call's result (0 for nothing open).
  herr_t reset() {
    const hid_t id = std::exchange(id_, H5I_INVALID_HID);
    return id >= 0 ? Close(id) : 0;
  }

 private:
  hid_t id_;
};
using File = Id<H5Fclose>;
using Dataset = Id<H5Dclose>;
using Space = Id<H5Sclose>;
using Plist = Id<H5Pclose>;
using Attribute = Id<H5Aclose>;

// The library's own error report is replaced by one line naming the system's reason, when
// there is one (a full disk shows as ENOSPC).
std::string reason(const std::string &what) {
  return errno != 0 ? what + ": " + std::strerror(errno) : what;
}

template <class T>
bool set_attribute(hid_t object, const char *name, hid_t type, T value) {
  Space scalar(H5Screate(H5S_SCALAR));
  if (!scalar.ok()) return false;
  if (H5Aexists(object, name) > 0 && H5Adelete(object, name) < 0) return false;
  Attribute attr(H5Acreate2(object, name, type, scalar.get(), H5P_DEFAULT, H5P_DEFAULT));
  return attr.ok() && H5Awrite(attr.get(), type, &value) >= 0 && attr.reset() >= 0;
}

class H5Sink : public Sink {
 public:
  H5Sink(File file, Dataset data, std::string name)
      : file_(std::move(file)), data_(std::move(data)), name_(std::move(name)) {}

  ~H5Sink() override {
    data_.reset();
    file_.reset();
  }

  bool write(const unsigned char *data, int64_t frames, std::string *error) override {
    if (frames <= 0) return true;
    samples_.resize(static_cast<size_t>(frames) * kChannels);
    zelerror err = 0;
    zelarray_decode_samples_float(data, static_cast<int>(frames), samples_.data(), &err);
    errno = 0;
    const hsize_t extent[2] = {written_ + static_cast<hsize_t>(frames), kChannels};
    const hsize_t start[2] = {written_, 0};
    const hsize_t count[2] = {static_cast<hsize_t>(frames), kChannels};
    bool ok = err == 0 && H5Dset_extent(data_.get(), extent) >= 0;
    Space file_space(ok ? H5Dget_space(data_.get()) : H5I_INVALID_HID);
    Space memory_space(H5Screate_simple(2, count, nullptr));
    ok = ok && file_space.ok() && memory_space.ok() &&
         H5Sselect_hyperslab(file_space.get(), H5S_SELECT_SET, start, nullptr, count, nullptr) >=
             0 &&
         H5Dwrite(data_.get(), H5T_NATIVE_FLOAT, memory_space.get(), file_space.get(), H5P_DEFAULT,
                  samples_.data()) >= 0;
    // Flushed as it goes, so that a full disk or a killed recorder leaves the file readable
    // up to the last whole write.
    ok = ok && H5Fflush(file_.get(), H5F_SCOPE_LOCAL) >= 0;
    if (!ok) {
      *error = reason("writing " + name_);
      return false;
    }
    written_ += static_cast<hsize_t>(frames);
    return true;
  }

  void note_start(double epoch_seconds) override {
    set_attribute(data_.get(), "start_time", H5T_NATIVE_DOUBLE, epoch_seconds);
  }

  void note_losses(const Losses &losses) override {
    set_attribute(data_.get(), "lost_frames", H5T_NATIVE_INT64, losses.lost);
    set_attribute(data_.get(), "kernel_drops", H5T_NATIVE_INT64, losses.kernel_drops);
    set_attribute(data_.get(), "ring_overflows", H5T_NATIVE_INT64, losses.overflows);
    set_attribute(data_.get(), "overwritten_frames", H5T_NATIVE_INT64, losses.overwritten);
  }

  bool finish(std::string *error) override {
    errno = 0;
    const bool ok = data_.reset() >= 0 && file_.reset() >= 0;
    if (!ok) *error = reason("closing " + name_);
    return ok;
  }

 private:
  File file_;
  Dataset data_;
  std::string name_;
  std::vector<float> samples_;
  hsize_t written_ = 0;
};

}  // namespace

std::unique_ptr<Sink> open_h5_sink(const std::string &path, int rate, std::string *error) {
  H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
  const std::string name = "'" + path + "'";
  errno = 0;
  File file(H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT));
  if (!file.ok()) {
    *error = reason("cannot open " + name + " for writing");
    return nullptr;
  }
  const hsize_t dims[2] = {0, kChannels};
  const hsize_t max_dims[2] = {H5S_UNLIMITED, kChannels};
  const hsize_t chunk[2] = {kChunkFrames, kChannels};
  Space space(H5Screate_simple(2, dims, max_dims));
  Plist create(H5Pcreate(H5P_DATASET_CREATE));
  if (!space.ok() || !create.ok() || H5Pset_chunk(create.get(), 2, chunk) < 0) {
    *error = reason("cannot set up " + name);
    return nullptr;
  }
  Dataset data(H5Dcreate2(file.get(), "time_data", H5T_IEEE_F32LE, space.get(), H5P_DEFAULT,
                          create.get(), H5P_DEFAULT));
  // The rate as a float, where readers of this layout look for it.
  if (!data.ok() ||
      !set_attribute(data.get(), "sample_freq", H5T_NATIVE_DOUBLE, static_cast<double>(rate)) ||
      H5Fflush(file.get(), H5F_SCOPE_LOCAL) < 0) {
    *error = reason("cannot write " + name);
    return nullptr;
  }
  auto sink = std::make_unique<H5Sink>(std::move(file), std::move(data), name);
  sink->note_losses(Losses{});
  return sink;
}

}  // namespace zelrecord
