// The timeline: a bounded record of what the board and the kernel did, on the kernel's clock
// (Scheduler::now(), the clock the kernel log shows).
//
// What is recorded, each by the host-kernel or board code that does it:
//   - bus transactions (the simulated bus): address, direction, bank, register, the messages as
//     they crossed the wire, result, fault, start and end;
//   - GPIO line levels: the level a device drives into an input, the level the module drives
//     out of an output;
//   - interrupt edges (handled, latched while masked, or ignored), hard-handler and threaded-
//     handler runs;
//   - work items queued (or found already pending), started and finished;
//   - sleeps of msleep and usleep_range;
//   - publications: a wake_up() of a wait queue, with the number of waiters it finds (the
//     module publishes a change by counting it and waking the status queue), and each poller
//     that such a wake-up reaches (a waiter registered by poll());
//   - control commands of the simulator.
//
// Recording is off until start(). While it is off every hook costs one relaxed load of a flag
// (timeline_on()). While it is on, an event is copied into a ring of fixed size under a short
// lock; nothing is allocated per event (names of tasks, pollers, interrupts and work functions
// are kept once, the first time they are met). The ring keeps the newest `capacity` events;
// variable-sized parts (the bytes of a bus transaction, the text of a command) go to a byte
// ring of kBytesPerEvent * capacity bytes, and an event whose bytes were overwritten is
// dropped from snapshots with the events before it.
//
// Threading: every member may be called from any task, in any context (hard interrupts
// included): the lock is a leaf, taken after the scheduler lock and a wait queue's lock, and
// nothing is called under it. A task that records under the scheduler lock must have met the
// scheduler before (current()), since recording names the task. Recording adds no happens-before
// edge as ThreadSanitizer sees it (like the scheduler's own sections), so tests with recording on
// still find real races.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/i2c.h"
#include "platform/workqueue.h"
#include "thread_safety.h"

namespace host {

// True while a timeline records. The only cost of a hook while recording is off.
extern std::atomic<bool> g_timeline_recording;
inline bool timeline_on() { return g_timeline_recording.load(std::memory_order_relaxed); }

enum class TimelineKind : uint8_t {
  kBusTransfer,      // object: the bus; number: -; see TimelineEvent's bus fields
  kLine,             // number: GPIO; value: level; flags: kLineOutput for a driven output
  kIrqEdge,          // number: interrupt; value: IrqOutcome; flags: kEdgeRising
  kIrqHandlerBegin,  // number: interrupt; the hard handlers run on `task`
  kIrqHandlerEnd,
  kIrqThreadBegin,  // number: interrupt; its threaded handler runs on `task`
  kIrqThreadEnd,
  kWorkQueued,  // object: work item; func: its function; value: 1 queued, 0 already pending
  kWorkBegin,   // object, func: as queued; runs on `task`
  kWorkEnd,
  kSleepBegin,  // number: the length asked for; flags: kSleepMicroseconds when in us
  kSleepEnd,
  kPublish,      // object: the wait queue; value: waiters found
  kPollerWoken,  // object: the wait queue; number: the poller's process pid
  kControl,      // the command's text in the bytes
};

enum class IrqOutcome : int32_t { kIgnored = 0, kHandled = 1, kLatched = 2 };

// One event. Plain data, copied whole into the ring.
struct TimelineEvent {
  static constexpr uint8_t kLineOutput = 1;
  static constexpr uint8_t kEdgeRising = 1;
  static constexpr uint8_t kSleepMicroseconds = 1;
  static constexpr uint8_t kBusAcknowledged = 1;  // the address was acknowledged
  static constexpr uint8_t kBusFaulted = 2;       // a fault rule fired on it

