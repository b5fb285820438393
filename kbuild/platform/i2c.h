/* The I2C core and SMBus: adapters, clients, drivers and transfers. */
#pragma once

#include <linux/i2c.h>

#include "compat.h"
#include "module.h"
#include "of.h"
#include "types.h"
