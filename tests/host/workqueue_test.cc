#include <atomic>
#include <cstring>
#include <string>

#include "platform/host/workqueues.h"
#include "platform/time.h"
#include "platform/workqueue.h"
#include "support/kernel_test.h"

namespace {

using host::kNsPerMs;
using testing_support::KernelTest;

struct TestWork;
TestWork* g_test_work = nullptr;  // the fixture's item; the handler finds its state here

// A work item with a handler that can sleep, requeue itself and count overlapping runs.
struct TestWork {
  work_struct work;
  std::atomic<int> sleep_ms{0};
  std::atomic<int> inside{0};
  std::atomic<int> max_inside{0};
  std::atomic<bool> requeue_once{false};
  std::atomic<bool> requeue_result{true};
  std::string worker_name;  // written by the handler, read after a flush or settle

  static void handler(work_struct* w) {
    TestWork* self = g_test_work;
    const int now_inside = ++self->inside;
    int seen = self->max_inside.load();
    while (now_inside > seen && !self->max_inside.compare_exchange_weak(seen, now_inside)) {
    }
    self->worker_name = host::current().name;
    if (self->sleep_ms > 0) msleep(static_cast<unsigned>(self->sleep_ms.load()));
    if (self->requeue_once.exchange(false)) self->requeue_result = queue_work(system_wq, w);
    --self->inside;
  }
};

class WorkqueueTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    g_test_work = &t;
    INIT_WORK(&t.work, TestWork::handler);
  }
  uint64_t runs() { return kernel().wq().runs(&t.work); }
  // Occupies the single worker with an item that sleeps for `ms`, so that items queued now
  // stay pending (virtual time stands still while this test's thread runs).
  void occupy_worker(unsigned ms) {
    blocker_ms = ms;
    INIT_WORK(&blocker, [](work_struct*) { msleep(blocker_ms); });
    ASSERT_TRUE(queue_work(system_wq, &blocker));
    ASSERT_TRUE(sched().run_until([&] { return kernel().wq().running(&blocker); }));
  }
  static inline unsigned blocker_ms = 0;
  work_struct blocker;
  void run_until_running() {
    ASSERT_TRUE(sched().run_until([&] { return kernel().wq().running(&t.work); }));
  }
  TestWork t;
};

TEST_F(WorkqueueTest, QueuedItemRunsOnceOnTheKernelWorker) {
  EXPECT_TRUE(queue_work(system_wq, &t.work));
  settle();
  EXPECT_FALSE(work_pending(&t.work));
  EXPECT_EQ(runs(), 1u);
  flush_work(&t.work);  // orders the handler's writes before the reads below
  EXPECT_EQ(t.worker_name, "kworker/0:0");
  EXPECT_TRUE(kernel().wq().idle());
}

TEST_F(WorkqueueTest, PendingItemCollapsesRepeatedQueueing) {
  occupy_worker(10);
  EXPECT_TRUE(queue_work(system_wq, &t.work));
  EXPECT_TRUE(work_pending(&t.work));
  EXPECT_FALSE(queue_work(system_wq, &t.work));
  EXPECT_FALSE(schedule_work(&t.work));
  settle();
  EXPECT_EQ(runs(), 1u);
  // Once it has run, it can be queued again.
  EXPECT_TRUE(queue_work(system_wq, &t.work));
  settle();
  EXPECT_EQ(runs(), 2u);
}

TEST_F(WorkqueueTest, ItemQueuedWhileRunningRunsOnceMoreAndNeverOverlaps) {
  t.sleep_ms = 10;
  ASSERT_TRUE(queue_work(system_wq, &t.work));
  run_until_running();
  EXPECT_FALSE(work_pending(&t.work));
  EXPECT_TRUE(queue_work(system_wq, &t.work));
  EXPECT_FALSE(queue_work(system_wq, &t.work));
  settle();
  EXPECT_EQ(runs(), 2u);
  EXPECT_EQ(t.max_inside.load(), 1);
  EXPECT_EQ(now(), 20 * kNsPerMs);
}

