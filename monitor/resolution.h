// Classification of a measured HDMI resolution against the supported modes.
//
// Threading: called only from the status worker, which never runs twice at once; the last
// accepted pair it keeps needs no lock.
#pragma once

#include "platform/types.h"

#define RES_UNCHANGED 0
#define RES_NEW 1
#define RES_UNSUPPORTED 2
#define RES_UNLISTED 3

// RES_NEW for a supported mode other than the last accepted one (which it becomes),
// RES_UNCHANGED for the last accepted one, RES_UNSUPPORTED for 1366 x 768, else RES_UNLISTED.
u8 check_res(u16 width, u16 height);
