// lt7911-sim run with a real mount, used by real processes: cat, echo, a Python poller, the
// monitor, bind/unbind and rmmod while status is held open, malformed control writes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "tests/support/process.h"
#include "tests/support/shell.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

using testing_support::Cmd;
using testing_support::sh;
using testing_support::write_result;

class SimMount : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "/dev/fuse is not available";
    const char* build = std::getenv("LT_BUILD_DIR");
    if (!build) GTEST_SKIP() << "LT_BUILD_DIR is not set (run through ctest)";
    bin_ = std::string(build) + "/bin/";
    char tmpl[] = "/tmp/lt7911-sim-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    std::filesystem::permissions(dir_, std::filesystem::perms(0755));
    start();
  }
  // Starts the simulator on dir_ and waits for its ready line.
  void start() {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[1], 1);
      close(fds[0]);
      std::string sim = bin_ + "lt7911-sim";
      execl(sim.c_str(), sim.c_str(), "run", "--mount", dir_.c_str(), nullptr);
      _exit(127);
    }
    close(fds[1]);
    if (out_) fclose(out_);
    out_ = fdopen(fds[0], "r");
    char line[512];
    ASSERT_NE(fgets(line, sizeof line, out_), nullptr);
    ASSERT_THAT(line, HasSubstr("ready"));
    // The bind's own status run publishes shortly after the mount is ready; a test that starts
    // a poller or the monitor before it would see that publication as its first change. The
    // run is done once the audio text reads and is no longer the bring-up's "disappear" (the
    // run stores it after its wake-up). A file that does not read yet is not done either.
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::string asr;
    do {
      std::ifstream f(p("/proc/lt7911_info/asr"));
      asr.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    } while ((asr.empty() || asr == "disappear\n") && std::chrono::steady_clock::now() < until);
    ASSERT_FALSE(asr.empty() || asr == "disappear\n") << "the bind's status run did not publish";
  }
  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int st = 0;
      waitpid(pid_, &st, 0);
      EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "the simulator did not stop cleanly";
    }
    if (out_) fclose(out_);
    if (!dir_.empty()) std::filesystem::remove(dir_);
  }
  std::string p(const std::string& rel) { return dir_ + rel; }
  // The start of a Python program that opens the status file, reads it and registers it for
  // POLLPRI in `po`.
  std::string python_poller(const std::string& open_mode) {
    return "import select,os\n"
           "fd=os.open('" +
           p("/proc/lt7911_info/status") + "'," + open_mode +
           ")\n"
           "os.read(fd,64)\n"
           "po=select.poll(); po.register(fd,select.POLLPRI)\n";
  }
  std::string bin_, dir_;
  pid_t pid_ = -1;
  FILE* out_ = nullptr;
};

TEST_F(SimMount, EveryFileReadsAfterBringUp) {
  std::string d = p("/proc/lt7911_info/");
  Cmd c = sh("cd " + d +
             " && for f in status width height fps hdcp asr power version; do "
             "printf \"%s=\" $f; cat $f; done");
  EXPECT_EQ(c.out,
            "status=disappear\nwidth=0\nheight=0\nfps=0\nhdcp=no hdcp\nasr=0\n"
            "power=on\nversion=unknown\n");
  EXPECT_EQ(sh("cat " + p("/sys/module/lt7911_manage/parameters/force_width")).out, "-1\n");
  EXPECT_THAT(sh("cat " + p("/kernel.log")).out, HasSubstr("] Chip: LT7911D\n"));
}

