// Resolution classification. See resolution.h.
#include "monitor/resolution.h"

struct hdmi_res {
  u16 width;
  u16 height;
};

// Supported modes, in scan order. Row 17 is 1368 x 768; 1366 x 768 is unsupported.
static const struct hdmi_res hdmi_res_list[25] = {
    {3840, 2400}, {3840, 2160}, {3440, 1440}, {2560, 1600}, {2560, 1440},
    {2560, 1080}, {2048, 1536}, {2048, 1152}, {1920, 1440}, {1920, 1200},
    {1920, 1080}, {1680, 1050}, {1600, 1200}, {1600, 900},  {1440, 1080},
    {1440, 900},  {1440, 1050}, {1368, 768},  {1280, 1024}, {1280, 960},
    {1280, 800},  {1280, 720},  {1152, 864},  {1024, 768},  {800, 600},
};

static const struct hdmi_res hdmi_unsupported_res_list[1] = {{1366, 768}};

u8 check_res(u16 width, u16 height) {
  // The last accepted pair; 65535 x 65535 matches no row, so the first listed mode is new.
  static u16 old_width = 0xFFFF;
  static u16 old_height = 0xFFFF;

  for (size_t i = 0; i < ARRAY_SIZE(hdmi_res_list); i++) {
    if (hdmi_res_list[i].width != width || hdmi_res_list[i].height != height) continue;
    if (old_width == width && old_height == height) return RES_UNCHANGED;
    old_width = width;
    old_height = height;
    return RES_NEW;
  }
  if (width == hdmi_unsupported_res_list[0].width && height == hdmi_unsupported_res_list[0].height)
    return RES_UNSUPPORTED;
  return RES_UNLISTED;
}
