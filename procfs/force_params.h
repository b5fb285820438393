// The forced-mode module parameters force_width, force_height and force_fps.
//
// Threading: the kernel runs force_res_param_set under its parameter lock, at load before the
// init function and later in the writer's process. The three integers are stored with
// WRITE_ONCE and read by the status worker with READ_ONCE.
#pragma once

#include "platform/moduleparam.h"

int force_res_param_set(const char* val, const struct kernel_param* kp);
