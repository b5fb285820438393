// The I2C core.
#include "i2c_core.h"

namespace host {
struct I2cCore::Adapter {};
struct I2cCore::Client {};
struct I2cCore::Driver {};
I2cCore::I2cCore() = default;
I2cCore::~I2cCore() = default;
void I2cCore::shutdown() {}
}  // namespace host
