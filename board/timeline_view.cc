#include "board/timeline_view.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "board/board.h"
#include "platform/host/irq_core.h"
#include "platform/host/kernel.h"

namespace board {

using host::TimelineEvent;
using host::TimelineKind;

BoardWiring wiring_of(Board& board) {
  BoardWiring w;
  w.int_gpio = board.irq_line().number();
  w.pwr_gpio = board.power_line().number();
  w.int_irq = w.int_gpio >= 0 ? host::Irq::gpio_irq(w.int_gpio) : -1;
  w.chip_bus = board.bus_number();
  w.chip_bus_object = reinterpret_cast<uintptr_t>(&board.bus());
  w.clock_hz = board.bus().clock_hz();
  w.chip_addr = board.chip_address();
  for (int nr : board.bus_numbers()) w.buses[reinterpret_cast<uintptr_t>(board.bus(nr))] = nr;
  w.int_level = std::max(board.irq_line().level(), 0);
  w.pwr_level = std::max(board.power_line().level(), 0);
  return w;
}

TimelineView TimelineView::of(Board& board) {
  return TimelineView(host::Kernel::get().timeline().snapshot(), wiring_of(board));
}

namespace {

bool is_begin(TimelineKind k) {
  return k == TimelineKind::kIrqHandlerBegin || k == TimelineKind::kIrqThreadBegin ||
         k == TimelineKind::kWorkBegin || k == TimelineKind::kSleepBegin;
}

// The begin kind an end closes, or nothing for an event that is no end.
std::optional<TimelineKind> begin_of(TimelineKind k) {
  switch (k) {
    case TimelineKind::kIrqHandlerEnd:
      return TimelineKind::kIrqHandlerBegin;
    case TimelineKind::kIrqThreadEnd:
      return TimelineKind::kIrqThreadBegin;
    case TimelineKind::kWorkEnd:
      return TimelineKind::kWorkBegin;
    case TimelineKind::kSleepEnd:
      return TimelineKind::kSleepBegin;
    default:
      return std::nullopt;
  }
}

// "get_hdmi_info_handler" of "_Z21get_hdmi_info_handlerP11work_struct".
std::string demangle(const std::string& symbol) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> out(
      abi::__cxa_demangle(symbol.c_str(), nullptr, nullptr, &status), std::free);
  std::string name = status == 0 && out ? std::string(out.get()) : symbol;
  size_t paren = name.find('(');
  return paren == std::string::npos ? name : name.substr(0, paren);
}

}  // namespace

TimelineView::TimelineView(host::TimelineSnapshot snapshot, BoardWiring wiring)
    : snap_(std::move(snapshot)), wiring_(std::move(wiring)) {
  by_time_.reserve(snap_.events.size());
  for (const TimelineEvent& e : snap_.events) by_time_.push_back(&e);
  std::stable_sort(
      by_time_.begin(), by_time_.end(),
      [](const TimelineEvent* a, const TimelineEvent* b) { return a->time_ns < b->time_ns; });
  start_ns_ = snap_.dropped > 0 && !by_time_.empty() ? by_time_.front()->time_ns : 0;

  // Runs nest per task: an end closes the innermost open run of its kind on its task.
  std::map<int, std::vector<size_t>> open;  // task -> indexes into runs_
  for (const TimelineEvent* e : by_time_) {
    if (e->kind == TimelineKind::kPublish || e->kind == TimelineKind::kPollerWoken) {
      queues_.emplace(e->object, static_cast<int>(queues_.size()) + 1);
    }
    if (is_begin(e->kind)) {
      open[e->task].push_back(runs_.size());
      runs_.push_back({e->kind, e, nullptr, snap_.now_ns, false});
      continue;
    }
    std::optional<TimelineKind> begin = begin_of(e->kind);
    if (!begin) continue;
    std::vector<size_t>& stack = open[e->task];
    for (auto it = stack.rbegin(); it != stack.rend(); ++it) {
      Run& r = runs_[*it];
      if (r.kind == *begin && r.begin->number == e->number && r.begin->object == e->object) {
        r.end = e;
        r.end_ns = e->time_ns;
        r.finished = true;
        stack.erase(std::next(it).base());
        break;
      }
    }
  }
}

