// Measurement queries and chip-platform operations. See chip_queries.h.
#include "monitor/chip_queries.h"

#include "driver/register_bus.h"
#include "monitor/resolution.h"
#include "platform/errno.h"
#include "platform/printk.h"
#include "platform/string.h"
#include "platform/time.h"

// Measurement select: written before the bank 0xD2 timing reads.
#define LT7911_BANK_TIMING 0xD2
#define LT7911_REG_TIMING_SELECT 0x83
#define LT7911_TIMING_SELECT_VALUE 0x10
// Two timing measurements whose being nonzero means stable video.
#define LT7911_REG_SYNC_A_HIGH 0x96
#define LT7911_REG_SYNC_A_LOW 0x97
#define LT7911_REG_SYNC_B_HIGH 0x8B
#define LT7911_REG_SYNC_B_LOW 0x8C
// HTotal / 2 (15 bits: only bits 0 to 6 of the high byte count) and VTotal.
#define LT7911_REG_HTOTAL_HIGH 0x89
#define LT7911_REG_HTOTAL_LOW 0x8A
#define LT7911_HTOTAL_HIGH_MASK 0x7F
#define LT7911_REG_VTOTAL_HIGH 0x9E
#define LT7911_REG_VTOTAL_LOW 0x9F

// Clock measurement: select in bank 0xA0, 19-bit value in bank 0xB8.
#define LT7911_BANK_CLOCK_SELECT 0xA0
#define LT7911_REG_CLOCK_SELECT 0x34
#define LT7911_CLOCK_SELECT_VALUE 0x21
#define LT7911_BANK_CLOCK 0xB8
#define LT7911_REG_CLOCK_HIGH 0xB1
#define LT7911_REG_CLOCK_MID 0xB2
#define LT7911_REG_CLOCK_LOW 0xB3
#define LT7911_CLOCK_HIGH_MASK 0x07

// Active width and height.
#define LT7911_BANK_ACTIVE 0xC2
#define LT7911_REG_HEIGHT_HIGH 0x06
#define LT7911_REG_HEIGHT_LOW 0x07
#define LT7911_REG_WIDTH_HIGH 0x38
#define LT7911_REG_WIDTH_LOW 0x39

// Audio sample-rate byte.
#define LT7911_BANK_AUDIO 0xD1
#define LT7911_REG_AUDIO_RATE 0x55

#define SIGNAL_SETTLE_MS 5
#define CLOCK_SELECT_DELAY_MS 20
#define CLOCK_MEASURE_DELAY_MS 10

/* ---- Measurement queries ---- */

static bool platform_known(void) {
  if (chip_platform_get() != CHIP_PLATFORM_LT7911D) {
    printk(KERN_ERR "Unknown chip platform\n");
    return false;
  }
  return true;
}

int lt7911_get_signal_state(u8* state) {
  if (!platform_known()) return -1;
  if (i2c_write_byte(LT7911_BANK_TIMING, LT7911_REG_TIMING_SELECT, LT7911_TIMING_SELECT_VALUE) < 0)
    return -1;
  msleep(SIGNAL_SETTLE_MS);
  u8 a_high, a_low, b_high, b_low;
  if (i2c_read_byte(LT7911_BANK_TIMING, LT7911_REG_SYNC_A_HIGH, &a_high) < 0) return -1;
  if (i2c_read_byte(LT7911_BANK_TIMING, LT7911_REG_SYNC_A_LOW, &a_low) < 0) return -1;
  if (i2c_read_byte(LT7911_BANK_TIMING, LT7911_REG_SYNC_B_HIGH, &b_high) < 0) return -1;
  if (i2c_read_byte(LT7911_BANK_TIMING, LT7911_REG_SYNC_B_LOW, &b_low) < 0) return -1;
  bool stable = (a_high || a_low) && (b_high || b_low);
  *state = stable ? (HDMI_STATE_VIDEO_STABLE | HDMI_STATE_AUDIO_PRESENT) : HDMI_STATE_AUDIO_PRESENT;
  return 0;
}

