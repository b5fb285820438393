#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/errno.h"
#include "platform/host/faults.h"
#include "platform/host/vfs.h"
#include "platform/procfs.h"
#include "platform/time.h"
#include "support/kernel_test.h"

namespace {

using host::kNsPerMs;
using host::Process;
using host::UserBuffer;
using testing_support::KernelTest;

// The state behind the test file operations; one per test.
struct Device {
  char text[32] = "hello\n";
  std::atomic<int> opens{0};
  std::atomic<int> releases{0};
  std::atomic<int> read_sleep_ms{0};
  std::atomic<int> reads_done{0};
  char written[16] = {};
  unsigned long not_copied = 0;
};
Device* g_dev = nullptr;

int dev_open(inode*, file* f) {
  f->private_data = reinterpret_cast<void*>(static_cast<intptr_t>(++g_dev->opens));
  return 0;
}
int dev_release(inode*, file*) {
  ++g_dev->releases;
  return 0;
}
ssize_t dev_read(file*, char* buf, size_t count, loff_t* ppos) {
  if (g_dev->read_sleep_ms > 0) msleep(static_cast<unsigned>(g_dev->read_sleep_ms.load()));
  ssize_t r = simple_read_from_buffer(buf, count, ppos, g_dev->text, std::strlen(g_dev->text));
  ++g_dev->reads_done;
  return r;
}
ssize_t dev_write(file*, const char* buf, size_t count, loff_t*) {
  if (count > sizeof g_dev->written) return -EINVAL;
  std::memset(g_dev->written, 'x', sizeof g_dev->written);
  g_dev->not_copied = copy_from_user(g_dev->written, buf, count);
  return g_dev->not_copied != 0 ? -EFAULT : static_cast<ssize_t>(count);
}

const file_operations kDevFops = {nullptr, nullptr, dev_read, dev_write,
                                  nullptr, nullptr, dev_open, dev_release};
const file_operations kReadOnlyFops = {nullptr, nullptr, dev_read, nullptr,
                                       nullptr, nullptr, nullptr,  nullptr};

class VfsTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    g_dev = &dev;
    dir = proc_mkdir("testdir", nullptr);
    ASSERT_NE(dir, nullptr);
    ASSERT_NE(proc_create("dev", 0666, dir, &kDevFops), nullptr);
    ASSERT_NE(proc_create("ro", 0444, dir, &kReadOnlyFops), nullptr);
  }
  host::Vfs& vfs() { return kernel().vfs(); }
  std::string read_all(Process& p, int fd, size_t count = 64) {
    return vfs().read(p, fd, count).data;
  }

  Device dev;
  proc_dir_entry* dir = nullptr;
  Process root{100, 0, 0, "root-sh"};
  Process user{200, 1000, 1000, "user-sh"};
};

// --- Tree and procfs registration ---------------------------------------------------------------

TEST_F(VfsTest, ProcEntriesAppearWithTheirModes) {
  auto st = vfs().stat("/proc/testdir/dev");
  ASSERT_TRUE(st);
  EXPECT_EQ(st->mode, S_IFREG | 0666);
  EXPECT_EQ(vfs().stat("/proc/testdir/ro")->mode, S_IFREG | 0444);
  EXPECT_TRUE(vfs().stat("/proc/testdir")->is_dir);
  auto entries = vfs().readdir("/proc/testdir");
  ASSERT_TRUE(entries);
  ASSERT_EQ(entries->size(), 2u);
  EXPECT_EQ((*entries)[0].name, "dev");
  EXPECT_EQ((*entries)[1].name, "ro");
  EXPECT_TRUE(vfs().exists("/sys"));
  EXPECT_FALSE(vfs().exists("/proc/testdir/none"));
}

TEST_F(VfsTest, DuplicateNamesAreRefusedWithTheLinuxWarning) {
  EXPECT_EQ(proc_create("dev", 0444, dir, &kReadOnlyFops), nullptr);
  EXPECT_EQ(proc_mkdir("testdir", nullptr), nullptr);
  auto warnings = take_warnings();
  ASSERT_EQ(warnings.size(), 2u);
  EXPECT_EQ(warnings[0].message, "proc_dir_entry 'testdir/dev' already registered");
  EXPECT_EQ(warnings[1].message, "proc_dir_entry '/proc/testdir' already registered");
}