  int64_t time_ns = 0;    // when it happened; a bus transaction's start
  int64_t end_ns = 0;     // a bus transaction's end; otherwise time_ns
  uint64_t object = 0;    // the bus, work item or wait queue, by address
  uint64_t func = 0;      // a work item's function
  uint64_t bytes_at = 0;  // where its bytes start (in a snapshot: an index into its bytes)
  uint32_t bytes = 0;     // how many bytes it has
  int32_t task = 0;       // pid of the task that recorded it
  int32_t number = 0;
  int32_t value = 0;
  TimelineKind kind = TimelineKind::kControl;
  uint8_t flags = 0;
  // Bus transactions: the bytes are the messages, each as a flags byte (1: read), a 16-bit
  // little-endian length and the bytes on the wire (read bytes as returned).
  uint16_t addr = 0;
  int16_t bank = -1;  // -1: none
  int16_t reg = -1;   // -1: none
  uint8_t dir = 0;    // the bus's own direction code
  uint8_t fault = 0;  // 0, or 1 + the bus's own fault-kind code
  uint8_t messages = 0;
};

// A copy of the ring, oldest event first.
struct TimelineSnapshot {
  std::vector<TimelineEvent> events;
  std::vector<uint8_t> bytes;  // the events' bytes; bytes_at indexes here
  uint64_t dropped = 0;        // events recorded since start() that the ring no longer holds
  int64_t now_ns = 0;          // the clock when the snapshot was taken
  size_t capacity = 0;
  bool recording = false;
  std::map<int, std::string> tasks;         // task pid -> name
  std::map<int, std::string> processes;     // poller process pid -> name
  std::map<int, std::string> irqs;          // interrupt -> its handler's name
  std::map<uint64_t, std::string> symbols;  // work item or function -> symbol, as linked

  std::span<const uint8_t> bytes_of(const TimelineEvent& e) const {
    return {bytes.data() + e.bytes_at, e.bytes};
  }
  std::string text_of(const TimelineEvent& e) const {
    auto b = bytes_of(e);
    return {b.begin(), b.end()};
  }
};

class Timeline {
 public:
  static constexpr size_t kDefaultCapacity = 1 << 16;
  static constexpr size_t kBytesPerEvent = 16;

  Timeline() = default;
  ~Timeline();
  Timeline(const Timeline&) = delete;
  Timeline& operator=(const Timeline&) = delete;

  // Starts recording into a fresh ring of `capacity` events (at least 1); what was recorded
  // before is forgotten. The ring is allocated here, once.
  void start(size_t capacity = kDefaultCapacity);
  // Stops recording; what was recorded stays readable.
  void stop();
  // Forgets what was recorded; recording goes on if it was on.
  void clear();
  bool recording() const;
  size_t capacity() const;
  // Events recorded since start() or clear(), including those the ring dropped.
  uint64_t recorded() const;
  TimelineSnapshot snapshot() const;

  // While recording: records one event at the clock's current time, for the calling task (its
  // time, end and task are filled in).
  void record(TimelineEvent e, std::span<const uint8_t> bytes = {});
  // While recording: a bus transaction that ran from e.time_ns to e.end_ns, with its messages.
  void record_transfer(TimelineEvent e, std::span<const i2c_msg> msgs);
  // Names met for the first time; each is kept once.
  void name_irq(int irq, const char* name);
  void name_process(int pid, const std::string& name);
  // The symbol at an address (a work item, a work function), looked up once.
  void name_symbol(uint64_t address);

  // The hooks of the host kernel, for call sites that have checked timeline_on().
  static void note(TimelineKind kind, int32_t number = 0, int32_t value = 0, uint8_t flags = 0,
                   uint64_t object = 0, uint64_t func = 0);
  static void note_control(std::string_view text);
  // Looks up the symbols of a work item and its function, once; not under the scheduler lock
  // (dladdr takes the dynamic loader's lock).
  static void name_work(const void* work, void (*func)(work_struct*));
  // Wraps a poll waiter so that a wake-up that reaches it is recorded for the calling
  // process (the poller).
  static std::function<void()> traced_waiter(const void* queue, std::function<void()> fn);

 private:
  void put_locked(const TimelineEvent& e, const std::string& task_name) LT_REQUIRES(mutex_);
  void put_bytes_locked(const uint8_t* data, size_t n) LT_REQUIRES(mutex_);
  void forget_locked() LT_REQUIRES(mutex_);

  mutable lt::Mutex mutex_;  // a leaf lock
  std::vector<TimelineEvent> ring_ LT_GUARDED_BY(mutex_);
  uint64_t written_ LT_GUARDED_BY(mutex_) = 0;  // events put since start/clear
  std::vector<uint8_t> byte_ring_ LT_GUARDED_BY(mutex_);
  uint64_t bytes_written_ LT_GUARDED_BY(mutex_) = 0;
  uint64_t bytes_base_ LT_GUARDED_BY(mutex_) = 0;              // bytes_written_ at start/clear
  std::vector<std::string> task_names_ LT_GUARDED_BY(mutex_);  // by pid
  std::map<int, std::string> process_names_ LT_GUARDED_BY(mutex_);
  std::map<int, std::string> irq_names_ LT_GUARDED_BY(mutex_);
  std::map<uint64_t, std::string> symbols_ LT_GUARDED_BY(mutex_);
};

}  // namespace host
