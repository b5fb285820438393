// The driver's life around its binding: a source already present at bind, parameter writes
// that race the probe and the module's exit, pollers of the status file while the chip goes
// away, and the bank cache across power switches. The races are held at exact points through
// the host kernel's hooks, never left to timing.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "driver/driver_fixture.h"
#include "platform/host/workqueues.h"
#include "platform/locking.h"
#include "platform/procfs.h"
#include "platform/workqueue.h"

namespace driver_test {
namespace {

using ::testing::ElementsAre;

// Keeps the system work queue's one worker busy until released, so that an item queued
// meanwhile stays pending.
class BusyWorker {
 public:
  BusyWorker() {
    mutex_init(&gate_);
    mutex_lock(&gate_);
    INIT_WORK(&work_, &BusyWorker::run);
    queue_work(system_wq, &work_);
  }
  ~BusyWorker() { release(); }
  void release() {
    if (!held_) return;
    held_ = false;
    mutex_unlock(&gate_);
  }

 private:
  static void run(work_struct*) {
    mutex_lock(&gate_);
    mutex_unlock(&gate_);
  }
  static inline struct mutex gate_;
  work_struct work_{};
  bool held_ = true;
};

class Lifecycle : public DriverTest {
 protected:
  std::string unbind_device() { return brd().chip_device_name(); }
  int unbind() {
    int r = kernel().i2c().unbind(unbind_device());
    settle();
    return r;
  }
  int bind() {
    int r = kernel().i2c().bind(unbind_device(), kModule);
    settle();
    return r;
  }
  work_struct* work() { return static_cast<work_struct*>(symbol("get_video_info_work")); }
  wait_queue_head_t* status_queue() {
    // lt7911_ctx begins with the pollers' wait queue.
    return static_cast<wait_queue_head_t*>(symbol("lt7911_ctx"));
  }
  // A simulated process blocked in poll() on the status file; `revents` gets what it returned
  // and `files_there` whether /proc/lt7911_info still existed when it returned.
  host::Thread poller(int fd, std::atomic<int>* revents, int timeout_ms = 5000,
                      std::atomic<bool>* files_there = nullptr) {
    return sched().spawn("poller", [this, fd, revents, timeout_ms, files_there] {
      std::vector<pollfd> fds{{fd, POLLPRI, 0}};
      int n = kernel().vfs().poll(proc_, fds, timeout_ms);
      if (files_there) *files_there = kernel().vfs().exists(kDir);
      *revents = n > 0 ? fds[0].revents : 0;
    });
  }

