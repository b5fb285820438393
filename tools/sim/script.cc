#include "tools/sim/script.h"

#include <fcntl.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "board/timeline_svg.h"
#include "platform/host/log.h"
#include "platform/host/vfs.h"
#include "tools/sim/exports.h"
#include "tools/sim/session.h"

namespace sim {

const char kDemoScript[] = R"(# The demo: one HDMI session as a user of the board sees it.
say The board: the LT7911D sits on I2C bus 4 at 0x2b; its interrupt reaches GPIO 44 (gpio1 line 12) and GPIO 67 (gpio2 line 3) switches its power. Each kernel line shows its level: <3> error, <6> info.
say A source is plugged in: 1920x1080 at 60 Hz.
plug 1920x1080@60
wait 200ms
say Normal on an LT7911D: the driver asks for a watchdog and for the HDCP mode, which this chip refuses; those refusals are logged at error level (<3>) on every run, as are its refusals of EDID and version access. "Detected HDMI resolution type" is 0 for the same mode again, 1 for a new one, 2 for one the driver does not support, 3 for one it does not list. asr is the audio sample-rate byte the chip reports.
say The application acknowledges the new resolution.
ack
say The source switches to 3840x2160 at 30 Hz.
plug 3840x2160@30
wait 200ms
ack
say A fixed mode is forced through the module parameters, then released again. A forced mode needs force_width and force_height both (force_fps is shown as it is, -1 when unset); setting a value back to -1 has the chip measured again.
param force_fps=25
param force_height=720
param force_width=1280
wait 200ms
param force_width=-1
param force_height=-1
param force_fps=-1
wait 200ms
ack
say The chip is switched off and on again through the power file (GPIO 67); powered again, it reports its input.
power off
wait 100ms
power on
wait 300ms
say The source is unplugged.
unplug
wait 200ms
show
)";

namespace {

const char* const kVerbs[] = {"plug", "unplug", "audio",  "ack",   "power",    "param",
                              "bind", "unbind", "insmod", "rmmod", "fault",    "write",
                              "wait", "show",   "expect", "say",   "timeline", "export"};

const char* const kTexts[] = {"status", "width", "height", "fps", "hdcp", "asr", "power"};

std::string trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return std::string(s);
}

std::string first_word(const std::string& s, std::string* rest) {
  size_t sp = s.find_first_of(" \t");
  if (sp == std::string::npos) {
    rest->clear();
    return s;
  }
  *rest = trim(std::string_view(s).substr(sp));
  return s.substr(0, sp);
}

std::string visible(const std::string& text) {
  std::string t = text;
  while (!t.empty() && t.back() == '\n') t.pop_back();
  return t;
}

}  // namespace

std::optional<int64_t> parse_duration(std::string_view text) {
  struct Unit {
    const char* suffix;
    double ns;
  } units[] = {{"ms", 1e6}, {"us", 1e3}, {"ns", 1}, {"s", 1e9}};
  for (const Unit& u : units) {
    if (!text.ends_with(u.suffix)) continue;
    std::string_view num = text.substr(0, text.size() - std::strlen(u.suffix));
    double v = 0;
    auto [end, ec] = std::from_chars(num.data(), num.data() + num.size(), v);
    // !(v >= 0) refuses "nan" too, which from_chars reads.
    if (ec != std::errc() || end != num.data() + num.size() || num.empty() || !(v >= 0) ||
        v > 3600e9 / u.ns) {
      return std::nullopt;
    }
    return static_cast<int64_t>(v * u.ns);
  }
  return std::nullopt;
}

std::string unescape(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      char c = text[++i];
      out += c == 'n' ? '\n' : c == 't' ? '\t' : c;
    } else {
      out += text[i];
    }
  }
  return out;
}

