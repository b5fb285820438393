// SPDX-License-Identifier: GPL-2.0
/*
 * The chip model the other suites stand on, through its adapter as the module reaches it: the
 * registers its map names, those it does not (a plain register file that power-on clears), and
 * the gates in front of the measurements.
 */
#include <linux/i2c.h>

#include "harness.h"

static int xfer(char read_write, u8 reg, u8* value) {
  union i2c_smbus_data data = {.byte = *value};
  int ret =
      i2c_smbus_xfer(lt_chip_bus(), LT_CHIP_ADDR, 0, read_write, reg, I2C_SMBUS_BYTE_DATA, &data);

  if (!ret) *value = data.byte;
  return ret;
}

/* Selects the bank and writes the register; 0 or a negative errno. */
static int chip_write(u8 bank, u8 reg, u8 value) {
  int ret = xfer(I2C_SMBUS_WRITE, 0xFF, &bank);

  return ret ? ret : xfer(I2C_SMBUS_WRITE, reg, &value);
}

/* Selects the bank and reads the register: its value, or a negative errno. */
static int chip_read(u8 bank, u8 reg) {
  u8 value = 0;
  int ret = xfer(I2C_SMBUS_WRITE, 0xFF, &bank);

  if (!ret) ret = xfer(I2C_SMBUS_READ, reg, &value);
  return ret ? ret : value;
}

/* Addresses the map does not name, some of them in the banks of its measurements. */
static const u8 unmapped[][2] = {{0x00, 0x00}, {0x12, 0x34}, {0xC2, 0x3A}, {0xD2, 0x84},
                                 {0xB8, 0xB4}, {0xA0, 0x02}, {0x80, 0xEF}, {0xFE, 0xFE}};

static void unmapped_registers_keep_writes_until_power_on(struct kunit* test) {
  int i;

  lt_chip_plug(lt_mode_find("1080p60"));
  lt_chip_set_power(true);
  lt_board_settle_irqs();
  /* Measuring on, so that a register that wrongly measured would show it. */
  KUNIT_ASSERT_EQ(test, chip_write(0x80, 0xEE, 0x01), 0);
  KUNIT_ASSERT_EQ(test, chip_write(0xD2, 0x83, 0x10), 0);
  KUNIT_ASSERT_EQ(test, chip_write(0xA0, 0x34, 0x21), 0);
  for (i = 0; i < ARRAY_SIZE(unmapped); i++) {
    const u8 bank = unmapped[i][0], reg = unmapped[i][1];

    KUNIT_EXPECT_EQ_MSG(test, chip_read(bank, reg), LT_UNMAPPED_VALUE, "0x%02X:0x%02X", bank, reg);
    KUNIT_EXPECT_EQ(test, chip_write(bank, reg, 0xA5 ^ i), 0);
  }
  for (i = 0; i < ARRAY_SIZE(unmapped); i++)
    KUNIT_EXPECT_EQ_MSG(test, chip_read(unmapped[i][0], unmapped[i][1]), 0xA5 ^ i, "0x%02X:0x%02X",
                        unmapped[i][0], unmapped[i][1]);

  /* Off, the chip answers nothing; on again, every register is back at its reset value. */
  lt_chip_set_power(false);
  KUNIT_EXPECT_EQ(test, chip_read(0x12, 0x34), -ENXIO);
  lt_chip_set_power(true);
  lt_board_settle_irqs();
  for (i = 0; i < ARRAY_SIZE(unmapped); i++)
    KUNIT_EXPECT_EQ_MSG(test, chip_read(unmapped[i][0], unmapped[i][1]), LT_UNMAPPED_VALUE,
                        "0x%02X:0x%02X after power-on", unmapped[i][0], unmapped[i][1]);
  KUNIT_EXPECT_EQ(test, chip_read(0x80, 0xEE), 0x00);
  KUNIT_EXPECT_EQ(test, chip_read(0xD2, 0x83), 0x00);
  KUNIT_EXPECT_EQ(test, chip_read(0xA0, 0x34), 0x00);
}

struct measurement {
  u8 bank;
  u8 reg;
  u8 want; /* 1080p60, measuring */
  bool timing;
  bool clock;
};

