// A thousand unbind/bind cycles and two hundred rmmod/insmod cycles, with pollers waiting on
// the status file and other files held open around them. What the kernel holds stays flat:
// the allocations of kmalloc/kzalloc (the slab record), the VFS entries allocated, the host's
// records of the module's mutexes and wait queues, the threads and the descriptors of the
// process, the open files of the VFS, and the heap in use (within a small allowance: the kernel
// log's ring keeps its records in place; the bus's log of transfers is kept empty). After every
// bind the source that is plugged is reported again.
#include <dirent.h>
#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/host/locks.h"
#include "platform/host/slab.h"
#include "reliability/rig.h"

namespace reliability {
namespace {

size_t entries_in(const char* dir) {
  size_t n = 0;
  if (DIR* d = opendir(dir)) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
}

long rss_kb() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

struct Footprint {
  size_t allocations = 0;
  size_t vfs_entries = 0;
  size_t open_files = 0;
  size_t mutex_records = 0;
  size_t queue_records = 0;
  size_t threads = 0;
  size_t fds = 0;
  long rss_kb = 0;        // reported only
  size_t heap_bytes = 0;  // in use by malloc, compared with an allowance
  bool operator==(const Footprint& o) const {
    return allocations == o.allocations && vfs_entries == o.vfs_entries &&
           open_files == o.open_files && mutex_records == o.mutex_records &&
           queue_records == o.queue_records && threads == o.threads && fds == o.fds;
  }
};

std::string describe(const Footprint& f) {
  return "heap " + std::to_string(f.heap_bytes) + " bytes, " + std::to_string(f.allocations) +
         " allocations, " + std::to_string(f.vfs_entries) + " VFS entries, " +
         std::to_string(f.open_files) + " open files, " + std::to_string(f.mutex_records) +
         " mutex records, " + std::to_string(f.queue_records) + " wait queue records, " +
         std::to_string(f.threads) + " threads, " + std::to_string(f.fds) + " descriptors";
}
void PrintTo(const Footprint& f, std::ostream* os) { *os << describe(f); }

class Cycles : public ::testing::Test {
 protected:
  void SetUp() override {
    rig_ = std::make_unique<Rig>();
    ASSERT_EQ(rig_->load_error(), "");
    gate_ = std::make_unique<Gate>(rig_->sched());
  }
  void TearDown() override {
    rig_->settle();
    for (int fd : held_) rig_->kernel().vfs().close(holder_, fd);
    gate_.reset();
    rig_.reset();
  }

  Footprint footprint() {
    rig_->settle();
    Footprint f;
    f.allocations = host::slab_live_allocations();
    f.vfs_entries = host::Vfs::live_entries();
    f.open_files = rig_->kernel().vfs().open_files();
    f.mutex_records = rig_->kernel().locks().records();
    f.queue_records = rig_->kernel().vfs().wait_queue_records();
    f.threads = entries_in("/proc/self/task");
    f.fds = entries_in("/proc/self/fd");
    f.rss_kb = rss_kb();
    f.heap_bytes = mallinfo2().uordblks;
    return f;
  }

  // Files held open by another process across the cycles: once their entries go, their reads
  // fail; they are closed and opened again after each bind.
  void hold_files() {
    for (int fd : held_) rig_->kernel().vfs().close(holder_, fd);
    held_.clear();
    for (const char* f : {"width", "power", "edid_snapshot", "version"}) {
      int fd = rig_->kernel().vfs().open(holder_, proc_path(f), O_RDONLY);
      if (fd >= 0) held_.push_back(fd);
    }
    int fd = rig_->kernel().vfs().open(holder_, param_path("force_fps"), O_RDONLY);
    if (fd >= 0) held_.push_back(fd);
  }

  // A poller: waits in poll() on the status file until it hangs up, closes it, and opens it
  // again when the harness says the files are back.
  void start_poller(int index) {
    pollers_.push_back(rig_->sched().spawn("poller", [this, index] {
      host::Process p{600 + index, 0, 0, "poller"};
      host::Vfs& vfs = rig_->kernel().vfs();
      for (int round = gate_->wait_past(0); round > 0; round = gate_->wait_past(round)) {
        int fd = vfs.open(p, proc_path("status"), O_RDWR);
        if (fd < 0) continue;
        for (;;) {
          vfs.lseek(p, fd, 0, SEEK_SET);
          vfs.read(p, fd, 64);
          std::vector<pollfd> fds{{fd, POLLPRI | POLLIN, 0}};
          in_poll_++;
          vfs.poll(p, fds, -1);
          in_poll_--;
          if (fds[0].revents & (POLLERR | POLLHUP | POLLIN)) break;
          wakeups_++;
        }
        vfs.close(p, fd);
      }
    }));
  }
  // The files are back: the pollers open them again; returns once each waits in poll() and
  // the kernel has settled.
  void files_back(int pollers) {
    gate_->open();
    rig_->sched().run_until([&] { return in_poll_.load() == pollers; });
    rig_->settle();
    hold_files();
  }

