// Interrupts: edge delivery in hard-IRQ context, masking with latching and replay, waiting for a
// running handler, the request/free rules and threaded handlers.
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/errno.h"
#include "platform/gpio.h"
#include "platform/host/faults.h"
#include "platform/host/gpio_core.h"
#include "platform/host/irq_core.h"
#include "platform/time.h"
#include "support/kernel_test.h"

namespace {

using testing_support::KernelTest;

constexpr int kLine = 5;
constexpr int kIrq = host::Irq::kGpioIrqBase + kLine;

// What a handler saw. A handler can be held (it spins, without sleeping) to stand for one that
// takes a while on its CPU.
struct Probe {
  std::atomic<int> runs{0};
  std::atomic<int> in_flight{0};
  std::atomic<int> max_in_flight{0};
  std::atomic<bool> hold{false};
  std::atomic<bool> entered{false};
  std::atomic<bool> always_in_interrupt{true};
  std::atomic<bool> sleep{false};
  std::mutex mutex;
  std::vector<std::thread::id> threads;
};

irqreturn_t probe_handler(int irq, void* dev) {
  (void)irq;
  auto* p = static_cast<Probe*>(dev);
  const int now = ++p->in_flight;
  int seen = p->max_in_flight.load();
  while (now > seen && !p->max_in_flight.compare_exchange_weak(seen, now)) {
  }
  if (!in_interrupt()) p->always_in_interrupt = false;
  {
    std::lock_guard<std::mutex> g(p->mutex);
    p->threads.push_back(std::this_thread::get_id());
  }
  p->entered = true;
  while (p->hold.load()) std::this_thread::yield();
  if (p->sleep) msleep(1);
  --p->in_flight;
  ++p->runs;
  return IRQ_HANDLED;
}

template <class Pred>
void spin_until(Pred pred) {
  while (!pred()) std::this_thread::yield();
}

class IrqTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    ASSERT_TRUE(kernel().gpio().add_chip({.label = "bank0", .base = 0, .ngpio = 32}));
  }
  host::Irq& irq() { return kernel().irq(); }
  void line(int level) { kernel().gpio().set_input(kLine, level); }
  int request(Probe& p, unsigned long flags = IRQF_TRIGGER_RISING | IRQF_TRIGGER_FALLING) {
    return request_irq(kIrq, probe_handler, flags, "init_gpio_irq", &p);
  }
  bool warned_with(const std::string& text) {
    for (const auto& w : take_warnings()) {
      if (w.message.find(text) != std::string::npos) return true;
    }
    return false;
  }
};

TEST_F(IrqTest, BothEdgesRunTheHandlerInHardIrqContextOnTheRaisingThread) {
  Probe p;
  ASSERT_EQ(gpio_to_irq(kLine), kIrq);
  ASSERT_EQ(request(p), 0);
  EXPECT_EQ(irq().name(kIrq), "init_gpio_irq");
  EXPECT_EQ(irq().depth(kIrq), 0);

  line(1);
  EXPECT_EQ(p.runs, 1);
  line(1);  // no change, no edge
  EXPECT_EQ(p.runs, 1);
  line(0);
  EXPECT_EQ(p.runs, 2);
  EXPECT_EQ(irq().runs(kIrq), 2u);
  EXPECT_TRUE(p.always_in_interrupt);
  EXPECT_FALSE(in_interrupt());
  EXPECT_EQ(p.threads, (std::vector<std::thread::id>(2, std::this_thread::get_id())));
  free_irq(kIrq, &p);
}

TEST_F(IrqTest, TheTriggerSelectsTheEdges) {
  struct Case {
    unsigned long flags;
    int runs_on_rise;
    int runs_on_fall;
  };
  const Case cases[] = {
      {IRQF_TRIGGER_RISING, 1, 0},
      {IRQF_TRIGGER_FALLING, 0, 1},
      {IRQF_TRIGGER_RISING | IRQF_TRIGGER_FALLING, 1, 1},
      {IRQF_TRIGGER_NONE, 1, 1},
  };
  for (const Case& c : cases) {
    Probe p;
    ASSERT_EQ(request(p, c.flags), 0);
    line(1);
    EXPECT_EQ(p.runs, c.runs_on_rise) << c.flags;
    line(0);
    EXPECT_EQ(p.runs, c.runs_on_rise + c.runs_on_fall) << c.flags;
    free_irq(kIrq, &p);
  }
}

