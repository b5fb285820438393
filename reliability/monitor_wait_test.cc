// lt7911-monitor's wait on the status file ends when the file's entry went away before the wait
// began. A /proc entry removed under an open file answers poll() with the default mask (POLLIN
// and POLLOUT) and wakes nobody later, as Linux's proc_reg_poll does; the stress run's poller
// waited for POLLPRI alone there and slept for good. A regular file answers poll() the same way,
// so it stands in for such an entry here.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "tools/monitor/posix_tree.h"

namespace {

TEST(MonitorWait, AStatusFileAnsweringTheDefaultMaskIsGone) {
  char tmpl[] = "/tmp/lt7911-monitor-wait-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::filesystem::path root = tmpl;
  std::filesystem::create_directories(root / "proc/lt7911_info");
  for (const char* f : {"status", "width", "height", "fps", "hdcp", "asr", "power"})
    std::ofstream(root / "proc/lt7911_info" / f) << "0\n";

  monitor::PosixTree tree(root.string() + "/");
  auto opened = tree.open_status();
  ASSERT_TRUE(opened) << opened.error().message;
  auto read = tree.read();
  ASSERT_TRUE(read) << read.error().message;
  // A wait for POLLPRI alone would run into its timeout here (and, without one, never end).
  EXPECT_EQ(tree.wait(30'000), monitor::Wake::kGone);
  tree.close_status();
  std::filesystem::remove_all(root);
}

}  // namespace
