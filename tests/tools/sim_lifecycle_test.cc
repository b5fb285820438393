// lt7911-sim run as a user meets it at start and stop, with real processes on a real mount:
// stopping while programs hold the status file or wait in poll(), a second signal, a second run
// on a live mount, a stale mount under a hostile path, readiness, failures that must say why,
// a source present from the start, and a device tree that dtc never finishes.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "board/board.h"
#include "tests/support/sim_process.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using testing_support::Child;
using testing_support::mounted_at;
using testing_support::read_file;
using testing_support::SimProcess;

class SimLifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string why = testing_support::cannot_mount_here(); !why.empty()) GTEST_SKIP() << why;
    base_ = testing_support::scratch_dir("lt7911-life");
    ASSERT_FALSE(base_.empty());
    dir_ = base_ + "/board";
    std::filesystem::create_directory(dir_);
  }
  void TearDown() override { testing_support::remove_scratch(base_); }
  std::string sim() { return testing_support::build_bin() + "lt7911-sim"; }
  std::string p(const std::string& rel) { return dir_ + rel; }
  // A copy of the default board with a text replaced wherever it stands.
  std::string board_with(const std::string& from, const std::string& to) {
    std::string dts = read_file(board::Board::default_dts_path());
    EXPECT_NE(dts.find(from), std::string::npos) << from;
    for (size_t at = dts.find(from); at != std::string::npos; at = dts.find(from, at + to.size())) {
      dts.replace(at, from.size(), to);
    }
    const std::string path = base_ + "/board-" + std::to_string(++boards_) + ".dts";
    std::ofstream(path) << dts;
    return path;
  }
  // A Python program as a child, unbuffered.
  bool python(Child& c, const std::string& program) {
    return c.start({"/usr/bin/python3", "-u", "-c", program});
  }
  std::string base_, dir_;
  int boards_ = 0;
};

// The poller blocks in poll() on status; the holder keeps status open and waits for a signal.
constexpr char kPoller[] = R"(
import os, select, errno
fd = os.open(DIR + '/proc/lt7911_info/status', os.O_RDWR)
os.read(fd, 64)
p = select.poll(); p.register(fd, select.POLLPRI)
print('polling')
ev = p.poll(60000)
names = [n for n in ('POLLPRI', 'POLLERR', 'POLLHUP') if ev and ev[0][1] & getattr(select, n)]
print('woke', ' '.join(names) if ev else 'timeout')
try:
    os.lseek(fd, 0, 0); os.read(fd, 64); print('read ok')
except OSError as e:
    print('read', errno.errorcode[e.errno])
)";

constexpr char kHolder[] = R"(
import os, signal
fd = os.open(DIR + '/proc/lt7911_info/status', os.O_RDONLY)
print('holding')
signal.pause()
)";

std::string with_dir(const char* program, const std::string& dir) {
  return "DIR = '" + dir + "'\n" + program;
}

