/* The kernel log and warnings. */
#pragma once

#include <linux/bug.h>
#include <linux/printk.h>
