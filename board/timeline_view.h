// The kernel's timeline as the board reads it: its events in time order, bus transactions
// decoded back into the bus log's terms and their messages, begin/end pairs joined into runs,
// and the board's wiring (which GPIO is the chip's interrupt output INT and its power input
// PWR, which bus the chip sits on and at what clock). Every export of the timeline (text,
// trace-event JSON, VCD, SVG) is made from a view.
//
// Threading: a view is a copy; it may be read from any thread, and the kernel may go on.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "board/i2c_bus.h"
#include "platform/host/timeline.h"

namespace board {

class Board;

struct BoardWiring {
  int int_gpio = -1;                            // the chip's interrupt output, read by the SoC
  int pwr_gpio = -1;                            // the chip's power input, driven by the SoC
  int int_irq = -1;                             // the interrupt of int_gpio
  int chip_bus = -1;                            // the adapter number of the chip's bus
  uint64_t chip_bus_object = 0;                 // its SimBus, as the timeline names it
  uint32_t clock_hz = SimBus::kDefaultClockHz;  // the chip's bus clock
  uint16_t chip_addr = 0;
  std::map<uint64_t, int> buses;  // SimBus -> adapter number
  int int_level = 0;              // the levels now, for a line without recorded changes
  int pwr_level = 0;
};

BoardWiring wiring_of(Board& board);

// One message of a transaction, as it crossed the wire.
struct WireMessage {
  bool read = false;
  std::vector<uint8_t> bytes;
};

// A recorded bus transaction.
struct RecordedTransfer {
  int bus = -1;       // adapter number; -1 for a bus the board does not know
  Transfer transfer;  // as the bus log has it; time_ns is its start
  int64_t end_ns = 0;
  std::vector<WireMessage> messages;
  bool acknowledged = true;  // the address was acknowledged
  std::optional<FaultKind> fault;
};

// A begin/end pair of one task: a hard-handler run, a threaded-handler run, a work item's run
// or a sleep. A run still going when the snapshot was taken ends at the snapshot.
struct Run {
  host::TimelineKind kind = host::TimelineKind::kWorkBegin;  // the begin kind
  const host::TimelineEvent* begin = nullptr;
  const host::TimelineEvent* end = nullptr;  // nullptr while unfinished
  int64_t end_ns = 0;
  bool finished = true;
};

class TimelineView {
 public:
  // A snapshot of the running kernel's timeline, read with the board's wiring.
  static TimelineView of(Board& board);
  TimelineView(host::TimelineSnapshot snapshot, BoardWiring wiring);
  TimelineView(const TimelineView&) = delete;
  TimelineView& operator=(const TimelineView&) = delete;
  TimelineView(TimelineView&&) = default;

  const host::TimelineSnapshot& snapshot() const { return snap_; }
  const BoardWiring& wiring() const { return wiring_; }
  // Every event, by time; events at the same time in the order they were recorded.
  const std::vector<const host::TimelineEvent*>& events() const { return by_time_; }
  // Runs in the order they began.
  const std::vector<Run>& runs() const { return runs_; }
  // The window the view covers: from boot (or the oldest event kept, when the ring dropped
  // some) to the snapshot.
  int64_t start_ns() const { return start_ns_; }
  int64_t end_ns() const { return snap_.now_ns; }

  RecordedTransfer transfer(const host::TimelineEvent& e) const;
  // Transactions on the chip's bus, in time order.
  std::vector<RecordedTransfer> chip_transfers() const;

  // Names: "kworker/0:0"; "INT", "PWR" or "GPIO 12"; "get_hdmi_info_handler"; the poller
  // "poller 1001" with its process name in parentheses.
  std::string task(int pid) const;
  std::string line(int gpio) const;
  std::string symbol(uint64_t address) const;
  std::string irq(int irq) const;
  std::string poller(int pid) const;
  // The bus "i2c-4" of a transaction's SimBus.
  std::string bus(uint64_t object) const;
  // Wait queues numbered from 1 in the order they first appear: "queue 1".
  std::string queue(uint64_t object) const;
  // The level of a line before its first recorded event in the view (INT's records are its
  // changes; for an output, its first driven level), or the level now if it has none.
  int initial_level(int gpio) const;

 private:
  host::TimelineSnapshot snap_;
  BoardWiring wiring_;
  std::vector<const host::TimelineEvent*> by_time_;
  std::vector<Run> runs_;
  std::map<uint64_t, int> queues_;
  int64_t start_ns_ = 0;
};

// "[    1.234567890]": seconds since boot with nanoseconds, as the text export shows times.
std::string format_time(int64_t ns);
// "97.5 us", "12.3 ms", "1.2 s": a duration, short.
std::string format_duration(int64_t ns);

}  // namespace board
