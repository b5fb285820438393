/* Module entry points, module information and module references. */
#pragma once

#include <linux/init.h>
#include <linux/module.h>
