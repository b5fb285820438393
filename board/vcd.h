// The chip's bus and lines as a logic analyser would have captured them: a VCD (IEEE 1364 value
// change dump) of SCL, SDA, INT and PWR on the kernel's clock, in nanoseconds.
//
// Each transaction on the chip's bus is drawn bit by bit at the bus clock of the device tree,
// from its recorded start: a start condition, each message's address byte with its R/W bit
// and acknowledge, its data bytes with theirs (written bytes acknowledged by the device, read
// bytes by the controller, which does not acknowledge the last byte of a read), a repeated
// start between messages, and a stop. A bit takes one clock period: SDA changes a quarter into
// it while SCL is low, SCL is high in its second half. The drawing fills exactly the bus time
// the simulated bus charged for the transaction; faults look as follows:
//   - no acknowledge (a no-ack fault, an absent or unpowered device): the address byte is not
//     acknowledged (NACK) and a stop follows;
//   - EIO: the address is acknowledged, the first byte written after it is not (NACK), and a
//     stop follows; the bus is then idle for the rest of the transaction's time;
//   - timeout: the address is acknowledged, then the device holds SCL low (clock stretching)
//     until the controller gives up and sends a stop at the end of the transaction's time;
//   - wrong byte: a normal transaction carrying the corrupted bytes, as the bus log shows them.
// INT is the chip's interrupt output as the SoC's input sees it; PWR the power line as the SoC
// drives it.
//
// sigrok decodes it:  sigrok-cli -I vcd:compress=1000 -i FILE -P i2c:scl=SCL:sda=SDA
// (compress keeps the idle stretches between events short; the decoder needs only the edges).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "board/timeline_view.h"

namespace board {

// One change of SCL or SDA.
struct WireEdge {
  enum Line : uint8_t { kScl, kSda };
  int64_t time_ns = 0;
  Line line = kScl;
  int level = 0;
  bool operator==(const WireEdge&) const = default;
};

// The edges of one transaction from its start, at the given bus clock (both lines are high
// before it and after it).
std::vector<WireEdge> transaction_edges(const RecordedTransfer& t, uint32_t clock_hz);

std::string bus_vcd(const TimelineView& view);

}  // namespace board
