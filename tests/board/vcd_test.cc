// The bit-level drawing of a transaction: I2C's rules on the wire (SDA moves only while SCL is
// low, except in start, repeated start and stop conditions), the bits a receiver samples at
// SCL's rising edges, and the bus time the simulated bus charges, at clocks that divide a
// second and one that does not. The decode of whole sessions by sigrok is in
// tests/tools/timeline_exports_test.cc.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "board/i2c_bus.h"
#include "board/vcd.h"

namespace {

using board::FaultKind;
using board::RecordedTransfer;
using board::WireEdge;
using board::WireMessage;

constexpr int64_t kStart = 1'000'000;

// A register read of one byte (write the register, repeated start, read), as SMBus does it.
RecordedTransfer byte_read(uint8_t reg, uint8_t value) {
  RecordedTransfer t;
  t.transfer.time_ns = kStart;
  t.transfer.addr = 0x2b;
  t.transfer.dir = board::Direction::kRead;
  t.messages = {WireMessage{false, {reg}}, WireMessage{true, {value}}};
  return t;
}

// What a receiver sees: conditions (S, Sr, P) and the bits sampled at SCL's rising edges, and
// whether SDA ever moved while SCL was high outside a condition.
struct Seen {
  std::string symbols;
  bool sda_moved_while_scl_high = false;
};

Seen sample(const std::vector<WireEdge>& edges) {
  Seen s;
  int scl = 1, sda = 1;
  bool started = false;
  for (const WireEdge& e : edges) {
    if (e.line == WireEdge::kScl) {
      if (e.level == 1 && scl == 0) s.symbols += sda ? '1' : '0';
      scl = e.level;
      continue;
    }
    if (scl == 1) {
      if (e.level == 0) {
        s.symbols += started ? " Sr " : "S ";
        started = true;
      } else {
        s.symbols += " P";
        started = false;
      }
    }
    sda = e.level;
  }
  return s;
}

// The symbols of a transaction with the bit sampled at each condition's SCL rise removed.
std::string bits_of(const std::vector<WireEdge>& edges) {
  std::string raw = sample(edges).symbols;
  std::string out;
  for (size_t i = 0; i < raw.size(); ++i) {
    // "1 Sr " and "0 P": the SCL rise of a condition slot sampled a level, not a bit.
    if ((raw[i] == '0' || raw[i] == '1') && i + 1 < raw.size() && raw[i + 1] == ' ') continue;
    out += raw[i];
  }
  return out;
}

int64_t charged_ns(const RecordedTransfer& t, uint32_t clock_hz) {
  std::vector<std::vector<uint8_t>> bufs;
  std::vector<i2c_msg> msgs;
  for (const WireMessage& m : t.messages) {
    bufs.push_back(m.bytes);
    msgs.push_back({t.transfer.addr, static_cast<uint16_t>(m.read ? I2C_M_RD : 0),
                    static_cast<uint16_t>(m.bytes.size()), bufs.back().data()});
  }
  return board::SimBus::transfer_ns(msgs, clock_hz, t.acknowledged);
}

TEST(TransactionEdges, AByteReadCarriesItsAddressesRegisterAndValueWithTheirAcks) {
  const RecordedTransfer t = byte_read(0x38, 0x07);
  const std::vector<WireEdge> edges = board::transaction_edges(t, 100'000);
  // 0x2b<<1|W = 0x56, ACK; 0x38, ACK; Sr; 0x2b<<1|R = 0x57, ACK; 0x07, NACK (the last read byte).
  EXPECT_EQ(bits_of(edges), "S 010101100001110000 Sr 010101110000001111 P");
  // SDA moved while SCL was high only for the conditions.
  int scl = 1, conditions = 0;
  for (const WireEdge& e : edges) {
    if (e.line == WireEdge::kScl) scl = e.level;
    if (e.line == WireEdge::kSda && scl == 1) ++conditions;
  }
  EXPECT_EQ(conditions, 3);
  // A quarter bit (2.5 us) in, SDA falls; the stop ends a quarter before the charged 390 us.
  EXPECT_EQ(edges.front(), (WireEdge{kStart + 2'500, WireEdge::kSda, 0}));
  EXPECT_EQ(edges.back(), (WireEdge{kStart + 390'000 - 2'500, WireEdge::kSda, 1}));
  EXPECT_EQ(charged_ns(t, 100'000), 390'000);
}

TEST(TransactionEdges, EdgesStayInOrderAndInsideTheChargedTimeAtAnyClock) {
  RecordedTransfer block = byte_read(0x00, 0x16);
  block.messages[1].bytes = {0x16, 0x05, 0x42, 0x99};
  for (uint32_t clock : {100'000u, 333'333u, 400'000u, 1'000'000u, 5'000'000u}) {
    const std::vector<WireEdge> edges = board::transaction_edges(block, clock);
    ASSERT_FALSE(edges.empty());
    for (size_t i = 1; i < edges.size(); ++i) {
      EXPECT_LT(edges[i - 1].time_ns, edges[i].time_ns) << "clock " << clock << " edge " << i;
    }
    EXPECT_GT(edges.front().time_ns, kStart);
    EXPECT_LE(edges.back().time_ns, kStart + charged_ns(block, clock)) << "clock " << clock;
    EXPECT_EQ(bits_of(edges),
              "S 010101100000000000 Sr 010101110000101100000001010010000100100110011 P");
  }
}

TEST(TransactionEdges, FaultsShowAsANackAnAbortedByteOrAStretchedClock) {
  RecordedTransfer nack = byte_read(0x38, 0x07);
  nack.acknowledged = false;
  nack.fault = FaultKind::kNoAck;
  std::vector<WireEdge> edges = board::transaction_edges(nack, 400'000);
  EXPECT_EQ(bits_of(edges), "S 010101101 P");  // the address, not acknowledged
  EXPECT_LE(edges.back().time_ns, kStart + charged_ns(nack, 400'000));

  RecordedTransfer eio = byte_read(0x38, 0x07);
  eio.fault = FaultKind::kIo;
  EXPECT_EQ(bits_of(board::transaction_edges(eio, 400'000)), "S 010101100001110001 P");

  RecordedTransfer timeout = byte_read(0x38, 0x07);
  timeout.fault = FaultKind::kTimeout;
  edges = board::transaction_edges(timeout, 400'000);
  EXPECT_EQ(bits_of(edges), "S 010101100 P");
  // The device holds SCL low from the address's acknowledge to the stop, in the last bit time.
  int64_t low_from = 0, low_to = 0;
  for (size_t i = 0; i + 1 < edges.size(); ++i) {
    if (edges[i].line == WireEdge::kScl && edges[i].level == 0) {
      int64_t next_rise = 0;
      for (size_t k = i + 1; k < edges.size(); ++k) {
        if (edges[k].line == WireEdge::kScl && edges[k].level == 1) {
          next_rise = edges[k].time_ns;
          break;
        }
      }
      if (next_rise - edges[i].time_ns > low_to - low_from) {
        low_from = edges[i].time_ns;
        low_to = next_rise;
      }
    }
  }
  const int64_t bit = 2'500;
  EXPECT_EQ(low_from, kStart + 10 * bit);
  EXPECT_EQ(low_to, kStart + charged_ns(timeout, 400'000) - bit / 2);
}

}  // namespace