TEST_F(WorkqueueTest, QueueingFromHardInterruptContextIsAllowed) {
  host::Task& self = host::current();
  self.hardirq_depth++;
  const bool queued = queue_work(system_wq, &t.work);
  self.hardirq_depth--;
  EXPECT_TRUE(queued);
  settle();
  EXPECT_EQ(runs(), 1u);
}

TEST_F(WorkqueueTest, CancelDropsAPendingRun) {
  occupy_worker(10);
  ASSERT_TRUE(queue_work(system_wq, &t.work));
  EXPECT_TRUE(cancel_work_sync(&t.work));
  settle();
  EXPECT_EQ(runs(), 0u);
  EXPECT_FALSE(cancel_work_sync(&t.work));
}

TEST_F(WorkqueueTest, CancelWaitsInTheSchedulerForARunningRun) {
  t.sleep_ms = 100;
  ASSERT_TRUE(queue_work(system_wq, &t.work));
  run_until_running();
  const int64_t start = now();
  EXPECT_FALSE(cancel_work_sync(&t.work));  // nothing was pending
  EXPECT_FALSE(kernel().wq().running(&t.work));
  EXPECT_EQ(runs(), 1u);
  EXPECT_EQ(now() - start, 100 * kNsPerMs);
}

TEST_F(WorkqueueTest, CancelDropsTheRerunOfARunningItem) {
  t.sleep_ms = 50;
  ASSERT_TRUE(queue_work(system_wq, &t.work));
  run_until_running();
  ASSERT_TRUE(queue_work(system_wq, &t.work));
  EXPECT_TRUE(cancel_work_sync(&t.work));
  settle();
  EXPECT_EQ(runs(), 1u);
}

TEST_F(WorkqueueTest, ItemCannotRequeueItselfWhileBeingCancelled) {
  t.sleep_ms = 50;
  t.requeue_once = true;
  ASSERT_TRUE(queue_work(system_wq, &t.work));
  run_until_running();
  cancel_work_sync(&t.work);
  EXPECT_FALSE(t.requeue_result.load());
  settle();
  EXPECT_EQ(runs(), 1u);
  EXPECT_TRUE(kernel().wq().idle());
}

TEST_F(WorkqueueTest, FlushWaitsForThePendingRunAndReportsIdleItems) {
  t.sleep_ms = 30;
  EXPECT_FALSE(flush_work(&t.work));
  occupy_worker(10);
  ASSERT_TRUE(queue_work(system_wq, &t.work));
  EXPECT_TRUE(flush_work(&t.work));
  EXPECT_EQ(runs(), 1u);
  EXPECT_EQ(now(), 40 * kNsPerMs);
  // Handler state is visible to the flusher (checked by ThreadSanitizer builds).
  EXPECT_EQ(t.worker_name, "kworker/0:0");
}

TEST_F(WorkqueueTest, FlushOfARunningItemWithARerunWaitsForBoth) {
  t.sleep_ms = 10;
  ASSERT_TRUE(queue_work(system_wq, &t.work));
  run_until_running();
  ASSERT_TRUE(queue_work(system_wq, &t.work));
  EXPECT_TRUE(flush_work(&t.work));
  EXPECT_EQ(runs(), 2u);
}

TEST_F(WorkqueueTest, ZeroFilledItemIsNotQueuedAndWarns) {
  work_struct blank;
  std::memset(&blank, 0, sizeof blank);
  EXPECT_FALSE(queue_work(system_wq, &blank));
  EXPECT_FALSE(work_pending(&blank));
  EXPECT_FALSE(cancel_work_sync(&blank));
  auto warnings = take_warnings();
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].message.find("uninitialised work item"), std::string::npos);
  settle();
}

TEST_F(WorkqueueTest, ReinitialisingAPendingItemWarnsAndKeepsItsRun) {
  occupy_worker(10);
  ASSERT_TRUE(queue_work(system_wq, &t.work));
  INIT_WORK(&t.work, TestWork::handler);
  auto warnings = take_warnings();
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].message.find("init active"), std::string::npos);
  settle();
  EXPECT_EQ(runs(), 1u);
  // Re-initialising an idle item is fine and starts its count afresh.
  INIT_WORK(&t.work, TestWork::handler);
  EXPECT_EQ(runs(), 0u);
}

}  // namespace
