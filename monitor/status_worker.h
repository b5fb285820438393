// The status worker: turns a chip interrupt into fresh status texts and one published change.
//
// Threading: get_hdmi_info_handler runs as the single work item `get_video_info_work` on the
// system work queue and holds `lt7911_chip_lock` for its whole chip sequence.
// lt7911_force_resolution also runs in the process that writes a forced-mode parameter; both
// writers update the texts under the text lock, each keeping its own order of steps.
#pragma once

#include "platform/types.h"
#include "platform/workqueue.h"

void get_hdmi_info_handler(struct work_struct* work);
void hdmi_change_process(u8 state);
void audio_change_process(u8 present);
void lt7911_force_resolution(u16 width, u16 height, int fps);