RecordedTransfer TimelineView::transfer(const TimelineEvent& e) const {
  RecordedTransfer r;
  auto bus = wiring_.buses.find(e.object);
  r.bus = bus == wiring_.buses.end() ? -1 : bus->second;
  r.end_ns = e.end_ns;
  r.acknowledged = (e.flags & TimelineEvent::kBusAcknowledged) != 0;
  if (e.fault != 0) r.fault = static_cast<FaultKind>(e.fault - 1);
  Transfer& t = r.transfer;
  t.time_ns = e.time_ns;
  t.addr = e.addr;
  t.dir = static_cast<Direction>(e.dir);
  if (e.bank >= 0) t.bank = static_cast<uint8_t>(e.bank);
  if (e.reg >= 0) t.reg = static_cast<uint8_t>(e.reg);
  t.result = e.value;
  t.faulted = (e.flags & TimelineEvent::kBusFaulted) != 0;

  std::span<const uint8_t> b = snap_.bytes_of(e);
  size_t at = 0;
  for (int i = 0; i < e.messages && at + 3 <= b.size(); ++i) {
    WireMessage m;
    m.read = (b[at] & 1) != 0;
    const size_t len = b[at + 1] | (static_cast<size_t>(b[at + 2]) << 8);
    at += 3;
    const size_t n = std::min(len, b.size() - at);
    m.bytes.assign(b.begin() + static_cast<std::ptrdiff_t>(at),
                   b.begin() + static_cast<std::ptrdiff_t>(at + n));
    at += n;
    r.messages.push_back(std::move(m));
  }
  // The data the log shows: the bytes read (when it succeeded), or those written after the
  // register; a bank select shows only its bank.
  if (t.dir == Direction::kRead) {
    if (t.result == 0) {
      for (const WireMessage& m : r.messages) {
        if (m.read) t.data.insert(t.data.end(), m.bytes.begin(), m.bytes.end());
      }
    }
  } else if (t.dir == Direction::kWrite && !r.messages.empty() && r.messages[0].bytes.size() > 1) {
    t.data.assign(r.messages[0].bytes.begin() + 1, r.messages[0].bytes.end());
  }
  return r;
}

std::vector<RecordedTransfer> TimelineView::chip_transfers() const {
  std::vector<RecordedTransfer> out;
  for (const TimelineEvent* e : by_time_) {
    if (e->kind == TimelineKind::kBusTransfer && e->object == wiring_.chip_bus_object) {
      out.push_back(transfer(*e));
    }
  }
  return out;
}

std::string TimelineView::task(int pid) const {
  auto it = snap_.tasks.find(pid);
  return it == snap_.tasks.end() ? "task " + std::to_string(pid) : it->second;
}

std::string TimelineView::line(int gpio) const {
  if (gpio == wiring_.int_gpio) return "INT";
  if (gpio == wiring_.pwr_gpio) return "PWR";
  return "GPIO " + std::to_string(gpio);
}

std::string TimelineView::symbol(uint64_t address) const {
  auto it = snap_.symbols.find(address);
  if (it != snap_.symbols.end() && !it->second.empty()) return demangle(it->second);
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(address));
  return buf;
}

std::string TimelineView::irq(int irq) const {
  auto it = snap_.irqs.find(irq);
  std::string s = "irq " + std::to_string(irq);
  if (it != snap_.irqs.end() && !it->second.empty()) s += " (" + it->second + ")";
  return s;
}

std::string TimelineView::poller(int pid) const {
  auto it = snap_.processes.find(pid);
  std::string s = "poller " + std::to_string(pid);
  if (it != snap_.processes.end() && !it->second.empty()) s += " (" + it->second + ")";
  return s;
}

std::string TimelineView::bus(uint64_t object) const {
  auto it = wiring_.buses.find(object);
  return it == wiring_.buses.end() ? std::string("i2c-?") : "i2c-" + std::to_string(it->second);
}

std::string TimelineView::queue(uint64_t object) const {
  auto it = queues_.find(object);
  return "queue " + (it == queues_.end() ? std::string("?") : std::to_string(it->second));
}

int TimelineView::initial_level(int gpio) const {
  for (const TimelineEvent* e : by_time_) {
    if (e->kind != TimelineKind::kLine || e->number != gpio) continue;
    if (e->flags & TimelineEvent::kLineOutput) return e->value;
    return e->value ? 0 : 1;  // an input's records are its changes
  }
  if (gpio == wiring_.int_gpio) return wiring_.int_level;
  if (gpio == wiring_.pwr_gpio) return wiring_.pwr_level;
  return 0;
}

std::string format_time(int64_t ns) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "[%5lld.%09lld]", static_cast<long long>(ns / 1'000'000'000),
                static_cast<long long>(ns % 1'000'000'000));
  return buf;
}

std::string format_duration(int64_t ns) {
  char buf[32];
  if (ns < 1'000'000) {
    std::snprintf(buf, sizeof buf, "%.1f us", static_cast<double>(ns) / 1e3);
  } else if (ns < 1'000'000'000) {
    std::snprintf(buf, sizeof buf, "%.1f ms", static_cast<double>(ns) / 1e6);
  } else {
    std::snprintf(buf, sizeof buf, "%.1f s", static_cast<double>(ns) / 1e9);
  }
  return buf;
}

}  // namespace board
