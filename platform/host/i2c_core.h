// The I2C core: adapters, clients, drivers, matching and SMBus transfers.
#pragma once

#include <cstdint>

#include "platform/i2c.h"

namespace host {

// What sits behind an adapter: the bus with its devices. The core locks the adapter and hands
// the bus whole transactions (a write of the command, a repeated start and a read, ...).
class I2cBus {
 public:
  virtual ~I2cBus() = default;
  // Returns the number of messages transferred, or a negative errno (-ENXIO for an address
  // that no device acknowledges).
  virtual int master_xfer(struct i2c_msg* msgs, int num) = 0;
};

class I2cCore {
 public:
  I2cCore() = default;
  void shutdown() {}
};

}  // namespace host
