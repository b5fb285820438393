#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <vector>

#include "platform/host/kernel.h"
#include "platform/host/sched.h"
#include "platform/host/timers.h"
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

// The timer thread waits for the earliest timer it knows; one armed earlier than that while it
// waits, or due at once, still runs at its own time, and none runs before it is due.
TEST_F(SchedulerTest, TimersRunAtTheirOwnTimesWhateverOrderTheyWereArmedIn) {
  host::Timers& timers = host::Kernel::get().timers();
  std::mutex m;
  std::vector<std::pair<int, int64_t>> ran;  // (timer, virtual time it ran at)
  auto arm = [&](int which, int64_t when) {
    timers.add(when, [&, which] {
      std::lock_guard<std::mutex> g(m);
      ran.emplace_back(which, now());
    });
  };
  const int64_t t0 = now();
  arm(1, t0 + 100 * kNsPerMs);
  advance_ms(10);  // the timer thread now waits for timer 1
  arm(2, t0 + 50 * kNsPerMs);
  arm(3, t0 + 30 * kNsPerMs);
  advance_ms(35);  // to 45 ms: timer 3 only
  {
    std::lock_guard<std::mutex> g(m);
    ASSERT_EQ(ran.size(), 1u);
    EXPECT_EQ(ran[0], std::make_pair(3, t0 + 30 * kNsPerMs));
  }
  arm(4, now());  // due at once: runs before the clock moves
  advance_ms(0);
  {
    std::lock_guard<std::mutex> g(m);
    ASSERT_EQ(ran.size(), 2u);
    EXPECT_EQ(ran[1], std::make_pair(4, t0 + 45 * kNsPerMs));
  }
  settle();
  std::lock_guard<std::mutex> g(m);
  ASSERT_EQ(ran.size(), 4u);
  EXPECT_EQ(ran[2], std::make_pair(2, t0 + 50 * kNsPerMs));
  EXPECT_EQ(ran[3], std::make_pair(1, t0 + 100 * kNsPerMs));
  EXPECT_EQ(now(), t0 + 100 * kNsPerMs);
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

cpu_set_t cpus_of_this_thread() {
  cpu_set_t set;
  CPU_ZERO(&set);
  EXPECT_EQ(pthread_getaffinity_np(pthread_self(), sizeof set, &set), 0);
  return set;
}

// The CPUs a task thread of the running kernel may run on.
cpu_set_t cpus_of_a_task() {
  cpu_set_t set;
  host::Thread t = host::Kernel::get().sched().spawn("cpus", [&] { set = cpus_of_this_thread(); });
  t.join();
  return set;
}

TEST(SchedulerCpus, VirtualTasksShareOneCpuAndTheThreadThatShutsDownGetsItsCpusBack) {
  cpu_set_t before = cpus_of_this_thread();
  host::Kernel::boot({.one_cpu = true});
  const cpu_set_t booted = cpus_of_this_thread();
  EXPECT_EQ(CPU_COUNT(&booted), 1);
  const cpu_set_t task = cpus_of_a_task();
  EXPECT_TRUE(CPU_EQUAL(&task, &booted)) << "a task on another CPU than the booting thread";
  host::Kernel::shutdown();
  cpu_set_t after = cpus_of_this_thread();
  EXPECT_TRUE(CPU_EQUAL(&after, &before)) << "the pin outlived the kernel";

  // Real time, or virtual time without one_cpu (the default): nobody is pinned.
  for (const host::BootOptions& o :
       {host::BootOptions{.clock = host::ClockMode::kReal, .one_cpu = true}, host::BootOptions{}}) {
    host::Kernel::boot(o);
    after = cpus_of_this_thread();
    EXPECT_TRUE(CPU_EQUAL(&after, &before));
    const cpu_set_t t = cpus_of_a_task();
    EXPECT_TRUE(CPU_EQUAL(&t, &before));
    host::Kernel::shutdown();
  }
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
