/* Locks and atomics. */
#pragma once

#include <asm/barrier.h>
#include <linux/atomic.h>
#include <linux/compiler.h>
#include <linux/mutex.h>
#include <linux/spinlock.h>