host::Result<std::vector<ScriptLine>> parse_script(std::string_view text) {
  std::vector<ScriptLine> lines;
  int number = 0;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t nl = text.find('\n', pos);
    std::string_view raw = text.substr(pos, nl == std::string_view::npos ? text.npos : nl - pos);
    pos = nl == std::string_view::npos ? text.size() + 1 : nl + 1;
    ++number;
    std::string line = trim(raw);
    if (line.empty() || line[0] == '#') continue;
    ScriptLine l;
    l.number = number;
    l.verb = first_word(line, &l.rest);
    auto fail = [&](const std::string& why) {
      return host::Error("line " + std::to_string(number) + ": " + why);
    };
    bool known = false;
    for (const char* v : kVerbs) known = known || l.verb == v;
    if (!known) return fail("unknown command '" + l.verb + "'");
    const std::string& v = l.verb;
    std::string error;
    if (v == "plug" || v == "unplug") {
      auto c = parse_hdmi(line);
      if (!c) error = c.error().message;
    } else if (v == "audio") {
      auto c = parse_audio(l.rest);
      if (!c) error = c.error().message;
    } else if (v == "insmod" || v == "rmmod") {
      auto c = parse_module(line);
      if (!c) error = c.error().message;
    } else if (v == "fault") {
      auto c = parse_fault(l.rest);
      if (!c) error = c.error().message;
    } else if (v == "power") {
      if (l.rest != "on" && l.rest != "off") error = "power takes on or off";
    } else if (v == "param") {
      size_t eq = l.rest.find('=');
      if (eq == 0 || eq == std::string::npos || l.rest.find(' ') != std::string::npos) {
        error = "param takes NAME=VALUE";
      }
    } else if (v == "wait") {
      if (!parse_duration(l.rest)) error = "wait takes a duration such as 250ms or 2s";
    } else if (v == "write" || v == "expect") {
      std::string rest;
      std::string target = first_word(l.rest, &rest);
      if (target.empty() || rest.empty()) {
        error = v + " takes a file and a text";
      } else if (v == "write" && target.starts_with("/sim/")) {
        // A control's command is checked now, as the control would check it.
        const std::string control = target.substr(5), command = unescape(rest);
        auto why_not = [](const auto& parsed) { return parsed ? "" : parsed.error().message; };
        std::string why;
        if (control == "hdmi") {
          why = why_not(parse_hdmi(command));
        } else if (control == "audio") {
          why = why_not(parse_audio(command));
        } else if (control == "module") {
          why = why_not(parse_module(command));
        } else if (control == "faults") {
          why = why_not(parse_fault(command));
        } else if (control == "timeline") {
          why = why_not(parse_timeline(command));
        } else {
          why =
              "no such control (there are /sim/hdmi, /sim/audio, /sim/module, /sim/faults, "
              "/sim/timeline)";
        }
        if (!why.empty()) error = target + ": " + why;
      }
    } else if (v == "timeline") {
      auto c = parse_timeline(l.rest);
      if (!c) error = c.error().message;
    } else if (v == "export") {
      std::string file;
      std::string format = first_word(l.rest, &file);
      if (!parse_export_format(format) || file.empty()) {
        error = "export takes text, json, vcd or svg and a file";
      }
    } else if (v == "ack" || v == "show" || v == "bind" || v == "unbind") {
      if (!l.rest.empty()) error = v + " takes nothing";
    }
    if (!error.empty()) return fail(error);
    lines.push_back(std::move(l));
  }
  return lines;
}

namespace {

// Follows a running session: the log from a point on, the texts, and a poller of status.
class Observer {
 public:
  Observer(Session& s, const std::function<void(const std::string&)>& out) : s_(s), out_(out) {
    log_seen_ = 0;  // the bring-up's lines too
    texts_ = read_texts();
    open_poller();
  }
  ~Observer() { close_poller(); }

  // Lets go of the status file (before an rmmod); report() takes it again once it is there.
  void let_go() { close_poller(); }

  // Shows the kernel log lines stored since the last call.
  void show_log() {
    host::Log::Batch b = s_.kernel().log().read(log_seen_);
    if (b.lost > 0) {
      out_("  (" + std::to_string(b.lost) +
           " kernel log records were overwritten before they were shown)");
    }
    for (const host::LogRecord& r : b.records) out_("  " + host::Log::format(r));
    log_seen_ = b.next;
  }

  // Lets the kernel finish what the command started, then reports.
  void report(bool force_texts) {
    s_.kernel().sched().settle();
    show_log();
    if (!s_.kernel().vfs().exists(std::string(kProcDir) + "/status")) close_poller();
    if (poll_fd_ >= 0) {
      std::vector<pollfd> fds{{poll_fd_, POLLPRI, 0}};
      int n = s_.kernel().vfs().poll(proc_, fds, 0);
      if (n > 0 && (fds[0].revents & POLLPRI)) {
        out_("  status poller woke with POLLPRI");
        s_.kernel().vfs().lseek(proc_, poll_fd_, 0, SEEK_SET);
        s_.kernel().vfs().read(proc_, poll_fd_, 64);
      }
      wait_in_poll();
    } else {
      open_poller();
    }
    std::vector<std::string> now = read_texts();
    if (force_texts || now != texts_) {
      std::string line = "  " + std::string(kProcDir) + ":";
      for (size_t i = 0; i < now.size(); ++i) {
        line += std::string(" ") + kTexts[i] + "=" + (now[i].empty() ? "-" : visible(now[i]));
      }
      out_(line);
      texts_ = now;
    }
  }