TEST_F(SimMount, PlugWakesAPythonPollerAndOkMakesItStable) {
  std::string script = python_poller("os.O_RDWR") +
                       "print('ready',flush=True)\n"
                       "ev=po.poll(15000)\n"
                       "os.lseek(fd,0,0)\n"
                       "print(bool(ev and ev[0][1] & select.POLLPRI), os.read(fd,64),flush=True)\n";
  FILE* py = popen(("timeout 30 python3 -c \"" + script + "\"").c_str(), "r");
  char line[256];
  ASSERT_NE(fgets(line, sizeof line, py), nullptr);
  // The poller may not be inside poll() yet; the change stays pending for it either way.
  EXPECT_EQ(sh("echo plug 1920x1080@60 > " + p("/sim/hdmi")).code, 0);
  ASSERT_NE(fgets(line, sizeof line, py), nullptr);
  pclose(py);
  EXPECT_STREQ(line, "True b'new res\\n'\n");
  EXPECT_EQ(sh("cat " + p("/proc/lt7911_info/width")).out, "1920\n");
  EXPECT_EQ(sh("echo ok > " + p("/proc/lt7911_info/status")).code, 0);
  EXPECT_EQ(sh("cat " + p("/proc/lt7911_info/status")).out, "stable\n");
  EXPECT_EQ(sh("echo off > " + p("/proc/lt7911_info/power")).code, 0);
  EXPECT_EQ(sh("cat " + p("/proc/lt7911_info/power") + " " + p("/proc/lt7911_info/status")).out,
            "off\ndisappear\n");
}

// A board that binds with a source already plugged reports it without any further event.
TEST_F(SimMount, SourcePresentAtBindIsReported) {
  EXPECT_EQ(sh("echo plug 1920x1080@60 > " + p("/sim/hdmi")).code, 0);
  EXPECT_EQ(write_result(p("/sys/bus/i2c/drivers/lt7911_manage/unbind"), "4-002b"), "6\n");
  EXPECT_EQ(write_result(p("/sys/bus/i2c/drivers/lt7911_manage/bind"), "4-002b"), "6\n");
  // The bind's own run takes tens of milliseconds of board time after the bind returns.
  std::string texts;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (
      (texts =
           sh("cat " + p("/proc/lt7911_info/status") + " " + p("/proc/lt7911_info/width")).out) !=
          "new res\n1920\n" &&
      std::chrono::steady_clock::now() < deadline) {
  }
  EXPECT_EQ(texts, "new res\n1920\n");
}

// A program blocked in poll() on the status file through the mount hears the chip go away.
TEST_F(SimMount, APollerHangsUpAtUnbindAndTheModuleUnloads) {
  std::string script =
      python_poller("os.O_RDONLY") +
      "print(os.getpid(),flush=True)\n"
      "ev=po.poll(15000)\n"
      "print(ev and (ev[0][1] & (select.POLLERR|select.POLLHUP)) != 0,flush=True)\n";
  FILE* py = popen(("timeout 30 python3 -c \"" + script + "\"").c_str(), "r");
  char line[256];
  ASSERT_NE(fgets(line, sizeof line, py), nullptr);
  // Unbind only once it sleeps in poll(), as the kernel shows in its wait channel ("0" while it
  // runs).
  const std::string wchan = "/proc/" + std::to_string(std::atoi(line)) + "/wchan";
  std::string where;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while ((where = sh("cat " + wchan).out).find("poll") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
  }
  if (where.find("poll") == std::string::npos) {
    pclose(py);
    GTEST_SKIP() << "this kernel does not show where a process sleeps (" << wchan << ")";
  }
  EXPECT_EQ(write_result(p("/sys/bus/i2c/drivers/lt7911_manage/unbind"), "4-002b"), "6\n");
  ASSERT_NE(fgets(line, sizeof line, py), nullptr);
  pclose(py);
  EXPECT_STREQ(line, "True\n");
  EXPECT_EQ(write_result(p("/sim/module"), "rmmod"), "5\n");
  EXPECT_THAT(sh("cat " + p("/kernel.log")).out, Not(HasSubstr("WARNING")));
}

