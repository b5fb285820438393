#include <atomic>
#include <vector>

#include "platform/host/sched.h"
#include "platform/host/tsan.h"
#include "platform/time.h"
#include "support/kernel_test.h"

namespace {

using host::kNsPerMs;
using testing_support::KernelTest;

class SchedulerTest : public KernelTest {};

TEST_F(SchedulerTest, SleepJumpsVirtualTimeWithoutWaiting) {
  const int64_t start = now();
  msleep(5000);
  EXPECT_EQ(now() - start, 5000 * kNsPerMs);
}

TEST_F(SchedulerTest, SleepersWakeInDeadlineOrder) {
  std::vector<int> order;
  std::mutex m;
  auto sleeper = [&](int ms) {
    msleep(ms);
    std::lock_guard<std::mutex> g(m);
    order.push_back(ms);
  };
  host::Thread a = sched().spawn("a", [&] { sleeper(30); });
  host::Thread b = sched().spawn("b", [&] { sleeper(10); });
  host::Thread c = sched().spawn("c", [&] { sleeper(20); });
  a.join();
  b.join();
  c.join();
  EXPECT_EQ(order, (std::vector<int>{10, 20, 30}));
  EXPECT_EQ(now(), 30 * kNsPerMs);
}

TEST_F(SchedulerTest, AdvanceRunsWhatFallsDueAndStopsAtTarget) {
  std::atomic<int> woke{0};
  host::Thread t = sched().spawn("sleeper", [&] {
    msleep(100);
    woke = 1;
    msleep(100);
    woke = 2;
  });
  advance_ms(150);
  EXPECT_EQ(woke.load(), 1);
  EXPECT_EQ(now(), 150 * kNsPerMs);
  advance_ms(50);
  EXPECT_EQ(woke.load(), 2);
  t.join();
}

TEST_F(SchedulerTest, SettleRunsUntilNothingIsScheduled) {
  std::atomic<int> steps{0};
  host::Thread t = sched().spawn("worker", [&] {
    for (int i = 0; i < 10; ++i) {
      msleep(1000);
      ++steps;
    }
  });
  settle();
  EXPECT_EQ(steps.load(), 10);
  EXPECT_EQ(now(), 10000 * kNsPerMs);
  t.join();
}

TEST_F(SchedulerTest, RunUntilStopsWhenThePredicateHolds) {
  std::atomic<int> steps{0};
  host::Thread t = sched().spawn("worker", [&] {
    for (int i = 0; i < 10; ++i) {
      msleep(10);
      ++steps;
    }
  });
  EXPECT_TRUE(sched().run_until([&] { return steps.load() == 3; }));
  EXPECT_EQ(now(), 30 * kNsPerMs);
  EXPECT_FALSE(sched().run_until([&] { return steps.load() == 11; }));
  t.join();
}

TEST_F(SchedulerTest, SleepInAtomicContextIsAWarning) {
  host::current().atomic_depth++;
  msleep(1);
  host::current().atomic_depth--;
  auto w = take_warnings();
  ASSERT_EQ(w.size(), 1u);
  EXPECT_NE(w[0].message.find("sleeping function called from invalid context"), std::string::npos);
  EXPECT_NE(w[0].context.find("atomic"), std::string::npos);
}

using SchedulerDeathTest = SchedulerTest;

TEST_F(SchedulerDeathTest, DeadlockIsReportedWithWhatEachTaskWaitsOn) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        host::Scheduler::Lock lock(sched());
        sched().block(lock, "a wake-up that never comes");
      },
      "deadlock(.|\n)*a wake-up that never comes");
}

#ifdef HOST_TSAN
// The scheduler's own locking must not order the tasks it runs: two tasks that touch the same
// variable, one before a sleep and one after the other's sleep, race, and ThreadSanitizer says
// so although the clock put one write before the other.
volatile int g_racy_value = 0;

TEST_F(SchedulerDeathTest, ThreadSanitizerStillSeesRacesAcrossSleeps) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  setenv("TSAN_OPTIONS", "halt_on_error=1", 1);
  EXPECT_DEATH(
      {
        host::Thread writer = sched().spawn("writer", [] {
          g_racy_value = 1;
          msleep(10);
        });
        msleep(20);
        g_racy_value = 2;
        writer.join();
      },
      "ThreadSanitizer: data race");
}
#endif

}  // namespace
