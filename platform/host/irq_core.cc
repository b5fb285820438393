// Interrupt descriptors and hard-IRQ dispatch, and the request_irq family of entry points.
//
// Every descriptor field is guarded by the scheduler lock, so that disable_irq and free_irq can
// wait for a running handler in the scheduler. Handlers are called with that lock released.
#include <algorithm>
#include <string>

#include "faults.h"
#include "irq_core.h"
#include "kernel.h"
#include "log.h"
#include "platform/errno.h"
#include "timeline.h"
#include "tsan.h"
#include "warn.h"

namespace host {

struct Irq::Action {
  irq_handler_t handler = nullptr;
  irq_handler_t thread_fn = nullptr;
  unsigned long flags = 0;
  const char* name = nullptr;
  void* dev = nullptr;
  // The action's kernel thread, when it has a thread_fn. Scheduler lock.
  bool thread_wake = false;
  bool thread_stop = false;
  Task* thread_task = nullptr;
  Thread thread;
};

struct Irq::Desc {
  bool exists = false;
  std::vector<std::unique_ptr<Action>> actions;
  unsigned long trigger = 0;  // IRQF_TRIGGER_RISING and/or IRQF_TRIGGER_FALLING
  int depth = 1;              // disabled while not requested, as in Linux
  bool pending = false;       // an edge waits to be handled
  bool oneshot_masked = false;
  bool running = false;  // hard handlers are being called
  Task* running_task = nullptr;
  int threads_active = 0;  // woken thread_fns that have not finished
  uint64_t runs = 0;
  uint64_t latched = 0;
  uint64_t thread_runs = 0;
  std::vector<Task*> waiters;  // tasks in disable_irq/free_irq

