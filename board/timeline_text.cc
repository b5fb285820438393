#include "board/timeline_text.h"

#include <cstdio>
#include <map>

namespace board {

using host::IrqOutcome;
using host::TimelineEvent;
using host::TimelineKind;

namespace {

const char* outcome_name(int32_t outcome) {
  switch (static_cast<IrqOutcome>(outcome)) {
    case IrqOutcome::kHandled:
      return "handled";
    case IrqOutcome::kLatched:
      return "latched";
    case IrqOutcome::kIgnored:
      break;
  }
  return "ignored";
}

std::string sleep_name(const TimelineEvent& e) {
  return (e.flags & TimelineEvent::kSleepMicroseconds ? "usleep_range " : "msleep ") +
         std::to_string(e.number);
}

}  // namespace

std::string timeline_text(const TimelineView& view) {
  const host::TimelineSnapshot& s = view.snapshot();
  const BoardWiring& w = view.wiring();
  std::string out = "# timeline: " + std::to_string(s.events.size()) + " events";
  if (s.dropped > 0) out += " (" + std::to_string(s.dropped) + " older ones dropped)";
  out += ", ring of " + std::to_string(s.capacity) + (s.recording ? ", recording" : ", stopped");
  out += "; chip on i2c-" + std::to_string(w.chip_bus) + " at " + std::to_string(w.clock_hz) +
         " Hz, INT GPIO " + std::to_string(w.int_gpio) + ", PWR GPIO " +
         std::to_string(w.pwr_gpio) + "\n";

  // How long each finished run took, told at its end.
  std::map<const TimelineEvent*, int64_t> length;  // end -> length
  for (const Run& r : view.runs()) {
    if (r.finished) length[r.end] = r.end_ns - r.begin->time_ns;
  }
  auto took = [&](const TimelineEvent& end) {
    auto it = length.find(&end);
    return it == length.end() ? std::string() : " after " + format_duration(it->second);
  };

  for (const TimelineEvent* ep : view.events()) {
    const TimelineEvent& e = *ep;
    std::string line = format_time(e.time_ns) + " ";
    const std::string on = " on " + view.task(e.task);
    switch (e.kind) {
      case TimelineKind::kControl:
        line += "control  " + s.text_of(e);
        break;
      case TimelineKind::kLine:
        line += "line     " + view.line(e.number) + " " + std::to_string(e.value) +
                (e.flags & TimelineEvent::kLineOutput ? " (driven)" : "");
        break;
      case TimelineKind::kIrqEdge:
        line += "irq      " + view.irq(e.number) +
                (e.flags & TimelineEvent::kEdgeRising ? " rising" : " falling") +
                " edge: " + outcome_name(e.value);
        break;
      case TimelineKind::kIrqHandlerBegin:
        line += "irq      " + view.irq(e.number) + " handler runs" + on;
        break;
      case TimelineKind::kIrqHandlerEnd:
        line += "irq      " + view.irq(e.number) + " handler done" + took(e);
        break;
      case TimelineKind::kIrqThreadBegin:
        line += "irq      " + view.irq(e.number) + " thread runs" + on;
        break;
      case TimelineKind::kIrqThreadEnd:
        line += "irq      " + view.irq(e.number) + " thread done" + took(e);
        break;
      case TimelineKind::kWorkQueued:
        line += "work     " + view.symbol(e.func) +
                (e.value ? " queued by " : " already pending, by ") + view.task(e.task);
        break;
      case TimelineKind::kWorkBegin:
        line += "work     " + view.symbol(e.func) + " starts" + on;
        break;
      case TimelineKind::kWorkEnd:
        line += "work     " + view.symbol(e.func) + " done" + took(e);
        break;
      case TimelineKind::kSleepBegin:
        line += "sleep    " + sleep_name(e) + on;
        break;
      case TimelineKind::kSleepEnd:
        line += "sleep    " + sleep_name(e) + " woke" + on;
        break;
      case TimelineKind::kBusTransfer: {
        RecordedTransfer t = view.transfer(e);
        char addr[8];
        std::snprintf(addr, sizeof addr, "0x%02x", t.transfer.addr);
        line += view.bus(e.object) + "    " + addr + " " + t.transfer.str() + " in " +
                format_duration(e.end_ns - e.time_ns) + on;
        break;
      }
      case TimelineKind::kPublish:
        line += "notify   " + view.queue(e.object) + " woken with " + std::to_string(e.value) +
                (e.value == 1 ? " waiter by " : " waiters by ") + view.task(e.task);
        break;
      case TimelineKind::kPollerWoken:
        line += "poller   " + view.poller(e.number) + " woken by " + view.queue(e.object);
        break;
    }
    out += line + "\n";
  }
  return out;
}

}  // namespace board
