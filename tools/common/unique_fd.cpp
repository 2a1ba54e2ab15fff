#include "unique_fd.h"

#include <unistd.h>

namespace zeltool {

bool UniqueFd::close() {
  const int fd = release();
  return fd < 0 || ::close(fd) == 0;
}

}  // namespace zeltool
