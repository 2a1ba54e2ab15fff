// The zelnormalize program as users run it: its lines, exit status, the files
// it leaves behind, and its refusals.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "calibration_reference.hpp"

namespace {

namespace fs = std::filesystem;
using zelnorm_test::Bytes;

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

ToolRun run_tool(const zelnorm_test::TempDir &dir, const std::vector<std::string> &args) {
  const fs::path out = dir / "stdout.txt";
  const fs::path err = dir / "stderr.txt";
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int out_fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err_fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out_fd < 0 || err_fd < 0) _exit(126);
    ::dup2(out_fd, STDOUT_FILENO);
    ::dup2(err_fd, STDERR_FILENO);
    std::vector<char *> argv{const_cast<char *>(ZELNORMALIZE_PATH)};
    for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    ::execv(ZELNORMALIZE_PATH, argv.data());
    _exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ToolRun result;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  const Bytes out_bytes = zelnorm_test::read_file(out);
  const Bytes err_bytes = zelnorm_test::read_file(err);
  result.out.assign(out_bytes.begin(), out_bytes.end());
  result.err.assign(err_bytes.begin(), err_bytes.end());
  fs::remove(out);
  fs::remove(err);
  return result;
}

constexpr const char *kFourLines =
    "Pass 1: Calculating the mean value\n"
    "Pass 2: Calculating the gain factor\n"
    "Writing to disk\n"
    "Exiting with success\n";

class ZelnormalizeTool : public ::testing::Test {
 protected:
  zelnorm_test::TempDir dir_;
  fs::path input_ = dir_ / "in.raw";
  fs::path mean_ = dir_ / "mean";
  fs::path gain_ = dir_ / "gain";

  ToolRun run(const std::vector<std::string> &args) { return run_tool(dir_, args); }
  ToolRun run_on(const Bytes &raw) {
    zelnorm_test::write_file(input_, raw);
    return run({input_, mean_, gain_});
  }
  void expect_failure(const ToolRun &r, const std::string &text) {
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ERROR: " + text + "\n");
  }
};

TEST_F(ZelnormalizeTool, WritesFilesIdenticalToThePlainComputation) {
  ::umask(0);
  for (const std::size_t frames :
       {std::size_t{2}, std::size_t{200}, std::size_t{201}, std::size_t{7001}}) {
    SCOPED_TRACE(frames);
    const Bytes raw =
        zelnorm_test::encode_frames(zelnorm_test::random_samples(frames, 20 + frames));
    const ToolRun r = run_on(raw);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kFourLines);
    EXPECT_EQ(r.err, "");
    const zelnorm_test::Reference ref = zelnorm_test::reference_calibration(raw);
    EXPECT_EQ(zelnorm_test::read_file(mean_), ref.mean_file);
    EXPECT_EQ(zelnorm_test::read_file(gain_), ref.gain_file);
    EXPECT_EQ(fs::status(mean_).permissions(), fs::perms(0666));
    EXPECT_EQ(fs::status(gain_).permissions(), fs::perms(0666));
  }
}

TEST_F(ZelnormalizeTool, WrongArgumentCountPrintsUsageAndCreatesNothing) {
  const std::vector<std::vector<std::string>> calls = {
      {}, {input_}, {input_, mean_}, {input_, mean_, gain_, dir_ / "extra"}};
  zelnorm_test::write_file(input_, Bytes(192 * 4));
  for (const auto &args : calls) {
    SCOPED_TRACE(args.size());
    const ToolRun r = run(args);
    expect_failure(r, "program inputfile.raw meanfile gainfile");
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(fs::exists(mean_));
    EXPECT_FALSE(fs::exists(dir_ / "extra"));
  }
}

TEST_F(ZelnormalizeTool, UnusableInputIsRefusedBeforeAnyOutputExists) {
  expect_failure(run({dir_ / "missing.raw", mean_, gain_}), "Could not open input file, aborting");
  expect_failure(run_on(Bytes(193)),
                 "file size is not a multiple of the zel capture size, aborting");
  // With fewer than two frames every gain would be NaN.
  expect_failure(run_on(Bytes()), "input file holds fewer than two sample frames, aborting");
  expect_failure(run_on(Bytes(192)), "input file holds fewer than two sample frames, aborting");
  EXPECT_FALSE(fs::exists(mean_));
  EXPECT_FALSE(fs::exists(gain_));
}

TEST_F(ZelnormalizeTool, OutputThatCannotBeOpenedStopsTheRun) {
  const Bytes raw = zelnorm_test::encode_frames(zelnorm_test::random_samples(3, 7));
  zelnorm_test::write_file(input_, raw);
  expect_failure(run({input_, dir_ / "no/such/dir/mean", gain_}),
                 "Could not open mean output file, aborting");
  EXPECT_FALSE(fs::exists(gain_));

  zelnorm_test::write_file(mean_, Bytes(256, 1));
  const ToolRun r = run({input_, mean_, dir_ / "no/such/dir/gain"});
  expect_failure(r, "Could not open gain output file, aborting");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(fs::file_size(mean_), 0u);
}

TEST_F(ZelnormalizeTool, FullDiskIsAFailureNotASuccess) {
  const Bytes raw = zelnorm_test::encode_frames(zelnorm_test::random_samples(3, 8));
  zelnorm_test::write_file(input_, raw);
  expect_failure(run({input_, "/dev/full", gain_}), "Could not write mean output file, aborting");
  const ToolRun r = run({input_, mean_, "/dev/full"});
  expect_failure(r, "Could not write gain output file, aborting");
  EXPECT_EQ(r.out,
            "Pass 1: Calculating the mean value\nPass 2: Calculating the gain factor\n"
            "Writing to disk\n");
}

// Naming the input as the mean file truncates the input after its size was
// taken: the passes then find no frames, which must not pass for a result.
TEST_F(ZelnormalizeTool, InputThatShrinksDuringTheRunIsAFailure) {
  zelnorm_test::write_file(input_,
                           zelnorm_test::encode_frames(zelnorm_test::random_samples(300, 9)));
  const ToolRun r = run({input_, input_, gain_});
  expect_failure(r, "input file changed size while being read, aborting");
  EXPECT_EQ(r.out, "Pass 1: Calculating the mean value\n");
}

}  // namespace
