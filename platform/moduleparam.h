// Module parameters.
//
// module_param_cb lays down one kernel_param record in the module's section __param, which the
// loader reads (see module.h). Parameters given at load pass through their set operation before
// the init function, in the order given. Later reads and writes of
// /sys/module/<module>/parameters/<name> run the get and set operations under the module's
// parameter lock.
#pragma once

#include "module.h"
#include "types.h"

#ifdef __cplusplus
extern "C" {
#endif

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
extern int param_set_int(const char* val, const struct kernel_param* kp);
// Prints *kp->arg as "%i\n"; returns the length.
extern int param_get_int(char* buffer, const struct kernel_param* kp);

#ifdef __cplusplus
}
#endif

#define module_param_cb(name, ops, arg, perm)                                       \
  static const char __param_str_##name[] = #name;                                   \
  static const struct kernel_param __param_##name                                   \
      __attribute__((used, unused, section("__param"), aligned(sizeof(void*)))) = { \
          __param_str_##name, THIS_MODULE, ops, perm, -1, 0, {arg}}
#define MODULE_PARM_DESC(_parm, desc) MODULE_INFO(parm, #_parm ":" desc)
