// Module entry points, module information and module references.
//
// A module is a loadable object. `module_init`/`module_exit` name its init and exit functions;
// the MODULE_* macros attach information that the loader reads at load time (like .modinfo).
// `__this_module` is defined by the build (the generated <name>.mod.cc), as modpost does.
#pragma once

#include "types.h"

struct module {
  const char* name;
  void* host;  // owned by the module loader
};

extern "C" struct module __this_module;
#define THIS_MODULE (&__this_module)

typedef int (*initcall_t)(void);
typedef void (*exitcall_t)(void);

extern "C" void __module_info_add(struct module* mod, const char* tag, const char* value);

#define __MODULE_PASTE2(a, b) a##b
#define __MODULE_PASTE(a, b) __MODULE_PASTE2(a, b)
#define __MODULE_UNIQUE(prefix) __MODULE_PASTE(prefix, __COUNTER__)

#define __MODULE_CTOR(id, body) \
  __attribute__((constructor)) static void id(void) { body; }

#define MODULE_INFO(tag, info) \
  __MODULE_CTOR(__MODULE_UNIQUE(__modinfo_), __module_info_add(THIS_MODULE, #tag, info))
#define MODULE_DESCRIPTION(d) MODULE_INFO(description, d)
#define MODULE_VERSION(v) MODULE_INFO(version, v)
#define MODULE_LICENSE(l) MODULE_INFO(license, l)
#define MODULE_AUTHOR(a) MODULE_INFO(author, a)
#define MODULE_ALIAS(a) MODULE_INFO(alias, a)

// Publishes a device table (of_device_id or i2c_device_id) as module aliases.
#define MODULE_DEVICE_TABLE(type, name) __MODULE_DEVICE_TABLE_##type(name)

#define module_init(fn) extern "C" initcall_t const __module_initcall = fn;
#define module_exit(fn) extern "C" exitcall_t const __module_exitcall = fn;

// Module references. try_module_get fails once the module is being unloaded.
extern "C" bool try_module_get(struct module* mod);
extern "C" void module_put(struct module* mod);
