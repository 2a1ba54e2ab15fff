// The zelsim program: its options, its exit statuses and its summary.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "cli.h"
#include "fixture.h"

using namespace std::chrono_literals;

extern char **environ;

namespace {

std::string parse_error(const std::vector<std::string> &args) {
  zelsim::cli::Options options;
  return zelsim::cli::parse(args, &options);
}

TEST(ZelsimCommandLine, ParsesEveryOption) {
  zelsim::cli::Options o;
  ASSERT_EQ(zelsim::cli::parse({"--address",
                                "127.0.0.9",
                                "--id=77",
                                "--prom",
                                "P1",
                                "--speed",
                                "22050",
                                "--slave",
                                "--first-frame",
                                "65535",
                                "--signal",
                                "noise",
                                "--drop-every",
                                "10",
                                "--duplicate-every=3",
                                "--rate-multiple",
                                "0",
                                "--duration",
                                "1.5",
                                "--seed",
                                "99"},
                               &o),
            "");
  EXPECT_EQ(o.config.address, "127.0.0.9");
  EXPECT_EQ(o.config.id, 77);
  EXPECT_EQ(o.config.prom, "P1");
  EXPECT_EQ(o.config.speed, 22050);
  EXPECT_TRUE(o.config.slave);
  EXPECT_EQ(o.config.first_frame, 65535);
  EXPECT_EQ(o.config.signal, zelsim::SignalKind::noise);
  EXPECT_EQ(o.config.drop_every, 10);
  EXPECT_EQ(o.config.duplicate_every, 3);
  EXPECT_EQ(o.config.rate_multiple, 0.0);
  EXPECT_EQ(o.duration_s, 1.5);
  EXPECT_EQ(o.config.seed, 99u);
  EXPECT_FALSE(o.help);
  ASSERT_EQ(zelsim::cli::parse({"--help"}, &o), "");
  EXPECT_TRUE(o.help);
}

TEST(ZelsimCommandLine, BadArgumentsGetAMessageNamingThem) {
  const std::vector<std::vector<std::string>> bad = {
      {"--speed", "48000"},
      {"--id", "-1"},
      {"--id", "65536"},
      {"--id", "12x"},
      {"--prom", "123456789"},
      {"--first-frame", "70000"},
      {"--signal", "pink"},
      {"--signal", "file:"},
      {"--signal", "file:/nonexistent"},
      {"--drop-every", "-2"},
      {"--rate-multiple", "-1"},
      {"--rate-multiple", "nan"},
      {"--duration", "0"},
      {"--seed", "-5"},
      {"--address", "localhost"},
      {"--speed"},
      {"--bogus"},
      {"--slave=1"},
  };
  for (const auto &args : bad) {
    std::string why = parse_error(args);
    EXPECT_NE(why.find(args[0].substr(0, args[0].find('='))), std::string::npos)
        << args[0] << " gave: '" << why << "'";
  }
}

struct Outcome {
  int status = -1;  // exit status, or -1 when not exited normally
  std::string out;
  std::string err;
};

class Program {
 public:
  explicit Program(std::vector<std::string> args) {
    std::vector<char *> argv;
    std::string path = ZELSIM_PATH;
    argv.push_back(path.data());
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Program() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    std::remove(out_.c_str());
    std::remove(err_.c_str());
  }
  pid_t pid() const { return pid_; }
  Outcome wait() {
    Outcome run;
    int status = 0;
    if (pid_ > 0 && ::waitpid(pid_, &status, 0) == pid_ && WIFEXITED(status))
      run.status = WEXITSTATUS(status);
    pid_ = -1;
    run.out = slurp(out_);
    run.err = slurp(err_);
    return run;
  }

 private:
  static std::string slurp(const std::string &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::string tag_ = std::to_string(::getpid()) + "_" + std::to_string(counter_++);
  std::string out_ = "/tmp/zelsim_cli_out_" + tag_;
  std::string err_ = "/tmp/zelsim_cli_err_" + tag_;
  pid_t pid_ = -1;
  static inline int counter_ = 0;
};

TEST(ZelsimProgram, BadArgumentsExitWithStatus2AndHelpWith0) {
  Outcome bad = Program({"--speed", "1"}).wait();
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("zelsim: invalid value '1' for --speed"), std::string::npos) << bad.err;
  Outcome help = Program({"--help"}).wait();
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("Usage: zelsim"), std::string::npos);
  Outcome unbindable = Program({"--address", "192.0.2.1"}).wait();
  EXPECT_EQ(unbindable.status, 1);
  EXPECT_NE(unbindable.err.find("bind"), std::string::npos) << unbindable.err;
}

// Asks for the identifiers until the program answers.
bool wait_ready(probe::Probe &p) {
  for (int i = 0; i < 100; ++i)
    if (p.query(kQueryIds, kTypeIds, 50ms)) return true;
  return false;
}

TEST(ZelsimProgram, RunsForItsDurationAndSummarisesFaults) {
  probe::Probe p;
  ASSERT_TRUE(p.ok());
  Program program({"--duration", "0.6", "--drop-every", "2", "--id", "4661"});
  ASSERT_TRUE(wait_ready(p));
  p.request(kSetCapture, kOn);
  auto numbers = probe::numbers_of(p.collect_data(20, 1s));
  ASSERT_EQ(numbers.size(), 20u);
  for (size_t i = 1; i < numbers.size(); ++i) EXPECT_EQ(numbers[i], numbers[i - 1] + 2);
  Outcome run = program.wait();
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.err.find("zelsim: array 4661"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("data datagrams"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("dropped "), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("dropped 0,"), std::string::npos) << run.err;
}

TEST(ZelsimProgram, SigintAndSigtermEndItCleanly) {
  for (int sig : {SIGINT, SIGTERM}) {
    probe::Probe p;
    ASSERT_TRUE(p.ok());
    Program program({});
    ASSERT_TRUE(wait_ready(p));
    ::kill(program.pid(), sig);
    Outcome run = program.wait();
    EXPECT_EQ(run.status, 0) << "signal " << sig;
    EXPECT_NE(run.err.find("replies"), std::string::npos) << run.err;
  }
}

}  // namespace
