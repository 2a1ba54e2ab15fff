#include "harness.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

extern char **environ;

namespace zeltest {

Child::Child(const std::vector<std::string> &argv, const std::filesystem::path &dir, int stdout_fd)
    : out_path_(dir / ("out." + std::to_string(reinterpret_cast<uintptr_t>(this)))),
      err_path_(dir / ("err." + std::to_string(reinterpret_cast<uintptr_t>(this)))) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (stdout_fd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, stdout_fd, STDOUT_FILENO);
    out_path_.clear();
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path_.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char *> args;
  args.reserve(argv.size() + 1);
  for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  // The child starts with no signal blocked, whatever the test thread has blocked.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
  if (posix_spawn(&pid_, args[0], &actions, &attr, args.data(), environ) != 0) pid_ = -1;
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
}

Child::~Child() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

void Child::signal(int sig) const {
  if (pid_ > 0) kill(pid_, sig);
}

ChildResult Child::wait(std::chrono::milliseconds timeout) {
  ChildResult result;
  if (pid_ <= 0) return result;
  const auto end = std::chrono::steady_clock::now() + timeout;
  int wstatus = 0;
  pid_t done = 0;
  while ((done = waitpid(pid_, &wstatus, WNOHANG)) == 0 && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (done == pid_) {
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    pid_ = -1;
  }
  if (!out_path_.empty()) result.out = read_file(out_path_);
  result.err = read_file(err_path_);
  return result;
}

ChildResult run(const std::vector<std::string> &argv, const std::filesystem::path &dir,
                std::chrono::milliseconds timeout) {
  Child child(argv, dir);
  return child.wait(timeout);
}

std::string read_file(const std::filesystem::path &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::unique_ptr<zelsim::Emulator> start_emulator(zelsim::Config config) {
  auto emulator = std::make_unique<zelsim::Emulator>(std::move(config));
  std::string error;
  if (!emulator->start(&error)) {
    std::fprintf(stderr, "emulator: %s\n", error.c_str());
    return nullptr;
  }
  return emulator;
}

}  // namespace zeltest