  std::unique_ptr<Rig> rig_;
  host::Process holder_{700, 0, 0, "holder"};
  std::vector<int> held_;
  std::vector<host::Thread> pollers_;
  std::unique_ptr<Gate> gate_;
  std::atomic<int> in_poll_{0};
  std::atomic<int> wakeups_{0};
};

TEST_F(Cycles, RebindsAndReloadsWithPollersAndOpenFilesLeaveNothingBehind) {
  const char* env = std::getenv("LT_CYCLES_BINDS");  // a shorter or longer run
  const int binds = env && *env ? std::atoi(env) : 1000;
  const int reloads = binds / 5;
  const int kPollers = 2;
  // The allocator and the dynamic loader settle in over the first cycles.
  const int warm_at = std::min(100, binds / 10);
  Rig& rig = *rig_;
  rig.plug("1080p60");
  ASSERT_EQ(rig.insmod(), 0);
  for (int i = 0; i < kPollers; ++i) start_poller(i);
  files_back(kPollers);

  std::vector<std::string> problems;
  int rebinds = 0;
  int reloaded = 0;
  int refused = 0;
  Footprint warm;
  auto check = [&](int cycle) {
    const std::string at = "cycle " + std::to_string(cycle) + ": ";
    std::optional<std::string> status = rig.read(proc_path("status"));
    std::optional<std::string> width = rig.read(proc_path("width"));
    if (status != std::string("new res\n") || width != std::string("1920\n"))
      problems.push_back(at + "the source reads " + printable(status.value_or("(none)")) + " " +
                         printable(width.value_or("(none)")));
    for (const std::string& w : rig.take_warnings()) problems.push_back(at + "warning: " + w);
    for (const std::string& c : rig.claim_problems(kPollers)) problems.push_back(at + c);
  };
  for (int cycle = 1; cycle <= binds && problems.size() < 20; ++cycle) {
    const std::string at = "cycle " + std::to_string(cycle) + ": ";
    // The bus's log of transfers is a record of what was on the wire (the newest 65536), not
    // something the kernel holds: kept empty, so that its growth does not count.
    for (int nr : rig.brd().bus_numbers()) rig.brd().bus(nr)->log().clear();
    // Unbind and bind: the pollers hang up, the held files go stale, all come back.
    if (rig.unbind() != 0) problems.push_back(at + "unbind failed");
    if (rig.bind() != 0) problems.push_back(at + "bind failed");
    ++rebinds;
    files_back(kPollers);
    check(cycle);
    if (cycle % 5 == 0) {
      // Unload and load: refused while the pollers hold the status file; they let go at the
      // unbind, and then it goes ahead.
      if (rig.rmmod() == -EWOULDBLOCK) ++refused;
      rig.unbind();
      if (rig.rmmod() != 0) problems.push_back(at + "rmmod failed");
      if (rig.insmod() != 0) problems.push_back(at + "insmod failed");
      ++reloaded;
      files_back(kPollers);
      check(cycle);
    }
    if (cycle == warm_at) warm = footprint();
  }
  Footprint end = footprint();

  gate_->open(true);
  rig.unbind();
  for (host::Thread& t : pollers_) t.join();

  std::printf(
      "[ cycles   ] %d unbind/bind and %d rmmod/insmod cycles (%d unloads refused while a "
      "poller held the status file), %d poller wake-ups; after %d cycles: %s, RSS %ld "
      "kB; at the end: %s, RSS %ld kB\n",
      rebinds, reloaded, refused, wakeups_.load(), warm_at, describe(warm).c_str(), warm.rss_kb,
      describe(end).c_str(), end.rss_kb);
  std::string all;
  for (const std::string& p : problems) all += "\n  " + p;
  EXPECT_TRUE(problems.empty()) << all;
  EXPECT_EQ(rebinds, binds);
  EXPECT_EQ(reloaded, reloads);
  EXPECT_EQ(refused, reloads) << "every unload with a poller around is refused";
  EXPECT_EQ(end, warm) << "what the kernel holds grew over the cycles";
  // A leak of a few dozen bytes a cycle exceeds it.
  const size_t kHeapAllowance = 32 * 1024;
  EXPECT_LE(end.heap_bytes, warm.heap_bytes + kHeapAllowance)
      << "the heap grew by " << end.heap_bytes - warm.heap_bytes << " bytes over the cycles";
}

}  // namespace
}  // namespace reliability