TEST_F(VfsTest, RemovingAMissingEntryWarnsWithItsName) {
  remove_proc_entry("missing", dir);
  auto warnings = take_warnings();
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].message, "name 'missing'");
}

TEST_F(VfsTest, InjectedFaultsFailCreationByName) {
  kernel().faults().inject({"proc_create", "second", 1, 1, -12});
  kernel().faults().inject({"proc_mkdir", "", 1, 1, -12});
  EXPECT_NE(proc_create("first", 0444, dir, &kReadOnlyFops), nullptr);
  EXPECT_EQ(proc_create("second", 0444, dir, &kReadOnlyFops), nullptr);
  EXPECT_NE(proc_create("second", 0444, dir, &kReadOnlyFops), nullptr);  // fired once only
  EXPECT_EQ(proc_mkdir("other", nullptr), nullptr);
  EXPECT_FALSE(vfs().exists("/proc/other"));
}

// As in Linux, a removed entry is freed once no open file refers to it: binding and unbinding
// a driver again and again does not grow the kernel.
TEST_F(VfsTest, RemovedEntriesAreFreedOnceNoFileRefersToThem) {
  const size_t before = host::Vfs::live_entries();
  for (int i = 0; i < 50; ++i) {
    proc_dir_entry* d = proc_mkdir("cycle", nullptr);
    ASSERT_NE(d, nullptr);
    ASSERT_NE(proc_create("a", 0444, d, &kReadOnlyFops), nullptr);
    remove_proc_entry("a", d);
    remove_proc_entry("cycle", nullptr);
  }
  EXPECT_EQ(host::Vfs::live_entries(), before);

  const int fd = vfs().open(root, "/proc/testdir/dev", O_RDONLY);
  ASSERT_GE(fd, 0);
  remove_proc_entry("dev", dir);
  EXPECT_EQ(host::Vfs::live_entries(), before) << "the open file keeps its entry";
  EXPECT_EQ(vfs().read(root, fd, 8).ret, -EIO);
  vfs().close(root, fd);
  EXPECT_EQ(host::Vfs::live_entries(), before - 1);
}

TEST_F(VfsTest, NonEmptyDirectoryRemovalWarnsAndRunsDownItsFiles) {
  const int fd = vfs().open(root, "/proc/testdir/dev", O_RDONLY);
  ASSERT_GE(fd, 0);
  remove_proc_entry("testdir", nullptr);
  auto warnings = take_warnings();
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].message.find("removing non-empty directory '/proc/testdir'"),
            std::string::npos);
  EXPECT_EQ(dev.releases.load(), 1);
  EXPECT_FALSE(vfs().exists("/proc/testdir/dev"));
  EXPECT_EQ(vfs().close(root, fd), 0);
  EXPECT_EQ(dev.releases.load(), 1);
}

// --- Positions and reads ------------------------------------------------------------------------

TEST_F(VfsTest, ReadsAdvanceThePositionAndStopAtTheEnd) {
  const int fd = vfs().open(user, "/proc/testdir/dev", O_RDONLY);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(read_all(user, fd, 1), "h");
  EXPECT_EQ(read_all(user, fd, 64), "ello\n");
  EXPECT_EQ(vfs().read(user, fd, 64).ret, 0);
  EXPECT_EQ(vfs().lseek(user, fd, 0, SEEK_CUR), 6);
  EXPECT_EQ(vfs().lseek(user, fd, 2, SEEK_SET), 2);
  EXPECT_EQ(read_all(user, fd), "llo\n");
  EXPECT_EQ(vfs().lseek(user, fd, -1, SEEK_SET), -EINVAL);
  EXPECT_EQ(vfs().lseek(user, fd, 0, SEEK_END), 0);  // /proc files have size 0
  EXPECT_EQ(vfs().lseek(user, fd, 0, 99), -EINVAL);
  EXPECT_EQ(read_all(user, fd), "hello\n");
  EXPECT_EQ(vfs().close(user, fd), 0);
}

