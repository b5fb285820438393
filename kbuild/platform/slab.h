/* Kernel memory allocation. */
#pragma once

#include <linux/slab.h>