TEST_F(SimMount, MonitorJsonFollowsAScriptedSession) {
  FILE* mon = popen(
      (bin_ + "lt7911-monitor --root " + dir_ + " --json --ack --count 3 --timeout 20").c_str(),
      "r");
  char line[512];
  ASSERT_NE(fgets(line, sizeof line, mon), nullptr);
  EXPECT_THAT(line, HasSubstr("\"status\":\"disappear\""));
  EXPECT_EQ(sh("echo plug 1280x720@60 > " + p("/sim/hdmi")).code, 0);
  std::string rest;
  while (fgets(line, sizeof line, mon)) rest += line;
  EXPECT_EQ(WEXITSTATUS(pclose(mon)), 0);
  EXPECT_THAT(rest, HasSubstr("\"status\":\"new res\",\"width\":1280,\"height\":720,\"fps\":60"));
  EXPECT_THAT(rest, HasSubstr("\"acked\":true"));
  EXPECT_THAT(rest, HasSubstr("\"status\":\"stable\""));
}

TEST_F(SimMount, UnbindAndRmmodWhileStatusIsHeldOpen) {
  FILE* holder =
      popen(("exec 3<" + p("/proc/lt7911_info/status") + "; read x; cat <&3").c_str(), "w");
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::string r;
  while ((r = write_result(p("/sim/module"), "rmmod")) != "EBUSY\n" &&
         std::chrono::steady_clock::now() < deadline) {
  }
  if (r != "EBUSY\n") {
    fputs("go\n", holder);
    pclose(holder);
    FAIL() << "rmmod while status is open gave " << r;
  }
  EXPECT_EQ(sh("echo 4-002b > " + p("/sys/bus/i2c/drivers/lt7911_manage/unbind")).code, 0);
  EXPECT_FALSE(std::filesystem::exists(p("/proc/lt7911_info/status")));
  fputs("go\n", holder);
  pclose(holder);
  deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while ((r = write_result(p("/sim/module"), "rmmod")) != "5\n" &&
         std::chrono::steady_clock::now() < deadline) {
  }
  EXPECT_EQ(r, "5\n");
  EXPECT_FALSE(std::filesystem::exists(p("/sys/module/lt7911_manage")));
  EXPECT_EQ(sh("echo insmod force_fps=30 > " + p("/sim/module")).code, 0);
  EXPECT_EQ(sh("cat " + p("/sys/module/lt7911_manage/parameters/force_fps")).out, "30\n");
  EXPECT_EQ(sh("cat " + p("/proc/lt7911_info/status")).out, "disappear\n");
}

TEST_F(SimMount, MonitorSaysWhenTheDirectoryVanishesAndComesBack) {
  testing_support::Child mon;
  ASSERT_TRUE(mon.start({bin_ + "lt7911-monitor", "--root", dir_, "--timeout", "60"}));
  EXPECT_THAT(mon.line().value_or(""), HasSubstr("disappear: 0x0 @ 0 fps"));
  EXPECT_EQ(write_result(p("/sys/bus/i2c/drivers/lt7911_manage/unbind"), "4-002b"), "6\n");
  EXPECT_THAT(mon.line().value_or(""), HasSubstr("/proc/lt7911_info vanished"));
  EXPECT_EQ(write_result(p("/sys/bus/i2c/drivers/lt7911_manage/bind"), "4-002b"), "6\n");
  EXPECT_THAT(mon.line().value_or(""), HasSubstr("/proc/lt7911_info is back"));
  EXPECT_EQ(sh("echo plug 1080p60 > " + p("/sim/hdmi")).code, 0);
  // State lines may come between (the start texts, and the bind's own run that publishes what
  // the chip sees); the new input follows.
  std::optional<std::string> line;
  while ((line = mon.line()) && line->find("new res") == std::string::npos) {
  }
  EXPECT_THAT(line.value_or(""), HasSubstr("new res: 1920x1080 @ 60 fps"));
  mon.signal(SIGTERM);
  std::optional<int> st = mon.wait_exit();
  ASSERT_TRUE(st);
  EXPECT_EQ(testing_support::Child::code_of(*st), 0);
}

TEST_F(SimMount, AKilledRunLeavesAStaleMountThatTheNextRunCleansUp) {
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
  EXPECT_NE(sh("ls " + dir_).code, 0);  // Transport endpoint is not connected
  start();
  EXPECT_EQ(sh("cat " + p("/proc/lt7911_info/status")).out, "disappear\n");
}

