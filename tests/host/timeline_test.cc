// The timeline: off by default and then empty; a bounded ring that keeps the newest events and
// never hands out a text or a transaction whose bytes were overwritten; and the host kernel's
// hooks: sleeps, work items, interrupt edges and handlers, GPIO levels, publications and the
// pollers they reach, each at the kernel's time and on the task that did it.
#include <fcntl.h>

#include <string>
#include <vector>

#include "platform/gpio.h"
#include "platform/host/gpio_core.h"
#include "platform/host/irq_core.h"
#include "platform/host/timeline.h"
#include "platform/host/vfs.h"
#include "platform/host/workqueues.h"
#include "platform/procfs.h"
#include "platform/time.h"
#include "platform/workqueue.h"
#include "support/kernel_test.h"

namespace {

using host::kNsPerMs;
using host::TimelineEvent;
using host::TimelineKind;
using host::TimelineSnapshot;
using testing_support::KernelTest;

class TimelineOff : public KernelTest {};

class TimelineTest : public KernelTest {
 protected:
  host::BootOptions boot_options() override { return {.timeline = 1024}; }
  host::Timeline& timeline() { return kernel().timeline(); }
  // The events of some kinds, in time order.
  std::vector<TimelineEvent> of_kinds(const TimelineSnapshot& s,
                                      std::initializer_list<TimelineKind> kinds) {
    std::vector<TimelineEvent> out;
    for (const TimelineEvent& e : s.events) {
      for (TimelineKind k : kinds) {
        if (e.kind == k) out.push_back(e);
      }
    }
    return out;
  }
  std::vector<std::string> texts(const TimelineSnapshot& s) {
    std::vector<std::string> out;
    for (const TimelineEvent& e : s.events) out.push_back(s.text_of(e));
    return out;
  }
};

TEST_F(TimelineOff, RecordsNothingUntilStartedAndKeepsWhatItHadAfterStop) {
  EXPECT_FALSE(host::timeline_on());
  msleep(1);
  host::Timeline::note_control("not recorded");
  TimelineSnapshot s = kernel().timeline().snapshot();
  EXPECT_TRUE(s.events.empty());
  EXPECT_FALSE(s.recording);

  kernel().timeline().start(8);
  msleep(2);
  kernel().timeline().stop();
  msleep(3);
  host::Timeline::note_control("after stop");
  s = kernel().timeline().snapshot();
  ASSERT_EQ(s.events.size(), 2u);  // the 2 ms sleep's begin and end only
  EXPECT_EQ(s.events[0].kind, TimelineKind::kSleepBegin);
  EXPECT_EQ(s.events[0].number, 2);
  EXPECT_EQ(s.events[1].time_ns - s.events[0].time_ns, 2 * kNsPerMs);
  EXPECT_FALSE(s.recording);
}

TEST_F(TimelineTest, RingKeepsTheNewestEventsAndCountsWhatItDropped) {
  timeline().start(4);
  for (int i = 0; i < 10; ++i) host::Timeline::note_control(std::to_string(i));
  TimelineSnapshot s = timeline().snapshot();
  EXPECT_EQ(texts(s), (std::vector<std::string>{"6", "7", "8", "9"}));
  EXPECT_EQ(s.dropped, 6u);
  EXPECT_EQ(timeline().recorded(), 10u);

  timeline().clear();
  EXPECT_TRUE(timeline().snapshot().events.empty());
  host::Timeline::note_control("after clear");
  EXPECT_EQ(texts(timeline().snapshot()), (std::vector<std::string>{"after clear"}));
}

TEST_F(TimelineTest, AnEventWhoseBytesWereOverwrittenIsDroppedNeverGarbled) {
  // A ring of 8 events has 8 * 16 bytes for texts: the first text's bytes are reused by the
  // last one, though its event is still in the ring.
  timeline().start(8);
  const std::string first(10, 'x'), a(60, 'a'), b(60, 'b');
  host::Timeline::note_control(first);
  msleep(1);
  host::Timeline::note_control(a);
  host::Timeline::note_control(b);
  TimelineSnapshot s = timeline().snapshot();
  EXPECT_EQ(texts(s), (std::vector<std::string>{"", "", a, b}));
  EXPECT_EQ(s.events[0].kind, TimelineKind::kSleepBegin);
  EXPECT_EQ(s.dropped, 1u);
}

TEST_F(TimelineTest, SleepsAreNotedOnTheirTaskWithTheirLength) {
  host::Thread t = sched().spawn("sleeper", [] { usleep_range(250, 300); });
  settle();
  t.join();
  TimelineSnapshot s = timeline().snapshot();
  auto sleeps = of_kinds(s, {TimelineKind::kSleepBegin, TimelineKind::kSleepEnd});
  ASSERT_EQ(sleeps.size(), 2u);
  EXPECT_EQ(sleeps[0].number, 250);
  EXPECT_EQ(sleeps[0].flags, TimelineEvent::kSleepMicroseconds);
  EXPECT_EQ(sleeps[1].time_ns - sleeps[0].time_ns, 250'000);
  EXPECT_EQ(s.tasks.at(sleeps[0].task), "sleeper");
}

// A work item that sleeps 5 ms.
work_struct g_work;
void sleepy_work(work_struct*) { msleep(5); }
bool kernel_running() { return host::Kernel::get().wq().running(&g_work); }

TEST_F(TimelineTest, WorkIsQueuedStartedAndFinishedOnTheWorkerWithItsSleeps) {
  INIT_WORK(&g_work, sleepy_work);
  ASSERT_TRUE(queue_work(system_wq, &g_work));
  ASSERT_TRUE(sched().run_until([] { return kernel_running(); }));
  EXPECT_TRUE(queue_work(system_wq, &g_work));   // runs once more afterwards
  EXPECT_FALSE(queue_work(system_wq, &g_work));  // already pending
  settle();
  TimelineSnapshot s = timeline().snapshot();
  std::vector<std::string> seen;
  for (const TimelineEvent& e : s.events) {
    switch (e.kind) {
      case TimelineKind::kWorkQueued:
        seen.push_back(e.value ? "queued" : "pending");
        break;
      case TimelineKind::kWorkBegin:
        seen.push_back("begin@" + std::to_string(e.time_ns / kNsPerMs));
        break;
      case TimelineKind::kWorkEnd:
        seen.push_back("end@" + std::to_string(e.time_ns / kNsPerMs));
        break;
      default:
        continue;
    }
    EXPECT_EQ(e.object, reinterpret_cast<uintptr_t>(&g_work));
    EXPECT_EQ(e.func, reinterpret_cast<uintptr_t>(&sleepy_work));
    if (e.kind != TimelineKind::kWorkQueued) {
      EXPECT_EQ(s.tasks.at(e.task), "kworker/0:0");
    }
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"queued", "begin@0", "queued", "pending", "end@5",
                                            "begin@5", "end@10"}));
}

