// A file descriptor with one owner: closed when its owner goes, handed on only by moving.
#pragma once

namespace zeltool {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
  UniqueFd &operator=(UniqueFd &&other) noexcept {
    if (this != &other) {
      reset();
      fd_ = other.release();
    }
    return *this;
  }
  UniqueFd(const UniqueFd &) = delete;
  UniqueFd &operator=(const UniqueFd &) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes now, whatever close says.
  void reset() { [[maybe_unused]] bool closed = close(); }
  // Closes now and tells whether close succeeded (true with nothing to close): for a written
  // file a failed close can mean lost data, and errno then says why.
  bool close();

 private:
  int fd_ = -1;
};

}  // namespace zeltool
