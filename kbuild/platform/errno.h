/* Kernel error numbers. */
#pragma once

#include <linux/errno.h>
