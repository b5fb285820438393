// GPIO controllers and lines.
#pragma once

namespace host {
class Gpio {
 public:
  Gpio() = default;
};
}  // namespace host