  host::Process writer_{300, 0, 0, "writer"};
};

/* ---- A source present at bind ---- */

TEST_F(Lifecycle, SourcePresentAtLoadIsReportedWithoutAFurtherEvent) {
  hdmi().plug(board::Mode::parse("1080p60"));
  ASSERT_EQ(insmod(), 0);
  std::map<std::string, std::string> t = texts();
  EXPECT_EQ(t["status"], "new res\n");
  EXPECT_EQ(t["width"], "1920\n");
  EXPECT_EQ(t["height"], "1080\n");
  EXPECT_EQ(t["fps"], "60\n");
  EXPECT_EQ(kernel().wq().runs(work()), 1u) << "one run, queued at the end of the bring-up";
}

TEST_F(Lifecycle, SourcePresentAtRebindAndReloadIsReported) {
  ASSERT_EQ(insmod(), 0);
  plug("1920x1080@60");
  ASSERT_EQ(write("status", "ok"), 2);
  ASSERT_EQ(unbind(), 0);
  ASSERT_EQ(bind(), 0);
  EXPECT_EQ(read("status"), "new res\n");
  EXPECT_EQ(read("width"), "1920\n");
  ASSERT_EQ(rmmod(), 0);
  ASSERT_EQ(insmod(), 0);
  EXPECT_EQ(read("status"), "new res\n");
  EXPECT_EQ(read("height"), "1080\n");
}

TEST_F(Lifecycle, ForcedModeGivenAtLoadShowsAtBindWithASource) {
  hdmi().plug(board::Mode::parse("1080p60"));
  ASSERT_EQ(insmod({"force_width=1280", "force_height=720"}), 0);
  EXPECT_EQ(read("status"), "new res\n");
  EXPECT_EQ(read("width") + read("height") + read("fps"), "1280\n720\n30\n");
}

/* ---- Parameter writes racing the exit and the probe ---- */

// A forced value cleared after the exit has cancelled the work item, while the parameter files
// are still there: it queues nothing, so no run outlives the module.
TEST_F(Lifecycle, ParameterClearedDuringTheExitQueuesNothing) {
  ASSERT_EQ(insmod(), 0);
  ASSERT_EQ(param_write(writer_, "force_width", "1280"), 4);
  BusyWorker busy;
  ssize_t cleared = 0;
  kernel().faults().after("module_exit", 1, [&] {
    host::Thread w =
        sched().spawn("param-writer", [&] { cleared = param_write(writer_, "force_width", "-1"); });
    w.join();
  });
  ASSERT_EQ(kernel().modules().rmmod(kModule), 0);
  EXPECT_EQ(cleared, 2) << "the write itself succeeds";
  busy.release();
  settle();
}

// A forced value cleared between the probe's cancel of the work item and its INIT_WORK waits
// for the INIT_WORK: the item is never initialised while it is queued.
TEST_F(Lifecycle, ParameterClearedInsideTheProbesWorkWindowWaitsForIt) {
  ASSERT_EQ(insmod(), 0);
  ASSERT_EQ(param_write(writer_, "force_width", "1280"), 4);
  ASSERT_EQ(unbind(), 0);
  BusyWorker busy;
  std::atomic<ssize_t> cleared{0};
  host::Thread w;
  kernel().faults().after("cancel_work_sync", 1, [&] {
    w = sched().spawn("param-writer", [&] { cleared = param_write(writer_, "force_width", "-1"); });
    // The probe stays here while the writer runs as far as it can.
    sched().sleep_for(5 * host::kNsPerMs);
    EXPECT_EQ(cleared.load(), 0) << "the writer waits for the probe's INIT_WORK";
  });
  host::Thread prober =
      sched().spawn("bind", [&] { kernel().i2c().bind(unbind_device(), kModule); });
  sched().run_until([&] { return cleared.load() != 0; });
  prober.join();
  w.join();
  EXPECT_EQ(cleared.load(), 2);
  EXPECT_TRUE(kernel().wq().pending(work())) << "the clear queued a measurement behind the probe";
  busy.release();
  settle();
  EXPECT_EQ(read("status"), "disappear\n");
}

// A forced value cleared after the unbind queues a run; the run finds no chip bound and
// touches nothing.
TEST_F(Lifecycle, RunQueuedAfterTheUnbindTouchesNoChip) {
  ASSERT_EQ(insmod(), 0);
  ASSERT_EQ(param_write(writer_, "force_width", "1280"), 4);
  ASSERT_EQ(unbind(), 0);
  size_t mark = log_mark();
  size_t bmark = bus().log().mark();
  const uint64_t runs = kernel().wq().runs(work());
  ASSERT_EQ(param_write(writer_, "force_width", "-1"), 2);
  settle();
  EXPECT_EQ(kernel().wq().runs(work()), runs + 1) << "the run was queued and ran";
  EXPECT_TRUE(bus().log().lines_since(bmark).empty());
  EXPECT_TRUE(log_since(mark).empty());
}

// An interrupt right after the remove has cancelled the work item queues nothing: the chip is
// already marked as going.
TEST_F(Lifecycle, InterruptAfterTheRemovesCancelQueuesNothing) {
  ASSERT_EQ(insmod(), 0);
  const uint64_t runs = kernel().wq().runs(work());
  kernel().faults().after("cancel_work_sync", 1, [&] {
    brd().irq_line().set(true);
    brd().irq_line().set(false);
  });
  ASSERT_EQ(unbind(), 0);
  EXPECT_FALSE(kernel().wq().pending(work()));
  EXPECT_EQ(kernel().wq().runs(work()), runs) << "no run was queued after the cancel";
}

// A run queued after the unbind and still waiting for the worker is cancelled at unload, so
// none outlives the module.
TEST_F(Lifecycle, RunStillQueuedAtUnloadIsCancelled) {
  ASSERT_EQ(insmod(), 0);
  ASSERT_EQ(param_write(writer_, "force_width", "1280"), 4);
  ASSERT_EQ(unbind(), 0);
  BusyWorker busy;
  ASSERT_EQ(param_write(writer_, "force_width", "-1"), 2);
  ASSERT_TRUE(kernel().wq().pending(work()));
  ASSERT_EQ(kernel().modules().rmmod(kModule), 0);
  EXPECT_TRUE(take_warnings().empty()) << "no work item left queued at unload";
  busy.release();
  settle();
}

/* ---- Pollers while the chip goes away ---- */

TEST_F(Lifecycle, PollerBlockedAtUnbindHangsUpBeforeTheFilesGo) {
  ASSERT_EQ(insmod(), 0);
  int fd = open("status");
  ASSERT_GE(fd, 0);
  ASSERT_EQ(kernel().vfs().read(proc_, fd, 16).ret, 10);
  std::atomic<int> revents{-1};
  std::atomic<bool> files_at_hangup{false};
  host::Thread p = poller(fd, &revents, 5000, &files_at_hangup);
  advance_ms(1);
  ASSERT_EQ(waitqueue_active(status_queue()), 1);
  ASSERT_EQ(unbind(), 0);
  p.join();
  EXPECT_EQ(revents.load(), POLLERR | POLLHUP);
  EXPECT_TRUE(files_at_hangup.load()) << "the poller left before the files went";
  EXPECT_EQ(waitqueue_active(status_queue()), 0);
  // A poll of the old file now answers the default mask and waits on nothing.
  std::vector<pollfd> fds{{fd, POLLIN | POLLPRI, 0}};
  EXPECT_EQ(kernel().vfs().poll(proc_, fds, 0), 1);
  EXPECT_EQ(fds[0].revents, POLLIN);
  close(fd);
  ASSERT_EQ(rmmod(), 0);  // no waiter left on the module's queue: no warning
}

TEST_F(Lifecycle, PollerArrivingWhileTheFilesGoHangsUpAtOnce) {
  ASSERT_EQ(insmod(), 0);
  int fd = open("status");
  ASSERT_GE(fd, 0);
  int revents = -1;
  // Held after the first file of the directory is removed: the status file is still there.
  kernel().faults().after("remove_proc_entry", 1, [&] {
    std::vector<pollfd> fds{{fd, POLLPRI, 0}};
    EXPECT_EQ(kernel().vfs().poll(proc_, fds, 5000), 1);
    revents = fds[0].revents;
    EXPECT_EQ(waitqueue_active(status_queue()), 0) << "it registered nowhere";
  });
  ASSERT_EQ(unbind(), 0);
  EXPECT_EQ(revents, POLLERR | POLLHUP);
  close(fd);
  ASSERT_EQ(rmmod(), 0);
}

TEST_F(Lifecycle, UnloadWaitsForNoPollerAndRebindMakesPollsWaitAgain) {
  ASSERT_EQ(insmod(), 0);
  int fd = open("status");
  std::atomic<int> revents{-1};
  host::Thread p = poller(fd, &revents);
  advance_ms(1);
  EXPECT_EQ(kernel().modules().rmmod(kModule), -EBUSY) << "the open file holds the module";
  ASSERT_EQ(unbind(), 0);
  p.join();
  EXPECT_EQ(revents.load(), POLLERR | POLLHUP);
  close(fd);
  ASSERT_EQ(bind(), 0);
  fd = open("status");
  std::atomic<int> again{-1};
  host::Thread q = poller(fd, &again, 1000);
  advance_ms(10);
  EXPECT_EQ(again.load(), -1) << "a poll waits again after the rebind";
  plug("1080p60");
  q.join();
  EXPECT_EQ(again.load(), POLLPRI);
  close(fd);
  ASSERT_EQ(rmmod(), 0);
}

TEST_F(Lifecycle, UnbindWaitsForALastingWatchToLetGo) {
  // A registration that outlives one wake-up (as an epoll set's does) keeps the remove waiting
  // until it is dropped, since the queue lives in the module.
  ASSERT_EQ(insmod(), 0);
  int fd = open("status");
  ASSERT_GE(fd, 0);
  host::PollWatch watch = kernel()
                              .vfs()
                              .poll_watch(
                                  proc_, fd, [] {}, /*one_shot=*/false)
                              .watch;
  std::atomic<bool> unbound{false};
  host::Thread remover = sched().spawn("unbind", [&] {
    kernel().i2c().unbind(unbind_device());
    unbound = true;
  });
  advance_ms(50);
  EXPECT_FALSE(unbound.load());
  EXPECT_TRUE(kernel().vfs().exists(kDir));
  watch.reset();
  remover.join();
  EXPECT_TRUE(unbound.load());
  EXPECT_FALSE(kernel().vfs().exists(kDir));
  close(fd);
}

/* ---- The bank cache across power switches ---- */

TEST_F(Lifecycle, OnlyARealPowerUpForgetsTheSelectedBank) {
  ASSERT_EQ(insmod(), 0);
  // The bind's run left bank 0x80 selected. Switching on a chip that is on keeps it.
  ASSERT_EQ(write("power", "on"), 2);
  size_t mark = bus().log().mark();
  interrupt();
  std::vector<std::string> run = bus().log().lines_since(mark);
  ASSERT_FALSE(run.empty());
  EXPECT_EQ(run.front(), "write 0x80:0xEE = 0x01");
  // Off and on again: the chip's registers were reset, so the bank is selected afresh.
  ASSERT_EQ(write("power", "off"), 3);
  ASSERT_EQ(write("power", "on"), 2);
  mark = bus().log().mark();
  interrupt();
  run = bus().log().lines_since(mark);
  ASSERT_GE(run.size(), 2u);
  EXPECT_THAT(std::vector<std::string>(run.begin(), run.begin() + 2),
              ElementsAre("select 0x80", "write 0x80:0xEE = 0x01"));
}

}  // namespace
}  // namespace driver_test
