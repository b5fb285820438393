// The kernel log. A message starts with an optional level marker (KERN_*); KERN_CONT continues
// the previous record. Safe in any context, hard interrupts included.
#pragma once

#include "types.h"

#ifdef __cplusplus
extern "C" {
#endif

#define KERN_SOH "\001"
#define KERN_EMERG KERN_SOH "0"
#define KERN_ALERT KERN_SOH "1"
#define KERN_CRIT KERN_SOH "2"
#define KERN_ERR KERN_SOH "3"
#define KERN_WARNING KERN_SOH "4"
#define KERN_NOTICE KERN_SOH "5"
#define KERN_INFO KERN_SOH "6"
#define KERN_DEBUG KERN_SOH "7"
#define KERN_DEFAULT ""
#define KERN_CONT KERN_SOH "c"

extern int printk(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

#define pr_err(fmt, ...) printk(KERN_ERR fmt, ##__VA_ARGS__)
#define pr_info(fmt, ...) printk(KERN_INFO fmt, ##__VA_ARGS__)
#define pr_cont(fmt, ...) printk(KERN_CONT fmt, ##__VA_ARGS__)

// Records a kernel warning with the caller's location; returns the condition.
extern void __warn_printk(const char* file, int line, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
#define WARN(cond, fmt, ...)                                               \
  ({                                                                       \
    bool __ret_warn = !!(cond);                                            \
    if (__ret_warn) __warn_printk(__FILE__, __LINE__, fmt, ##__VA_ARGS__); \
    __ret_warn;                                                            \
  })
#define WARN_ON(cond) WARN(cond, "WARN_ON(%s)", #cond)

#ifdef __cplusplus
}
#endif