int g_handler_runs = 0;
irqreturn_t count_handler(int, void*) {
  ++g_handler_runs;
  return IRQ_HANDLED;
}

TEST_F(TimelineTest, EdgesAreHandledLatchedOrIgnoredAndHandlersRunBetweenBeginAndEnd) {
  constexpr int kGpio = 5;
  const int irq = host::Irq::gpio_irq(kGpio);
  ASSERT_TRUE(kernel().gpio().add_chip({.label = "bank0", .base = 0, .ngpio = 32}));
  kernel().gpio().set_input(kGpio, 1);  // nobody asked for the interrupt: ignored
  ASSERT_EQ(
      request_threaded_irq(irq, count_handler, nullptr, IRQF_TRIGGER_FALLING, "probe", nullptr), 0);
  kernel().gpio().set_input(kGpio, 0);  // handled
  kernel().gpio().set_input(kGpio, 1);  // a rising edge, which it did not ask for: ignored
  disable_irq(irq);
  kernel().gpio().set_input(kGpio, 0);  // latched
  enable_irq(irq);                      // replayed: the handler runs
  free_irq(irq, nullptr);

  TimelineSnapshot s = timeline().snapshot();
  std::vector<std::string> seen;
  for (const TimelineEvent& e : s.events) {
    switch (e.kind) {
      case TimelineKind::kLine:
        seen.push_back("line " + std::to_string(e.number) + "=" + std::to_string(e.value));
        break;
      case TimelineKind::kIrqEdge:
        seen.push_back(std::string(e.flags & TimelineEvent::kEdgeRising ? "rise " : "fall ") +
                       std::to_string(e.value));
        break;
      case TimelineKind::kIrqHandlerBegin:
        seen.push_back("begin");
        break;
      case TimelineKind::kIrqHandlerEnd:
        seen.push_back("end");
        break;
      default:
        break;
    }
  }
  EXPECT_EQ(seen,
            (std::vector<std::string>{"line 5=1", "rise 0", "line 5=0", "fall 1", "begin", "end",
                                      "line 5=1", "rise 0", "line 5=0", "fall 2", "begin", "end"}));
  EXPECT_EQ(g_handler_runs, 2);
  EXPECT_EQ(s.irqs.at(irq), "probe");
}