TEST_F(VfsTest, EachOpenHasItsOwnPositionAndPrivateData) {
  const int a = vfs().open(user, "/proc/testdir/dev", O_RDONLY);
  const int b = vfs().open(user, "/proc/testdir/dev", O_RDONLY);
  EXPECT_EQ(read_all(user, a, 3), "hel");
  EXPECT_EQ(read_all(user, b, 64), "hello\n");
  EXPECT_EQ(read_all(user, a, 64), "lo\n");
  EXPECT_EQ(dev.opens.load(), 2);
  vfs().close(user, a);
  EXPECT_EQ(dev.releases.load(), 1);
  vfs().close(user, b);
  EXPECT_EQ(dev.releases.load(), 2);
  EXPECT_EQ(vfs().close(user, b), -EBADF);
}

TEST_F(VfsTest, DescriptorsBelongToTheirProcessAndAccessMode) {
  const int fd = vfs().open(user, "/proc/testdir/dev", O_WRONLY);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(vfs().read(user, fd, 4).ret, -EBADF);
  EXPECT_EQ(vfs().write(root, fd, "1"), -EBADF);
  EXPECT_EQ(vfs().close(root, fd), -EBADF);
  EXPECT_EQ(vfs().read(user, 999, 4).ret, -EBADF);
  EXPECT_EQ(vfs().close(user, fd), 0);
}

// --- User buffers -----------------------------------------------------------------------------

TEST_F(VfsTest, ReadIntoAPartlyFaultingBufferIsShort) {
  const int fd = vfs().open(user, "/proc/testdir/dev", O_RDONLY);
  char buf[8] = {};
  EXPECT_EQ(vfs().read(user, fd, UserBuffer::faulting_after(buf, 8, 3), 8), 3);
  EXPECT_EQ(std::string(buf, 3), "hel");
  EXPECT_EQ(vfs().lseek(user, fd, 0, SEEK_CUR), 3);
  // Nothing copied at all: -EFAULT and the position stays.
  EXPECT_EQ(vfs().read(user, fd, UserBuffer::unmapped(8), 8), -EFAULT);
  EXPECT_EQ(vfs().read(user, fd, UserBuffer::faulting_after(buf, 8, 0), 8), -EFAULT);
  EXPECT_EQ(vfs().lseek(user, fd, 0, SEEK_CUR), 3);
  vfs().close(user, fd);
}

TEST_F(VfsTest, WriteFromAFaultingBufferZeroesWhatCouldNotBeCopied) {
  const int fd = vfs().open(user, "/proc/testdir/dev", O_WRONLY);
  char src[6] = {'a', 'b', 'c', 'd', 'e', 'f'};
  EXPECT_EQ(vfs().write(user, fd, UserBuffer::faulting_after(src, 6, 2), 6), -EFAULT);
  EXPECT_EQ(dev.not_copied, 4u);
  EXPECT_EQ(std::string(dev.written, 7), std::string("ab\0\0\0\0x", 7));
  EXPECT_EQ(vfs().write(user, fd, "ok"), 2);
  EXPECT_EQ(std::string(dev.written, 2), "ok");
  vfs().close(user, fd);
}

TEST_F(VfsTest, UserCopiesOutsideEveryRangeFaultEntirely) {
  char kernel_buf[4] = {'k', 'k', 'k', 'k'};
  char user_mem[4] = {'u', 'u', 'u', 'u'};
  EXPECT_EQ(copy_from_user(kernel_buf, user_mem, 4), 4u);
  EXPECT_EQ(std::string(kernel_buf, 4), std::string(4, '\0'));
  {
    host::UserMemoryScope scope(UserBuffer::of(user_mem, 4));
    EXPECT_EQ(copy_from_user(kernel_buf, user_mem + 1, 4), 1u);  // runs past the range
    EXPECT_EQ(std::string(kernel_buf, 4), std::string("uuu\0", 4));
    EXPECT_EQ(copy_to_user(user_mem, "abcd", 4), 0u);
    EXPECT_EQ(copy_to_user(user_mem + 4, "z", 1), 1u);
  }
  EXPECT_EQ(std::string(user_mem, 4), "abcd");
  EXPECT_EQ(copy_to_user(user_mem, "zzzz", 4), 4u);
  EXPECT_EQ(std::string(user_mem, 4), "abcd");
}

TEST_F(VfsTest, UserCopyInAtomicContextWarns) {
  char k[2];
  char u[2] = {'a', 'b'};
  host::UserMemoryScope scope(UserBuffer::of(u, 2));
  host::current().atomic_depth++;
  copy_from_user(k, u, 2);
  host::current().atomic_depth--;
  auto warnings = take_warnings();
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].message.find("sleeping function called from invalid context"),
            std::string::npos);
  EXPECT_NE(warnings[0].context.find("atomic context"), std::string::npos);
}

