// The device tree: nodes, properties and GPIO specifiers.
#pragma once

#include "types.h"

#ifdef __cplusplus
extern "C" {
#endif

struct device_node;  // owned by the device-tree core

struct of_device_id {
  char name[32];
  char type[32];
  char compatible[128];
  const void* data;
};

// Global GPIO number of the index-th specifier of a "<name>" property, or a negative errno:
// -ENOENT when the property is missing or the index beyond its list, -EINVAL for a specifier
// that cannot be parsed (a bad phandle, a node without #gpio-cells), -EPROBE_DEFER when no
// registered controller takes it (none for the node yet, or the line is beyond its lines).
extern int of_get_named_gpio(struct device_node* np, const char* propname, int index);
// Reads one u32 cell: 0, or -EINVAL (no property), -ENODATA (no value), -EOVERFLOW (too short).
extern int of_property_read_u32(const struct device_node* np, const char* propname, u32* out_value);
extern const char* of_node_full_name(const struct device_node* np);

#ifdef __cplusplus
}
#endif
