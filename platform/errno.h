// Kernel error numbers. The values are those of Linux; the ones that only the kernel uses
// internally are added here.
#pragma once

#include <errno.h>

#define ERESTARTSYS 512
#define ENOIOCTLCMD 515
#define EPROBE_DEFER 517
