#include <fcntl.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/errno.h"
#include "platform/host/vfs.h"
#include "platform/locking.h"
#include "platform/procfs.h"
#include "platform/time.h"
#include "support/kernel_test.h"

namespace {

using host::kNsPerMs;
using host::Process;
using testing_support::KernelTest;

// A status-like file: POLLPRI while the event counter differs from what this opener has read.
DECLARE_WAIT_QUEUE_HEAD(g_event_wq);
atomic_t g_events = ATOMIC_INIT(0);

void publish_event() {
  atomic_inc(&g_events);
  wake_up_interruptible(&g_event_wq);
}

int ev_open(inode*, file* f) {
  f->private_data = reinterpret_cast<void*>(static_cast<intptr_t>(atomic_read(&g_events)));
  return 0;
}
ssize_t ev_read(file* f, char* buf, size_t count, loff_t* ppos) {
  const int now = atomic_read(&g_events);
  char text[16];
  const int len = std::snprintf(text, sizeof text, "%d\n", now);
  const ssize_t r = simple_read_from_buffer(buf, count, ppos, text, static_cast<size_t>(len));
  if (r > 0) f->private_data = reinterpret_cast<void*>(static_cast<intptr_t>(now));
  return r;
}
__poll_t ev_poll(file* f, poll_table* pt) {
  poll_wait(f, &g_event_wq, pt);
  const int seen = static_cast<int>(reinterpret_cast<intptr_t>(f->private_data));
  return seen != atomic_read(&g_events) ? POLLPRI : 0;
}

const file_operations kEventFops = {nullptr, nullptr, ev_read, nullptr,
                                    ev_poll, nullptr, ev_open, nullptr};
const file_operations kNoPollFops = {nullptr, nullptr, ev_read, nullptr,
                                     nullptr, nullptr, nullptr, nullptr};

class PollTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    init_waitqueue_head(&g_event_wq);
    atomic_set(&g_events, 0);
    ASSERT_NE(proc_create("events", 0444, nullptr, &kEventFops), nullptr);
    ASSERT_NE(proc_create("plain", 0444, nullptr, &kNoPollFops), nullptr);
    fd = vfs().open(proc, "/proc/events", O_RDONLY);
    ASSERT_GE(fd, 0);
  }
  host::Vfs& vfs() { return kernel().vfs(); }
  int poll_one(int the_fd, short events, int timeout_ms, short* revents) {
    std::vector<pollfd> fds{{the_fd, events, 0}};
    const int n = vfs().poll(proc, fds, timeout_ms);
    *revents = fds[0].revents;
    return n;
  }

  Process proc{500, 1000, 1000, "follower"};
  int fd = -1;
};

TEST_F(PollTest, BlockingPollWakesWhenAnotherTaskPublishes) {
  std::atomic<int> result{-99};
  std::atomic<short> revents{0};
  std::atomic<int64_t> woke_at{0};
  host::Thread poller = sched().spawn("poller", [&] {
    short r = 0;
    result = poll_one(fd, POLLPRI, -1, &r);
    revents = r;
    woke_at = now();
  });
  advance_ms(50);
  EXPECT_EQ(result.load(), -99);  // still asleep: nothing was published
  host::Thread publisher = sched().spawn("publisher", [] { publish_event(); });
  publisher.join();
  poller.join();
  EXPECT_EQ(result.load(), 1);
  EXPECT_EQ(revents.load(), POLLPRI);
  EXPECT_EQ(woke_at.load(), 50 * kNsPerMs);
}

TEST_F(PollTest, PollTimesOutInVirtualTime) {
  short revents = -1;
  const int64_t start = now();
  EXPECT_EQ(poll_one(fd, POLLPRI, 250, &revents), 0);
  EXPECT_EQ(revents, 0);
  EXPECT_EQ(now() - start, 250 * kNsPerMs);
  EXPECT_EQ(poll_one(fd, POLLPRI, 0, &revents), 0);  // zero timeout: no wait at all
  EXPECT_EQ(now() - start, 250 * kNsPerMs);
}

TEST_F(PollTest, ReadyFileReturnsAtOnceUntilItIsRead) {
  publish_event();
  short revents = 0;
  EXPECT_EQ(poll_one(fd, POLLPRI, 1000, &revents), 1);
  EXPECT_EQ(revents, POLLPRI);
  EXPECT_EQ(now(), 0);
  EXPECT_EQ(vfs().read(proc, fd, 16).data, "1\n");
  EXPECT_EQ(poll_one(fd, POLLPRI, 0, &revents), 0);
  // Events not asked for are not reported.
  publish_event();
  EXPECT_EQ(poll_one(fd, POLLIN, 0, &revents), 0);
}

