// Interrupt descriptors: request/free, masking with edge latching, hard-IRQ dispatch.
#pragma once

namespace host {
class Irq {
 public:
  Irq() = default;
};
}  // namespace host