int lt7911_get_csi_res(u16* width, u16* height) {
  if (!platform_known()) return -1;
  u8 h_high, h_low, w_high, w_low;
  if (i2c_read_byte(LT7911_BANK_ACTIVE, LT7911_REG_HEIGHT_HIGH, &h_high) < 0) return -1;
  if (i2c_read_byte(LT7911_BANK_ACTIVE, LT7911_REG_HEIGHT_LOW, &h_low) < 0) return -1;
  if (i2c_read_byte(LT7911_BANK_ACTIVE, LT7911_REG_WIDTH_HIGH, &w_high) < 0) return -1;
  if (i2c_read_byte(LT7911_BANK_ACTIVE, LT7911_REG_WIDTH_LOW, &w_low) < 0) return -1;
  *width = (u16)(w_high * 256 + w_low);
  *height = (u16)(h_high * 256 + h_low);
  return check_res(*width, *height);
}

int lt7911_get_csi_fps(u16* fps) {
  if (!platform_known()) return -1;
  if (i2c_write_byte(LT7911_BANK_TIMING, LT7911_REG_TIMING_SELECT, LT7911_TIMING_SELECT_VALUE) < 0)
    return -1;
  u8 ht_high, ht_low, vt_high, vt_low;
  if (i2c_read_byte(LT7911_BANK_TIMING, LT7911_REG_HTOTAL_HIGH, &ht_high) < 0) return -1;
  if (i2c_read_byte(LT7911_BANK_TIMING, LT7911_REG_HTOTAL_LOW, &ht_low) < 0) return -1;
  if (i2c_read_byte(LT7911_BANK_TIMING, LT7911_REG_VTOTAL_HIGH, &vt_high) < 0) return -1;
  if (i2c_read_byte(LT7911_BANK_TIMING, LT7911_REG_VTOTAL_LOW, &vt_low) < 0) return -1;
  u32 htotal = (((u32)(ht_high & LT7911_HTOTAL_HIGH_MASK) << 8) | ht_low) * 2;
  u32 vtotal = ((u32)vt_high << 8) | vt_low;
  printk(KERN_INFO "HDMI HTotal: %d, VTotal: %d\n", (int)htotal, (int)vtotal);

  msleep(CLOCK_SELECT_DELAY_MS);
  if (i2c_write_byte(LT7911_BANK_CLOCK_SELECT, LT7911_REG_CLOCK_SELECT, LT7911_CLOCK_SELECT_VALUE) <
      0)
    return -1;
  msleep(CLOCK_MEASURE_DELAY_MS);
  u8 c_high, c_mid, c_low;
  if (i2c_read_byte(LT7911_BANK_CLOCK, LT7911_REG_CLOCK_HIGH, &c_high) < 0) return -1;
  if (i2c_read_byte(LT7911_BANK_CLOCK, LT7911_REG_CLOCK_MID, &c_mid) < 0) return -1;
  if (i2c_read_byte(LT7911_BANK_CLOCK, LT7911_REG_CLOCK_LOW, &c_low) < 0) return -1;
  u32 clock = ((u32)(c_high & LT7911_CLOCK_HIGH_MASK) << 16) | ((u32)c_mid << 8) | c_low;

  u32 total = htotal * vtotal;
  u32 rate = total ? clock * 2000u / total : 0;
  *fps = (u16)(rate & 0xFFFF);
  return 0;
}

int lt7911_get_audio_sample_rate(u8* rate) {
  if (!platform_known()) return -1;
  u8 value;
  if (i2c_read_byte(LT7911_BANK_AUDIO, LT7911_REG_AUDIO_RATE, &value) < 0) return -1;
  *rate = value;
  return 0;
}

/* ---- Chip-platform operations, as the shipped platforms answer them ---- */

static bool is_lt7911d(void) { return chip_platform_get() == CHIP_PLATFORM_LT7911D; }

static int shipped_disable_watchdog(void) {
  if (is_lt7911d()) {
    printk(KERN_ERR "LT7911D chip platform unsupported\n");
    return 0;
  }
  printk(KERN_ERR "Unknown chip platform\n");
  return -1;
}

