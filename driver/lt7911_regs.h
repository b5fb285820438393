// The LT7911D's registers, as this module uses them.
//
// A register is addressed by its bank and its number in that bank. Naming:
//   LT7911_BANK_<BANK>             a bank: the value written to the bank select register
//   LT7911_<BANK>_<REGISTER>       a register of that bank: bank and number together,
//                                  LT7911_REG(bank, number); LT7911_BANK_OF and LT7911_NUM_OF
//                                  take them apart
//   LT7911_<BANK>_<REGISTER>_<X>   a value of that register, or a mask of its bits (X ends in
//                                  _MASK), written right under its register
// A measurement spread over several registers names them _HIGH, _MID and _LOW, most
// significant first.
#pragma once

#include "platform/types.h"

#define LT7911_REG(bank, number) (((bank) << 8) | (number))
#define LT7911_BANK_OF(reg) ((u8)((reg) >> 8))
#define LT7911_NUM_OF(reg) ((u8)((reg)&0xFF))

// The bank select register: the same number in every bank.
#define LT7911_BANK_SELECT 0xFF
// The select cache's value at load. No register of this module lives in bank 0xFF, so the first
// access always selects.
#define LT7911_BANK_NONE 0xFF

// Bank 0x80: the register window.
#define LT7911_BANK_SYS 0x80
// 1 opens the chip's registers to the bus, 0 closes them.
#define LT7911_SYS_ENABLE LT7911_REG(LT7911_BANK_SYS, 0xEE)
#define LT7911_SYS_ENABLE_ON 0x01
#define LT7911_SYS_ENABLE_OFF 0x00

// Bank 0xA0: identity and the clock measurement's input.
#define LT7911_BANK_CHIP 0xA0
#define LT7911_CHIP_ID_HIGH LT7911_REG(LT7911_BANK_CHIP, 0x00)
#define LT7911_CHIP_ID_HIGH_LT7911D 0x16
#define LT7911_CHIP_ID_LOW LT7911_REG(LT7911_BANK_CHIP, 0x01)
#define LT7911_CHIP_ID_LOW_LT7911D 0x05
// Written before the clock measurement is read.
#define LT7911_CHIP_CLOCK_SELECT LT7911_REG(LT7911_BANK_CHIP, 0x34)
#define LT7911_CHIP_CLOCK_SELECT_INPUT 0x21

// Bank 0xD2: the input's timing measurements.
#define LT7911_BANK_TIMING 0xD2
// Written before the timing measurements are read.
#define LT7911_TIMING_SELECT LT7911_REG(LT7911_BANK_TIMING, 0x83)
#define LT7911_TIMING_SELECT_MEASURE 0x10
// Two sync measurements: only whether each is zero matters.
#define LT7911_TIMING_SYNC_A_HIGH LT7911_REG(LT7911_BANK_TIMING, 0x96)
#define LT7911_TIMING_SYNC_A_LOW LT7911_REG(LT7911_BANK_TIMING, 0x97)
#define LT7911_TIMING_SYNC_B_HIGH LT7911_REG(LT7911_BANK_TIMING, 0x8B)
#define LT7911_TIMING_SYNC_B_LOW LT7911_REG(LT7911_BANK_TIMING, 0x8C)
// Half the line length in pixels: 15 bits, bits 0 to 6 of the high register and the low one.
#define LT7911_TIMING_HTOTAL_HIGH LT7911_REG(LT7911_BANK_TIMING, 0x89)
#define LT7911_TIMING_HTOTAL_HIGH_MASK 0x7F
#define LT7911_TIMING_HTOTAL_LOW LT7911_REG(LT7911_BANK_TIMING, 0x8A)
// Frame length in lines, 16 bits.
#define LT7911_TIMING_VTOTAL_HIGH LT7911_REG(LT7911_BANK_TIMING, 0x9E)
#define LT7911_TIMING_VTOTAL_LOW LT7911_REG(LT7911_BANK_TIMING, 0x9F)

// Bank 0xB8: the clock measurement, 19 bits.
#define LT7911_BANK_CLOCK 0xB8
#define LT7911_CLOCK_HIGH LT7911_REG(LT7911_BANK_CLOCK, 0xB1)
#define LT7911_CLOCK_HIGH_MASK 0x07
#define LT7911_CLOCK_MID LT7911_REG(LT7911_BANK_CLOCK, 0xB2)
#define LT7911_CLOCK_LOW LT7911_REG(LT7911_BANK_CLOCK, 0xB3)

// Bank 0xC2: the active picture's size.
#define LT7911_BANK_ACTIVE 0xC2
#define LT7911_ACTIVE_HEIGHT_HIGH LT7911_REG(LT7911_BANK_ACTIVE, 0x06)
#define LT7911_ACTIVE_HEIGHT_LOW LT7911_REG(LT7911_BANK_ACTIVE, 0x07)
#define LT7911_ACTIVE_WIDTH_HIGH LT7911_REG(LT7911_BANK_ACTIVE, 0x38)
#define LT7911_ACTIVE_WIDTH_LOW LT7911_REG(LT7911_BANK_ACTIVE, 0x39)

// Bank 0xD1: audio.
#define LT7911_BANK_AUDIO 0xD1
// The audio sample rate, one unsigned byte.
#define LT7911_AUDIO_RATE LT7911_REG(LT7911_BANK_AUDIO, 0x55)