/* 1920 x 1080, HTotal 2200 (half 1100), VTotal 1125, half the clock 74250 kHz, audio 48. */
static const struct measurement measurements[] = {
    {0xC2, 0x38, 0x07},
    {0xC2, 0x39, 0x80},
    {0xC2, 0x06, 0x04},
    {0xC2, 0x07, 0x38},
    {0xD1, 0x55, 48},
    {0xD2, 0x89, 0x04, true},
    {0xD2, 0x8A, 0x4C, true},
    {0xD2, 0x9E, 0x04, true},
    {0xD2, 0x9F, 0x65, true},
    {0xD2, 0x96, 0x08, true},
    {0xD2, 0x97, 0x98, true},
    {0xD2, 0x8B, 0x04, true},
    {0xD2, 0x8C, 0x65, true},
    {0xB8, 0xB1, 0x01, false, true},
    {0xB8, 0xB2, 0x22, false, true},
    {0xB8, 0xB3, 0x0A, false, true},
};

/* Every measurement reads 0 with the enable off, and also with its select off. */
static void expect_measurements(struct kunit* test, bool enabled, bool timing, bool clock,
                                const char* when) {
  int i;

  for (i = 0; i < ARRAY_SIZE(measurements); i++) {
    const struct measurement* m = &measurements[i];
    bool shows = enabled && (!m->timing || timing) && (!m->clock || clock);

    KUNIT_EXPECT_EQ_MSG(test, chip_read(m->bank, m->reg), shows ? m->want : 0, "0x%02X:0x%02X %s",
                        m->bank, m->reg, when);
  }
}

static void named_registers_measure_behind_their_gates_and_ignore_writes(struct kunit* test) {
  int i;

  lt_chip_plug(lt_mode_find("1080p60"));
  lt_chip_set_power(true);
  lt_board_settle_irqs();
  KUNIT_EXPECT_EQ(test, chip_read(0xA0, 0x00), 0x16);
  KUNIT_EXPECT_EQ(test, chip_read(0xA0, 0x01), 0x05);

  expect_measurements(test, false, false, false, "before the enable");
  KUNIT_ASSERT_EQ(test, chip_write(0x80, 0xEE, 0x01), 0);
  KUNIT_EXPECT_EQ(test, chip_read(0x80, 0xEE), 0x01);
  expect_measurements(test, true, false, false, "enabled, no select");
  KUNIT_ASSERT_EQ(test, chip_write(0xD2, 0x83, 0x10), 0);
  expect_measurements(test, true, true, false, "the timing selected");
  KUNIT_ASSERT_EQ(test, chip_write(0xA0, 0x34, 0x21), 0);
  expect_measurements(test, true, true, true, "both selected");
  KUNIT_ASSERT_EQ(test, chip_write(0xD2, 0x83, 0x11), 0);
  expect_measurements(test, true, false, true, "another timing select");

  /* The identity and the measurements are read-only. */
  KUNIT_ASSERT_EQ(test, chip_write(0xD2, 0x83, 0x10), 0);
  KUNIT_EXPECT_EQ(test, chip_write(0xA0, 0x00, 0x99), 0);
  KUNIT_EXPECT_EQ(test, chip_write(0xA0, 0x01, 0x99), 0);
  for (i = 0; i < ARRAY_SIZE(measurements); i++)
    KUNIT_EXPECT_EQ(test, chip_write(measurements[i].bank, measurements[i].reg, 0x99), 0);
  KUNIT_EXPECT_EQ(test, chip_read(0xA0, 0x00), 0x16);
  KUNIT_EXPECT_EQ(test, chip_read(0xA0, 0x01), 0x05);
  expect_measurements(test, true, true, true, "after writes to them");

  /* Without a source, the measurements read 0 even when measuring. */
  lt_chip_unplug();
  lt_board_settle_irqs();
  expect_measurements(test, false, false, false, "unplugged");
}

static struct kunit_case chip_model_cases[] = {
    KUNIT_CASE(unmapped_registers_keep_writes_until_power_on),
    KUNIT_CASE(named_registers_measure_behind_their_gates_and_ignore_writes),
    {},
};

static struct kunit_suite chip_model_suite = {
    .name = "lt7911_chip_model",
    .init = lt_case_init,
    .exit = lt_case_exit,
    .test_cases = chip_model_cases,
};
kunit_test_suite(chip_model_suite);
