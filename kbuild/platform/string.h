/* String and formatting functions. */
#pragma once

#include <linux/kernel.h>
#include <linux/string.h>