 private:
  std::vector<std::string> read_texts() {
    std::vector<std::string> t;
    for (const char* name : kTexts) {
      t.push_back(s_.read(std::string(kProcDir) + "/" + name).value_or(""));
    }
    return t;
  }
  void open_poller() {
    if (poll_fd_ >= 0) return;
    int fd = s_.kernel().vfs().open(proc_, std::string(kProcDir) + "/status", O_RDONLY);
    if (fd < 0) return;
    poll_fd_ = fd;
    s_.kernel().vfs().read(proc_, poll_fd_, 64);
    wait_in_poll();
  }
  // Stays registered on the status file's wait queues between commands, as a program blocked
  // in poll() is, so that each publication reaches it when it happens.
  void wait_in_poll() {
    watch_ = s_.kernel().vfs().poll_watch(proc_, poll_fd_, [] {}).watch;
  }
  void close_poller() {
    watch_.reset();
    if (poll_fd_ >= 0) s_.kernel().vfs().close(proc_, poll_fd_);
    poll_fd_ = -1;
  }

  Session& s_;
  const std::function<void(const std::string&)>& out_;
  host::Process proc_{.pid = 1001, .uid = 0, .gid = 0, .name = "poller"};
  int poll_fd_ = -1;
  host::PollWatch watch_;
  uint64_t log_seen_ = 0;
  std::vector<std::string> texts_;
};

std::string stamp(Session& s) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "[%5lld.%06lld]",
                static_cast<long long>(s.kernel().sched().now() / 1000000000),
                static_cast<long long>(s.kernel().sched().now() / 1000 % 1000000));
  return buf;
}

// A text as a failure message shows it: quoted, line feeds as \n.
std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// Time passes in slices; the log is shown after each, so a long wait full of events loses none.
constexpr int64_t kWaitSliceNs = 20'000'000;

// The control a "write /sim/NAME TEXT" reaches.
int write_control(Session& s, const std::string& name, const std::string& text) {
  if (name == "hdmi") return s.hdmi(text);
  if (name == "audio") return s.audio(text);
  if (name == "module") return s.module(text);
  if (name == "faults") return s.faults(text);
  if (name == "timeline") {
    host::Result<void> r = timeline_control(text);
    return r ? 0 : -r.error().errnum;
  }
  return -ENOENT;
}

}  // namespace

ScriptResult run_script(Session& session, const std::vector<ScriptLine>& lines,
                        const ScriptOptions& options) {
  auto out = [&](const std::string& l) {
    if (options.out) options.out(l);
  };
  std::function<void(const std::string&)> out_fn = out;
  Observer observer(session, out_fn);
  observer.report(true);
  const std::string dev = session.board().chip_device_name();
  ScriptResult result;
  bool stopped = false;
  for (const ScriptLine& l : lines) {
    const std::string& v = l.verb;
    if (v == "say") {
      if (stopped) continue;
      out("");
      out(l.rest);
      continue;
    }
    ScriptStep step;
    step.line = l.number;
    step.command = v + (l.rest.empty() ? "" : " " + l.rest);
    if (stopped) {
      step.outcome = ScriptStep::Outcome::kSkipped;
      result.steps.push_back(step);
      continue;
    }
    out(stamp(session) + " $ " + step.command);
    // Commands that act on the board go on its timeline; those that only look or wait do not.
    if (v != "wait" && v != "show" && v != "expect" && v != "export" && v != "timeline") {
      note_command(step.command);
    }
    int r = 0;
    bool show = false;
    std::string failure;
    if (v == "plug" || v == "unplug") {
      r = session.hdmi(step.command);
    } else if (v == "audio") {
      r = session.audio(l.rest);
    } else if (v == "insmod" || v == "rmmod") {
      if (v == "rmmod") observer.let_go();
      r = session.module(step.command);
    } else if (v == "fault") {
      r = session.faults(l.rest);
    } else if (v == "ack") {
      r = session.write(std::string(kProcDir) + "/status", "ok");
    } else if (v == "power") {
      r = session.write(std::string(kProcDir) + "/power", l.rest);
    } else if (v == "param") {
      size_t eq = l.rest.find('=');
      r = session.write(std::string(kParamDir) + "/" + l.rest.substr(0, eq), l.rest.substr(eq + 1));
    } else if (v == "bind" || v == "unbind") {
      r = session.write(std::string(kDriverDir) + "/" + v, dev);
    } else if (v == "write") {
      std::string text;
      std::string path = first_word(l.rest, &text);
      if (path.starts_with("/sim/")) {
        const std::string control = path.substr(5);
        const std::string command = unescape(text);
        if (control == "module" && command.starts_with("rmmod")) observer.let_go();
        r = write_control(session, control, command);
        if (r == -ENOENT && control != "module") failure = "no control " + path;
      } else {
        r = session.write(path, unescape(text));
      }
    } else if (v == "wait") {
      int64_t left = *parse_duration(l.rest);
      while (left > 0) {
        const int64_t slice = std::min(left, kWaitSliceNs);
        session.kernel().sched().advance(slice);
        left -= slice;
        if (left > 0) observer.show_log();
      }
    } else if (v == "show") {
      show = true;
    } else if (v == "timeline") {
      host::Result<void> t = timeline_control(l.rest);
      r = t ? 0 : -t.error().errnum;
    } else if (v == "export") {
      std::string file;
      std::string format = first_word(l.rest, &file);
      r = write_export(session, *parse_export_format(format), file);
    } else if (v == "expect") {
      std::string text;
      std::string file = first_word(l.rest, &text);
      std::string want = unescape(text);
      std::optional<std::string> got = session.read(std::string(kProcDir) + "/" + file);
      if (!got) {
        failure = "expect " + file + ": expected " + quoted(want) + ", but " + kProcDir + "/" +
                  file + " cannot be read";
      } else if (*got != want && *got != want + "\n") {
        failure =
            "expect " + file + ": expected " + quoted(want) + ", got " + quoted(visible(*got));
      }
    }
    if (failure.empty() && r < 0) {
      const std::string why = session.error();
      failure = step.command + ": " + std::strerror(-r) + (why.empty() ? "" : " (" + why + ")");
    }
    if (!failure.empty()) {
      step.outcome = ScriptStep::Outcome::kFailed;
      step.message = failure;
      ++result.failures;
      out("  failed: " + failure);
      if (options.err) options.err(options.file + ":" + std::to_string(l.number) + ": " + failure);
      if (options.fail_fast) stopped = true;
    }
    result.steps.push_back(step);
    observer.report(show);
  }
  return result;
}

