// Interrupt descriptors: request/free, masking with edge latching, hard-IRQ dispatch.
//
// Numbers: interrupts 0 to kNrIrqs - 1 exist once created. GPIO lines of a controller that can
// raise interrupts get the fixed interrupt kGpioIrqBase + GPIO number (GPIO 7 -> 107); the GPIO
// core creates them when the controller is registered. Tests may create others with create().
//
// Delivery follows Linux's handle_edge_irq: an edge that matches the requested trigger runs the
// handlers synchronously on the thread that raised it, in hard-interrupt context (the task's
// hardirq_depth is raised around the call, so sleeping there records a WARN). If a handler of
// the interrupt is already running on another thread, the edge is marked pending and the
// running thread calls the handlers once more; they never run twice at once. An edge that comes
// while the interrupt is disabled is latched and replayed by the enable_irq that brings the
// depth back to 0, on that caller's thread. Edges on an interrupt that nobody requested are
// dropped. Only edge triggers exist: a request without trigger flags means both edges; level
// triggers are refused with -EINVAL.
//
// Threaded handlers: when a hard handler returns IRQ_WAKE_THREAD (or there is no hard handler),
// the action's thread_fn runs on its own kernel task "irq/<n>-<name>", in process context. With
// IRQF_ONESHOT the interrupt stays masked (edges latch) until thread_fn returns.
//
// Threading: edge() and the query members may be called from any task; request, free and
// disable_irq may block (free and disable_irq wait for a running handler in the scheduler) and
// belong to process context. No lock of the Irq is held while a handler runs.
//
// TSan: raising an edge happens before the handler run it causes; a handler run happens before
// the disable_irq/free_irq that waited for it; request_irq happens before the handler runs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/gpio.h"
#include "sched.h"

namespace host {

class Irq {
 public:
  static constexpr int kGpioIrqBase = 100;
  static constexpr int kNrIrqs = kGpioIrqBase + ARCH_NR_GPIOS;
  static constexpr int gpio_irq(int gpio) { return kGpioIrqBase + gpio; }

  Irq();
  ~Irq();
  Irq(const Irq&) = delete;
  Irq& operator=(const Irq&) = delete;

  // Makes an interrupt number exist (idempotent). False when out of range.
  bool create(int irq);
  bool exists(int irq) const;

  // Raises an edge on the interrupt. Safe in any context; returns once the handlers that the
  // edge runs on this thread have returned.
  void edge(int irq, bool rising);

  // Test and diagnostic API.
  bool requested(int irq) const;
  // The name given at request time of the first action, or "".
  std::string name(int irq) const;
  unsigned long flags(int irq) const;
  // Disable depth (0: enabled; 1 while not requested, as in Linux).
  int depth(int irq) const;
  // Completed hard-handler runs (each action counts) since boot.
  uint64_t runs(int irq) const;
  // Edges latched while disabled or while a handler ran.
  uint64_t latched(int irq) const;
  // A latched edge waits for replay.
  bool pending(int irq) const;
  // A hard handler is running at the moment.
  bool running(int irq) const;
  // Completed thread_fn runs.
  uint64_t thread_runs(int irq) const;

  // The C entry points of platform/gpio.h.
  int request_threaded(unsigned irq, irq_handler_t handler, irq_handler_t thread_fn,
                       unsigned long flags, const char* name, void* dev);
  const void* free(unsigned irq, void* dev_id);
  void disable(unsigned irq, bool sync);
  void enable(unsigned irq);

  // Stops every action's thread (kernel shutdown).
  void stop();

 private:
  struct Action;
  struct Desc;

  Desc* desc(int irq) const;
  // Runs the handlers while the edge stays pending; the caller has marked the descriptor as
  // running under the scheduler lock, which `lock` holds.
  void handle_locked(Desc* d, int irq, Scheduler::Lock& lock);
  void thread_main(Desc* d, int irq, Action* a);

  std::vector<std::unique_ptr<Desc>> descs_;
};

}  // namespace host
