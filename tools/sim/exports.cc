#include "tools/sim/exports.h"

#include <cerrno>
#include <charconv>
#include <cstring>

#include "board/timeline_svg.h"
#include "board/timeline_text.h"
#include "board/timeline_view.h"
#include "board/trace_json.h"
#include "board/vcd.h"
#include "platform/host/kernel.h"
#include "platform/host/timeline.h"
#include "tools/sim/files.h"
#include "tools/sim/session.h"

namespace sim {

namespace {

constexpr std::pair<const char*, ExportFormat> kFormats[] = {
    {"text", ExportFormat::kText},
    {"json", ExportFormat::kJson},
    {"vcd", ExportFormat::kVcd},
    {"svg", ExportFormat::kSvg},
};

}  // namespace

std::optional<ExportFormat> parse_export_format(std::string_view name) {
  for (const auto& [n, f] : kFormats) {
    if (name == n) return f;
  }
  return std::nullopt;
}

std::string render_export(Session& session, ExportFormat format) {
  board::TimelineView view = board::TimelineView::of(session.board());
  switch (format) {
    case ExportFormat::kText:
      return board::timeline_text(view);
    case ExportFormat::kJson:
      return board::trace_json(view);
    case ExportFormat::kVcd:
      return board::bus_vcd(view);
    case ExportFormat::kSvg:
      break;
  }
  return board::timeline_svg(view);
}

int write_export(Session& session, ExportFormat format, const std::string& path) {
  return write_file(path, render_export(session, format));
}

host::Result<TimelineCommand> parse_timeline(std::string_view text) {
  if (text.ends_with('\n')) text.remove_suffix(1);
  std::vector<std::string_view> words = split_words(text);
  TimelineCommand c;
  if (words.size() == 1 && words[0] == "off") return TimelineCommand{TimelineCommand::kOff, 0};
  if (words.size() == 1 && words[0] == "clear") return TimelineCommand{TimelineCommand::kClear, 0};
  if (words.empty() || words[0] != "on" || words.size() > 2) {
    return host::Error("expected 'on [SIZE]', 'off' or 'clear'");
  }
  c.size = host::Timeline::kDefaultCapacity;
  if (words.size() == 2) {
    size_t n = 0;
    auto [end, ec] = std::from_chars(words[1].data(), words[1].data() + words[1].size(), n);
    if (ec != std::errc() || end != words[1].data() + words[1].size() || n < 1 ||
        n > kMaxTimelineEvents) {
      return host::Error("the ring holds 1 to " + std::to_string(kMaxTimelineEvents) + " events");
    }
    c.size = n;
  }
  return c;
}

host::Result<void> timeline_control(const std::string& text) {
  host::Result<TimelineCommand> c = parse_timeline(text);
  if (!c) return host::Error(c.error().message, EINVAL);
  host::Timeline& t = host::Kernel::get().timeline();
  switch (c->action) {
    case TimelineCommand::kOn:
      t.start(c->size);
      break;
    case TimelineCommand::kOff:
      t.stop();
      break;
    case TimelineCommand::kClear:
      t.clear();
      break;
  }
  return {};
}

std::string timeline_status() {
  const host::Timeline& t = host::Kernel::get().timeline();
  const size_t capacity = t.capacity();
  const uint64_t recorded = t.recorded();
  const uint64_t dropped = recorded > capacity ? recorded - capacity : 0;
  return std::string(t.recording() ? "recording" : "off") + ", " +
         std::to_string(recorded - dropped) + " events in a ring of " + std::to_string(capacity) +
         " (" + std::to_string(dropped) + " dropped)\n";
}

std::vector<ControlFile> timeline_files(Session& session) {
  Session* s = &session;
  auto exported = [s](ExportFormat f) { return [s, f] { return render_export(*s, f); }; };
  return {
      {"timeline", 0644, [] { return timeline_status(); },
       [](const std::string& text) {
         host::Result<void> r = timeline_control(text);
         return r ? 0 : -r.error().errnum;
       }},
      {"timeline.txt", 0444, exported(ExportFormat::kText), nullptr},
      {"timeline.json", 0444, exported(ExportFormat::kJson), nullptr},
      {"bus.vcd", 0444, exported(ExportFormat::kVcd), nullptr},
      {"timeline.svg", 0444, exported(ExportFormat::kSvg), nullptr},
  };
}

std::vector<ControlFile> noting_commands(std::vector<ControlFile> files) {
  for (ControlFile& f : files) {
    if (!f.write) continue;
    f.write = [name = f.name, write = std::move(f.write)](const std::string& text) {
      std::string command = text;
      while (!command.empty() && (command.back() == '\n' || command.back() == '\r')) {
        command.pop_back();
      }
      note_command(name + " " + command);
      const int r = write(text);
      if (r < 0) note_command(name + " refused: " + std::strerror(-r));
      return r;
    };
  }
  return files;
}

void note_command(std::string_view text) {
  if (!host::timeline_on()) return;
  // One line of printable ASCII, whatever a writer sent: every export shows it as it is.
  std::string line(text.substr(0, 200));
  for (char& c : line) {
    if (c < 0x20 || c > 0x7e) c = '?';
  }
  host::Timeline::note_control(line);
}

}  // namespace sim
