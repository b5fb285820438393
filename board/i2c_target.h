// A device on the simulated I2C bus, as the bus sees it.
//
// Thread safety: the bus calls transfer() for one transaction at a time per adapter; the device
// guards its own state against other threads (power, tests) itself.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "platform/i2c.h"

namespace board {

class I2cTarget {
 public:
  virtual ~I2cTarget() = default;

  // Runs one transaction addressed to this device: its messages in order, with a repeated
  // start between them. Read messages are filled in. Returns false when the device does not
  // acknowledge its address; the transaction then has no effect.
  virtual bool transfer(std::span<i2c_msg> msgs) = 0;

  // For devices with banked registers: the register whose writes select a bank, and the bank
  // selected now. The bus uses them to describe transfers in its log and to match faults.
  virtual std::optional<uint8_t> bank_select_register() const { return std::nullopt; }
  virtual std::optional<uint8_t> bank() const { return std::nullopt; }
};

}  // namespace board
