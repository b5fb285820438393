// Session scripts: one command per line, '#' starts a comment, blank lines are skipped.
//
//   plug MODE | plug timing W H HTOTAL VTOTAL PCLK_KHZ | unplug   the HDMI source
//   audio RATE                       the source's sample-rate byte
//   ack                              write "ok" to the status file
//   power on|off                     write to the power file
//   param NAME=VALUE                 write VALUE to the module parameter NAME
//   bind | unbind                    bind or unbind the chip's device (the board's "4-002b")
//   insmod [NAME=VALUE ...] | rmmod  load or unload the module
//   fault RULE | fault clear         a fault rule of DIR/sim/faults
//   write PATH TEXT                  write TEXT (\n for a line feed) to a file of the tree
//   wait DURATION                    let time pass: 250ms, 2s, 500us
//   show                             print the texts of /proc/lt7911_info
//   expect FILE TEXT                 fail unless /proc/lt7911_info/FILE reads TEXT (\n allowed)
//   say TEXT                         print TEXT as a caption
//   timeline on [SIZE]|off|clear     record the board's timeline (tools/sim/exports.h)
//   export text|json|vcd|svg FILE    write the timeline so far to FILE
//
// Threading: parsing is pure; run() drives a Session from its owner's task.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/sim/controls.h"

namespace sim {

class Session;

struct ScriptLine {
  int number = 0;
  std::string verb;
  std::string rest;  // everything after the verb, as written
};

// The commands of a script, or the first line that is wrong ("line N: ...").
Parsed<std::vector<ScriptLine>> parse_script(std::string_view text);
// "250ms", "2s", "500us", "1.5s" in nanoseconds.
std::optional<int64_t> parse_duration(std::string_view text);
// TEXT of a write or expect: \n, \t and \\ are replaced.
std::string unescape(std::string_view text);

// Runs the commands against a session in virtual time, printing each command, the kernel log
// lines it caused, the /proc texts when they changed and the status file's POLLPRI wake-ups.
// Returns 0, or 1 when a command failed or an expect did not hold.
int run_script(Session& session, const std::vector<ScriptLine>& lines,
               const std::function<void(const std::string&)>& out);

// The session the demo plays.
extern const char kDemoScript[];

}  // namespace sim
