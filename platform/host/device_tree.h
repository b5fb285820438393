// The device tree: a flattened tree (dtb) read with libfdt into device_node objects.
#pragma once

namespace host {
class DeviceTree {
 public:
  DeviceTree() = default;
};
}  // namespace host
