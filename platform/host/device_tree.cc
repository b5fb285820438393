// The device tree: loading a dtb with libfdt, lookups, and the of_* entry points.
#include <libfdt.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "device_tree.h"
#include "faults.h"
#include "gpio_core.h"
#include "kernel.h"
#include "log.h"
#include "platform/errno.h"

const std::vector<uint8_t>* device_node::property(std::string_view prop) const {
  for (const Property& p : properties) {
    if (p.name == prop) return &p.value;
  }
  return nullptr;
}

namespace host {
namespace {

uint32_t be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

std::string fdt_error(int err) { return fdt_strerror(err); }

// Builds the nodes below `offset` depth first into `out`.
class Builder {
 public:
  Builder(const void* fdt, std::vector<std::unique_ptr<device_node>>* out) : fdt_(fdt), out_(out) {}

  Result<void> build(int offset, device_node* parent) {
    int len = 0;
    const char* raw = fdt_get_name(fdt_, offset, &len);
    if (raw == nullptr) {
      return Error("node at offset " + std::to_string(offset) + ": " + fdt_error(len));
    }
    auto node = std::make_unique<device_node>();
    device_node* np = node.get();
    out_->push_back(std::move(node));
    np->parent = parent;
    if (parent == nullptr) {
      np->full_name = "/";
      np->name = "";
      np->path = "/";
    } else {
      np->full_name.assign(raw, static_cast<size_t>(len));
      np->name = np->full_name.substr(0, np->full_name.find('@'));
      np->path = (parent->path == "/" ? "" : parent->path) + "/" + np->full_name;
      parent->children.push_back(np);
    }

    int prop = fdt_first_property_offset(fdt_, offset);
    for (; prop >= 0; prop = fdt_next_property_offset(fdt_, prop)) {
      const char* name = nullptr;
      int plen = 0;
      const void* value = fdt_getprop_by_offset(fdt_, prop, &name, &plen);
      if (value == nullptr || name == nullptr) {
        return Error(np->path + ": property at offset " + std::to_string(prop) + ": " +
                     fdt_error(plen));
      }
      const auto* bytes = static_cast<const uint8_t*>(value);
      np->properties.push_back({name, std::vector<uint8_t>(bytes, bytes + plen)});
      if (std::strcmp(name, "phandle") == 0 || std::strcmp(name, "linux,phandle") == 0) {
        if (plen != 4) {
          return Error(np->path + ": property \"" + name + "\": " + std::to_string(plen) +
                       " bytes, a phandle is 4");
        }
        np->phandle = be32(bytes);
      }
    }
    if (prop != -FDT_ERR_NOTFOUND) return Error(np->path + ": properties: " + fdt_error(prop));

    int child = fdt_first_subnode(fdt_, offset);
    for (; child >= 0; child = fdt_next_subnode(fdt_, child)) {
      if (Result<void> r = build(child, np); !r) return r;
    }
    if (child != -FDT_ERR_NOTFOUND) return Error(np->path + ": subnodes: " + fdt_error(child));
    return {};
  }

 private:
  const void* fdt_;
  std::vector<std::unique_ptr<device_node>>* out_;
};

}  // namespace

Result<void> DeviceTree::load(std::span<const uint8_t> dtb) {
  if (dtb.size() < sizeof(fdt_header)) {
    return Error("dtb: " + std::to_string(dtb.size()) + " bytes");
  }
  const void* fdt = dtb.data();
  if (int err = fdt_check_header(fdt); err != 0) return Error("dtb header: " + fdt_error(err));
  if (fdt_totalsize(fdt) > dtb.size()) {
    return Error("dtb: header says " + std::to_string(fdt_totalsize(fdt)) + " bytes, have " +
                 std::to_string(dtb.size()));
  }
  std::vector<std::unique_ptr<device_node>> nodes;
  if (Result<void> r = Builder(fdt, &nodes).build(0, nullptr); !r) return r;

  std::map<uint32_t, device_node*> by_phandle;
  for (const auto& n : nodes) {
    if (n->phandle == 0) continue;
    if (!by_phandle.emplace(n->phandle, n.get()).second) {
      return Error(n->path + ": phandle " + std::to_string(n->phandle) + " is used twice");
    }
  }
  nodes_ = std::move(nodes);
  by_phandle_ = std::move(by_phandle);
  root_ = nodes_.front().get();
  return {};
}

Result<void> DeviceTree::load_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return Error(path + ": cannot open");
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  if (Result<void> r = load(bytes); !r) return Error(path + ": " + r.error().message);
  return {};
}

device_node* DeviceTree::find_by_path(std::string_view path) const {
  for (const auto& n : nodes_) {
    if (n->path == path) return n.get();
  }
  return nullptr;
}

device_node* DeviceTree::find_by_phandle(uint32_t phandle) const {
  auto it = by_phandle_.find(phandle);
  return it == by_phandle_.end() ? nullptr : it->second;
}

std::vector<device_node*> DeviceTree::find_compatible(std::string_view compatible) const {
  std::vector<device_node*> out;
  for (const auto& n : nodes_) {
    if (is_compatible(n.get(), compatible)) out.push_back(n.get());
  }
  return out;
}

std::vector<device_node*> DeviceTree::all_nodes() const {
  std::vector<device_node*> out;
  for (const auto& n : nodes_) out.push_back(n.get());
  return out;
}

device_node* DeviceTree::alias(std::string_view name) const {
  const device_node* aliases = find_by_path("/aliases");
  if (aliases == nullptr) return nullptr;
  auto target = read_string(aliases, name);
  return target ? find_by_path(*target) : nullptr;
}

