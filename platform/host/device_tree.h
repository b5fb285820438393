// The device tree: a flattened tree (dtb) read with libfdt into device_node objects.
//
// Lifetime: load() builds the whole tree at once; the nodes live until the next load() or the
// kernel's shutdown. Load the tree before any device is registered from it; after that the tree
// is read-only and every lookup may be called from any task (hard-interrupt context included,
// although nothing there needs it).
//
// The C entry points of platform/of.h (of_get_named_gpio, of_property_read_u32,
// of_node_full_name) act on these nodes. They accept nodes of any DeviceTree, also one that a
// test builds by itself.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/host/result.h"
#include "platform/of.h"

// One node of the tree. The members mirror Linux: `name` is the node name without its unit
// address ("lt7911d"), `full_name` is the name with it ("lt7911d@2b", "/" for the root), and
// `path` is the full path ("/i2c@fe5c0000/lt7911d@2b").
struct device_node {
  struct Property {
    std::string name;
    std::vector<uint8_t> value;  // as stored in the blob (big-endian cells)
  };

  std::string name;
  std::string full_name;
  std::string path;
  device_node* parent = nullptr;
  std::vector<device_node*> children;  // in blob order
  std::vector<Property> properties;    // in blob order
  uint32_t phandle = 0;                // 0: none

  // The property's bytes, or nullptr when the node has no such property.
  const std::vector<uint8_t>* property(std::string_view prop) const;
  bool has_property(std::string_view prop) const { return property(prop) != nullptr; }
};

namespace host {

class DeviceTree {
 public:
  DeviceTree() = default;
  DeviceTree(const DeviceTree&) = delete;
  DeviceTree& operator=(const DeviceTree&) = delete;

  // Replaces the tree with the one in the blob. On failure the previous tree is kept and the
  // result names what is at fault, e.g. "/i2c@1/lt7911d@2b: property \"reg\": bad offset".
  Result<void> load(std::span<const uint8_t> dtb);
  Result<void> load_file(const std::string& path);
  bool loaded() const { return root_ != nullptr; }

  // Lookups; nullptr (or an empty list) when nothing matches.
  device_node* root() const { return root_; }
  device_node* find_by_path(std::string_view path) const;
  device_node* find_by_phandle(uint32_t phandle) const;
  // Nodes whose "compatible" list holds the text, in tree order.
  std::vector<device_node*> find_compatible(std::string_view compatible) const;
  // Every node, in tree order (depth first, root first).
  std::vector<device_node*> all_nodes() const;

  // "/aliases": the node an alias names ("i2c4" -> its node), and the number Linux's
  // of_alias_get_id gives: alias_id("i2c", node) is 4 when "i2c4" names the node, or -ENODEV.
  device_node* alias(std::string_view name) const;
  int alias_id(std::string_view stem, const device_node* np) const;

  // Property readers. Cells are big-endian u32. Each fails (nullopt) when the property is
  // missing or its size does not fit.
  static std::optional<uint32_t> read_u32(const device_node* np, std::string_view prop);
  static std::optional<std::vector<uint32_t>> read_u32_array(const device_node* np,
                                                             std::string_view prop);
  // The first string of the property.
  static std::optional<std::string> read_string(const device_node* np, std::string_view prop);
  // Every NUL-terminated string of the property.
  static std::optional<std::vector<std::string>> read_string_list(const device_node* np,
                                                                  std::string_view prop);
  static bool is_compatible(const device_node* np, std::string_view compatible);
  // A node is available unless its "status" is something other than "okay" or "ok".
  static bool is_available(const device_node* np);

 private:
  std::vector<std::unique_ptr<device_node>> nodes_;  // tree order
  device_node* root_ = nullptr;
  std::map<uint32_t, device_node*> by_phandle_;
};

}  // namespace host
