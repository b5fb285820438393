// A user who is not root, on a simulator's mount: what only root may do is refused and changes
// nothing, and what every user may do (opens, pollers, logged writes) does not exhaust the
// simulator. The simulator runs as root, as the board's kernel does; the user's side is a child
// process that gives up root (to nobody, 65534) before it touches the mount, so the test needs
// to be started as root, and is skipped otherwise.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/sim_process.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using testing_support::Child;
using testing_support::read_file;
using testing_support::readable;
using testing_support::write_once;

constexpr uid_t kNobody = 65534;

// A process of the user nobody, running `fn` with a pipe to its parent: `out` for what it says,
// `in` for what the parent tells it.
class AsNobody {
 public:
  explicit AsNobody(std::function<void(int out, int in)> fn) {
    int up[2], down[2];
    if (::pipe(up) != 0 || ::pipe(down) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(up[0]);
      ::close(down[1]);
      if (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
          ::setresuid(kNobody, kNobody, kNobody) != 0 || ::geteuid() != kNobody) {
        say(up[1], "could not become nobody\n");
        ::_exit(2);
      }
      fn(up[1], down[0]);
      ::_exit(0);
    }
    ::close(up[1]);
    ::close(down[0]);
    from_ = up[0];
    to_ = down[1];
  }
  ~AsNobody() {
    if (to_ >= 0) ::close(to_);
    if (pid_ > 0) {
      int st = 0;
      // Told to end by the closed pipe; bounded by the reads of the child's own steps.
      if (::waitpid(pid_, &st, WNOHANG) == 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &st, 0);
      }
    }
    if (from_ >= 0) ::close(from_);
  }
  static void say(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
      ssize_t n = ::write(fd, text.data() + done, text.size() - done);
      if (n <= 0) return;
      done += static_cast<size_t>(n);
    }
  }
  // The child's next line, within a generous bound.
  std::optional<std::string> line(int timeout_ms = 60'000) {
    std::string l;
    char c;
    while (readable(from_, timeout_ms)) {
      if (::read(from_, &c, 1) != 1) return std::nullopt;
      if (c == '\n') return l;
      l += c;
    }
    return std::nullopt;
  }
  void tell(const std::string& text) { say(to_, text); }
  // Waits for the child's end; its exit code, or -1.
  int wait() {
    int st = 0;
    if (::waitpid(pid_, &st, 0) != pid_) return -1;
    pid_ = -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }

 private:
  pid_t pid_ = -1;
  int from_ = -1;
  int to_ = -1;
};

// Waits for a line from the parent (or the pipe's end).
void await(int in) {
  char c;
  while (::read(in, &c, 1) == 1 && c != '\n') {
  }
}

// nobody reaches the mount through the scratch directory.
class Unprivileged : public testing_support::MountedSimTest {
 protected:
  Unprivileged() : MountedSimTest("lt7911-unpriv", std::filesystem::perms(0755)) {}
  void SetUp() override {
    if (::geteuid() != 0)
      GTEST_SKIP() << "needs root, to run the simulator as root and the user "
                      "as nobody";
    MountedSimTest::SetUp();
  }
};

TEST_F(Unprivileged, WhatOnlyRootMayDoIsRefusedAndChangesNothing) {
  const std::vector<std::string> root_only = {
      "/sys/module/lt7911_manage/parameters/force_width",
      "/sys/module/lt7911_manage/parameters/force_height",
      "/sys/module/lt7911_manage/parameters/force_fps",
      "/sys/bus/i2c/drivers/lt7911_manage/bind",
      "/sys/bus/i2c/drivers/lt7911_manage/unbind",
      "/sim/module",
      "/sim/faults",
      "/sim/timeline",
  };
  const std::vector<std::string> commands = {
      "1280", "720", "30", "4-002b", "4-002b", "rmmod", "kzalloc times=always", "on 16"};
  // The timeline's state, less its count of events (the user's plug adds some).
  auto ring = [&] {
    const std::string t = read_file(p("/sim/timeline"));
    return t.substr(0, t.find(',')) + t.substr(t.find(" in a ring"));
  };
  const std::string timeline = ring();
  ASSERT_THAT(timeline, HasSubstr("ring of 65536"));
  AsNobody user([&](int out, int) {
    for (size_t i = 0; i < root_only.size(); ++i) {
      ssize_t r = write_once(p(root_only[i]), commands[i]);
      AsNobody::say(out, root_only[i] + " " + std::to_string(r) + "\n");
    }
    // What every user may read stays readable, and what every user may write stays writable.
    std::string width = read_file(p("/sys/module/lt7911_manage/parameters/force_width"));
    AsNobody::say(out, "force_width reads " + std::to_string(width.size()) + " bytes\n");
    AsNobody::say(
        out, "status ok " + std::to_string(write_once(p("/proc/lt7911_info/status"), "ok")) + "\n");
    AsNobody::say(out, "plug " + std::to_string(write_once(p("/sim/hdmi"), "plug 720p60")) + "\n");
  });
  for (const std::string& path : root_only) {
    std::optional<std::string> l = user.line();
    ASSERT_TRUE(l) << "the user stopped before " << path;
    EXPECT_EQ(*l, path + " " + std::to_string(-EACCES));
  }
  EXPECT_EQ(user.line().value_or(""), "force_width reads 3 bytes");  // "-1\n"
  EXPECT_EQ(user.line().value_or(""), "status ok 2");
  EXPECT_EQ(user.line().value_or(""), "plug 11");
  EXPECT_EQ(user.wait(), 0);

  // Nothing changed: the module is loaded and bound with no forced mode, no fault rule is set,
  // the timeline is as it was.
  EXPECT_EQ(read_file(p("/sys/module/lt7911_manage/parameters/force_width")), "-1\n");
  EXPECT_EQ(read_file(p("/sys/module/lt7911_manage/parameters/force_fps")), "-1\n");
  EXPECT_TRUE(std::filesystem::exists(p("/proc/lt7911_info/status")));
  EXPECT_EQ(read_file(p("/sim/faults")), "");
  EXPECT_EQ(ring(), timeline);
  EXPECT_THAT(read_file(p("/kernel.log")), Not(HasSubstr("module unloaded")));
}