int DeviceTree::alias_id(std::string_view stem, const device_node* np) const {
  const device_node* aliases = find_by_path("/aliases");
  if (aliases == nullptr || np == nullptr) return -ENODEV;
  for (const auto& p : aliases->properties) {
    // Linux takes the alias name apart as <stem><decimal id>.
    std::string_view name = p.name;
    size_t digits = name.size();
    while (digits > 0 && name[digits - 1] >= '0' && name[digits - 1] <= '9') --digits;
    if (digits == name.size() || name.substr(0, digits) != stem) continue;
    if (name.size() - digits > 9) continue;
    auto target = read_string(aliases, name);
    if (target && *target == np->path) return std::stoi(std::string(name.substr(digits)));
  }
  return -ENODEV;
}

std::optional<uint32_t> DeviceTree::read_u32(const device_node* np, std::string_view prop) {
  const auto* v = np ? np->property(prop) : nullptr;
  if (v == nullptr || v->size() < 4) return std::nullopt;
  return be32(v->data());
}

std::optional<std::vector<uint32_t>> DeviceTree::read_u32_array(const device_node* np,
                                                                std::string_view prop) {
  const auto* v = np ? np->property(prop) : nullptr;
  if (v == nullptr || v->size() % 4 != 0) return std::nullopt;
  std::vector<uint32_t> out;
  for (size_t i = 0; i < v->size(); i += 4) out.push_back(be32(v->data() + i));
  return out;
}

std::optional<std::string> DeviceTree::read_string(const device_node* np, std::string_view prop) {
  auto list = read_string_list(np, prop);
  if (!list || list->empty()) return std::nullopt;
  return list->front();
}

std::optional<std::vector<std::string>> DeviceTree::read_string_list(const device_node* np,
                                                                     std::string_view prop) {
  const auto* v = np ? np->property(prop) : nullptr;
  // A string property ends with its NUL; anything else is not a string list.
  if (v == nullptr || v->empty() || v->back() != 0) return std::nullopt;
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t i = 0; i < v->size(); ++i) {
    if ((*v)[i] == 0) {
      out.emplace_back(reinterpret_cast<const char*>(v->data() + start), i - start);
      start = i + 1;
    }
  }
  return out;
}

bool DeviceTree::is_compatible(const device_node* np, std::string_view compatible) {
  auto list = read_string_list(np, "compatible");
  if (!list) return false;
  for (const auto& c : *list) {
    if (c == compatible) return true;
  }
  return false;
}

bool DeviceTree::is_available(const device_node* np) {
  if (np == nullptr) return false;
  if (!np->has_property("status")) return true;
  auto status = read_string(np, "status");
  return status && (*status == "okay" || *status == "ok");
}

}  // namespace host

extern "C" {

// As Linux parses a GPIO specifier (of_parse_phandle_with_args, then the controller registered for
// the node whose translation takes the line), with its results: -ENOENT for a missing property,
// an index beyond the list or an empty entry; -EINVAL for a specifier that cannot be parsed;
// -EPROBE_DEFER when no registered controller takes it.
int of_get_named_gpio(struct device_node* np, const char* propname, int index) {
  if (auto err = host::fault("of_get_named_gpio", propname ? propname : "")) return *err;
  if (np == nullptr || propname == nullptr || index < 0) return -EINVAL;
  const std::vector<uint8_t>* list = np->property(propname);
  if (list == nullptr) return -ENOENT;

  host::DeviceTree& dt = host::Kernel::get().dt();
  const size_t cells = list->size() / 4;  // a partial cell at the end is no part of the list
  size_t at = 0;
  for (int i = 0;; ++i) {
    if (at >= cells) return -ENOENT;  // index beyond the list
    const uint32_t phandle = host::be32(list->data() + at * 4);
    ++at;
    if (phandle == 0) {
      // An empty entry takes one cell.
      if (i == index) return -ENOENT;
      continue;
    }
    const device_node* ctrl = dt.find_by_phandle(phandle);
    if (ctrl == nullptr) return -EINVAL;
    auto ncells = host::DeviceTree::read_u32(ctrl, "#gpio-cells");
    if (!ncells) {
      const std::string line =
          "\0013OF: " + np->path + ": could not get #gpio-cells for " + ctrl->path + "\n";
      host::Kernel::get().log().printk(line.c_str());
      return -EINVAL;
    }
    if (at + *ncells > cells) return -EINVAL;  // the specifier is cut short
    if (i < index) {
      at += *ncells;
      continue;
    }
    if (*ncells < 1) return -EINVAL;
    const uint32_t line = host::be32(list->data() + at * 4);
    auto chip = host::Kernel::get().gpio().chip_for_node(ctrl);
    if (!chip || line >= static_cast<uint32_t>(chip->ngpio)) return -EPROBE_DEFER;
    return chip->base + static_cast<int>(line);
  }
}

int of_property_read_u32(const struct device_node* np, const char* propname, u32* out_value) {
  if (auto err = host::fault("of_property_read_u32", propname ? propname : "")) return *err;
  if (np == nullptr || propname == nullptr) return -EINVAL;
  const std::vector<uint8_t>* v = np->property(propname);
  if (v == nullptr) return -EINVAL;
  if (v->empty()) return -ENODATA;
  if (v->size() < 4) return -EOVERFLOW;
  *out_value = host::be32(v->data());
  return 0;
}

const char* of_node_full_name(const struct device_node* np) {
  return np ? np->full_name.c_str() : "<no-node>";
}

}  // extern "C"
