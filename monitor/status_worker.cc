// The status worker. See status_worker.h.
#include "monitor/status_worker.h"

#include "driver/module_state.h"
#include "driver/register_bus.h"
#include "monitor/chip_queries.h"
#include "platform/printk.h"
#include "procfs/status_texts.h"

// A resolution-query outcome that the classification never produces; it marks an error mode.
#define RES_ERROR 4
// Frame rate published for a forced mode without a positive forced rate.
#define FORCED_FPS_DEFAULT 30

static const char* hdcp_text(u8 mode) {
  switch (mode) {
    case 0:
      return "no hdcp\n";
    case 1:
      return "hdcp 1.4\n";
    case 2:
      return "hdcp 2.2\n";
    default:
      return "unknown hdcp\n";
  }
}

/* ---- Video ---- */

static void hdmi_stable_process(void) {
  u16 width = 0;
  u16 height = 0;
  u16 fps = 0;
  unsigned long flags;

  printk(KERN_INFO "HDMI signal is stable\n");
  int r = lt7911_get_csi_res(&width, &height);
  printk(KERN_INFO "Detected HDMI resolution type: %d\n", r);
  if (r < 0) {
    printk(KERN_ERR "Failed to get HDMI resolution\n");
    lt7911_disable();
    return;
  }
  if (r == RES_ERROR) {
    spin_lock_irqsave(&lt7911_text_lock, flags);
    info_text_store(video_status_buffer, &video_status_buffer_length, "error res\n");
    info_text_store(video_width_buffer, &video_width_buffer_length, "0\n");
    info_text_store(vidio_height_buffer, &video_height_buffer_length, "0\n");
    spin_unlock_irqrestore(&lt7911_text_lock, flags);
    printk(KERN_ERR "Error resolution detected\n");
    lt7911_disable();
    return;
  }

  spin_lock_irqsave(&lt7911_text_lock, flags);
  info_text_store(video_status_buffer, &video_status_buffer_length, "new res\n");
  info_text_store_number(video_width_buffer, &video_width_buffer_length, width);
  info_text_store_number(vidio_height_buffer, &video_height_buffer_length, height);
  spin_unlock_irqrestore(&lt7911_text_lock, flags);
  printk(KERN_INFO "HDMI resolution: %d x %d\n", width, height);

  u8 mode = 0;
  lt7911_get_hdcp_mode(&mode);
  const char* hdcp = hdcp_text(mode);
  spin_lock_irqsave(&lt7911_text_lock, flags);
  info_text_store(video_hdcp_buffer, &video_hdcp_buffer_length, hdcp);
  spin_unlock_irqrestore(&lt7911_text_lock, flags);
  printk(KERN_INFO "HDCP mode: %s\n", hdcp);

  // A failed measurement leaves the frame rate at 0 and is published as such.
  lt7911_get_csi_fps(&fps);
  spin_lock_irqsave(&lt7911_text_lock, flags);
  info_text_store_number(video_fps_buffer, &video_fps_buffer_length, fps);
  spin_unlock_irqrestore(&lt7911_text_lock, flags);
  printk(KERN_INFO "HDMI FPS: %d\n", fps);

  notify_status_change();
}

static void hdmi_lost_process(const char* status, const char* hdcp) {
  unsigned long flags;
  spin_lock_irqsave(&lt7911_text_lock, flags);
  info_text_store(video_status_buffer, &video_status_buffer_length, status);
  info_text_store(video_width_buffer, &video_width_buffer_length, "0\n");
  info_text_store(vidio_height_buffer, &video_height_buffer_length, "0\n");
  info_text_store(video_fps_buffer, &video_fps_buffer_length, "0\n");
  info_text_store(video_hdcp_buffer, &video_hdcp_buffer_length, hdcp);
  spin_unlock_irqrestore(&lt7911_text_lock, flags);
}

void hdmi_change_process(u8 state) {
  switch (state) {
    case 1:
      hdmi_stable_process();
      return;
    case 0:
      hdmi_lost_process("disappear\n", "no hdcp\n");
      printk(KERN_INFO "HDMI signal has disappeared\n");
      notify_status_change();
      lt7911_disable();
      return;
    default:
      printk(KERN_ERR "Unknown HDMI state: %d\n", state);
      hdmi_lost_process("unknown\n", "unknown hdcp\n");
      notify_status_change();
      lt7911_disable();
      return;
  }
}

/* ---- Audio ---- */

void audio_change_process(u8 present) {
  unsigned long flags;
  if (present == 0) {
    spin_lock_irqsave(&lt7911_text_lock, flags);
    info_text_store(audio_sample_rate_buffer, &audio_sample_rate_buffer_length, "disappear\n");
    spin_unlock_irqrestore(&lt7911_text_lock, flags);
    return;
  }
  if (present != 1) return;

  u8 rate = 0;
  if (lt7911_get_audio_sample_rate(&rate) < 0) {
    printk(KERN_ERR "Failed to get audio sample rate\n");
    spin_lock_irqsave(&lt7911_text_lock, flags);
    info_text_store(audio_sample_rate_buffer, &audio_sample_rate_buffer_length, "unknown\n");
    spin_unlock_irqrestore(&lt7911_text_lock, flags);
    return;
  }
  spin_lock_irqsave(&lt7911_text_lock, flags);
  info_text_store_number(audio_sample_rate_buffer, &audio_sample_rate_buffer_length, rate);
  spin_unlock_irqrestore(&lt7911_text_lock, flags);
}

/* ---- Forced mode ---- */

void lt7911_force_resolution(u16 width, u16 height, int fps) {
  unsigned long flags;
  spin_lock_irqsave(&lt7911_text_lock, flags);
  info_text_store(video_status_buffer, &video_status_buffer_length, "new res\n");
  info_text_store_number(video_width_buffer, &video_width_buffer_length, width);
  info_text_store_number(vidio_height_buffer, &video_height_buffer_length, height);
  info_text_store_number(video_fps_buffer, &video_fps_buffer_length,
                         fps > 0 ? fps : FORCED_FPS_DEFAULT);
  spin_unlock_irqrestore(&lt7911_text_lock, flags);
  notify_status_change();
}

/* ---- The work handler ---- */

// One run with the chip lock held. The chip is enabled at the start and disabled on every path
// that got past the enable.
static void hdmi_info_run(void) {
  if (lt7911_enable() < 0) return;

  if (lt7911_disable_watchdog() < 0) {
    printk(KERN_ERR "Failed to disable LT7911D watchdog\n");
    lt7911_disable();
    return;
  }

  // Shown as 0x00 when the query fails before storing a state.
  u8 state = 0;
  int ret = lt7911_get_signal_state(&state);
  printk(KERN_INFO "HDMI signal state: 0x%02x\n", state);
  if (ret < 0) {
    printk(KERN_ERR "Failed to get HDMI state\n");
    lt7911_disable();
    return;
  }

  int width = READ_ONCE(force_width);
  int height = READ_ONCE(force_height);
  int fps = READ_ONCE(force_fps);
  if (!(state & HDMI_STATE_VIDEO_STABLE))
    hdmi_change_process(0);
  else if (width == -1 || height == -1)
    hdmi_change_process(1);
  else
    lt7911_force_resolution((u16)width, (u16)height, fps);

  audio_change_process((state & HDMI_STATE_AUDIO_PRESENT) ? 1 : 0);
  lt7911_disable();
}

void get_hdmi_info_handler(struct work_struct* work) {
  (void)work;
  if (!lt7911_init_done_get()) return;
  mutex_lock(&lt7911_chip_lock);
  hdmi_info_run();
  mutex_unlock(&lt7911_chip_lock);
}
