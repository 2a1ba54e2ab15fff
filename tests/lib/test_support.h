// Shared by the unit tests: an owning handle pointer, a status sentinel and stderr capture. The
// handle's state is set through the library's own calls (zelstate.h), never by writing it.
#ifndef ZEL_TESTS_LIB_TEST_SUPPORT_H
#define ZEL_TESTS_LIB_TEST_SUPPORT_H

#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h>

#include "zellib.h"
#include "zelstate.h"

namespace zeltest {

// No call ever stores this, so a status still holding it was not written.
constexpr zelerror unwritten = -12345;

struct HandleDeleter {
  void operator()(zelarray_t *handle) const {
    // A test may leave the handle in a refused state; delete needs any but st_capturing.
    _zelarray_set_state(handle, st_created);
    zelerror err = unwritten;
    zelarray_delete(handle, &err);
  }
};
using Handle = std::unique_ptr<zelarray_t, HandleDeleter>;

inline Handle make_handle(int megabytes, int req_frames) {
  zelerror err = unwritten;
  Handle handle(zelarray_create(megabytes, req_frames, &err));
  if (err != 0) handle.reset();
  return handle;
}

struct FileCloser {
  void operator()(FILE *file) const { fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// A tmpfile holding `bytes`, positioned at its start.
inline File stream_with(const std::string &bytes) {
  File file(tmpfile());
  if (file) {
    fwrite(bytes.data(), 1, bytes.size(), file.get());
    rewind(file.get());
  }
  return file;
}

// Redirects file descriptor 2 into a temporary file for its lifetime; text() returns what the
// library wrote there.
class StderrCapture {
 public:
  StderrCapture() : file_(tmpfile()), saved_(dup(STDERR_FILENO)) {
    fflush(stderr);
    dup2(fileno(file_.get()), STDERR_FILENO);
  }
  ~StderrCapture() { restore(); }
  StderrCapture(const StderrCapture &) = delete;
  StderrCapture &operator=(const StderrCapture &) = delete;

  std::string text() {
    restore();
    std::string out;
    rewind(file_.get());
    char chunk[256];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, file_.get())) > 0) out.append(chunk, n);
    return out;
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    fflush(stderr);
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    saved_ = -1;
  }
  File file_;
  int saved_;
};

}  // namespace zeltest

#endif