  bool masked() const { return depth > 0 || oneshot_masked; }
};

namespace {

Scheduler& sched() { return Kernel::get().sched(); }

// Records the WARN that CONFIG_DEBUG_ATOMIC_SLEEP gives a call that may sleep.
void might_sleep(const char* what) {
  if (in_atomic_context())
    warn_context("BUG: sleeping function called from invalid context (%s)", what);
}

void wake_waiters_locked(std::vector<Task*>& waiters) {
  for (Task* t : waiters) sched().wake(t);
}

void log_err(const std::string& text) { Kernel::get().log().printk(("\0013" + text).c_str()); }

}  // namespace

Irq::Irq() {
  descs_.reserve(kNrIrqs);
  for (int i = 0; i < kNrIrqs; ++i) descs_.push_back(std::make_unique<Desc>());
}

Irq::~Irq() { stop(); }

Irq::Desc* Irq::desc(int irq) const {
  if (irq < 0 || irq >= kNrIrqs) return nullptr;
  return descs_[irq].get();
}

bool Irq::create(int irq) {
  Desc* d = desc(irq);
  if (d == nullptr) return false;
  Scheduler::Lock lock(sched());
  d->exists = true;
  return true;
}

bool Irq::exists(int irq) const {
  Desc* d = desc(irq);
  if (d == nullptr) return false;
  Scheduler::Lock lock(sched());
  return d->exists;
}

void Irq::handle_locked(Desc* d, int irq, Scheduler::Lock& lock) {
  struct Call {
    irq_handler_t handler;
    void* dev;
    Action* action;
  };
  d->running_task = &current();
  for (;;) {
    d->pending = false;
    std::vector<Call> calls;
    for (const auto& a : d->actions) calls.push_back({a->handler, a->dev, a.get()});
    lock.unlock();
    tsan::acquire(d);
    std::vector<Action*> to_wake;
    Task& self = current();
    const bool traced = timeline_on();
    if (traced) {
      if (!calls.empty()) Kernel::get().timeline().name_irq(irq, calls.front().action->name);
      Timeline::note(TimelineKind::kIrqHandlerBegin, irq);
    }
    self.hardirq_depth++;
    for (const Call& c : calls) {
      irqreturn_t r = c.handler != nullptr ? c.handler(irq, c.dev) : IRQ_WAKE_THREAD;
      if (r == IRQ_WAKE_THREAD) to_wake.push_back(c.action);
    }
    self.hardirq_depth--;
    if (traced) Timeline::note(TimelineKind::kIrqHandlerEnd, irq);
    tsan::release(d);
    lock.lock();
    d->runs += std::count_if(calls.begin(), calls.end(),
                             [](const Call& c) { return c.handler != nullptr; });
    for (Action* a : to_wake) {
      // The action may have been freed while its handler ran.
      bool alive = std::any_of(d->actions.begin(), d->actions.end(),
                               [a](const auto& p) { return p.get() == a; });
      if (!alive || a->thread_fn == nullptr || a->thread_wake) continue;
      a->thread_wake = true;
      d->threads_active++;
      if (a->flags & IRQF_ONESHOT) d->oneshot_masked = true;
      if (a->thread_task != nullptr) sched().wake(a->thread_task);
    }
    if (!d->pending || d->masked() || d->actions.empty()) break;
  }
  d->running = false;
  d->running_task = nullptr;
  wake_waiters_locked(d->waiters);
}

namespace {

void note_edge(int irq, bool rising, IrqOutcome outcome) {
  Timeline::note(TimelineKind::kIrqEdge, irq, static_cast<int32_t>(outcome),
                 rising ? TimelineEvent::kEdgeRising : 0);
}

}  // namespace

void Irq::edge(int irq, bool rising) {
  Desc* d = desc(irq);
  if (d == nullptr) return;
  tsan::release(d);
  const bool traced = timeline_on();
  // The timeline names the calling task under the scheduler lock: attach it before.
  if (traced) current();
  Scheduler::Lock lock(sched());
  if (!d->exists || d->actions.empty() ||
      (d->trigger & (rising ? IRQF_TRIGGER_RISING : IRQF_TRIGGER_FALLING)) == 0) {
    if (traced && d->exists) note_edge(irq, rising, IrqOutcome::kIgnored);
    return;
  }
  if (d->masked() || d->running) {
    d->pending = true;
    d->latched++;
    if (traced) note_edge(irq, rising, IrqOutcome::kLatched);
    return;
  }
  if (traced) note_edge(irq, rising, IrqOutcome::kHandled);
  d->running = true;
  handle_locked(d, irq, lock);
}

void Irq::thread_main(Desc* d, int irq, Action* a) {
  Scheduler::Lock lock(sched());
  a->thread_task = &current();
  for (;;) {
    sched().wait(lock, "irq thread", [&] { return a->thread_wake || a->thread_stop; });
    if (a->thread_stop) break;
    a->thread_wake = false;
    irq_handler_t fn = a->thread_fn;
    void* dev = a->dev;
    lock.unlock();
    tsan::acquire(d);
    const bool traced = timeline_on();
    if (traced) Timeline::note(TimelineKind::kIrqThreadBegin, irq);
    fn(irq, dev);
    if (traced) Timeline::note(TimelineKind::kIrqThreadEnd, irq);
    tsan::release(d);
    lock.lock();
    d->thread_runs++;
    d->threads_active--;
    if (a->flags & IRQF_ONESHOT) {
      d->oneshot_masked = false;
      if (d->pending && !d->masked() && !d->running && !d->actions.empty()) {
        d->running = true;
        handle_locked(d, irq, lock);
      }
    }
    wake_waiters_locked(d->waiters);
  }
  if (a->thread_wake) {
    a->thread_wake = false;
    d->threads_active--;
  }
  a->thread_task = nullptr;
}

int Irq::request_threaded(unsigned irq, irq_handler_t handler, irq_handler_t thread_fn,
                          unsigned long flags, const char* name, void* dev) {
  might_sleep("request_threaded_irq");
  if (auto err = fault("request_irq", std::to_string(irq))) return *err;
  Desc* d = desc(static_cast<int>(irq));
  if (d == nullptr || !exists(static_cast<int>(irq))) return -EINVAL;
  if (handler == nullptr && thread_fn == nullptr) return -EINVAL;
  if ((flags & IRQF_SHARED) && dev == nullptr) return -EINVAL;
  if (handler == nullptr && !(flags & IRQF_ONESHOT)) {
    log_err("genirq: Threaded irq requested with handler=NULL and !ONESHOT for irq " +
            std::to_string(irq) + "\n");
    return -EINVAL;
  }
  if (flags & (IRQF_TRIGGER_HIGH | IRQF_TRIGGER_LOW)) return -EINVAL;
  unsigned long trigger = flags & (IRQF_TRIGGER_RISING | IRQF_TRIGGER_FALLING);
  if (trigger == 0) trigger = IRQF_TRIGGER_RISING | IRQF_TRIGGER_FALLING;

  auto action = std::make_unique<Action>();
  action->handler = handler;
  action->thread_fn = thread_fn;
  action->flags = flags;
  action->name = name;
  action->dev = dev;
  Action* a = action.get();
  // The thread starts before the action is visible, so that free_irq always finds it.
  if (thread_fn != nullptr) {
    std::string tname = "irq/" + std::to_string(irq) + "-" + (name ? name : "");
    action->thread =
        sched().spawn(tname, [this, d, irq, a] { thread_main(d, static_cast<int>(irq), a); });
  }

  tsan::release(d);
  {
    Scheduler::Lock lock(sched());
    if (!d->actions.empty()) {
      const Action& old = *d->actions.front();
      if (!(old.flags & IRQF_SHARED) || !(flags & IRQF_SHARED) || d->trigger != trigger) {
        lock.unlock();
        char line[160];
        std::snprintf(line, sizeof line,
                      "genirq: Flags mismatch irq %u. %08lx (%s) vs. %08lx (%s)\n", irq, flags,
                      name ? name : "", old.flags, old.name ? old.name : "");
        log_err(line);
        lock.lock();
        a->thread_stop = true;
        if (a->thread_task != nullptr) sched().wake(a->thread_task);
        lock.unlock();
        action->thread.join();
        return -EBUSY;
      }
    } else {
      d->trigger = trigger;
      d->depth = 0;
      d->pending = false;
      d->oneshot_masked = false;
    }
    d->actions.push_back(std::move(action));
  }
  return 0;
}

const void* Irq::free(unsigned irq, void* dev_id) {
  might_sleep("free_irq");
  Desc* d = desc(static_cast<int>(irq));
  if (d == nullptr) return nullptr;
  tsan::release(d);
  std::unique_ptr<Action> gone;
  Task* self = &current();
  {
    Scheduler::Lock lock(sched());
    auto it = std::find_if(d->actions.begin(), d->actions.end(),
                           [dev_id](const auto& a) { return a->dev == dev_id; });
    if (it == d->actions.end()) {
      lock.unlock();
      warn_context("Trying to free already-free IRQ %u", irq);
      return nullptr;
    }
    gone = std::move(*it);
    d->actions.erase(it);
    if (d->actions.empty()) {
      d->depth = 1;
      d->pending = false;
    }
    if (d->running_task == self) {
      lock.unlock();
      warn_context("free_irq(%u) called from its own handler", irq);
      lock.lock();
    } else {
      d->waiters.push_back(self);
      sched().wait(lock, "free_irq", [d] { return !d->running; });
      d->waiters.erase(std::find(d->waiters.begin(), d->waiters.end(), self));
    }
    gone->thread_stop = true;
    if (gone->thread_task != nullptr) sched().wake(gone->thread_task);
  }
  // Joining waits for a running thread_fn to return.
  Thread t;
  {
    Scheduler::Lock lock(sched());
    t = std::move(gone->thread);
  }
  t.join();
  tsan::acquire(d);
  return gone->name;
}

void Irq::disable(unsigned irq, bool sync) {
  Desc* d = desc(static_cast<int>(irq));
  if (d == nullptr) return;
  if (sync) might_sleep("disable_irq");
  tsan::release(d);
  Task* self = &current();
  {
    Scheduler::Lock lock(sched());
    if (!d->exists) return;
    d->depth++;
    if (sync) {
      if (d->running_task == self) {
        lock.unlock();
        warn_context("disable_irq(%u) called from its own handler would wait forever", irq);
        return;
      }
      d->waiters.push_back(self);
      sched().wait(lock, "disable_irq", [d] { return !d->running && d->threads_active == 0; });
      d->waiters.erase(std::find(d->waiters.begin(), d->waiters.end(), self));
    }
  }
  tsan::acquire(d);
}

void Irq::enable(unsigned irq) {
  Desc* d = desc(static_cast<int>(irq));
  if (d == nullptr) return;
  tsan::release(d);
  Scheduler::Lock lock(sched());
  if (!d->exists) return;
  if (d->depth == 0) {
    lock.unlock();
    warn_context("Unbalanced enable for IRQ %u", irq);
    return;
  }
  if (--d->depth != 0) return;
  if (d->pending && !d->masked() && !d->running && !d->actions.empty()) {
    d->running = true;
    handle_locked(d, static_cast<int>(irq), lock);
  }
}

void Irq::stop() {
  std::vector<Thread> threads;
  {
    Scheduler::Lock lock(sched());
    for (const auto& d : descs_) {
      for (const auto& a : d->actions) {
        a->thread_stop = true;
        if (a->thread_task != nullptr) sched().wake(a->thread_task);
        if (a->thread.joinable()) threads.push_back(std::move(a->thread));
      }
    }
  }
  for (Thread& t : threads) t.join();
}

// --- Queries ----------------------------------------------------------------------------------

bool Irq::requested(int irq) const {
  Desc* d = desc(irq);
  if (d == nullptr) return false;
  Scheduler::Lock lock(sched());
  return !d->actions.empty();
}

std::string Irq::name(int irq) const {
  Desc* d = desc(irq);
  if (d == nullptr) return "";
  Scheduler::Lock lock(sched());
  if (d->actions.empty() || d->actions.front()->name == nullptr) return "";
  return d->actions.front()->name;
}

unsigned long Irq::flags(int irq) const {
  Desc* d = desc(irq);
  if (d == nullptr) return 0;
  Scheduler::Lock lock(sched());
  return d->actions.empty() ? 0 : d->actions.front()->flags;
}

int Irq::depth(int irq) const {
  Desc* d = desc(irq);
  if (d == nullptr) return -1;
  Scheduler::Lock lock(sched());
  return d->depth;
}

uint64_t Irq::runs(int irq) const {
  Desc* d = desc(irq);
  if (d == nullptr) return 0;
  Scheduler::Lock lock(sched());
  return d->runs;
}

uint64_t Irq::latched(int irq) const {
  Desc* d = desc(irq);
  if (d == nullptr) return 0;
  Scheduler::Lock lock(sched());
  return d->latched;
}

bool Irq::pending(int irq) const {
  Desc* d = desc(irq);
  if (d == nullptr) return false;
  Scheduler::Lock lock(sched());
  return d->pending;
}

bool Irq::running(int irq) const {
  Desc* d = desc(irq);
  if (d == nullptr) return false;
  Scheduler::Lock lock(sched());
  return d->running;
}

uint64_t Irq::thread_runs(int irq) const {
  Desc* d = desc(irq);
  if (d == nullptr) return 0;
  Scheduler::Lock lock(sched());
  return d->thread_runs;
}

}  // namespace host

extern "C" {

int request_threaded_irq(unsigned int irq, irq_handler_t handler, irq_handler_t thread_fn,
                         unsigned long flags, const char* name, void* dev) {
  return host::Kernel::get().irq().request_threaded(irq, handler, thread_fn, flags, name, dev);
}
const void* free_irq(unsigned int irq, void* dev_id) {
  return host::Kernel::get().irq().free(irq, dev_id);
}
void disable_irq(unsigned int irq) { host::Kernel::get().irq().disable(irq, true); }
void disable_irq_nosync(unsigned int irq) { host::Kernel::get().irq().disable(irq, false); }
void enable_irq(unsigned int irq) { host::Kernel::get().irq().enable(irq); }
bool in_interrupt(void) { return host::current().hardirq_depth > 0; }

}  // extern "C"
