// The module loader: insmod/rmmod of loadable objects, module information and parameters.
#pragma once

namespace host {
class Modules {
 public:
  Modules() = default;
  void unload_all() {}
};
}  // namespace host
