// Reading a module's statically defined information. See module_sections.h.
#include "module_sections.h"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <cstring>
#include <fstream>

namespace host {

namespace {

constexpr unsigned char kElfClass = __ELF_NATIVE_CLASS == 64 ? ELFCLASS64 : ELFCLASS32;

struct Section {
  uintptr_t address = 0;  // in the mapped image
  size_t size = 0;
};

// The allocated sections of the object at path, by name, at their mapped addresses.
std::optional<std::vector<std::pair<std::string, Section>>> mapped_sections(const std::string& path,
                                                                            uintptr_t bias) {
  std::ifstream in(path, std::ios::binary);
  ElfW(Ehdr) eh;
  if (!in.read(reinterpret_cast<char*>(&eh), sizeof eh)) return std::nullopt;
  if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != kElfClass ||
      eh.e_shentsize != sizeof(ElfW(Shdr)) || eh.e_shstrndx >= eh.e_shnum) {
    return std::nullopt;
  }
  std::vector<ElfW(Shdr)> sh(eh.e_shnum);
  in.seekg(static_cast<std::streamoff>(eh.e_shoff));
  if (!in.read(reinterpret_cast<char*>(sh.data()),
               static_cast<std::streamsize>(sh.size() * sizeof(ElfW(Shdr))))) {
    return std::nullopt;
  }
  const ElfW(Shdr)& names_hdr = sh[eh.e_shstrndx];
  std::string names(names_hdr.sh_size, '\0');
  in.seekg(static_cast<std::streamoff>(names_hdr.sh_offset));
  if (!in.read(names.data(), static_cast<std::streamsize>(names.size()))) return std::nullopt;

  std::vector<std::pair<std::string, Section>> out;
  for (const ElfW(Shdr) & s : sh) {
    if ((s.sh_flags & SHF_ALLOC) == 0 || s.sh_name >= names.size()) continue;
    out.emplace_back(std::string(names.c_str() + s.sh_name),
                     Section{bias + s.sh_addr, static_cast<size_t>(s.sh_size)});
  }
  return out;
}

// The strings of .modinfo, NUL-separated; padding between them is skipped as Linux does.
void read_modinfo(const Section& s, ModuleSections* out) {
  const char* p = reinterpret_cast<const char*>(s.address);
  const char* end = p + s.size;
  while (p < end) {
    if (*p == '\0') {
      ++p;
      continue;
    }
    const size_t len = strnlen(p, static_cast<size_t>(end - p));
    const std::string entry(p, len);
    const size_t eq = entry.find('=');
    if (eq != std::string::npos)
      out->fields.emplace_back(entry.substr(0, eq), entry.substr(eq + 1));
    p += len;
  }
}

}  // namespace

std::optional<ModuleSections> read_module_sections(const std::string& path, void* handle) {
  struct link_map* lm = nullptr;
  if (dlinfo(handle, RTLD_DI_LINKMAP, &lm) != 0 || lm == nullptr) return std::nullopt;
  auto sections = mapped_sections(path, lm->l_addr);
  if (!sections) return std::nullopt;

  ModuleSections out;
  for (const auto& [name, s] : *sections) {
    if (name == ".modinfo") {
      read_modinfo(s, &out);
    } else if (name == "__param") {
      if (s.size % sizeof(kernel_param) != 0) return std::nullopt;
      const auto* kp = reinterpret_cast<const kernel_param*>(s.address);
      for (size_t i = 0; i < s.size / sizeof(kernel_param); ++i) out.params.push_back(&kp[i]);
    } else if (name == "__mod_device_table") {
      if (s.size % sizeof(module_device_table) != 0) return std::nullopt;
      const auto* t = reinterpret_cast<const module_device_table*>(s.address);
      for (size_t i = 0; i < s.size / sizeof(module_device_table); ++i) {
        if (std::strcmp(t[i].type, "of") == 0) {
          out.of_tables.push_back(static_cast<const of_device_id*>(t[i].table));
        } else if (std::strcmp(t[i].type, "i2c") == 0) {
          out.i2c_tables.push_back(static_cast<const i2c_device_id*>(t[i].table));
        } else {
          return std::nullopt;
        }
      }
    }
  }
  return out;
}

}  // namespace host
