// The chip's register bus, in layers: SMBus transfers addressed by (offset, register), where the
// offset selects a bank through register 0xFF (LT7911_BANK_SELECT) and is sent only when it
// differs from the cached `old_offset`; over them, reads and writes of the registers named in
// lt7911_regs.h, a byte or a high/low pair at a time; over those, the chip's enable/disable and
// identification. Also a presence test for an address on the chip's bus.
//
// Threading: every function here sleeps (SMBus transfers) and runs in process context only,
// never in the interrupt handler. Callers hold `lt7911_chip_lock` around their chip sequences,
// which keeps `old_offset` consistent with the chip's bank select.
#pragma once

#include "driver/lt7911_regs.h"
#include "platform/types.h"

#define CHIP_PLATFORM_UNKNOWN 0
#define CHIP_PLATFORM_LT7911D 1

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

// A register named by bank and number together (lt7911_regs.h), through the transfers above:
// 0, or -1 after their message. lt7911_read_reg16 reads a 16-bit value from its high register,
// then its low one.
int lt7911_read_reg(u16 reg, u8* value);
int lt7911_write_reg(u16 reg, u8 value);
int lt7911_read_reg16(u16 high, u16 low, u16* value);

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