TEST_F(SimMount, MalformedControlWritesFailWithEinvalAndChangeNothing) {
  for (const char* bad : {"plug 1920x1080@61.5x", "plug timing 1 2 3", "replug", "plug"}) {
    EXPECT_EQ(write_result(p("/sim/hdmi"), bad), "EINVAL\n") << bad;
  }
  EXPECT_EQ(sh("cat " + p("/sim/hdmi")).out, "unplugged\n");
  EXPECT_EQ(write_result(p("/sim/audio"), "300"), "EINVAL\n");
  EXPECT_EQ(write_result(p("/sim/faults"), "bogus_call nth=0"), "EINVAL\n");
  EXPECT_EQ(sh("cat " + p("/sim/faults")).out, "");
  EXPECT_EQ(sh("echo kzalloc times=2 error=ENOMEM > " + p("/sim/faults")).code, 0);
  EXPECT_EQ(write_result(p("/sim/faults"), "bus eio bank=0xd2 fraction=2"), "EINVAL\n");
  EXPECT_EQ(sh("echo bus noack bank=0xd2 reg=0x96 dir=read > " + p("/sim/faults")).code, 0);
  EXPECT_EQ(sh("cat " + p("/sim/faults")).out,
            "kzalloc nth=1 times=2 error=-ENOMEM\n"
            "bus noack bank=0xd2 reg=0x96 dir=read nth=1 times=1\n");
  EXPECT_EQ(sh("echo clear > " + p("/sim/faults")).code, 0);
  EXPECT_EQ(sh("cat " + p("/sim/faults")).out, "");
}

TEST_F(SimMount, TimelineFilesShowTheRunAsItHappened) {
  // The monitor waits in poll() when the source is plugged in, and ends after the change. It is
  // in poll() once the kernel shows it blocked in the poll or ppoll system call (7, 271): its
  // poll request has reached the mount by then.
  FILE* mon =
      popen(("echo $$; exec " + bin_ + "lt7911-monitor --root " + dir_ + " --count 2 --timeout 20")
                .c_str(),
            "r");
  char line[512];
  ASSERT_NE(fgets(line, sizeof line, mon), nullptr);
  const std::string syscall = "/proc/" + std::to_string(std::atoi(line)) + "/syscall";
  ASSERT_NE(fgets(line, sizeof line, mon), nullptr);  // the state at start
  auto in_poll = [&] {
    std::ifstream f(syscall);
    std::string nr;
    f >> nr;
    return nr == "7" || nr == "271";
  };
  // Seen once is enough: a wake-up that finds nothing new may take the monitor out of the
  // system call for a moment before it polls again.
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  bool polling = false;
  while (!(polling = in_poll()) && std::chrono::steady_clock::now() < until) {
  }
  ASSERT_TRUE(polling);
  EXPECT_EQ(sh("echo plug 1920x1080@60 > " + p("/sim/hdmi")).code, 0);
  while (fgets(line, sizeof line, mon)) {
  }
  EXPECT_EQ(WEXITSTATUS(pclose(mon)), 0);

  // The work goes on a little after its publication; the picture is still once it is done.
  std::string text;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while ((text = sh("cat " + p("/sim/timeline.txt")).out).find("get_hdmi_info_handler done") ==
             std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
  }
  EXPECT_THAT(text, HasSubstr("] control  hdmi plug 1920x1080@60\n"));
  EXPECT_THAT(text, HasSubstr("] work     get_hdmi_info_handler starts on kworker/0:0\n"));
  EXPECT_THAT(text, HasSubstr("(lt7911-monitor) woken by queue 1\n"));
  EXPECT_THAT(sh("cat " + p("/sim/timeline")).out, HasSubstr("recording, "));
  // The same transactions in the text and in the waveform, as sigrok decodes it.
  Cmd transfers = sh("grep -c \"] i2c-4 \" " + p("/sim/timeline.txt"));
  Cmd stops = sh("sigrok-cli -I vcd:compress=1000 -i " + p("/sim/bus.vcd") +
                     " -P i2c:scl=SCL:sda=SDA -A i2c=addr-data | grep -c Stop",
                 60);
  EXPECT_GT(std::stoi(transfers.out), 20);
  EXPECT_EQ(stops.out, transfers.out);
  EXPECT_EQ(
      sh("python3 -c \"import json,sys; json.load(open(sys.argv[1]))\" " + p("/sim/timeline.json"))
          .code,
      0);
  EXPECT_EQ(sh("rsvg-convert " + p("/sim/timeline.svg") + " > /dev/null", 60).code, 0);
  EXPECT_NE(write_result(p("/sim/timeline.svg"), "x"), "1\n");
  EXPECT_EQ(write_result(p("/sim/timeline"), "sometimes"), "EINVAL\n");
}