TEST_F(VfsTest, SimpleReadFromBufferFollowsTheKernelRules) {
  char out[8] = {};
  host::UserMemoryScope scope(UserBuffer::faulting_after(out, 8, 2));
  const char text[] = "abcdef";
  struct Case {
    loff_t pos;
    size_t count;
    ssize_t result;
    loff_t pos_after;
  };
  const Case cases[] = {
      {-1, 4, -EINVAL, -1},  // negative position
      {6, 4, 0, 6},          // at the end
      {9, 4, 0, 9},          // beyond the end
      {0, 0, 0, 0},          // nothing asked
      {0, 1, 1, 1},          // plain
      {1, 8, 2, 3},          // short copy: as much as could be copied
      {4, 1, 1, 5},
  };
  for (const Case& c : cases) {
    loff_t pos = c.pos;
    EXPECT_EQ(simple_read_from_buffer(out, c.count, &pos, text, 6), c.result) << c.pos;
    EXPECT_EQ(pos, c.pos_after) << c.pos;
  }
  loff_t pos = 0;
  EXPECT_EQ(simple_read_from_buffer(out + 2, 4, &pos, text, 6), -EFAULT);  // nothing copied
  EXPECT_EQ(pos, 0);
}

// --- Permissions --------------------------------------------------------------------------------

TEST_F(VfsTest, OpenChecksModeBitsAndRootBypassesThem) {
  struct Case {
    const char* path;
    unsigned uid, gid;
    int flags;
    int result;  // 0: opens
  };
  ASSERT_NE(proc_create("group", 0640, dir, &kDevFops), nullptr);
  const Case cases[] = {
      {"/proc/testdir/ro", 1000, 1000, O_RDONLY, 0},
      {"/proc/testdir/ro", 1000, 1000, O_WRONLY, -EACCES},
      {"/proc/testdir/ro", 1000, 1000, O_RDWR, -EACCES},
      {"/proc/testdir/ro", 0, 0, O_WRONLY, 0},
      {"/proc/testdir/dev", 1000, 1000, O_RDWR, 0},
      {"/proc/testdir/group", 1000, 0, O_RDONLY, 0},
      {"/proc/testdir/group", 1000, 0, O_WRONLY, -EACCES},
      {"/proc/testdir/group", 1000, 1000, O_RDONLY, -EACCES},
      {"/proc/testdir/group", 0, 0, O_RDWR, 0},
      {"/proc/testdir", 1000, 1000, O_RDONLY, 0},
      {"/proc/testdir", 0, 0, O_WRONLY, -EISDIR},
      {"/proc/testdir/none", 0, 0, O_RDONLY, -ENOENT},
  };
  for (const Case& c : cases) {
    Process p{300, c.uid, c.gid, "p"};
    const int fd = vfs().open(p, c.path, c.flags);
    if (c.result == 0) {
      EXPECT_GE(fd, 3) << c.path << " uid " << c.uid;
      vfs().close(p, fd);
    } else {
      EXPECT_EQ(fd, c.result) << c.path << " uid " << c.uid << " flags " << c.flags;
    }
  }
}

TEST_F(VfsTest, MissingOperationsAnswerWithEio) {
  const int fd = vfs().open(root, "/proc/testdir/ro", O_RDWR);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(vfs().write(root, fd, "1"), -EIO);
  EXPECT_EQ(read_all(root, fd), "hello\n");
  vfs().close(root, fd);
  const int d = vfs().open(root, "/proc/testdir", O_RDONLY);
  EXPECT_EQ(vfs().read(root, d, 4).ret, -EISDIR);
  vfs().close(root, d);
}

// --- Removal with open files --------------------------------------------------------------------