TEST_F(PollTest, FileWithoutPollOperationIsAlwaysReady) {
  const int plain = vfs().open(proc, "/proc/plain", O_RDONLY);
  short revents = 0;
  EXPECT_EQ(poll_one(plain, POLLIN | POLLOUT | POLLPRI, -1, &revents), 1);
  EXPECT_EQ(revents, POLLIN | POLLOUT);
  EXPECT_EQ(poll_one(77, POLLIN, -1, &revents), 1);
  EXPECT_EQ(revents, POLLNVAL);
}

TEST_F(PollTest, WakeUpFromHardInterruptContextNeitherBlocksNorWarns) {
  std::atomic<int> result{-99};
  host::Thread poller = sched().spawn("poller", [&] {
    short r;
    result = poll_one(fd, POLLPRI, 1000, &r);
  });
  advance_ms(10);
  host::Thread irq = sched().spawn("irq/42", [] {
    host::current().hardirq_depth++;
    publish_event();
    host::current().hardirq_depth--;
  });
  irq.join();
  poller.join();
  EXPECT_EQ(result.load(), 1);
  EXPECT_EQ(now(), 10 * kNsPerMs);
}

// As in Linux, removing an entry wakes nobody: a blocked poller sleeps on until its timeout,
// still registered on the file's queue, and a later poll of the removed entry answers the
// default mask without calling the file's poll.
TEST_F(PollTest, RemovalWakesNobody) {
  std::atomic<int> result{-99};
  host::Thread poller = sched().spawn("poller", [&] {
    short r = 0;
    result = poll_one(fd, POLLPRI, 1000, &r);
  });
  advance_ms(5);
  remove_proc_entry("events", nullptr);
  EXPECT_EQ(result.load(), -99) << "still asleep";
  EXPECT_EQ(now(), 5 * kNsPerMs);
  EXPECT_EQ(waitqueue_active(&g_event_wq), 1);
  poller.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_EQ(now(), 1000 * kNsPerMs);
  EXPECT_EQ(waitqueue_active(&g_event_wq), 0) << "it left the queue when it returned";
  short r = 0;
  EXPECT_EQ(poll_one(fd, POLLIN | POLLPRI, 0, &r), 1);
  EXPECT_EQ(r, POLLIN);
}

TEST_F(PollTest, PollWatchFiresOnceOrLastsUntilReleased) {
  std::atomic<int> calls{0};
  host::PollWatchResult w = vfs().poll_watch(proc, fd, [&] { ++calls; });
  EXPECT_EQ(w.mask, 0);
  EXPECT_EQ(w.watch.queues(), 1u);
  EXPECT_EQ(waitqueue_active(&g_event_wq), 1);
  publish_event();
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(waitqueue_active(&g_event_wq), 0) << "a one-shot watch leaves when it fires";
  publish_event();
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(vfs().poll_watch(proc, fd, [] {}).mask, POLLPRI);

  std::atomic<int> lasting_calls{0};
  host::PollWatchResult lasting = vfs().poll_watch(
      proc, fd, [&] { ++lasting_calls; }, /*one_shot=*/false);
  publish_event();
  publish_event();
  EXPECT_EQ(lasting_calls.load(), 2);
  lasting.watch.reset();
  EXPECT_EQ(waitqueue_active(&g_event_wq), 0);
  publish_event();
  EXPECT_EQ(lasting_calls.load(), 2);

  host::PollWatchResult armed = vfs().poll_watch(proc, fd, [&] { ++calls; });
  remove_proc_entry("events", nullptr);
  EXPECT_EQ(calls.load(), 1) << "removal wakes nobody";
  EXPECT_EQ(vfs().poll_watch(proc, fd, [] {}).mask, static_cast<int>(DEFAULT_POLLMASK));
  EXPECT_EQ(vfs().poll_watch(proc, 99, [] {}).mask, -EBADF);
}

// Many publications against a follower that polls and reads: it must see the last one without
// ever timing out (a lost wake-up would leave it asleep until the timeout).
TEST_F(PollTest, NoWakeUpIsLostUnderConcurrentPublishing) {
  constexpr int kEvents = 500;
  std::atomic<int> timeouts{0};
  std::atomic<int> last_seen{0};
  host::Thread follower = sched().spawn("follower", [&] {
    while (last_seen.load() < kEvents) {
      short r = 0;
      if (poll_one(fd, POLLPRI, 10000, &r) == 0) {
        ++timeouts;
        break;
      }
      vfs().lseek(proc, fd, 0, SEEK_SET);
      last_seen = std::atoi(vfs().read(proc, fd, 16).data.c_str());
    }
  });
  host::Thread publisher = sched().spawn("publisher", [&] {
    for (int i = 0; i < kEvents; ++i) publish_event();
  });
  publisher.join();
  follower.join();
  EXPECT_EQ(timeouts.load(), 0);
  EXPECT_EQ(last_seen.load(), kEvents);
}

}  // namespace
