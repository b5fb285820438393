// Basic kernel types for the module: fixed-width integers, sizes and file offsets.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#ifndef __cplusplus
#include <stdbool.h>
#endif

typedef uint8_t u8;
typedef uint16_t u16;
typedef uint32_t u32;
typedef uint64_t u64;
typedef int8_t s8;
typedef int16_t s16;
typedef int32_t s32;
typedef int64_t s64;

typedef unsigned short umode_t;
typedef unsigned int __poll_t;
typedef unsigned int gfp_t;
typedef unsigned int fmode_t;
typedef unsigned long kernel_ulong_t;

// User-space pointers carry no type difference here; the annotation documents intent.
#define __user

#define ARRAY_SIZE(arr) (sizeof(arr) / sizeof((arr)[0]))
