// The timeline as text: one line per event, in time order, each starting with its time on the
// kernel's clock in seconds since boot ("[    0.206092500]") and a short source word:
//
//   control  a command of the simulator ("plug 1920x1080@60")
//   line     a level of INT, PWR or another GPIO line ("INT 1"; "PWR 0 (driven)")
//   irq      an edge ("irq 144 (lt7911) rising edge: handled|latched|ignored") and the hard and
//            threaded handlers' runs ("handler runs on ktimerd", "handler done after 3.0 us")
//   work     a work item queued ("get_hdmi_info_handler queued by ktimerd" or "... already
//            pending"), started and done ("done after 37.2 ms")
//   sleep    msleep/usleep_range of a task ("msleep 30 on kworker/0:0", "... woke")
//   i2c-N    a bus transaction as the bus log shows it, with its length and task
//            ("0x2b read 0xA0:0x00 -> 0x16 in 97.5 us on kworker/0:0")
//   notify   a publication: a wait queue woken ("queue 1 woken with 2 waiters by kworker/0:0")
//   poller   a poller reached by it ("poller 1001 (poller) woken by queue 1")
//
// A first line, starting with '#', tells the board, the ring's size and what it dropped.
#pragma once

#include <string>

#include "board/timeline_view.h"

namespace board {

std::string timeline_text(const TimelineView& view);

}  // namespace board
