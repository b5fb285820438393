/* Basic kernel types for the module: the running kernel's own. */
#pragma once

#include <linux/kernel.h>
#include <linux/types.h>