TEST_F(SimLifecycle, StopsWhileProgramsHoldTheStatusFileOrWaitInPoll) {
  SimProcess s;
  ASSERT_TRUE(s.start(dir_, {"--echo-log"}));
  Child poller, holder;
  ASSERT_TRUE(python(poller, with_dir(kPoller, dir_)));
  ASSERT_TRUE(python(holder, with_dir(kHolder, dir_)));
  EXPECT_EQ(poller.line(), "polling");
  EXPECT_EQ(holder.line(), "holding");
  s.child.signal(SIGTERM);
  std::optional<int> st = s.child.wait_exit(20'000);
  ASSERT_TRUE(st) << "the simulator did not stop";
  EXPECT_EQ(Child::code_of(*st), 0);
  // The blocked caller gets an error, as from a device that went away.
  std::optional<std::string> woke = poller.line();
  ASSERT_TRUE(woke);
  EXPECT_THAT(*woke, HasSubstr("POLLERR"));
  // ENODEV while the mount still serves, ENOTCONN once it is gone, ECONNABORTED for a read the
  // stop's abort of the FUSE connection caught in flight.
  EXPECT_THAT(poller.line(), ::testing::Optional(::testing::AnyOf("read ENOTCONN", "read ENODEV",
                                                                  "read ECONNABORTED")));
  EXPECT_FALSE(mounted_at(dir_));
  EXPECT_THAT(s.child.rest_of_stdout(), HasSubstr("lt7911-sim: stopped"));
  EXPECT_THAT(s.child.rest_of_stderr(), HasSubstr("GPIO-I2C interrupt module unloaded"));
}

TEST_F(SimLifecycle, ASecondSignalExitsAtOnce) {
  SimProcess s;
  ASSERT_TRUE(s.start(dir_));
  // Both signals are pending before the simulator runs again: the first starts the stop, the
  // second ends the process there and then.
  s.child.signal(SIGSTOP);
  s.child.signal(SIGINT);
  s.child.signal(SIGTERM);
  s.child.signal(SIGCONT);
  std::optional<int> st = s.child.wait_exit(20'000);
  ASSERT_TRUE(st);
  EXPECT_EQ(Child::code_of(*st), 128 + SIGTERM);
  EXPECT_THAT(s.child.rest_of_stderr(), HasSubstr("second signal: exiting at once"));
  EXPECT_FALSE(mounted_at(dir_)) << "the mount is detached on the way out";
}

TEST_F(SimLifecycle, ASecondRunOnALiveMountIsRefused) {
  SimProcess first;
  ASSERT_TRUE(first.start(dir_));
  Child second;
  ASSERT_TRUE(second.start({sim(), "run", "--mount", dir_}));
  std::optional<int> st = second.wait_exit();
  ASSERT_TRUE(st);
  EXPECT_EQ(Child::code_of(*st), 1);
  EXPECT_THAT(second.rest_of_stderr(),
              HasSubstr("is mounted by a running lt7911-sim (pid " +
                        std::to_string(first.child.pid()) + "); stop it first"));
  EXPECT_EQ(read_file(p("/proc/lt7911_info/status")), "disappear\n") << "the first still serves";
  first.child.signal(SIGTERM);
  ASSERT_TRUE(first.child.wait_exit());
}

TEST_F(SimLifecycle, AStaleMountUnderAHostilePathIsCleanedUpWithoutAShell) {
  const std::string hostile = base_ + "/b'; touch INJECTED; echo '";
  std::filesystem::create_directory(hostile);
  Child::Options in_base;
  in_base.cwd = base_;
  {
    SimProcess killed;
    ASSERT_TRUE(killed.start(hostile, {}, in_base));
    killed.child.signal(SIGKILL);
    ASSERT_TRUE(killed.child.wait_exit());
  }
  EXPECT_TRUE(mounted_at(hostile)) << "a killed run leaves its mount behind";
  SimProcess next;
  ASSERT_TRUE(next.start(hostile, {}, in_base));
  EXPECT_EQ(read_file(hostile + "/proc/lt7911_info/status"), "disappear\n");
  next.child.signal(SIGINT);
  ASSERT_TRUE(next.child.wait_exit());
  EXPECT_FALSE(mounted_at(hostile));
  EXPECT_FALSE(std::filesystem::exists(base_ + "/INJECTED"));
}

TEST_F(SimLifecycle, BackgroundRunReturnsOnceServingAndWritesItsPidFile) {
  const std::string pidfile = base_ + "/sim.pid";
  Child launcher;
  ASSERT_TRUE(
      launcher.start({sim(), "run", "--mount", dir_, "--background", "--pidfile", pidfile}));
  std::optional<int> st = launcher.wait_exit(30'000);
  ASSERT_TRUE(st);
  ASSERT_EQ(Child::code_of(*st), 0) << launcher.rest_of_stderr();
  // Serving when it returned: the files are there without waiting.
  EXPECT_EQ(read_file(p("/proc/lt7911_info/status")), "disappear\n");
  const pid_t pid = std::atoi(read_file(pidfile).c_str());
  ASSERT_GT(pid, 0);
  EXPECT_NE(pid, launcher.pid());
  int pidfd = testing_support::pidfd_of(pid);
  ASSERT_GE(pidfd, 0);
  kill(pid, SIGTERM);
  EXPECT_TRUE(testing_support::readable(pidfd, 20'000)) << "the server did not stop";
  close(pidfd);
  EXPECT_FALSE(std::filesystem::exists(pidfile));
  EXPECT_FALSE(mounted_at(dir_));
}

struct Failure {
  const char* name;
  std::vector<std::string> args;  // after run --mount DIR; "BOARD" is the bad board
  std::vector<std::string> said;
};

TEST_F(SimLifecycle, WhatDidNotHappenIsSaidOnStderrWithTheKernelsLines) {
  const std::string bad_board =
      board_with("irq-gpio = <&gpio1 12 0>;", "irq-gpio = <&gpio1 40 0>;");
  const Failure failures[] = {
      {"unbound",
       {"--board", "BOARD"},
       {"lt7911_manage did not bind to 4-002b", "line 40 is out of range",
        "] lt7911_manage: probe of 4-002b failed with error -22"}},
      {"bad value",
       {"--param", "force_width=abc"},
       {"insmod lt7911_manage failed: Invalid argument",
        "] lt7911_manage: `abc' invalid for parameter `force_width'"}},
      {"unknown",
       {"--param", "bogus=1"},
       {"lt7911_manage has no parameter bogus (it has force_width, force_height, force_fps)",
        "] lt7911_manage: unknown parameter 'bogus' ignored"}},
  };
  for (const Failure& f : failures) {
    std::vector<std::string> argv = {sim(), "run", "--mount", dir_};
    for (const std::string& a : f.args) argv.push_back(a == "BOARD" ? bad_board : a);
    Child c;
    ASSERT_TRUE(c.start(argv));
    std::optional<int> st = c.wait_exit();
    ASSERT_TRUE(st) << f.name;
    EXPECT_EQ(Child::code_of(*st), 1) << f.name;
    const std::string err = c.rest_of_stderr();
    for (const std::string& s : f.said) EXPECT_THAT(err, HasSubstr(s)) << f.name;
    EXPECT_THAT(c.rest_of_stdout(), Not(HasSubstr("ready"))) << f.name;
    EXPECT_FALSE(mounted_at(dir_)) << f.name;
  }
}

TEST_F(SimLifecycle, ARefusedControlWriteSaysWhyOnTheSimulatorsStderr) {
  SimProcess s;
  ASSERT_TRUE(s.start(dir_));
  int fd = open(p("/sim/hdmi").c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(write(fd, "plug 1080i60\n", 13), -1);
  EXPECT_EQ(errno, EINVAL);
  close(fd);
  EXPECT_EQ(s.child.err_line(),
            "lt7911-sim: sim/hdmi: 'plug 1080i60' refused (Invalid argument): '1080i60' is "
            "interlaced: the board's sources are progressive only (try 1080p60)");
  s.child.signal(SIGTERM);
  ASSERT_TRUE(s.child.wait_exit());
}

TEST_F(SimLifecycle, PlugStartsWithASourcePresent) {
  SimProcess s;
  ASSERT_TRUE(s.start(dir_, {"--plug", "1080p60"}));
  EXPECT_THAT(read_file(p("/sim/hdmi")), HasSubstr("1920x1080@60.00"));
  // Ready once the bind has reported the source it found.
  EXPECT_EQ(read_file(p("/proc/lt7911_info/status")), "new res\n");
  EXPECT_EQ(read_file(p("/proc/lt7911_info/width")), "1920\n");
  s.child.signal(SIGTERM);
  ASSERT_TRUE(s.child.wait_exit());
}

// The pid of a process whose command line holds text, looked for until found or timeout_ms.
pid_t find_process(const std::string& text, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    for (const auto& e : std::filesystem::directory_iterator("/proc")) {
      const std::string name = e.path().filename().string();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      std::string cmd;
      try {
        cmd = read_file(e.path().string() + "/cmdline");
      } catch (const std::exception&) {
        continue;  // the process ended while its command line was read (ESRCH)
      }
      if (cmd.find(text) != std::string::npos && cmd.find("lt7911-sim") == std::string::npos) {
        return std::atoi(name.c_str());
      }
    }
  }
  return -1;
}

TEST_F(SimLifecycle, ADeviceTreeThatDtcNeverFinishesIsRefusedAndLeavesNothingBehind) {
  const std::string spin = board_with("#gpio-cells = <2>;", "#gpio-cells = <0xffffffff>;");
  const std::string tmp = base_ + "/tmp";
  std::filesystem::create_directory(tmp);
  Child::Options o;
  o.env = {"TMPDIR=" + tmp};
  Child c;
  ASSERT_TRUE(c.start({sim(), "run", "--mount", dir_, "--board", spin, "--dtc-timeout", "1"}, o));
  std::optional<int> st = c.wait_exit(30'000);
  ASSERT_TRUE(st);
  EXPECT_EQ(Child::code_of(*st), 1);
  EXPECT_THAT(c.rest_of_stderr(), HasSubstr("dtc did not finish " + spin + " within 1 s"));
  EXPECT_TRUE(std::filesystem::is_empty(tmp));
  EXPECT_EQ(find_process(spin, 0), -1);

  // Stopped while dtc runs: the simulator ends at once and dtc goes with it.
  Child waiting;
  ASSERT_TRUE(waiting.start({sim(), "run", "--mount", dir_, "--board", spin}, o));
  pid_t dtc = find_process(spin, 20'000);
  ASSERT_GT(dtc, 0);
  int dtc_fd = testing_support::pidfd_of(dtc);
  ASSERT_GE(dtc_fd, 0);
  waiting.signal(SIGTERM);
  st = waiting.wait_exit();
  ASSERT_TRUE(st);
  EXPECT_EQ(Child::code_of(*st), 128 + SIGTERM);
  EXPECT_THAT(waiting.rest_of_stderr(), HasSubstr("interrupted while starting"));
  EXPECT_TRUE(testing_support::readable(dtc_fd, 20'000)) << "dtc outlived the simulator";
  close(dtc_fd);
  EXPECT_TRUE(std::filesystem::is_empty(tmp));
  EXPECT_FALSE(mounted_at(dir_));
}

}  // namespace
