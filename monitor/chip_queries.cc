// Measurement queries and chip-platform operations. See chip_queries.h.
#include "monitor/chip_queries.h"

#include "driver/lt7911_regs.h"
#include "driver/register_bus.h"
#include "monitor/resolution.h"
#include "platform/errno.h"
#include "platform/printk.h"
#include "platform/string.h"
#include "platform/time.h"

#define SIGNAL_SETTLE_MS 5
#define CLOCK_SELECT_DELAY_MS 20
#define CLOCK_MEASURE_DELAY_MS 10

/* ---- The measurements, in the chip's terms ---- */

static bool platform_known(void) {
  if (chip_platform_get() != CHIP_PLATFORM_LT7911D) {
    printk(KERN_ERR "Unknown chip platform\n");
    return false;
  }
  return true;
}

// Points the timing registers at a fresh measurement of the input.
static int timing_measure(void) {
  return lt7911_write_reg(LT7911_TIMING_SELECT, LT7911_TIMING_SELECT_MEASURE);
}

// The video is stable when both sync measurements are nonzero.
static int video_is_stable(bool* stable) {
  u16 sync_a, sync_b;
  if (lt7911_read_reg16(LT7911_TIMING_SYNC_A_HIGH, LT7911_TIMING_SYNC_A_LOW, &sync_a) < 0)
    return -1;
  if (lt7911_read_reg16(LT7911_TIMING_SYNC_B_HIGH, LT7911_TIMING_SYNC_B_LOW, &sync_b) < 0)
    return -1;
  *stable = sync_a && sync_b;
  return 0;
}

// The frame's totals: pixels per line (the chip counts half of them, in 15 bits) and lines.
static int frame_totals(u32* htotal, u32* vtotal) {
  u16 half_line, lines;
  if (lt7911_read_reg16(LT7911_TIMING_HTOTAL_HIGH, LT7911_TIMING_HTOTAL_LOW, &half_line) < 0)
    return -1;
  if (lt7911_read_reg16(LT7911_TIMING_VTOTAL_HIGH, LT7911_TIMING_VTOTAL_LOW, &lines) < 0) return -1;
  *htotal = (u32)(half_line & (LT7911_TIMING_HTOTAL_HIGH_MASK << 8 | 0xFF)) * 2;
  *vtotal = lines;
  return 0;
}

// The clock measurement, 19 bits.
static int clock_measure(u32* clock) {
  u8 high;
  u16 rest;
  if (lt7911_read_reg(LT7911_CLOCK_HIGH, &high) < 0) return -1;
  if (lt7911_read_reg16(LT7911_CLOCK_MID, LT7911_CLOCK_LOW, &rest) < 0) return -1;
  *clock = (u32)(high & LT7911_CLOCK_HIGH_MASK) << 16 | rest;
  return 0;
}

/* ---- Measurement queries ---- */

int lt7911_get_signal_state(u8* state) {
  if (!platform_known()) return -1;
  if (timing_measure() < 0) return -1;
  msleep(SIGNAL_SETTLE_MS);
  bool stable;
  if (video_is_stable(&stable) < 0) return -1;
  *state = stable ? (HDMI_STATE_VIDEO_STABLE | HDMI_STATE_AUDIO_PRESENT) : HDMI_STATE_AUDIO_PRESENT;
  return 0;
}

int lt7911_get_csi_res(u16* width, u16* height) {
  if (!platform_known()) return -1;
  u16 active_height, active_width;
  if (lt7911_read_reg16(LT7911_ACTIVE_HEIGHT_HIGH, LT7911_ACTIVE_HEIGHT_LOW, &active_height) < 0)
    return -1;
  if (lt7911_read_reg16(LT7911_ACTIVE_WIDTH_HIGH, LT7911_ACTIVE_WIDTH_LOW, &active_width) < 0)
    return -1;
  *width = active_width;
  *height = active_height;
  return check_res(active_width, active_height);
}

int lt7911_get_csi_fps(u16* fps) {
  if (!platform_known()) return -1;
  if (timing_measure() < 0) return -1;
  u32 htotal = 0, vtotal = 0;
  if (frame_totals(&htotal, &vtotal) < 0) return -1;
  printk(KERN_INFO "HDMI HTotal: %d, VTotal: %d\n", (int)htotal, (int)vtotal);

  msleep(CLOCK_SELECT_DELAY_MS);
  if (lt7911_write_reg(LT7911_CHIP_CLOCK_SELECT, LT7911_CHIP_CLOCK_SELECT_INPUT) < 0) return -1;
  msleep(CLOCK_MEASURE_DELAY_MS);
  u32 clock = 0;
  if (clock_measure(&clock) < 0) return -1;

  u32 total = htotal * vtotal;
  u32 rate = total ? clock * 2000u / total : 0;
  *fps = (u16)(rate & 0xFFFF);
  return 0;
}

int lt7911_get_audio_sample_rate(u8* rate) {
  if (!platform_known()) return -1;
  u8 value;
  if (lt7911_read_reg(LT7911_AUDIO_RATE, &value) < 0) return -1;
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
