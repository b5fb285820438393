// The chip's register bus: SMBus byte transfers with bank selection, enable/disable,
// identification and a presence test for an address on the chip's bus.
//
// Registers are addressed by (offset, register): the offset selects a bank through register
// 0xFF and is sent only when it differs from the cached `old_offset`.
//
// Threading: every function here sleeps (SMBus transfers) and runs in process context only,
// never in the interrupt handler. Callers hold `lt7911_chip_lock` around their chip sequences,
// which keeps `old_offset` consistent with the chip's bank select.
#pragma once

#include "platform/locking.h"
#include "platform/types.h"

#define CHIP_PLATFORM_UNKNOWN 0
#define CHIP_PLATFORM_LT7911D 1

// Bank select register (any bank).
#define LT7911_REG_BANK_SELECT 0xFF
// Bank value at load: no chip operation uses it, so the first access always selects.
#define LT7911_BANK_NONE 0xFF

// Serialises all chip traffic and power changes: the probe's identification, the power file,
// the status worker and the EDID and version files. It guards `old_offset` and the chip's
// power state (the power text itself is guarded by the text lock).
extern struct mutex lt7911_chip_lock;

// Bank last selected successfully; LT7911_BANK_NONE when no select is valid.
extern u8 old_offset;

// Identified chip: CHIP_PLATFORM_LT7911D or CHIP_PLATFORM_UNKNOWN. Read by the interrupt
// handler, so accessed through these (release/acquire).
int chip_platform_get(void);
void chip_platform_set(int platform);

int i2c_write_byte(u8 offset, u8 reg, u8 value);
int i2c_read_byte(u8 offset, u8 reg, u8* value);
int i2c_write_bytes(u8 offset, u8 reg, const u8* values, u8 length);
int i2c_read_bytes(u8 offset, u8 reg, u8* values, u8 length);

int lt7911_enable(void);
int lt7911_disable(void);

// 1 for an LT7911D, -1 otherwise or when the identity cannot be read.
int check_chip_register(void);

// 1 when a device answers a receive-byte at address on adapter `i2c_bus_num`, else 0.
#ifdef __cplusplus
extern "C" {
#endif
int i2c_device_exists(u8 address);
#ifdef __cplusplus
}
#endif