TEST_F(IrqTest, EdgesWhileDisabledLatchAndReplayOnceWhenTheDepthReturnsToZero) {
  Probe p;
  ASSERT_EQ(request(p), 0);
  disable_irq(kIrq);
  line(1);
  line(0);
  line(1);
  EXPECT_EQ(p.runs, 0);
  EXPECT_EQ(irq().latched(kIrq), 3u);
  EXPECT_TRUE(irq().pending(kIrq));

  disable_irq_nosync(kIrq);
  EXPECT_EQ(irq().depth(kIrq), 2);
  enable_irq(kIrq);
  EXPECT_EQ(p.runs, 0);  // still masked at depth 1
  enable_irq(kIrq);
  EXPECT_EQ(p.runs, 1);  // the latched edges replay as one run, on this thread
  EXPECT_TRUE(p.always_in_interrupt);
  EXPECT_FALSE(irq().pending(kIrq));

  enable_irq(kIrq);
  EXPECT_TRUE(warned_with("Unbalanced enable for IRQ 105"));
  EXPECT_EQ(irq().depth(kIrq), 0);
  line(0);
  EXPECT_EQ(p.runs, 2);  // still enabled after the unbalanced call
  free_irq(kIrq, &p);
}

TEST_F(IrqTest, EdgesOnAFreeInterruptAreDropped) {
  Probe p;
  line(1);
  line(0);
  ASSERT_EQ(request(p), 0);
  EXPECT_EQ(p.runs, 0);
  EXPECT_FALSE(irq().pending(kIrq));
  free_irq(kIrq, &p);
  EXPECT_EQ(irq().depth(kIrq), 1);
  line(1);
  EXPECT_EQ(p.runs, 0);
  EXPECT_FALSE(irq().pending(kIrq));
}

TEST_F(IrqTest, RequestAndFreeRules) {
  Probe a, b;
  static const char kName[] = "first";
  ASSERT_EQ(request_irq(kIrq, probe_handler, IRQF_TRIGGER_RISING, kName, &a), 0);
  EXPECT_EQ(request_irq(kIrq, probe_handler, IRQF_TRIGGER_RISING, "second", &b), -EBUSY);
  // A refused threaded request leaves no thread behind.
  EXPECT_EQ(request_threaded_irq(kIrq, nullptr, probe_handler, IRQF_TRIGGER_RISING | IRQF_ONESHOT,
                                 "third", &b),
            -EBUSY);
  EXPECT_EQ(free_irq(kIrq, &b), nullptr);
  EXPECT_TRUE(warned_with("Trying to free already-free IRQ 105"));
  EXPECT_EQ(free_irq(kIrq, &a), kName);
  EXPECT_EQ(free_irq(kIrq, &a), nullptr);
  EXPECT_TRUE(warned_with("Trying to free already-free IRQ 105"));

  EXPECT_EQ(request_threaded_irq(kIrq, nullptr, nullptr, IRQF_TRIGGER_RISING, "x", &a), -EINVAL);
  EXPECT_EQ(request_threaded_irq(kIrq, nullptr, probe_handler, IRQF_TRIGGER_RISING, "x", &a),
            -EINVAL);  // a thread alone needs IRQF_ONESHOT
  EXPECT_EQ(request_irq(kIrq, probe_handler, IRQF_TRIGGER_HIGH, "x", &a), -EINVAL);
  EXPECT_EQ(request_irq(kIrq, probe_handler, IRQF_SHARED, "x", nullptr), -EINVAL);
  EXPECT_EQ(request_irq(host::Irq::kGpioIrqBase + 40, probe_handler, 0, "x", &a), -EINVAL);
  EXPECT_FALSE(irq().requested(kIrq));

  kernel().faults().inject({.call = "request_irq", .match = "105", .error = -ENOMEM});
  EXPECT_EQ(request(a), -ENOMEM);
  EXPECT_FALSE(irq().requested(kIrq));
}

TEST_F(IrqTest, SharedActionsAllRunOnEachEdge) {
  Probe a, b;
  ASSERT_EQ(request_irq(kIrq, probe_handler, IRQF_SHARED | IRQF_TRIGGER_RISING, "a", &a), 0);
  ASSERT_EQ(request_irq(kIrq, probe_handler, IRQF_SHARED | IRQF_TRIGGER_RISING, "b", &b), 0);
  line(1);
  EXPECT_EQ(a.runs, 1);
  EXPECT_EQ(b.runs, 1);
  free_irq(kIrq, &a);
  line(0);
  line(1);
  EXPECT_EQ(a.runs, 1);
  EXPECT_EQ(b.runs, 2);
  free_irq(kIrq, &b);
}

