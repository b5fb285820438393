#include "board/vcd.h"

#include <algorithm>

namespace board {

namespace {

// What happens in one bit time of the bus.
enum class Slot : uint8_t { kStart, kRestart, kBit0, kBit1, kStretch, kStop };

void add_byte(std::vector<Slot>* slots, uint8_t byte, bool acked) {
  for (int i = 7; i >= 0; --i) slots->push_back((byte >> i) & 1 ? Slot::kBit1 : Slot::kBit0);
  slots->push_back(acked ? Slot::kBit0 : Slot::kBit1);
}

uint8_t address_byte(uint16_t addr, const WireMessage& m) {
  return static_cast<uint8_t>(((addr & 0x7f) << 1) | (m.read ? 1 : 0));
}

// The bit times of the whole transaction, faults included; `bits` is what the bus charged.
std::vector<Slot> slots_of(const RecordedTransfer& t, int bits) {
  std::vector<Slot> s;
  const uint16_t addr = t.transfer.addr;
  if (t.messages.empty()) return s;
  const WireMessage& first = t.messages.front();
  s.push_back(Slot::kStart);
  if (!t.acknowledged) {
    add_byte(&s, address_byte(addr, first), false);
  } else if (t.fault == FaultKind::kIo) {
    add_byte(&s, address_byte(addr, first), true);
    if (!first.read && !first.bytes.empty()) add_byte(&s, first.bytes.front(), false);
  } else if (t.fault == FaultKind::kTimeout) {
    add_byte(&s, address_byte(addr, first), true);
    while (static_cast<int>(s.size()) < bits - 1) s.push_back(Slot::kStretch);
  } else {
    for (size_t i = 0; i < t.messages.size(); ++i) {
      const WireMessage& m = t.messages[i];
      if (i > 0) s.push_back(Slot::kRestart);
      add_byte(&s, address_byte(addr, m), true);
      for (size_t k = 0; k < m.bytes.size(); ++k) {
        // The controller acknowledges every byte it reads but the last.
        add_byte(&s, m.bytes[k], !m.read || k + 1 < m.bytes.size());
      }
    }
  }
  s.push_back(Slot::kStop);
  return s;
}

// The bus time the simulated bus charges for the transaction, in bits.
int charged_bits(const RecordedTransfer& t) {
  if (t.messages.empty()) return 0;
  if (!t.acknowledged) return 1 + 9 + 1;
  int bits = 2;
  for (size_t i = 0; i < t.messages.size(); ++i) {
    if (i > 0) bits += 1;
    bits += 9 * static_cast<int>(1 + t.messages[i].bytes.size());
  }
  return bits;
}

}  // namespace

std::vector<WireEdge> transaction_edges(const RecordedTransfer& t, uint32_t clock_hz) {
  std::vector<WireEdge> edges;
  if (clock_hz == 0) return edges;
  const std::vector<Slot> slots = slots_of(t, charged_bits(t));
  const int64_t t0 = t.transfer.time_ns;
  const int64_t four_f = 4 * static_cast<int64_t>(clock_hz);
  // Quarter q of the transaction, rounded to the nanosecond.
  auto at = [&](int64_t q) { return t0 + (q * 1'000'000'000 + four_f / 2) / four_f; };
  int scl = 1, sda = 1;
  auto set = [&](int64_t q, WireEdge::Line line, int level) {
    int& now = line == WireEdge::kScl ? scl : sda;
    if (now == level) return;
    now = level;
    edges.push_back({at(q), line, level});
  };
  for (size_t k = 0; k < slots.size(); ++k) {
    const int64_t q = 4 * static_cast<int64_t>(k);
    switch (slots[k]) {
      case Slot::kStart:
        set(q + 1, WireEdge::kSda, 0);
        set(q + 2, WireEdge::kScl, 0);
        break;
      case Slot::kRestart:
        set(q, WireEdge::kScl, 0);
        set(q + 1, WireEdge::kSda, 1);
        set(q + 2, WireEdge::kScl, 1);
        set(q + 3, WireEdge::kSda, 0);
        break;
      case Slot::kBit0:
      case Slot::kBit1:
        set(q, WireEdge::kScl, 0);
        set(q + 1, WireEdge::kSda, slots[k] == Slot::kBit1 ? 1 : 0);
        set(q + 2, WireEdge::kScl, 1);
        break;
      case Slot::kStretch:
        set(q, WireEdge::kScl, 0);
        set(q + 1, WireEdge::kSda, 1);
        break;
      case Slot::kStop:
        set(q, WireEdge::kScl, 0);
        set(q + 1, WireEdge::kSda, 0);
        set(q + 2, WireEdge::kScl, 1);
        set(q + 3, WireEdge::kSda, 1);
        break;
    }
  }
  return edges;
}

std::string bus_vcd(const TimelineView& view) {
  const BoardWiring& w = view.wiring();
  // Variables: SCL '!', SDA '"', INT '#', PWR '$'.
  struct Change {
    int64_t time_ns;
    char id;
    int level;
  };
  std::vector<Change> changes;
  for (const RecordedTransfer& t : view.chip_transfers()) {
    for (const WireEdge& e : transaction_edges(t, w.clock_hz)) {
      changes.push_back({e.time_ns, e.line == WireEdge::kScl ? '!' : '"', e.level});
    }
  }
  int int_level = view.initial_level(w.int_gpio);
  int pwr_level = view.initial_level(w.pwr_gpio);
  {
    int i = int_level, p = pwr_level;
    for (const host::TimelineEvent* e : view.events()) {
      if (e->kind != host::TimelineKind::kLine) continue;
      const bool output = (e->flags & host::TimelineEvent::kLineOutput) != 0;
      if (e->number == w.int_gpio && !output && e->value != i) {
        i = e->value;
        changes.push_back({e->time_ns, '#', i});
      } else if (e->number == w.pwr_gpio && output && e->value != p) {
        p = e->value;
        changes.push_back({e->time_ns, '$', p});
      }
    }
  }
  std::stable_sort(changes.begin(), changes.end(),
                   [](const Change& a, const Change& b) { return a.time_ns < b.time_ns; });

  std::string out;
  out += "$comment lt7911-sim: the chip's bus i2c-" + std::to_string(w.chip_bus) + " at " +
         std::to_string(w.clock_hz) + " Hz, INT on GPIO " + std::to_string(w.int_gpio) +
         ", PWR on GPIO " + std::to_string(w.pwr_gpio) + " $end\n";
  out += "$timescale 1 ns $end\n";
  out += "$scope module board $end\n";
  out += "$var wire 1 ! SCL $end\n$var wire 1 \" SDA $end\n";
  out += "$var wire 1 # INT $end\n$var wire 1 $ PWR $end\n";
  out += "$upscope $end\n$enddefinitions $end\n";
  const int64_t start =
      std::min(view.start_ns(), changes.empty() ? view.start_ns() : changes.front().time_ns);
  out += "#" + std::to_string(start) + "\n1!\n1\"\n" + std::to_string(int_level) + "#\n" +
         std::to_string(pwr_level) + "$\n";
  int64_t last = start;
  for (const Change& c : changes) {
    if (c.time_ns != last) {
      out += "#" + std::to_string(c.time_ns) + "\n";
      last = c.time_ns;
    }
    out += static_cast<char>('0' + c.level);
    out += c.id;
    out += '\n';
  }
  const int64_t end = std::max(view.end_ns(), last);
  if (end != last) out += "#" + std::to_string(end) + "\n";
  return out;
}

}  // namespace board
