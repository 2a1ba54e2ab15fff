// What the tests of the programs share: a scratch folder, child processes with their output in
// files, and the emulated array.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "zelsim.h"

#include "../support/temp_dir.h"

namespace zeltest {

using TempDir = zeltest::TempDir;

struct ChildResult {
  int status = -1;  // exit status; 128 + the signal when a signal ended it
  std::string out;  // standard output, unless it went to a descriptor of the caller
  std::string err;  // standard error
};

// A program started with its standard output and error in files of `dir`, or its standard
// output on `stdout_fd`. A child still running at destruction is killed and reaped.
class Child {
 public:
  Child(const std::vector<std::string> &argv, const std::filesystem::path &dir, int stdout_fd = -1);
  ~Child();
  Child(const Child &) = delete;
  Child &operator=(const Child &) = delete;

  bool started() const { return pid_ > 0; }
  void signal(int sig) const;
  // Waits for the child to end; a child still running after `timeout` is killed and the result
  // has status -1.
  ChildResult wait(std::chrono::milliseconds timeout);

 private:
  std::filesystem::path out_path_;
  std::filesystem::path err_path_;
  pid_t pid_ = -1;
};

ChildResult run(const std::vector<std::string> &argv, const std::filesystem::path &dir,
                std::chrono::milliseconds timeout = std::chrono::seconds(15));

std::string read_file(const std::filesystem::path &path);

// An emulator on 127.0.0.2:32767 with the given signal, started; null when it cannot start
// (the reason is printed).
std::unique_ptr<zelsim::Emulator> start_emulator(zelsim::Config config = {});

}  // namespace zeltest