TEST_F(IrqTest, DisableIrqWaitsForARunningHandler) {
  Probe p;
  ASSERT_EQ(request(p), 0);
  p.hold = true;
  host::Thread raiser = sched().spawn("raiser", [&] { line(1); });
  spin_until([&] { return p.entered.load(); });

  std::atomic<bool> disabled{false};
  host::Thread disabler = sched().spawn("disabler", [&] {
    disable_irq(kIrq);
    disabled = true;
  });
  spin_until([&] { return irq().depth(kIrq) == 1; });
  // The depth is raised, but disable_irq cannot return while the handler runs.
  EXPECT_FALSE(disabled);
  EXPECT_TRUE(irq().running(kIrq));
  p.hold = false;
  disabler.join();
  EXPECT_TRUE(disabled);
  EXPECT_EQ(p.runs, 1);
  raiser.join();
  enable_irq(kIrq);
  free_irq(kIrq, &p);
}

TEST_F(IrqTest, FreeIrqWaitsForARunningHandler) {
  Probe p;
  ASSERT_EQ(request(p), 0);
  p.hold = true;
  host::Thread raiser = sched().spawn("raiser", [&] { line(1); });
  spin_until([&] { return p.entered.load(); });
  std::atomic<bool> freed{false};
  host::Thread freer = sched().spawn("freer", [&] {
    free_irq(kIrq, &p);
    freed = true;
  });
  spin_until([&] { return !irq().requested(kIrq); });
  EXPECT_FALSE(freed);
  p.hold = false;
  freer.join();
  EXPECT_TRUE(freed);
  EXPECT_EQ(p.runs, 1);
  raiser.join();
}

TEST_F(IrqTest, AnEdgeDuringARunIsHandledOnceMoreByTheRunningThread) {
  Probe p;
  ASSERT_EQ(request(p), 0);
  p.hold = true;
  std::thread::id raiser_id;
  host::Thread raiser = sched().spawn("raiser", [&] {
    raiser_id = std::this_thread::get_id();
    line(1);
  });
  spin_until([&] { return p.entered.load(); });
  // Two more edges from another CPU: each returns at once and marks the interrupt pending.
  host::Thread other = sched().spawn("other", [&] {
    line(0);
    line(1);
  });
  other.join();
  EXPECT_EQ(p.runs, 0);
  EXPECT_TRUE(irq().pending(kIrq));
  p.hold = false;
  raiser.join();
  EXPECT_EQ(p.runs, 2);
  EXPECT_EQ(p.max_in_flight, 1);
  EXPECT_EQ(p.threads, (std::vector<std::thread::id>(2, raiser_id)));
  EXPECT_EQ(irq().latched(kIrq), 2u);
  free_irq(kIrq, &p);
}

TEST_F(IrqTest, SleepingInAHandlerIsReported) {
  Probe p;
  p.sleep = true;
  ASSERT_EQ(request(p), 0);
  line(1);
  EXPECT_EQ(p.runs, 1);
  EXPECT_TRUE(warned_with("sleeping function called from invalid context"));
  free_irq(kIrq, &p);
}

struct Threaded {
  std::atomic<int> hard{0};
  std::atomic<int> threaded{0};
  std::atomic<bool> thread_in_interrupt{false};
};

irqreturn_t wake_thread(int, void* dev) {
  ++static_cast<Threaded*>(dev)->hard;
  return IRQ_WAKE_THREAD;
}

irqreturn_t thread_fn(int, void* dev) {
  auto* t = static_cast<Threaded*>(dev);
  if (in_interrupt()) t->thread_in_interrupt = true;
  msleep(10);  // process context may sleep
  ++t->threaded;
  return IRQ_HANDLED;
}

TEST_F(IrqTest, ThreadedHandlerRunsInProcessContextAndOneshotHoldsTheLine) {
  Threaded t;
  ASSERT_EQ(request_threaded_irq(kIrq, wake_thread, thread_fn, IRQF_TRIGGER_RISING | IRQF_ONESHOT,
                                 "thr", &t),
            0);
  const int64_t start = now();
  irq().edge(kIrq, true);
  irq().edge(kIrq, true);  // latched: the line stays masked until the thread is done
  EXPECT_EQ(t.hard, 1);
  settle();
  EXPECT_EQ(t.hard, 2);
  EXPECT_EQ(t.threaded, 2);
  EXPECT_EQ(irq().thread_runs(kIrq), 2u);
  EXPECT_EQ(irq().latched(kIrq), 1u);
  EXPECT_FALSE(t.thread_in_interrupt);
  EXPECT_EQ(now() - start, 20 * host::kNsPerMs);
  free_irq(kIrq, &t);
}

}  // namespace
