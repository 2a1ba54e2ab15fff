// Internal records of the beamforming library: the geometry, aligned buffers and status helpers
// shared by its source files.
#ifndef ZELBEAM_BEAM_INTERNAL_H
#define ZELBEAM_BEAM_INTERNAL_H

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "zelbeam.h"

struct zelbeam_geometry {
  std::vector<double> x, y, z;  // one per channel, in channel order
  std::vector<char> left_out;   // 1 for a channel that takes no part
};

// Writes a status where the caller gave somewhere to write it; each public call does this once.
inline void zelbeam_report(zelbeam_error *err, int code) {
  if (err != nullptr) *err = code;
}

namespace zelbeam_detail {

// A zeroed array of floats or doubles aligned for the widest vector unit; empty until allocated.
// allocate() reports failure by returning false, so no allocation ever throws.
template <class T>
class Buffer {
 public:
  Buffer() = default;
  Buffer(const Buffer &) = delete;
  Buffer &operator=(const Buffer &) = delete;
  Buffer(Buffer &&other) noexcept { swap(other); }
  Buffer &operator=(Buffer &&other) noexcept {
    swap(other);
    return *this;
  }
  ~Buffer() { std::free(data_); }

  // Makes room for `count` values and zeroes them; keeps the memory when it is large enough.
  bool allocate(size_t count) {
    if (count > capacity_) {
      const size_t bytes = ((count * sizeof(T) + 63) / 64) * 64;
      void *fresh = std::aligned_alloc(64, bytes == 0 ? 64 : bytes);
      if (fresh == nullptr) return false;
      std::free(data_);
      data_ = static_cast<T *>(fresh);
      capacity_ = count;
    }
    size_ = count;
    if (count > 0) std::memset(data_, 0, count * sizeof(T));
    return true;
  }
  void zero() {
    if (size_ > 0) std::memset(data_, 0, size_ * sizeof(T));
  }
  T *data() { return data_; }
  const T *data() const { return data_; }
  size_t size() const { return size_; }
  T &operator[](size_t i) { return data_[i]; }
  const T &operator[](size_t i) const { return data_[i]; }

 private:
  void swap(Buffer &other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
  }
  T *data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

}  // namespace zelbeam_detail

#endif
