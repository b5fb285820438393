// The FUSE bridge with real processes: a small set of /proc entries made here (a status file
// with per-open change tracking and POLLPRI, a read-only text, a failing file), mounted through
// the bridge, and used by cat, echo, a Python poller and a non-root user.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/errno.h"
#include "platform/host/vfs.h"
#include "platform/printk.h"
#include "platform/procfs.h"
#include "platform/slab.h"
#include "tests/support/kernel_test.h"
#include "tests/support/shell.h"
#include "tools/sim/fuse_bridge.h"

namespace {

using ::testing::HasSubstr;

// The entries' state; touched by handlers on FUSE threads and by the test.
std::atomic<int> g_changes{0};
char g_status[16] = "new res\n";
wait_queue_head_t g_queue;

ssize_t status_read(file* f, char __user* buf, size_t count, loff_t* ppos) {
  ssize_t n = simple_read_from_buffer(buf, count, ppos, g_status, strlen(g_status));
  if (n > 0) *static_cast<int*>(f->private_data) = g_changes.load();
  return n;
}
ssize_t status_write(file*, const char __user* buf, size_t count, loff_t*) {
  char b[16] = {};
  if (count > 15) return -EINVAL;
  if (copy_from_user(b, buf, count)) return -EFAULT;
  if (b[0] == 'o' && b[1] == 'k') {
    snprintf(g_status, sizeof g_status, "stable\n");
    g_changes.fetch_add(1);
    wake_up_interruptible(&g_queue);
  }
  return static_cast<ssize_t>(count);
}
__poll_t status_poll(file* f, poll_table* pt) {
  poll_wait(f, &g_queue, pt);
  return *static_cast<int*>(f->private_data) != g_changes.load() ? POLLPRI : 0;
}
int status_open(inode*, file* f) {
  int* seen = static_cast<int*>(kzalloc(sizeof(int), GFP_KERNEL));
  if (!seen) return -ENOMEM;
  *seen = g_changes.load();
  f->private_data = seen;
  return 0;
}
int status_release(inode*, file* f) {
  kfree(f->private_data);
  return 0;
}
ssize_t width_read(file*, char __user* buf, size_t count, loff_t* ppos) {
  return simple_read_from_buffer(buf, count, ppos, "1920\n", 5);
}
ssize_t broken_write(file*, const char __user*, size_t, loff_t*) { return -EIO; }

const file_operations kStatusFops = {.read = status_read,
                                     .write = status_write,
                                     .poll = status_poll,
                                     .open = status_open,
                                     .release = status_release};
const file_operations kWidthFops = {.read = width_read};
const file_operations kBrokenFops = {.read = width_read, .write = broken_write};

using testing_support::Cmd;
using testing_support::sh;
using testing_support::write_result;

class FuseBridgeTest : public testing_support::KernelTest {
 protected:
  host::BootOptions boot_options() override { return {.clock = host::ClockMode::kReal}; }
  void SetUp() override {
    if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "/dev/fuse is not available";
    if (system("command -v fusermount3 >/dev/null 2>&1") != 0) {
      GTEST_SKIP() << "fusermount3 is not installed";
    }
    KernelTest::SetUp();
    g_changes = 0;
    snprintf(g_status, sizeof g_status, "new res\n");
    init_waitqueue_head(&g_queue);
    proc_dir_entry* dir = proc_mkdir("lt7911_info", nullptr);
    ASSERT_NE(dir, nullptr);
    proc_dir_ = dir;
    ASSERT_NE(proc_create("status", 0666, dir, &kStatusFops), nullptr);
    ASSERT_NE(proc_create("width", 0444, dir, &kWidthFops), nullptr);
    ASSERT_NE(proc_create("broken", 0666, dir, &kBrokenFops), nullptr);
    printk(KERN_INFO "bridge test booted\n");
    char tmpl[] = "/tmp/lt7911-fuse-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    chmod(dir_.c_str(), 0755);
    bridge_ = std::make_unique<sim::FuseBridge>(
        kernel().vfs(), kernel().log(),
        std::vector<sim::ControlFile>{{"hdmi", 0666, [this] { return hdmi_ + "\n"; },
                                       [this](const std::string& s) {
                                         if (s != "unplug\n") return -EINVAL;
                                         hdmi_ = "unplugged";
                                         return 0;
                                       }}});
    auto mounted = bridge_->mount(dir_);
    ASSERT_TRUE(mounted) << mounted.error().message;
  }
  void TearDown() override {
    if (bridge_) bridge_->unmount();
    bridge_.reset();
    if (!dir_.empty()) rmdir(dir_.c_str());
    KernelTest::TearDown();
  }
  std::string p(const std::string& rel) { return dir_ + rel; }
  // Waits (bounded) until some poller is registered on the status queue.
  bool poller_registered() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      if (kernel().vfs().wait_queue(&g_queue)->waiters() > 0) return true;
      std::this_thread::yield();
    }
    return false;
  }

  // A Python script run with the test writing its input and reading its output by lines.
  struct Conversation {
    FILE* in = nullptr;
    int out = -1;
    explicit Conversation(const std::string& script) {
      int fds[2];
      if (pipe(fds) != 0) return;
      in = popen(("timeout 30 python3 -c \"" + script + "\" >&" + std::to_string(fds[1])).c_str(),
                 "w");
      close(fds[1]);
      out = fds[0];
    }
    ~Conversation() {
      if (in) pclose(in);
      if (out >= 0) close(out);
    }
    // An unbuffered Python writes a text and its line feed apart: reads to the line's end.
    std::string line() const {
      std::string l;
      char c;
      while (read(out, &c, 1) == 1 && c != '\n') l += c;
      return l;
    }
    void say(const char* text) const {
      fputs(text, in);
      fflush(in);
    }
  };

  // Waits (bounded) until exactly n pollers are registered on the status queue.
  bool pollers_registered(size_t n) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      if (kernel().vfs().wait_queue(&g_queue)->waiters() == n) return true;
      std::this_thread::yield();
    }
    return false;
  }

  std::string dir_;
  proc_dir_entry* proc_dir_ = nullptr;
  std::string hdmi_ = "1920x1080@60";
  std::unique_ptr<sim::FuseBridge> bridge_;
};

