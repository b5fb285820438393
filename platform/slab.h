// Kernel memory allocation.
#pragma once

#include "types.h"

#ifdef __cplusplus
extern "C" {
#endif

#define GFP_KERNEL 0xcc0u
#define GFP_ATOMIC 0x480u

extern void* kmalloc(size_t size, gfp_t flags);
extern void* kzalloc(size_t size, gfp_t flags);
extern void kfree(const void* ptr);

#ifdef __cplusplus
}
#endif