TEST_F(SimMount, ModesHoldForAUserWhoIsNotRoot) {
  if (system("command -v setpriv >/dev/null 2>&1") != 0) GTEST_SKIP() << "setpriv is missing";
  if (geteuid() != 0) GTEST_SKIP() << "switching to another user needs root";
  const std::string nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  EXPECT_EQ(sh(nobody + "cat " + p("/proc/lt7911_info/fps")).out, "0\n");
  EXPECT_NE(sh(nobody + "sh -c \"echo 5 > " + p("/proc/lt7911_info/fps") + "\"").code, 0);
  EXPECT_EQ(sh(nobody + "sh -c \"echo off > " + p("/proc/lt7911_info/power") + "\"").code, 0);
  EXPECT_NE(
      sh(nobody + "sh -c \"echo 1 > " + p("/sys/module/lt7911_manage/parameters/force_fps") + "\"")
          .code,
      0);
}

// The host's kernel caches the mount's entries and attributes; what the driver removes must be
// gone at once, what it creates there at once, and kernel.log's size must follow the log.
TEST_F(SimMount, CachedEntriesComeAndGoWithTheDriverAndTheLogSizeFollows) {
  namespace fs = std::filesystem;
  const std::string info = p("/proc/lt7911_info"), status = info + "/status";
  const std::string param = p("/sys/module/lt7911_manage/parameters/force_width");
  // Looked up twice, so that entries and attributes are held by the host's kernel.
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(fs::is_directory(info));
    ASSERT_TRUE(fs::is_regular_file(status));
    ASSERT_TRUE(fs::is_regular_file(param));
    ASSERT_EQ(sh("cat " + status).out, "disappear\n");
  }
  EXPECT_EQ(write_result(p("/sys/bus/i2c/drivers/lt7911_manage/unbind"), "4-002b"), "6\n");
  EXPECT_FALSE(fs::exists(status));
  EXPECT_FALSE(fs::exists(info));
  EXPECT_THAT(sh("cat " + status + " 2>&1").out, HasSubstr("No such file or directory"));
  EXPECT_NE(sh("ls " + info).code, 0);
  EXPECT_TRUE(fs::exists(param)) << "the module is still loaded";
  EXPECT_EQ(write_result(p("/sim/module"), "rmmod"), "5\n");
  EXPECT_FALSE(fs::exists(param));
  EXPECT_FALSE(fs::exists(p("/sys/module/lt7911_manage")));
  EXPECT_EQ(write_result(p("/sim/module"), "insmod force_width=1280"), "23\n");
  EXPECT_TRUE(fs::is_regular_file(status));
  EXPECT_EQ(sh("cat " + param).out, "1280\n");
  EXPECT_EQ(sh("cat " + status).out, "disappear\n");

  // A write that the driver logs at once: the size seen right after it counts the new record.
  const uintmax_t before = fs::file_size(p("/kernel.log"));
  EXPECT_EQ(write_result(p("/proc/lt7911_info/version"), "v2"), "EIO\n");
  const uintmax_t after = fs::file_size(p("/kernel.log"));
  EXPECT_GT(after, before);
  std::ifstream log(p("/kernel.log"), std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text.size(), after);
}

}  // namespace
