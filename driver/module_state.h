// Module-wide state of lt7911_manage: what several parts of the module share about the one chip
// it serves. This header includes nothing of the module, so every part can include it; each
// variable is defined in the file of the part that owns it (named with it below).
//
// Everything here lives as long as the module is loaded and starts with its load value at every
// load.
//
// Threading: the probe and the remove run in process context and are never run at the same time
// for the bound chip. The bring-up flag is read by the interrupt handler and the status worker,
// so it is accessed only through lt7911_init_done_get/set (acquire/release). The pin numbers and
// `irq_number` are written by the probe before the interrupt is requested and are read-only
// while the chip is bound.
#pragma once

#include "platform/i2c.h"
#include "platform/locking.h"
#include "platform/types.h"
#include "platform/workqueue.h"

/* ---- The binding (lt7911_manage.cc) ---- */

// The bound client; every register transfer addresses it.
extern struct i2c_client* client;
// Number of the client's adapter, or -1 when it has none.
extern int i2c_bus_num;
// The single work item that queries the chip.
extern struct work_struct get_video_info_work;

// Bring-up is complete: the interrupt handler and the status worker act only while it is set.
// The store releases everything bring-up wrote; the load acquires it.
void lt7911_init_done_set(bool done);
bool lt7911_init_done_get(void);

// Queues get_video_info_work from process context, if a probe has initialised it in this
// module lifetime and the module's exit has not begun; true when it was queued. Sleeps.
bool lt7911_work_queue(void);

/* ---- The pins (pins_power.cc) ---- */

// GPIO numbers of the chip's interrupt line ("irq-gpio") and power line ("reset-gpio").
extern int INT_PIN;
extern int PWR_PIN;
// Linux interrupt of INT_PIN, set by gpio_init.
extern int irq_number;

/* ---- The register bus (register_bus.cc) ---- */

// Serialises all chip traffic and power changes: the probe's identification, the power file,
// the status worker and the EDID and version files. It guards `old_offset` and the chip's
// power state (the power text itself is guarded by the text lock).
extern struct mutex lt7911_chip_lock;

/* ---- The forced mode (force_params.cc) ---- */

// Forced mode, -1 when not forced; written only through the module parameters.
extern int force_width;
extern int force_height;
extern int force_fps;
