// String and formatting functions the kernel offers: the C library's own.
#pragma once

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
