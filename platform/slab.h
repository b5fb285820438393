// Kernel memory allocation.
#pragma once

#include "types.h"

#define GFP_KERNEL 0xcc0u
#define GFP_ATOMIC 0x480u

extern "C" void* kmalloc(size_t size, gfp_t flags);
extern "C" void* kzalloc(size_t size, gfp_t flags);
extern "C" void kfree(const void* ptr);
