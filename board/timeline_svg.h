// The timeline as a picture: an SVG of the session drawn by the tool itself.
//
// Lanes, top to bottom: the simulator's commands (dashed lines across the picture, labelled at
// the top), the lines INT and PWR as waveforms, the chip's bus (one bar per transaction: green
// when it succeeded, red when it failed, orange when a fault corrupted its bytes), the chip's
// interrupt (edges and hard-handler runs), one lane per task that ran something (work items in
// blue, sleeps lighter inside them, threaded handlers in purple), the publications (diamonds)
// and one lane per poller (a dot each time a publication woke it). Time runs left to right on
// the kernel's clock; stretches with nothing happening longer than kSvgQuietNs are cut short and
// marked with their length, so that the bursts of activity stay readable.
//
// The picture is kSvgWidth pixels wide; its height follows from the number of lanes
// (svg_height()).
#pragma once

#include <cstdint>
#include <string>

#include "board/timeline_view.h"

namespace board {

inline constexpr int kSvgWidth = 1200;
inline constexpr int64_t kSvgQuietNs = 50'000'000;

int svg_height(const TimelineView& view);
std::string timeline_svg(const TimelineView& view);

// Text escaped for XML content and attribute values; control characters other than line feed
// and tab, which XML does not allow, become '?'.
std::string xml_escape(const std::string& text);

}  // namespace board
