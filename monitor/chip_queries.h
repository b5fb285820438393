// The chip's measurement queries and the chip-platform operations.
//
// The measurement queries read the HDMI input's state through the register bus; they are called
// by the status worker with the chip enabled and `lt7911_chip_lock` held. The chip-platform
// operations (watchdog, HDCP mode, EDID and string access) depend on the identified chip: they
// dispatch through a table chosen by `chip_platform`. The shipped tables give the LT7911D's
// answers (it supports none of these features); lt7911_chip_ops_install lets a unit test put a
// table of its own in place, the way a kernel exposes internals to its unit tests.
//
// Threading: every operation may sleep and runs in process context, under `lt7911_chip_lock`.
// Out-parameters are written only on success.
#pragma once

#include "platform/types.h"

#define HDMI_STATE_VIDEO_STABLE 0x01
#define HDMI_STATE_AUDIO_PRESENT 0x02

// The largest string the chip's string operations hold.
#define LT7911_STR_MAX 32

int lt7911_get_signal_state(u8* state);
int lt7911_get_csi_res(u16* width, u16* height);
int lt7911_get_csi_fps(u16* fps);
int lt7911_get_audio_sample_rate(u8* rate);

int lt7911_disable_watchdog(void);
int lt7911_get_hdcp_mode(u8* mode);
int lt7911_edid_read(u8* buf, u16 len);
int lt7911_str_read(u8* buf);
int lt7911_edid_write(const u8* buf, u16 len);
int lt7911_str_write(const u8* str, u16 len);

// One chip platform's operations. Results as for the lt7911_* functions above. str_read fills
// LT7911_STR_MAX bytes. str_write must refuse a len above LT7911_STR_MAX without reading str
// beyond LT7911_STR_MAX bytes.
struct lt7911_chip_ops {
  int (*disable_watchdog)(void);
  int (*get_hdcp_mode)(u8* mode);
  int (*edid_read)(u8* buf, u16 len);
  int (*str_read)(u8* buf);
  int (*edid_write)(const u8* buf, u16 len);
  int (*str_write)(const u8* str, u16 len);
};

#ifdef __cplusplus
extern "C" {
#endif
// Replaces the operations used while `chip_platform` is `platform` (0 or 1); a null table
// restores the shipped one. Returns the table that was in place, or null for another platform.
// For unit tests: install while no operation can run (before binding, or with the chip idle).
const struct lt7911_chip_ops* lt7911_chip_ops_install(int platform,
                                                      const struct lt7911_chip_ops* ops);
#ifdef __cplusplus
}
#endif
