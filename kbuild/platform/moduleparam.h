/* Module parameters. */
#pragma once

#include <linux/moduleparam.h>

#include "module.h"
