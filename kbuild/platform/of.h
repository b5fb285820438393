/*
 * The device tree: nodes, properties and GPIO specifiers. A kernel built without CONFIG_OF
 * offers these calls as stubs that fail, so the module builds there and binds to no node.
 */
#pragma once

#include <linux/mod_devicetable.h>
#include <linux/of.h>
#include <linux/of_gpio.h>
