// What a module object defines statically for its loader: the "tag=value" strings of its
// section .modinfo, the kernel_param records of its section __param and the device tables named
// by its section __mod_device_table (see platform/module.h). The loader reads them after
// dlopen, from the object's section headers on disk and its mapped image, as Linux's loader
// reads .modinfo and __param; no code of the module runs for it.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/i2c.h"
#include "platform/moduleparam.h"
#include "platform/of.h"

namespace host {

struct ModuleSections {
  // Tag and value of every .modinfo string, in the object's order.
  std::vector<std::pair<std::string, std::string>> fields;
  // The parameter records, in the object's order; they point into the mapped image.
  std::vector<const kernel_param*> params;
  std::vector<const of_device_id*> of_tables;
  std::vector<const i2c_device_id*> i2c_tables;
};

// Reads the sections of the object at `path`, which `handle` (from dlopen) has mapped. nullopt
// when the file is not a readable ELF object of this machine, or a section is malformed (a size
// that is not a whole number of records, or a record of an unknown table type).
std::optional<ModuleSections> read_module_sections(const std::string& path, void* handle);

}  // namespace host