int run_script(Session& session, const std::vector<ScriptLine>& lines,
               const std::function<void(const std::string&)>& out) {
  ScriptOptions o;
  o.out = out;
  return run_script(session, lines, o).exit_code();
}

std::string format_tap(const ScriptResult& result, const std::string& file) {
  std::string out = "TAP version 13\n1.." + std::to_string(result.steps.size()) + "\n";
  int n = 0;
  for (const ScriptStep& s : result.steps) {
    const std::string name = file + ":" + std::to_string(s.line) + " " + s.command;
    out += (s.outcome == ScriptStep::Outcome::kFailed ? "not ok " : "ok ") + std::to_string(++n) +
           " - " + name;
    if (s.outcome == ScriptStep::Outcome::kSkipped) out += " # SKIP after the first failure";
    out += "\n";
    if (s.outcome == ScriptStep::Outcome::kFailed) {
      std::string msg = s.message;
      for (char& c : msg) {
        if (c == '\n') c = ' ';
      }
      std::string yaml;
      for (char c : msg) yaml += c == '\'' ? std::string("''") : std::string(1, c);
      out += "  ---\n  message: '" + yaml + "'\n  ...\n";
    }
  }
  return out;
}

std::string format_junit(const ScriptResult& result, const std::string& file) {
  int skipped = 0;
  for (const ScriptStep& s : result.steps) skipped += s.outcome == ScriptStep::Outcome::kSkipped;
  const std::string counts = " tests=\"" + std::to_string(result.steps.size()) + "\" failures=\"" +
                             std::to_string(result.failures) + "\" skipped=\"" +
                             std::to_string(skipped) + "\"";
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites" + counts +
                    ">\n  <testsuite name=\"" + board::xml_escape(file) + "\"" + counts + ">\n";
  for (const ScriptStep& s : result.steps) {
    out += "    <testcase classname=\"" + board::xml_escape(file) + "\" name=\"" +
           board::xml_escape("line " + std::to_string(s.line) + ": " + s.command) + "\"";
    if (s.outcome == ScriptStep::Outcome::kOk) {
      out += "/>\n";
    } else if (s.outcome == ScriptStep::Outcome::kSkipped) {
      out += "><skipped message=\"after the first failure\"/></testcase>\n";
    } else {
      out += "><failure message=\"" + board::xml_escape(s.message) + "\"/></testcase>\n";
    }
  }
  return out + "  </testsuite>\n</testsuites>\n";
}

}  // namespace sim
