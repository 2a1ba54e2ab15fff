#include "tool_main.h"

#include <pthread.h>

#include <cstdio>

namespace zeltool {

int settle_command_line(const char *program, const std::string &why, bool help,
                        std::string (*usage)()) {
  if (!why.empty()) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", program, why.c_str(),
                 program);
    return 2;
  }
  if (!help) return -1;
  std::fputs(usage().c_str(), stdout);
  return 0;
}

sigset_t block_stop_signals(std::initializer_list<int> also) {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  sigset_t blocked = stop;
  for (int signal : also) sigaddset(&blocked, signal);
  pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
  return stop;
}

}  // namespace zeltool