TEST_F(Unprivileged, OpensPollersAndLoggedWritesDoNotExhaustTheSimulator) {
  const long before = rss_kib();
  ASSERT_GT(before, 0);
  AsNobody user([&](int out, int in) {
    // As many opens of the status file as the user's descriptors allow, each a poller.
    rlimit lim{};
    ::getrlimit(RLIMIT_NOFILE, &lim);
    std::vector<pollfd> fds;
    for (rlim_t i = 0; i + 16 < lim.rlim_cur && fds.size() < 4000; ++i) {
      int fd = ::open(p("/proc/lt7911_info/status").c_str(), O_RDWR);
      if (fd < 0) break;
      char buf[64];
      if (::read(fd, buf, sizeof buf) < 0) break;
      fds.push_back({fd, POLLPRI, 0});
    }
    AsNobody::say(out, "pollers " + std::to_string(fds.size()) + "\n");
    // Every poller sees the change: poll() returns with those whose answer came first, the
    // others in the next calls.
    std::vector<pollfd> waiting = fds;
    size_t woken = 0;
    int calls = 0;
    while (!waiting.empty() && ::poll(waiting.data(), waiting.size(), 60'000) > 0) {
      ++calls;
      std::erase_if(waiting, [&](const pollfd& f) {
        const bool pri = (f.revents & POLLPRI) != 0;
        woken += pri;
        return pri || (f.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
      });
    }
    AsNobody::say(out,
                  "woken " + std::to_string(woken) + " in " + std::to_string(calls) + " calls\n");
    // A flood of writes that each log a dump of their bytes.
    const std::string edid(1100, '\x5a');
    int refused = 0;
    for (int i = 0; i < 4200; ++i)
      refused += write_once(p("/proc/lt7911_info/edid"), edid) == -EINVAL;
    AsNobody::say(out, "refused " + std::to_string(refused) + "\n");
    await(in);  // the parent has measured, with every descriptor still open
    for (const pollfd& f : fds) ::close(f.fd);
  });
  std::optional<std::string> l = user.line();
  ASSERT_TRUE(l && l->rfind("pollers ", 0) == 0) << l.value_or("the user said nothing");
  const size_t pollers = std::stoul(l->substr(8));
  EXPECT_GE(pollers, 500u) << "the user's descriptor limit is lower than this test assumes";
  // Root plugs a source: every poller wakes.
  ASSERT_EQ(write_once(p("/sim/hdmi"), "plug 1080p60"), 12);
  l = user.line();
  ASSERT_TRUE(l);
  EXPECT_THAT(*l, ::testing::StartsWith("woken " + std::to_string(pollers) + " in "));
  EXPECT_EQ(user.line().value_or(""), "refused 4200");
  const long during = rss_kib();
  user.tell("done\n");
  EXPECT_EQ(user.wait(), 0);
  // The simulator still serves, and its log is its ring's worth.
  EXPECT_EQ(write_once(p("/proc/lt7911_info/status"), "ok"), 2);
  EXPECT_EQ(read_file(p("/proc/lt7911_info/width")), "1920\n");
  const std::string log = read_file(p("/kernel.log"));
  size_t lines = 0;
  for (char c : log) lines += c == '\n';
  EXPECT_LE(lines, 8192u);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // AddressSanitizer's quarantine keeps freed memory and ThreadSanitizer shadows every byte the
  // pollers' state uses; the figure means something without them.
  EXPECT_LT(during - before, 64 * 1024) << "grew from " << before << " KiB to " << during
                                        << " KiB with " << pollers << " pollers open";
#endif
  RecordProperty("pollers", std::to_string(pollers));
  RecordProperty("woken", *l);
  RecordProperty("rss_kib_before", std::to_string(before));
  RecordProperty("rss_kib_during", std::to_string(during));
}

}  // namespace
