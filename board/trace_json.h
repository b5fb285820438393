// The timeline as Chrome/Perfetto trace-event JSON (the "JSON Object Format" that
// chrome://tracing and ui.perfetto.dev open).
//
// One process, the board, with a track for each of:
//   - the lines INT and PWR: counter tracks of their level;
//   - each I2C bus: one slice per transaction, named as the bus log names it, with its address,
//     direction, bank, register, value and result as arguments;
//   - each interrupt: its edges (instants) and hard-handler runs (slices);
//   - each task that ran something: the work queue's worker (work items and their sleeps),
//     interrupt threads, the timer thread; work queued and publications are instants on the
//     task that did them;
//   - each poller: an instant each time a publication woke it;
//   - the simulator: its control commands as instants.
// Times ("ts", "dur") are microseconds on the kernel's clock with nanosecond decimals. Events
// follow the metadata in time order.
#pragma once

#include <string>

#include "board/timeline_view.h"

namespace board {

std::string trace_json(const TimelineView& view);

}  // namespace board
