// Interrupt descriptors and hard-IRQ dispatch.
#include "irq_core.h"

namespace host {
struct Irq::Desc {};
struct Irq::Action {};
Irq::Irq() = default;
Irq::~Irq() = default;
}  // namespace host
