// Module parameters.
//
// Parameters given at load pass through their set operation before the init function, in the
// order given. Later reads and writes of /sys/module/<module>/parameters/<name> run the get and
// set operations under the module's parameter lock.
#pragma once

#include "module.h"
#include "types.h"

struct kernel_param;

struct kernel_param_ops {
  unsigned int flags;
  int (*set)(const char* val, const struct kernel_param* kp);
  int (*get)(char* buffer, const struct kernel_param* kp);
  void (*free)(void* arg);
};

struct kernel_param {
  const char* name;
  struct module* mod;
  const struct kernel_param_ops* ops;
  const u16 perm;
  s8 level;
  u8 flags;
  union {
    void* arg;
    const void* str;
  };
};

// Parses val as an int (base prefixes allowed, one trailing newline) into *kp->arg.
extern "C" int param_set_int(const char* val, const struct kernel_param* kp);
// Prints *kp->arg as "%i\n"; returns the length.
extern "C" int param_get_int(char* buffer, const struct kernel_param* kp);

extern "C" void __module_param_register(const struct kernel_param* kp);

#define module_param_cb(name, ops, arg, perm)                                                      \
  static const struct kernel_param __param_##name = {#name, THIS_MODULE, ops, perm, -1, 0, {arg}}; \
  __attribute__((constructor)) static void __param_register_##name(void) {                         \
    __module_param_register(&__param_##name);                                                      \
  }
#define MODULE_PARM_DESC(_parm, desc) MODULE_INFO(parm, #_parm ":" desc)
