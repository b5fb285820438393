// The board's timeline from the simulator: recording it, and its four exports.
//
//   text  one line per event (board/timeline_text.h)
//   json  Chrome/Perfetto trace-event JSON (board/trace_json.h)
//   vcd   SCL, SDA, INT and PWR at bit level for logic-analyser tools (board/vcd.h)
//   svg   a picture of the session (board/timeline_svg.h)
//
// The same exports reach a user three ways: files of the FUSE mount (DIR/sim/timeline.txt,
// timeline.json, bus.vcd, timeline.svg; DIR/sim/timeline controls the recording), the script
// commands "timeline on [SIZE]|off|clear" and "export FORMAT FILE", and the --export-FORMAT
// options of a scripted run or the demo.
//
// Threading: any host task may call these while the session runs.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/sim/controls.h"
#include "tools/sim/fuse_bridge.h"

namespace sim {

class Session;

enum class ExportFormat { kText, kJson, kVcd, kSvg };

// "text", "json", "vcd", "svg".
std::optional<ExportFormat> parse_export_format(std::string_view name);
// The export of the session's timeline as it is now.
std::string render_export(Session& session, ExportFormat format);
// Writes it to a file; 0 or a negative errno.
int write_export(Session& session, ExportFormat format, const std::string& path);

// The largest ring a timeline may have (a command's SIZE, --timeline-size): 16 Mi events (2 GiB
// with their bytes).
constexpr size_t kMaxTimelineEvents = size_t{1} << 24;

// "on [SIZE]" (a fresh ring of SIZE events, default 65536), "off", "clear".
struct TimelineCommand {
  enum Action { kOn, kOff, kClear } action = kOn;
  size_t size = 0;
};
host::Result<TimelineCommand> parse_timeline(std::string_view text);
// Carries a command out; a malformed one fails with EINVAL and changes nothing.
host::Result<void> timeline_control(const std::string& text);
// "recording, 1234 events in a ring of 65536 (0 dropped)" or "off, ...".
std::string timeline_status();

// The files DIR/sim/timeline, timeline.txt, timeline.json, bus.vcd and timeline.svg.
std::vector<ControlFile> timeline_files(Session& session);
// The control files with each write noted on the timeline as a command ("hdmi plug ..."), and
// a refusal after it ("hdmi refused: Invalid argument").
std::vector<ControlFile> noting_commands(std::vector<ControlFile> files);

// Notes a command of the simulator on the timeline, if it records: its first 200 characters,
// each one that is not printable ASCII (a line feed, a control character) shown as '?'.
void note_command(std::string_view text);

}  // namespace sim