TEST_F(VfsTest, RemovalWaitsForCallsInFlightThenReleasesAndFailsLaterCalls) {
  const int idle_fd = vfs().open(root, "/proc/testdir/dev", O_RDWR);
  const int busy_fd = vfs().open(user, "/proc/testdir/dev", O_RDONLY);
  ASSERT_GE(idle_fd, 0);
  ASSERT_GE(busy_fd, 0);
  dev.read_sleep_ms = 40;
  std::string got;
  host::Thread reader = sched().spawn("reader", [&] { got = read_all(user, busy_fd); });
  advance_ms(10);  // the reader is inside its read now
  const int64_t start = now();
  remove_proc_entry("dev", dir);
  EXPECT_EQ(now() - start, 30 * kNsPerMs);  // waited for the read in flight
  reader.join();
  EXPECT_EQ(got, "hello\n");
  EXPECT_EQ(dev.releases.load(), 2);
  EXPECT_FALSE(vfs().exists("/proc/testdir/dev"));

  dev.read_sleep_ms = 0;
  EXPECT_EQ(vfs().read(root, idle_fd, 8).ret, -EIO);
  EXPECT_EQ(vfs().write(root, idle_fd, "1"), -EIO);
  EXPECT_EQ(vfs().lseek(root, idle_fd, 0, SEEK_SET), -EINVAL);
  std::vector<pollfd> fds{{idle_fd, POLLIN | POLLPRI, 0}};
  EXPECT_EQ(vfs().poll(root, fds, 0), 1);
  EXPECT_EQ(fds[0].revents, POLLIN);
  EXPECT_EQ(vfs().close(root, idle_fd), 0);
  EXPECT_EQ(vfs().close(user, busy_fd), 0);
  EXPECT_EQ(dev.releases.load(), 2);  // no second release
  EXPECT_EQ(vfs().open(root, "/proc/testdir/dev", O_RDONLY), -ENOENT);
  EXPECT_EQ(vfs().open_files(), 0u);
}

TEST_F(VfsTest, CloseDuringAReadReleasesWhenTheReadEnds) {
  const int fd = vfs().open(user, "/proc/testdir/dev", O_RDONLY);
  dev.read_sleep_ms = 20;
  host::Thread reader = sched().spawn("reader", [&] { read_all(user, fd); });
  advance_ms(5);
  EXPECT_EQ(vfs().close(user, fd), 0);
  EXPECT_EQ(dev.releases.load(), 0);  // the read still uses the file
  reader.join();
  EXPECT_EQ(dev.reads_done.load(), 1);
  EXPECT_EQ(dev.releases.load(), 1);
}

// --- Attribute files ----------------------------------------------------------------------------

TEST_F(VfsTest, AttributeFilesShowAndStoreThroughCallbacks) {
  std::string stored;
  int value = 7;
  ASSERT_TRUE(vfs().add_attribute(
      "/sys/module/m/parameters/p", 0644,
      [&](char* page) -> ssize_t {
        return std::snprintf(page, host::kAttrPageSize, "%d\n", value);
      },
      [&](const char* buf, size_t count) -> ssize_t {
        stored.assign(buf);  // NUL-terminated copy
        if (stored == "bad") return -EINVAL;
        value = std::atoi(buf);
        return static_cast<ssize_t>(count);
      }));
  EXPECT_FALSE(vfs().add_attribute("/sys/module/m/parameters/p", 0644, nullptr, nullptr));
  EXPECT_EQ(vfs().stat("/sys/module/m/parameters/p")->mode, S_IFREG | 0644);
  EXPECT_TRUE(vfs().stat("/sys/module/m/parameters")->is_dir);

  const int fd = vfs().open(root, "/sys/module/m/parameters/p", O_RDWR);
  EXPECT_EQ(read_all(root, fd), "7\n");
  EXPECT_EQ(vfs().write(root, fd, "42\n"), 3);
  EXPECT_EQ(stored, "42\n");
  EXPECT_EQ(vfs().write(root, fd, "bad"), -EINVAL);
  vfs().lseek(root, fd, 0, SEEK_SET);
  EXPECT_EQ(read_all(root, fd), "42\n");
  EXPECT_EQ(vfs().write(root, fd, std::string(5000, '1')), -E2BIG);
  vfs().close(root, fd);
  EXPECT_EQ(vfs().open(user, "/sys/module/m/parameters/p", O_WRONLY), -EACCES);

  EXPECT_TRUE(vfs().remove("/sys/module/m"));
  EXPECT_FALSE(vfs().exists("/sys/module/m/parameters/p"));
  EXPECT_FALSE(vfs().remove("/sys/module/m"));
}

}  // namespace