static int shipped_get_hdcp_mode(u8* mode) {
  if (is_lt7911d()) {
    printk(KERN_ERR "LT7911D chip platform does not support HDCP\n");
    *mode = 0;
    return 0;
  }
  printk(KERN_ERR "Unknown chip platform\n");
  return -1;
}

static int shipped_edid_read(u8* buf, u16 len) {
  (void)buf;
  (void)len;
  if (is_lt7911d())
    printk(KERN_ERR "LT7911D chip platform does not support EDID reading\n");
  else
    printk(KERN_ERR "Not currently supporting EDID reading outside of LT7911\n");
  return -1;
}

static int shipped_str_read(u8* buf) {
  (void)buf;
  if (is_lt7911d())
    printk(KERN_ERR "LT7911D chip platform does not support String reading\n");
  else
    printk(KERN_ERR "Not currently supporting String reading outside of LT7911\n");
  return -1;
}

static int shipped_edid_write(const u8* buf, u16 len) {
  (void)buf;
  (void)len;
  u8 scratch[LT7911_STR_MAX];
  if (lt7911_str_read(scratch) < 0) return -EIO;
  if (is_lt7911d())
    printk(KERN_ERR "LT7911D chip platform does not support EDID writing\n");
  else
    printk(KERN_ERR "Not currently supporting EDID writing outside of LT7911\n");
  return 0;
}

static int shipped_str_write(const u8* str, u16 len) {
  (void)str;
  u8 scratch[LT7911_STR_MAX];
  memset(scratch, 0, sizeof(scratch));
  if (lt7911_str_read(scratch) < 0) return -1;
  for (size_t i = 0; i < sizeof(scratch); i++)
    if (scratch[i] != 0x00 && scratch[i] != 0xFF) return -1;
  if (len > LT7911_STR_MAX) {
    printk(KERN_ERR "String length exceeds maximum of %d bytes\n", LT7911_STR_MAX);
    return -1;
  }
  if (is_lt7911d())
    printk(KERN_ERR "LT7911D chip platform does not support String writing\n");
  else
    printk(KERN_ERR "Not currently supporting String writing outside of LT7911\n");
  return 0;
}

static const struct lt7911_chip_ops shipped_chip_ops = {
    shipped_disable_watchdog, shipped_get_hdcp_mode, shipped_edid_read,
    shipped_str_read,         shipped_edid_write,    shipped_str_write,
};

// The operations per chip platform, indexed by `chip_platform`.
static const struct lt7911_chip_ops* lt7911_chip_ops_table[2] = {&shipped_chip_ops,
                                                                 &shipped_chip_ops};

const struct lt7911_chip_ops* lt7911_chip_ops_install(int platform,
                                                      const struct lt7911_chip_ops* ops) {
  if (platform != CHIP_PLATFORM_UNKNOWN && platform != CHIP_PLATFORM_LT7911D) return NULL;
  if (!ops) ops = &shipped_chip_ops;
  return __atomic_exchange_n(&lt7911_chip_ops_table[platform], ops, __ATOMIC_ACQ_REL);
}

static const struct lt7911_chip_ops* chip_ops(void) {
  int platform = chip_platform_get();
  if (platform != CHIP_PLATFORM_LT7911D) platform = CHIP_PLATFORM_UNKNOWN;
  return __atomic_load_n(&lt7911_chip_ops_table[platform], __ATOMIC_ACQUIRE);
}

int lt7911_disable_watchdog(void) { return chip_ops()->disable_watchdog(); }
int lt7911_get_hdcp_mode(u8* mode) { return chip_ops()->get_hdcp_mode(mode); }
int lt7911_edid_read(u8* buf, u16 len) { return chip_ops()->edid_read(buf, len); }
int lt7911_str_read(u8* buf) { return chip_ops()->str_read(buf); }
int lt7911_edid_write(const u8* buf, u16 len) { return chip_ops()->edid_write(buf, len); }
int lt7911_str_write(const u8* str, u16 len) { return chip_ops()->str_write(str, len); }
