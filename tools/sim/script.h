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
//   write PATH TEXT                  write TEXT (\n for a line feed) to a file of the tree, or to
//                                    a control (/sim/hdmi, /sim/audio, /sim/module, /sim/faults)
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
host::Result<std::vector<ScriptLine>> parse_script(std::string_view text);
// "250ms", "2s", "500us", "1.5s" in nanoseconds.
std::optional<int64_t> parse_duration(std::string_view text);
// TEXT of a write or expect: \n, \t and \\ are replaced.
std::string unescape(std::string_view text);

struct ScriptOptions {
  std::string file = "script";  // the name failures are reported under, as FILE:LINE
  bool fail_fast = false;       // stop at the first failure; the rest is skipped
  std::function<void(const std::string&)> out;  // the session as it goes
  std::function<void(const std::string&)> err;  // failures, "FILE:LINE: ..."
};

// What became of each command (every one but say), in order.
struct ScriptStep {
  enum class Outcome { kOk, kFailed, kSkipped } outcome = Outcome::kOk;
  int line = 0;
  std::string command;
  std::string message;  // why it failed
};

struct ScriptResult {
  std::vector<ScriptStep> steps;
  int failures = 0;
  int exit_code() const { return failures ? 1 : 0; }
};

// Runs the commands against a session in virtual time, printing each command, the kernel log
// lines it caused (every one of them), the /proc texts when they changed and the status file's
// POLLPRI wake-ups. A failed command or expect is reported as FILE:LINE with what was expected
// and what was found. The script's own status reader lets go of the file around rmmod, so a
// script can unload the module as a user at the board can.
ScriptResult run_script(Session& session, const std::vector<ScriptLine>& lines,
                        const ScriptOptions& options);
// As above, printing everything to out; 0, or 1 when anything failed.
int run_script(Session& session, const std::vector<ScriptLine>& lines,
               const std::function<void(const std::string&)>& out);

// The result as TAP (version 13) and as JUnit XML.
std::string format_tap(const ScriptResult& result, const std::string& file);
std::string format_junit(const ScriptResult& result, const std::string& file);

// The session the demo plays.
extern const char kDemoScript[];

}  // namespace sim
