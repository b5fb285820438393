// The kernel log on the mount, used by real programs: kernel.log read by cat, dmesg -F and
// tail -f, kmsg followed as dmesg -w follows, user bytes escaped, and the simulator's memory
// bounded under a flood of logged writes and many readers.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/host/log.h"
#include "tests/support/sim_process.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using testing_support::Child;
using testing_support::read_file;
using testing_support::write_once;

class KernelLogMount : public testing_support::MountedSimTest {
 protected:
  KernelLogMount() : MountedSimTest("lt7911-klog") {}
};

TEST_F(KernelLogMount, CatAndDmesgReadItAndItsSizeIsReal) {
  std::string log = read_file(p("/kernel.log"));
  EXPECT_THAT(log, HasSubstr("] Chip: LT7911D\n"));
  EXPECT_EQ(std::filesystem::file_size(p("/kernel.log")), log.size());
  Child dmesg;
  ASSERT_TRUE(dmesg.start({"/usr/bin/dmesg", "-F", p("/kernel.log")}, {.env = {"LC_ALL=C"}}));
  std::string shown = dmesg.rest_of_stdout();
  std::optional<int> st = dmesg.wait_exit();
  ASSERT_TRUE(st);
  EXPECT_EQ(Child::code_of(*st), 0) << dmesg.rest_of_stderr();
  EXPECT_THAT(shown, HasSubstr("] Chip: LT7911D\n"));
  EXPECT_THAT(shown, Not(HasSubstr("<6>")));
}

TEST_F(KernelLogMount, TailFollowsItAndKmsgFollowsAsDmesgW) {
  Child tail, follow;
  ASSERT_TRUE(tail.start({"/usr/bin/tail", "-n", "1", "-f", p("/kernel.log")}));
  ASSERT_TRUE(follow.start({"/bin/cat", p("/kmsg")}));
  // The last line so far: the bind's own run, which found no source.
  EXPECT_THAT(tail.line().value_or(""), HasSubstr("HDMI signal has disappeared"));
  std::optional<std::string> line;
  while ((line = follow.line()) && line->find("module loaded") == std::string::npos) {
  }
  ASSERT_TRUE(line) << "kmsg starts with the records held";
  ASSERT_EQ(write_once(p("/sim/hdmi"), "plug 1280x720@60"), 16);
  for (Child* c : {&tail, &follow}) {
    while ((line = c->line()) && line->find("HDMI FPS") == std::string::npos) {
      EXPECT_THAT(*line, Not(HasSubstr("truncated")));
    }
    EXPECT_THAT(line.value_or("<nothing>"), HasSubstr("] HDMI FPS: 60"));
  }
  tail.signal(SIGTERM);
  EXPECT_TRUE(tail.wait_exit());
  // The follower ends with the simulator, with an error as from a vanished device.
  sim_.child.signal(SIGTERM);
  std::optional<int> st = follow.wait_exit();
  ASSERT_TRUE(st);
  EXPECT_NE(Child::code_of(*st), 0);
  st = sim_.child.wait_exit();
  ASSERT_TRUE(st);
  EXPECT_EQ(Child::code_of(*st), 0);
}

TEST_F(KernelLogMount, BytesAUserWroteAreEscaped) {
  EXPECT_EQ(write_once(p("/proc/lt7911_info/version"), "v\x1b[31mred\r"), -EIO);
  std::string log = read_file(p("/kernel.log"));
  EXPECT_THAT(log, HasSubstr("v\\x1b[31mred\\x0d"));
  EXPECT_EQ(log.find('\x1b'), std::string::npos);
  EXPECT_EQ(log.find('\r'), std::string::npos);
}

TEST_F(KernelLogMount, MemoryStaysBoundedUnderAFloodOfLoggedWritesAndManyReaders) {
  const long before = rss_kib();
  ASSERT_GT(before, 0);
  // Every refused EDID write logs a dump of its bytes: 4,200 of them log about 13 MB.
  const std::string edid(1100, '\x5a');
  for (int i = 0; i < 4200; ++i) ASSERT_EQ(write_once(p("/proc/lt7911_info/edid"), edid), -EINVAL);
  // Its size says what it holds, before anyone opens it.
  const uint64_t size = std::filesystem::file_size(p("/kernel.log"));
  // Sixty readers hold the log open at once, each having read all of it.
  std::vector<int> fds;
  std::string first;
  for (int i = 0; i < 60; ++i) {
    int fd = ::open(p("/kernel.log").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::string text;
    char buf[65536];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    if (i == 0) first = text;
    EXPECT_EQ(text.size(), first.size());
    fds.push_back(fd);
  }
  const long after = rss_kib();
  EXPECT_EQ(first.size(), size);
  for (int fd : fds) ::close(fd);
  // The log holds the newest records only: the ring's worth, ending with the last write's dump.
  size_t lines = 0;
  for (char c : first) lines += c == '\n';
  EXPECT_EQ(lines, host::Log::kCapacity);
  EXPECT_THAT(first, Not(HasSubstr("] Chip: LT7911D")));
  EXPECT_THAT(first.substr(first.size() - 200), HasSubstr("EDID data length is not 256 bytes\n"));
  // The ring is fixed (8,192 records of at most 992 bytes); readers add no copies of it. (Under
  // AddressSanitizer freed memory waits in a quarantine of hundreds of MiB, so the figure only
  // means something in the normal build.)
#if !defined(__SANITIZE_ADDRESS__)
  EXPECT_LT(after - before, 48 * 1024) << "grew from " << before << " KiB to " << after << " KiB";
#endif
  RecordProperty("rss_kib_before", std::to_string(before));
  RecordProperty("rss_kib_after", std::to_string(after));
}

}  // namespace