TEST_F(TimelineTest, DrivenOutputsAreNotedEachTimeTheModuleDrivesThem) {
  ASSERT_TRUE(kernel().gpio().add_chip({.label = "bank0", .base = 0, .ngpio = 32}));
  ASSERT_EQ(gpio_request(7, "power"), 0);
  gpiod_direction_output_raw(gpio_to_desc(7), 1);
  gpiod_set_raw_value(gpio_to_desc(7), 0);
  gpiod_set_raw_value(gpio_to_desc(7), 0);
  gpio_free(7);
  auto lines = of_kinds(timeline().snapshot(), {TimelineKind::kLine});
  ASSERT_EQ(lines.size(), 3u);
  for (const TimelineEvent& e : lines) {
    EXPECT_EQ(e.number, 7);
    EXPECT_EQ(e.flags, TimelineEvent::kLineOutput);
  }
  EXPECT_EQ(lines[0].value, 1);
  EXPECT_EQ(lines[1].value, 0);
}

// A file with a wait queue: a publication wakes it.
DECLARE_WAIT_QUEUE_HEAD(g_wq);
__poll_t wq_poll(file* f, poll_table* pt) {
  poll_wait(f, &g_wq, pt);
  return 0;
}
const file_operations kPollFops = {nullptr, nullptr, nullptr, nullptr,
                                   wq_poll, nullptr, nullptr, nullptr};

TEST_F(TimelineTest, APublicationCountsItsWaitersAndEachPollerItReachesIsNoted) {
  init_waitqueue_head(&g_wq);
  ASSERT_NE(proc_create("events", 0444, nullptr, &kPollFops), nullptr);
  host::Process a{700, 0, 0, "follower"}, b{701, 0, 0, "other"};
  const int fa = kernel().vfs().open(a, "/proc/events", O_RDONLY);
  const int fb = kernel().vfs().open(b, "/proc/events", O_RDONLY);
  host::PollWatchResult wa = kernel().vfs().poll_watch(
      a, fa, [] {}, /*one_shot=*/false);
  host::PollWatchResult wb = kernel().vfs().poll_watch(
      b, fb, [] {}, /*one_shot=*/false);

  wake_up_interruptible(&g_wq);
  wb.watch.reset();  // b stops waiting
  wake_up_interruptible(&g_wq);

  TimelineSnapshot s = timeline().snapshot();
  auto events = of_kinds(s, {TimelineKind::kPublish, TimelineKind::kPollerWoken});
  std::vector<std::string> seen;
  for (const TimelineEvent& e : events) {
    seen.push_back(e.kind == TimelineKind::kPublish ? "publish " + std::to_string(e.value)
                                                    : "woken " + std::to_string(e.number));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"publish 2", "woken 700", "woken 701", "publish 1",
                                            "woken 700"}));
  EXPECT_EQ(events[0].object, events[1].object);  // the same wait queue
  EXPECT_EQ(s.processes.at(700), "follower");
  wa.watch.reset();
  kernel().vfs().close(a, fa);
  kernel().vfs().close(b, fb);
  remove_proc_entry("events", nullptr);
}

}  // namespace
