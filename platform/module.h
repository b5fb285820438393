// Module entry points, module information and module references.
//
// A module is a loadable object. `module_init`/`module_exit` name its init and exit functions.
// Everything the loader learns about a module is laid down statically in the object, as a
// Linux module does, so nothing of the module runs before its init:
// - MODULE_INFO and the MODULE_* macros put "tag=value" strings into the section .modinfo;
// - module_param_cb (moduleparam.h) puts a kernel_param record into the section __param;
// - MODULE_DEVICE_TABLE puts a record naming the table and its type into the section
//   __mod_device_table, from which the loader derives the module's aliases (modpost's work on
//   Linux).
// `__this_module` is defined by the build (the generated <name>.mod.cc), as modpost does.
#pragma once

#include "types.h"

#ifdef __cplusplus
extern "C" {
#endif

struct module {
  const char* name;
  void* host;  // owned by the module loader
};

extern struct module __this_module;
#define THIS_MODULE (&__this_module)

typedef int (*initcall_t)(void);
typedef void (*exitcall_t)(void);

// One published device table: its type ("of" or "i2c") and its first entry; the table ends
// with an all-zero entry.
struct module_device_table {
  const char* type;
  const void* table;
};

// Module references. try_module_get fails once the module is being unloaded.
extern bool try_module_get(struct module* mod);
extern void module_put(struct module* mod);

#ifdef __cplusplus
}
#endif

#define __MODULE_PASTE2(a, b) a##b
#define __MODULE_PASTE(a, b) __MODULE_PASTE2(a, b)
#define __MODULE_UNIQUE(prefix) __MODULE_PASTE(prefix, __COUNTER__)

#define __MODULE_INFO(tag, id, info)                                                      \
  static const char id[] __attribute__((used, unused, section(".modinfo"), aligned(1))) = \
      #tag "=" info
#define MODULE_INFO(tag, info) __MODULE_INFO(tag, __MODULE_UNIQUE(__modinfo_), info)
#define MODULE_DESCRIPTION(d) MODULE_INFO(description, d)
#define MODULE_VERSION(v) MODULE_INFO(version, v)
#define MODULE_LICENSE(l) MODULE_INFO(license, l)
#define MODULE_AUTHOR(a) MODULE_INFO(author, a)
#define MODULE_ALIAS(a) MODULE_INFO(alias, a)

// Publishes a device table (of_device_id or i2c_device_id) as module aliases.
#define MODULE_DEVICE_TABLE(type, name)                                                          \
  static const struct module_device_table __MODULE_PASTE(__mod_##type##__, name) __attribute__(( \
      used, unused, section("__mod_device_table"), aligned(sizeof(void*)))) = {#type, name}

#ifdef __cplusplus
#define __MODULE_ENTRY extern "C"
#else
#define __MODULE_ENTRY
#endif
#define module_init(fn) __MODULE_ENTRY initcall_t const __module_initcall = fn
#define module_exit(fn) __MODULE_ENTRY exitcall_t const __module_exitcall = fn
