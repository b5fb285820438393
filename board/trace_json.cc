#include "board/trace_json.h"

#include "board/json_quote.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace board {

using host::TimelineEvent;
using host::TimelineKind;

namespace {

// Track ids inside the board's process.
constexpr int kSimTrack = 1;
constexpr int kBusTracks = 10;          // + adapter number
constexpr int kIrqTracks = 1000;        // + interrupt
constexpr int kTaskTracks = 10000;      // + task pid
constexpr int kPollerTracks = 1000000;  // + process pid

// Microseconds with three decimals: nanoseconds exactly.
std::string micros(int64_t ns) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%lld.%03lld", static_cast<long long>(ns / 1000),
                static_cast<long long>(ns % 1000));
  return buf;
}

std::string hex(int v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02X", v);
  return buf;
}

const char* direction_name(Direction d) {
  switch (d) {
    case Direction::kSelect:
      return "select";
    case Direction::kWrite:
      return "write";
    case Direction::kRead:
      break;
  }
  return "read";
}

struct Entry {
  int64_t ts;
  std::string json;
};

}  // namespace

std::string trace_json(const TimelineView& view) {
  const host::TimelineSnapshot& s = view.snapshot();
  const BoardWiring& w = view.wiring();
  std::vector<Entry> entries;
  std::map<int, std::string> tracks;  // tid -> name

  auto event = [&](const char* ph, int64_t ts, int tid, const std::string& name,
                   const std::string& extra) {
    std::string j = "{\"ph\":\"" + std::string(ph) + "\",\"pid\":1,\"tid\":" + std::to_string(tid) +
                    ",\"ts\":" + micros(ts) + ",\"name\":" + json_quote(name);
    if (!extra.empty()) j += "," + extra;
    entries.push_back({ts, j + "}"});
  };
  auto instant = [&](int64_t ts, int tid, const std::string& name, const std::string& args) {
    event("i", ts, tid, name, "\"s\":\"t\"" + (args.empty() ? "" : ",\"args\":{" + args + "}"));
  };
  auto slice = [&](int64_t ts, int64_t end, int tid, const std::string& name,
                   const std::string& args) {
    event("X", ts, tid, name,
          "\"dur\":" + micros(std::max<int64_t>(end - ts, 0)) +
              (args.empty() ? "" : ",\"args\":{" + args + "}"));
  };
  auto task_track = [&](int pid) {
    const int tid = kTaskTracks + pid;
    tracks.emplace(tid, view.task(pid));
    return tid;
  };

  // Lines start at their level before the first change.
  for (int gpio : {w.int_gpio, w.pwr_gpio}) {
    if (gpio < 0) continue;
    event("C", view.start_ns(), 0, view.line(gpio),
          "\"args\":{\"level\":" + std::to_string(view.initial_level(gpio)) + "}");
  }

  for (const TimelineEvent* ep : view.events()) {
    const TimelineEvent& e = *ep;
    switch (e.kind) {
      case TimelineKind::kControl:
        tracks.emplace(kSimTrack, "simulator");
        instant(e.time_ns, kSimTrack, s.text_of(e), "");
        break;
      case TimelineKind::kLine: {
        const bool output = (e.flags & TimelineEvent::kLineOutput) != 0;
        // INT is what the chip drives into the SoC, PWR what the SoC drives out.
        if ((e.number == w.int_gpio && output) || (e.number == w.pwr_gpio && !output)) break;
        event("C", e.time_ns, 0, view.line(e.number),
              "\"args\":{\"level\":" + std::to_string(e.value) + "}");
        break;
      }
      case TimelineKind::kIrqEdge: {
        const int tid = kIrqTracks + e.number;
        tracks.emplace(tid, view.irq(e.number));
        const char* outcome = e.value == static_cast<int>(host::IrqOutcome::kHandled)   ? "handled"
                              : e.value == static_cast<int>(host::IrqOutcome::kLatched) ? "latched"
                                                                                        : "ignored";
        instant(e.time_ns, tid,
                std::string(e.flags & TimelineEvent::kEdgeRising ? "rising" : "falling") + " edge",
                "\"outcome\":" + json_quote(outcome));
        break;
      }
      case TimelineKind::kWorkQueued:
        instant(e.time_ns, task_track(e.task),
                (e.value ? "queue " : "already pending ") + view.symbol(e.func),
                "\"work\":" + json_quote(view.symbol(e.object)));
        break;
      case TimelineKind::kBusTransfer: {
        RecordedTransfer r = view.transfer(e);
        const Transfer& t = r.transfer;
        const int tid = kBusTracks + std::max(r.bus, 0);
        tracks.emplace(tid, view.bus(e.object));
        std::string args = "\"addr\":" + json_quote(hex(t.addr)) +
                           ",\"dir\":" + json_quote(direction_name(t.dir)) +
                           ",\"task\":" + json_quote(view.task(e.task));
        if (t.bank) args += ",\"bank\":" + json_quote(hex(*t.bank));
        if (t.reg) args += ",\"reg\":" + json_quote(hex(*t.reg));
        if (!t.data.empty()) {
          std::string v;
          for (uint8_t b : t.data) v += (v.empty() ? "" : " ") + hex(b);
          args += ",\"value\":" + json_quote(v);
        }
        args += ",\"result\":" + std::to_string(t.result);
        if (t.faulted) args += ",\"fault\":true";
        slice(e.time_ns, e.end_ns, tid, t.str(), args);
        break;
      }
      case TimelineKind::kPublish:
        instant(e.time_ns, task_track(e.task), "notify " + view.queue(e.object),
                "\"waiters\":" + std::to_string(e.value));
        break;
      case TimelineKind::kPollerWoken: {
        const int tid = kPollerTracks + e.number;
        tracks.emplace(tid, view.poller(e.number));
        instant(e.time_ns, tid, "woken by " + view.queue(e.object), "");
        break;
      }
      default:
        break;  // begins and ends: the runs below
    }
  }
  for (const Run& r : view.runs()) {
    const TimelineEvent& b = *r.begin;
    std::string args = r.finished ? "" : "\"unfinished\":true";
    switch (r.kind) {
      case TimelineKind::kIrqHandlerBegin: {
        const int tid = kIrqTracks + b.number;
        tracks.emplace(tid, view.irq(b.number));
        slice(b.time_ns, r.end_ns, tid, "hard handler on " + view.task(b.task), args);
        break;
      }
      case TimelineKind::kIrqThreadBegin:
        slice(b.time_ns, r.end_ns, task_track(b.task), "threaded handler " + view.irq(b.number),
              args);
        break;
      case TimelineKind::kWorkBegin:
        slice(b.time_ns, r.end_ns, task_track(b.task), view.symbol(b.func), args);
        break;
      case TimelineKind::kSleepBegin:
        slice(
            b.time_ns, r.end_ns, task_track(b.task),
            std::string(b.flags & TimelineEvent::kSleepMicroseconds ? "usleep_range " : "msleep ") +
                std::to_string(b.number),
            args);
        break;
      default:
        break;
    }
  }
  std::stable_sort(entries.begin(), entries.end(),
                   [](const Entry& a, const Entry& b) { return a.ts < b.ts; });

  std::string out = "{\"displayTimeUnit\":\"ns\",\"otherData\":{\"board\":" +
                    json_quote("chip on i2c-" + std::to_string(w.chip_bus) + " at " +
                               std::to_string(w.clock_hz) + " Hz") +
                    ",\"events\":" + std::to_string(s.events.size()) +
                    ",\"dropped\":" + std::to_string(s.dropped) + "},\"traceEvents\":[\n";
  out +=
      "{\"ph\":\"M\",\"pid\":1,\"tid\":0,\"name\":\"process_name\",\"args\":{\"name\":"
      "\"board\"}}";
  for (const auto& [tid, name] : tracks) {
    out += ",\n{\"ph\":\"M\",\"pid\":1,\"tid\":" + std::to_string(tid) +
           ",\"name\":\"thread_name\",\"args\":{\"name\":" + json_quote(name) + "}}";
    out += ",\n{\"ph\":\"M\",\"pid\":1,\"tid\":" + std::to_string(tid) +
           ",\"name\":\"thread_sort_index\",\"args\":{\"sort_index\":" + std::to_string(tid) + "}}";
  }
  for (const Entry& e : entries) out += ",\n" + e.json;
  out += "\n]}\n";
  return out;
}

}  // namespace board