TEST_F(FuseBridgeTest, CatShowsTextsModesAndTheKernelLog) {
  Cmd c = sh("cat " + p("/proc/lt7911_info/width") + " " + p("/proc/lt7911_info/status"));
  EXPECT_EQ(c.code, 0);
  EXPECT_EQ(c.out, "1920\nnew res\n");
  c = sh("stat -c \"%a %F\" " + p("/proc/lt7911_info/width") + " " + p("/proc/lt7911_info/status") +
         " " + p("/proc/lt7911_info"));
  EXPECT_EQ(c.out, "444 regular empty file\n666 regular empty file\n555 directory\n");
  c = sh("ls " + p("/") + " " + p("/proc/lt7911_info"));
  EXPECT_THAT(c.out, HasSubstr("kernel.log"));
  EXPECT_THAT(c.out, HasSubstr("broken\nstatus\nwidth"));
  c = sh("cat " + p("/kernel.log"));
  EXPECT_THAT(c.out, HasSubstr("<6>["));
  EXPECT_THAT(c.out, HasSubstr("] bridge test booted\n"));
}

TEST_F(FuseBridgeTest, AnOpenKernelLogReadsWhatIsLoggedPastItsEnd) {
  // kernel.log reads through the page cache: a read past its known end asks for the open
  // file's new size first, by its handle.
  const int fd = open(p("/kernel.log").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  auto read_rest = [fd] {
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    return n < 0 ? "error " + std::string(strerror(errno)) : text;
  };
  EXPECT_THAT(read_rest(), HasSubstr("] bridge test booted\n"));
  struct stat st {};
  ASSERT_EQ(fstat(fd, &st), 0);  // its size was handed out: the next record changes it
  printk(KERN_INFO "logged while it was open\n");
  EXPECT_THAT(read_rest(), HasSubstr("] logged while it was open\n"));
  close(fd);
}

TEST_F(FuseBridgeTest, ReadsHonourFilePositions) {
  Cmd c = sh("dd if=" + p("/proc/lt7911_info/width") + " bs=1 skip=2 status=none");
  EXPECT_EQ(c.out, "20\n");
  c = sh("dd if=" + p("/proc/lt7911_info/width") + " bs=2 count=1 status=none");
  EXPECT_EQ(c.out, "19");
}

TEST_F(FuseBridgeTest, PythonPollerWakesWithPollpriAfterAnOkWrite) {
  std::string script =
      "import select,os\n"
      "fd=os.open('" +
      p("/proc/lt7911_info/status") +
      "',os.O_RDONLY)\n"
      "os.read(fd,64)\n"
      "po=select.poll(); po.register(fd,select.POLLPRI)\n"
      "ev=po.poll(15000)\n"
      "os.lseek(fd,0,0)\n"
      "print(ev[0][1] & select.POLLPRI if ev else 'timeout', os.read(fd,64))\n";
  FILE* py = popen(("timeout 20 python3 -c \"" + script + "\"").c_str(), "r");
  ASSERT_NE(py, nullptr);
  ASSERT_TRUE(poller_registered());
  Cmd c = sh("echo ok > " + p("/proc/lt7911_info/status"));
  EXPECT_EQ(c.code, 0) << c.out;
  char buf[256] = {};
  size_t n = fread(buf, 1, sizeof buf - 1, py);
  pclose(py);
  EXPECT_EQ(std::string(buf, n), "2 b'stable\\n'\n");
}

TEST_F(FuseBridgeTest, APollThatReturnsLeavesNoWaiterBehind) {
  // As poll(2) leaves the wait queues when it returns, a poll answered with what the caller
  // waits for keeps no registration while the file stays open; a remover waiting for the
  // queue to empty is not held up by it.
  std::string script =
      "import select,os,sys\n"
      "fd=os.open('" +
      p("/proc/lt7911_info/status") +
      "',os.O_RDONLY)\n"
      "print('open', flush=True)\n"
      "sys.stdin.readline()\n"
      "po=select.poll(); po.register(fd,select.POLLPRI)\n"
      "ev=po.poll(15000)\n"
      "print(ev[0][1] & select.POLLPRI if ev else 'timeout', flush=True)\n"
      "sys.stdin.readline()\n";
  Conversation py(script);
  ASSERT_NE(py.in, nullptr);
  EXPECT_EQ(py.line(), "open");
  // A change is pending for the open file before it polls: the poll returns at once.
  EXPECT_EQ(write_result(p("/proc/lt7911_info/status"), "ok"), "2\n");
  py.say("poll\n");
  EXPECT_EQ(py.line(), "2");
  EXPECT_EQ(kernel().vfs().wait_queue(&g_queue)->waiters(), 0u);
  EXPECT_GT(kernel().vfs().open_files(), 0u) << "the file is still open";
  py.say("done\n");
}

TEST_F(FuseBridgeTest, ABurstWakesEveryPollerOfManyOpensAgainAndAgain) {
  // More pollers than one notifier serves at a time, each on an open of its own, woken twice:
  // each wake-up reaches every one of them, whether its file was polled again by the bridge or
  // by the caller first, and once all have returned none of them is left registered. Every
  // file has read the text before the writer is told to go, so no change can be missed.
  constexpr int kPollers = 40;
  std::string script =
      "import select,os,threading\n"
      "fds=[os.open('" +
      p("/proc/lt7911_info/status") + "',os.O_RDONLY) for _ in range(" + std::to_string(kPollers) +
      ")]\n"
      "def wait(fd,got):\n"
      " po=select.poll(); po.register(fd,select.POLLPRI)\n"
      " ev=po.poll(15000)\n"
      " if ev and ev[0][1] & select.POLLPRI: got.append(fd)\n"
      "for r in range(2):\n"
      " [os.pread(fd,64,0) for fd in fds]\n"
      " got=[]\n"
      " ts=[threading.Thread(target=wait,args=(fd,got)) for fd in fds]\n"
      " [t.start() for t in ts]\n"
      " print('ready', flush=True)\n"
      " [t.join() for t in ts]\n"
      " print(len(got), flush=True)\n";
  FILE* py = popen(("timeout 30 python3 -c \"" + script + "\"").c_str(), "r");
  ASSERT_NE(py, nullptr);
  char line[64];
  for (int round = 1; round <= 2; ++round) {
    ASSERT_NE(fgets(line, sizeof line, py), nullptr) << "round " << round;
    ASSERT_EQ(std::string(line), "ready\n") << "round " << round;
    ASSERT_TRUE(pollers_registered(kPollers)) << "round " << round;
    EXPECT_EQ(write_result(p("/proc/lt7911_info/status"), "ok"), "2\n");
    ASSERT_NE(fgets(line, sizeof line, py), nullptr) << "round " << round;
    EXPECT_EQ(std::string(line), std::to_string(kPollers) + "\n") << "round " << round;
  }
  EXPECT_TRUE(pollers_registered(0));
  pclose(py);
}

TEST_F(FuseBridgeTest, PollsOfAnOpenFileKeepOneRegistrationThatStillWakesIt) {
  // Polls that find nothing leave the open file one registration, however often it polls, and
  // a change while the caller sleeps in poll() wakes it through that registration.
  std::string script =
      "import select,os,sys\n"
      "fd=os.open('" +
      p("/proc/lt7911_info/status") +
      "',os.O_RDONLY)\n"
      "os.read(fd,64)\n"
      "po=select.poll(); po.register(fd,select.POLLPRI)\n"
      "print(os.getpid(), len(po.poll(0)), len(po.poll(0)), flush=True)\n"
      "sys.stdin.readline()\n"
      "ev=po.poll(15000)\n"
      "print(ev[0][1] & select.POLLPRI if ev else 'timeout', flush=True)\n"
      "sys.stdin.readline()\n";
  Conversation py(script);
  ASSERT_NE(py.in, nullptr);
  const std::string first = py.line();
  EXPECT_THAT(first, testing::EndsWith(" 0 0"));
  EXPECT_EQ(kernel().vfs().wait_queue(&g_queue)->waiters(), 1u);
  py.say("poll\n");
  // The change comes once the caller sleeps in poll() (its wait channel says so), so its poll
  // found nothing and the wake-up has to reach it.
  const std::string wchan = "/proc/" + std::to_string(std::atoi(first.c_str())) + "/wchan";
  std::string where;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while ((where = sh("cat " + wchan).out).find("poll") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
  }
  EXPECT_EQ(kernel().vfs().wait_queue(&g_queue)->waiters(), 1u);
  EXPECT_EQ(write_result(p("/proc/lt7911_info/status"), "ok"), "2\n");
  EXPECT_EQ(py.line(), "2");
  EXPECT_TRUE(pollers_registered(0)) << "the answered poll leaves the queue";
  py.say("done\n");
  if (where.find("poll") == std::string::npos) {
    GTEST_SKIP() << "this kernel does not show where a process sleeps (" << wchan << ")";
  }
}

TEST_F(FuseBridgeTest, HandlerErrorsReachTheWriterAsErrno) {
  EXPECT_EQ(write_result(p("/proc/lt7911_info/broken"), "on"), "EIO\n");
  EXPECT_EQ(write_result(p("/proc/lt7911_info/status"), "0123456789abcdef"), "EINVAL\n");
  EXPECT_STREQ(g_status, "new res\n");
  EXPECT_EQ(write_result(p("/proc/lt7911_info/status"), "ok\\n"), "3\n");
  EXPECT_STREQ(g_status, "stable\n");
}

TEST_F(FuseBridgeTest, ControlWritesAreCheckedAndReadBack) {
  EXPECT_EQ(write_result(p("/sim/hdmi"), "bogus"), "EINVAL\n");
  EXPECT_EQ(sh("cat " + p("/sim/hdmi")).out, "1920x1080@60\n");
  EXPECT_EQ(sh("echo unplug > " + p("/sim/hdmi")).code, 0);
  EXPECT_EQ(sh("cat " + p("/sim/hdmi")).out, "unplugged\n");
}

TEST_F(FuseBridgeTest, ModesHoldForAUserWhoIsNotRoot) {
  if (system("command -v setpriv >/dev/null 2>&1") != 0) GTEST_SKIP() << "setpriv is missing";
  if (geteuid() != 0) GTEST_SKIP() << "switching to another user needs root";
  const std::string as_nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  Cmd c = sh(as_nobody + "cat " + p("/proc/lt7911_info/width"));
  EXPECT_EQ(c.code, 0) << c.out;
  EXPECT_EQ(c.out, "1920\n");
  c = sh(as_nobody + "sh -c \"echo 1 > " + p("/proc/lt7911_info/width") + "\"");
  EXPECT_NE(c.code, 0);
  EXPECT_THAT(c.out, HasSubstr("Permission denied"));
  c = sh(as_nobody + "sh -c \"echo ok > " + p("/proc/lt7911_info/status") + "\"");
  EXPECT_EQ(c.code, 0) << c.out;
  EXPECT_STREQ(g_status, "stable\n");
}

TEST_F(FuseBridgeTest, RemovedEntryFailsLaterReadsOfAnOpenFile) {
  // A Python process holds status open while the entry goes away under it, then reads from
  // the start again, as a follower does.
  std::string script =
      "import os,sys,errno\n"
      "fd=os.open('" +
      p("/proc/lt7911_info/status") +
      "',os.O_RDONLY)\n"
      "sys.stdin.readline()\n"
      "try:\n os.lseek(fd,0,0); os.read(fd,64); print('read')\n"
      "except OSError as e: print(errno.errorcode[e.errno])\n";
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  FILE* holder =
      popen(("timeout 20 python3 -c \"" + script + "\" >&" + std::to_string(out[1])).c_str(), "w");
  close(out[1]);
  ASSERT_NE(holder, nullptr);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (kernel().vfs().open_files() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  ASSERT_GT(kernel().vfs().open_files(), 0u);
  for (const char* name : {"status", "width", "broken"}) remove_proc_entry(name, proc_dir_);
  remove_proc_entry("lt7911_info", nullptr);
  EXPECT_FALSE(std::filesystem::exists(p("/proc/lt7911_info/status")));
  fputs("go\n", holder);
  fflush(holder);
  // Read to the end: an unbuffered Python (PYTHONUNBUFFERED) writes the text and its newline
  // in two writes.
  std::string said;
  char buf[64];
  ssize_t n;
  while ((n = read(out[0], buf, sizeof buf)) > 0) said.append(buf, static_cast<size_t>(n));
  close(out[0]);
  pclose(holder);
  EXPECT_EQ(said, "EIO\n");
  deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (kernel().vfs().open_files() != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  EXPECT_EQ(kernel().vfs().open_files(), 0u);
}

}  // namespace
