#include "board/timeline_svg.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

namespace board {

using host::TimelineEvent;
using host::TimelineKind;

namespace {

constexpr int kLeft = 130;  // the lanes' names are left of this
constexpr int kRight = 16;
constexpr int kTitleH = 26;
constexpr int kCommandRows = 4;
constexpr double kCharW = 5.2;  // width of a character of the labels, roughly
constexpr int kCommandRowH = 13;
constexpr int kLaneH = 24;
constexpr int kLaneGap = 6;
constexpr int kAxisH = 30;
constexpr int kLegendH = 24;
constexpr double kGapW = 26;     // a quiet stretch, cut short
constexpr double kMinBusyW = 8;  // a burst of activity, at least

constexpr const char* kOk = "#2e7d32";
constexpr const char* kFailed = "#c62828";
constexpr const char* kCorrupted = "#ef6c00";
constexpr const char* kWork = "#1565c0";
constexpr const char* kSleep = "#90caf9";
constexpr const char* kHandler = "#6a1b9a";
constexpr const char* kPublish = "#00838f";
constexpr const char* kPoller = "#ad1457";

std::string num(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", v);
  return buf;
}

std::string seconds(int64_t ns) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f s", static_cast<double>(ns) / 1e9);
  return buf;
}

// Time to x: busy stretches keep a common scale, quiet ones longer than kSvgQuietNs are cut to
// a fixed width.
class TimeAxis {
 public:
  struct Segment {
    int64_t t0, t1;
    double x0, x1;
    bool quiet;
  };

  TimeAxis(std::vector<int64_t> times, int64_t start, int64_t end, double x0, double x1) {
    end = std::max(end, start);
    std::vector<std::pair<int64_t, int64_t>> busy;
    std::sort(times.begin(), times.end());
    for (int64_t t : times) {
      t = std::clamp(t, start, end);
      if (!busy.empty() && t - busy.back().second <= kSvgQuietNs) {
        busy.back().second = std::max(busy.back().second, t);
      } else {
        busy.push_back({t, t});
      }
    }
    if (busy.empty()) busy.push_back({start, end});
    if (busy.front().first - start <= kSvgQuietNs) busy.front().first = start;
    if (end - busy.back().second <= kSvgQuietNs) busy.back().second = end;
    if (busy.front().first > start) segments_.push_back({start, busy.front().first, 0, 0, true});
    for (size_t i = 0; i < busy.size(); ++i) {
      if (i > 0) segments_.push_back({busy[i - 1].second, busy[i].first, 0, 0, true});
      segments_.push_back({busy[i].first, busy[i].second, 0, 0, false});
    }
    if (busy.back().second < end) segments_.push_back({busy.back().second, end, 0, 0, true});
    layout(x0, x1);
  }

  double x(int64_t t) const {
    auto it = std::lower_bound(segments_.begin(), segments_.end(), t,
                               [](const Segment& s, int64_t v) { return s.t1 < v; });
    if (it == segments_.end()) return segments_.back().x1;
    if (t <= it->t0 || it->t1 == it->t0) return it->x0;
    return it->x0 + (it->x1 - it->x0) * static_cast<double>(t - it->t0) /
                        static_cast<double>(it->t1 - it->t0);
  }
  const std::vector<Segment>& segments() const { return segments_; }

 private:
  void layout(double x0, double x1) {
    size_t quiet = 0, busy = 0;
    for (const Segment& s : segments_) (s.quiet ? quiet : busy)++;
    const double width = x1 - x0;
    // Many bursts in a long session: the cuts and the least bursts get narrower.
    const double gap_w = std::min(kGapW, width * 0.3 / std::max<size_t>(quiet, 1));
    const double min_w = std::min(kMinBusyW, width * 0.3 / std::max<size_t>(busy, 1));
    const double avail = width - gap_w * static_cast<double>(quiet);
    // Bursts below the minimum get it; the others share the rest in proportion to their time.
    std::vector<bool> at_min(segments_.size(), false);
    double scale = 0;
    for (int round = 0; round < 8; ++round) {
      double fixed = 0, time = 0;
      for (size_t i = 0; i < segments_.size(); ++i) {
        if (segments_[i].quiet) continue;
        if (at_min[i]) {
          fixed += min_w;
        } else {
          time += static_cast<double>(segments_[i].t1 - segments_[i].t0);
        }
      }
      scale = time > 0 ? std::max(avail - fixed, 0.0) / time : 0;
      bool changed = false;
      for (size_t i = 0; i < segments_.size(); ++i) {
        const Segment& s = segments_[i];
        if (!s.quiet && !at_min[i] && static_cast<double>(s.t1 - s.t0) * scale < min_w) {
          at_min[i] = true;
          changed = true;
        }
      }
      if (!changed) break;
    }
    double at = x0;
    for (size_t i = 0; i < segments_.size(); ++i) {
      Segment& s = segments_[i];
      const double w = s.quiet     ? gap_w
                       : at_min[i] ? min_w
                                   : static_cast<double>(s.t1 - s.t0) * scale;
      s.x0 = at;
      s.x1 = at + w;
      at += w;
    }
    // Without a busy stretch of any length, the bursts share the width.
    if (at < x1 - 1 && busy > 0 && scale == 0) {
      const double extra = (x1 - at) / static_cast<double>(busy);
      double shift = 0;
      for (Segment& s : segments_) {
        s.x0 += shift;
        if (!s.quiet) shift += extra;
        s.x1 += shift;
      }
    }
  }

  std::vector<Segment> segments_;
};

struct Lane {
  enum Kind { kLine, kBus, kIrq, kTask, kNotify, kPoller } kind;
  std::string name;
  int key = 0;  // GPIO, interrupt, task pid or poller pid
  int y = 0;    // top
};

}  // namespace

namespace {

std::vector<Lane> lanes_of(const TimelineView& view) {
  const BoardWiring& w = view.wiring();
  std::vector<Lane> lanes;
  if (w.int_gpio >= 0)
    lanes.push_back({Lane::kLine, "INT (GPIO " + std::to_string(w.int_gpio) + ")", w.int_gpio});
  if (w.pwr_gpio >= 0)
    lanes.push_back({Lane::kLine, "PWR (GPIO " + std::to_string(w.pwr_gpio) + ")", w.pwr_gpio});
  lanes.push_back({Lane::kBus, "i2c-" + std::to_string(w.chip_bus), w.chip_bus});
  if (w.int_irq >= 0) lanes.push_back({Lane::kIrq, "irq " + std::to_string(w.int_irq), w.int_irq});
  // Tasks that ran work, threaded handlers or sleeps: the worker first.
  std::set<int> workers, others;
  for (const Run& r : view.runs()) {
    if (r.kind == TimelineKind::kWorkBegin) workers.insert(r.begin->task);
  }
  for (const Run& r : view.runs()) {
    if (r.kind != TimelineKind::kIrqHandlerBegin && workers.count(r.begin->task) == 0) {
      others.insert(r.begin->task);
    }
  }
  for (int pid : workers) lanes.push_back({Lane::kTask, view.task(pid), pid});
  for (int pid : others) lanes.push_back({Lane::kTask, view.task(pid), pid});
  std::set<int> pollers;
  bool publications = false;
  for (const TimelineEvent* e : view.events()) {
    if (e->kind == TimelineKind::kPublish) publications = true;
    if (e->kind == TimelineKind::kPollerWoken) pollers.insert(e->number);
  }
  if (publications) lanes.push_back({Lane::kNotify, "notify", 0});
  for (int pid : pollers) lanes.push_back({Lane::kPoller, view.poller(pid), pid});
  int y = kTitleH + kCommandRows * kCommandRowH + 8;
  for (Lane& l : lanes) {
    l.y = y;
    y += kLaneH + kLaneGap;
  }
  return lanes;
}

int height_for(size_t lanes) {
  return kTitleH + kCommandRows * kCommandRowH + 8 + static_cast<int>(lanes) * (kLaneH + kLaneGap) +
         kAxisH + kLegendH;
}

}  // namespace

int svg_height(const TimelineView& view) { return height_for(lanes_of(view).size()); }

std::string timeline_svg(const TimelineView& view) {
  const BoardWiring& w = view.wiring();
  const std::vector<Lane> lanes = lanes_of(view);
  const int height = height_for(lanes.size());
  const int lanes_top = kTitleH + kCommandRows * kCommandRowH + 8;
  const int lanes_bottom = lanes_top + static_cast<int>(lanes.size()) * (kLaneH + kLaneGap);

  std::vector<int64_t> times;
  for (const TimelineEvent* e : view.events()) {
    times.push_back(e->time_ns);
    if (e->end_ns != e->time_ns) times.push_back(e->end_ns);
  }
  const TimeAxis axis(times, view.start_ns(), view.end_ns(), kLeft, kSvgWidth - kRight);
  auto lane_of = [&](Lane::Kind kind, int key) -> const Lane* {
    for (const Lane& l : lanes) {
      if (l.kind == kind && l.key == key) return &l;
    }
    return nullptr;
  };

  std::string out;
  out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  out += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(kSvgWidth) +
         "\" height=\"" + std::to_string(height) + "\" viewBox=\"0 0 " + std::to_string(kSvgWidth) +
         " " + std::to_string(height) +
         "\" font-family=\"DejaVu Sans, Helvetica, Arial, sans-serif\" font-size=\"11\">\n";
  out += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
  char clock[32];
  std::snprintf(clock, sizeof clock, "%g kHz", w.clock_hz / 1000.0);
  out += "<text x=\"8\" y=\"17\" font-size=\"13\" font-weight=\"bold\">lt7911-sim timeline: " +
         xml_escape("chip 0x" +
                    [&] {
                      char b[8];
                      std::snprintf(b, sizeof b, "%02x", w.chip_addr);
                      return std::string(b);
                    }() +
                    " on i2c-" + std::to_string(w.chip_bus) + " at " + clock + ", " +
                    seconds(view.start_ns()) + " to " + seconds(view.end_ns())) +
         "</text>\n";

  // Lanes: background and name.
  for (size_t i = 0; i < lanes.size(); ++i) {
    const Lane& l = lanes[i];
    out += "<rect x=\"" + std::to_string(kLeft) + "\" y=\"" + std::to_string(l.y) + "\" width=\"" +
           std::to_string(kSvgWidth - kRight - kLeft) + "\" height=\"" + std::to_string(kLaneH) +
           "\" fill=\"" + (i % 2 ? "#f4f4f4" : "#fafafa") + "\"/>\n";
    out += "<text x=\"" + std::to_string(kLeft - 6) + "\" y=\"" + std::to_string(l.y + 16) +
           "\" text-anchor=\"end\">" + xml_escape(l.name) + "</text>\n";
  }
  // Quiet stretches: a band with its length.
  for (const TimeAxis::Segment& s : axis.segments()) {
    if (!s.quiet) continue;
    const double mid = (s.x0 + s.x1) / 2;
    out += "<rect x=\"" + num(s.x0) + "\" y=\"" + std::to_string(lanes_top - 4) + "\" width=\"" +
           num(s.x1 - s.x0) + "\" height=\"" + std::to_string(lanes_bottom - lanes_top + 4) +
           "\" fill=\"#e0e0e0\" opacity=\"0.6\"/>\n";
    out += "<text x=\"" + num(mid + 4) + "\" y=\"" + std::to_string(lanes_bottom - 6) +
           "\" font-size=\"9\" fill=\"#616161\" transform=\"rotate(-90 " + num(mid + 4) + " " +
           std::to_string(lanes_bottom - 6) + ")\">" +
           xml_escape("+" + format_duration(s.t1 - s.t0)) + "</text>\n";
  }

  // Commands: a dashed line and a label in the first row at the top with room for it.
  double row_end[kCommandRows];
  std::fill(std::begin(row_end), std::end(row_end), -1e9);
  for (const TimelineEvent* e : view.events()) {
    if (e->kind != TimelineKind::kControl) continue;
    const double x = axis.x(e->time_ns);
    std::string label = view.snapshot().text_of(*e);
    if (label.size() > 30) label = label.substr(0, 29) + "...";
    int row = 0;
    for (int r = 0; r < kCommandRows; ++r) {
      if (row_end[r] < x) {
        row = r;
        break;
      }
      if (row_end[r] < row_end[row]) row = r;
    }
    row_end[row] = x + 4 + kCharW * static_cast<double>(label.size());
    const int y = kTitleH + row * kCommandRowH + 9;
    out += "<line x1=\"" + num(x) + "\" y1=\"" + std::to_string(y + 2) + "\" x2=\"" + num(x) +
           "\" y2=\"" + std::to_string(lanes_bottom) +
           "\" stroke=\"#9e9e9e\" stroke-dasharray=\"3,3\"/>\n";
    out += "<text x=\"" + num(x + 2) + "\" y=\"" + std::to_string(y) +
           "\" font-size=\"9\" fill=\"#424242\">" + xml_escape(label) + "</text>\n";
  }

  // Lines: waveforms between a high and a low level in their lanes.
  for (const Lane& l : lanes) {
    if (l.kind != Lane::kLine) continue;
    const bool output = l.key == w.pwr_gpio;
    const double hi = l.y + 4, lo = l.y + kLaneH - 4;
    int level = view.initial_level(l.key);
    std::string points = num(axis.x(view.start_ns())) + "," + num(level ? hi : lo);
    for (const TimelineEvent* e : view.events()) {
      if (e->kind != TimelineKind::kLine || e->number != l.key) continue;
      if (((e->flags & TimelineEvent::kLineOutput) != 0) != output || e->value == level) continue;
      const double x = axis.x(e->time_ns);
      points += " " + num(x) + "," + num(level ? hi : lo);
      level = e->value;
      points += " " + num(x) + "," + num(level ? hi : lo);
    }
    points += " " + num(axis.x(view.end_ns())) + "," + num(level ? hi : lo);
    out += "<polyline points=\"" + points + "\" fill=\"none\" stroke=\"#212121\"/>\n";
  }

  auto bar = [&](const Lane& l, int64_t t0, int64_t t1, const char* fill, double top, double h,
                 const std::string& title) {
    const double x0 = axis.x(t0);
    const double x1 = std::max(axis.x(t1), x0 + 1);
    out += "<rect x=\"" + num(x0) + "\" y=\"" + num(l.y + top) + "\" width=\"" + num(x1 - x0) +
           "\" height=\"" + num(h) + "\" fill=\"" + fill + "\"><title>" + xml_escape(title) +
           "</title></rect>\n";
  };

  // The chip's bus.
  if (const Lane* bus = lane_of(Lane::kBus, w.chip_bus)) {
    for (const RecordedTransfer& t : view.chip_transfers()) {
      const char* fill = t.transfer.result < 0 ? kFailed : t.transfer.faulted ? kCorrupted : kOk;
      bar(*bus, t.transfer.time_ns, t.end_ns, fill, 3, kLaneH - 6,
          seconds(t.transfer.time_ns) + " " + t.transfer.str());
    }
  }
  // Runs.
  for (const Run& r : view.runs()) {
    const TimelineEvent& b = *r.begin;
    switch (r.kind) {
      case TimelineKind::kIrqHandlerBegin:
        if (const Lane* l = lane_of(Lane::kIrq, b.number)) {
          bar(*l, b.time_ns, r.end_ns, kHandler, 8, kLaneH - 12, "hard handler");
        }
        break;
      case TimelineKind::kIrqThreadBegin:
        if (const Lane* l = lane_of(Lane::kTask, b.task)) {
          bar(*l, b.time_ns, r.end_ns, kHandler, 3, kLaneH - 6, view.irq(b.number) + " thread");
        }
        break;
      case TimelineKind::kWorkBegin:
        if (const Lane* l = lane_of(Lane::kTask, b.task)) {
          bar(*l, b.time_ns, r.end_ns, kWork, 3, kLaneH - 6,
              view.symbol(b.func) + ", " + format_duration(r.end_ns - b.time_ns));
        }
        break;
      case TimelineKind::kSleepBegin:
        if (const Lane* l = lane_of(Lane::kTask, b.task)) {
          bar(*l, b.time_ns, r.end_ns, kSleep, 9, kLaneH - 12,
              std::string(b.flags & TimelineEvent::kSleepMicroseconds ? "usleep_range "
                                                                      : "msleep ") +
                  std::to_string(b.number));
        }
        break;
      default:
        break;
    }
  }
  // Instants: edges, publications, pollers woken.
  for (const TimelineEvent* e : view.events()) {
    const double x = axis.x(e->time_ns);
    if (e->kind == TimelineKind::kIrqEdge) {
      if (const Lane* l = lane_of(Lane::kIrq, e->number)) {
        const bool rising = (e->flags & TimelineEvent::kEdgeRising) != 0;
        const double tip = rising ? l->y + 2 : l->y + kLaneH - 2;
        const double base = rising ? l->y + 8 : l->y + kLaneH - 8;
        const char* fill =
            e->value == static_cast<int>(host::IrqOutcome::kLatched) ? kCorrupted : kHandler;
        out += "<path d=\"M" + num(x - 3) + "," + num(base) + " L" + num(x) + "," + num(tip) +
               " L" + num(x + 3) + "," + num(base) + " Z\" fill=\"" + fill + "\"/>\n";
      }
    } else if (e->kind == TimelineKind::kPublish) {
      if (const Lane* l = lane_of(Lane::kNotify, 0)) {
        const double cy = l->y + kLaneH / 2.0;
        out += "<path d=\"M" + num(x) + "," + num(cy - 6) + " L" + num(x + 5) + "," + num(cy) +
               " L" + num(x) + "," + num(cy + 6) + " L" + num(x - 5) + "," + num(cy) +
               " Z\" fill=\"" + kPublish + "\"><title>" +
               xml_escape(seconds(e->time_ns) + " " + std::to_string(e->value) + " waiters") +
               "</title></path>\n";
      }
    } else if (e->kind == TimelineKind::kPollerWoken) {
      if (const Lane* l = lane_of(Lane::kPoller, e->number)) {
        out += "<circle cx=\"" + num(x) + "\" cy=\"" + num(l->y + kLaneH / 2.0) +
               "\" r=\"4\" fill=\"" + kPoller + "\"/>\n";
      }
    }
  }

  // The time axis: the start of each burst, as far as there is room.
  const int axis_y = lanes_bottom + 4;
  out += "<line x1=\"" + std::to_string(kLeft) + "\" y1=\"" + std::to_string(axis_y) + "\" x2=\"" +
         std::to_string(kSvgWidth - kRight) + "\" y2=\"" + std::to_string(axis_y) +
         "\" stroke=\"#424242\"/>\n";
  double last_label = -1e9;
  for (const TimeAxis::Segment& s : axis.segments()) {
    if (s.quiet || s.x0 - last_label < 64) continue;
    last_label = s.x0;
    out += "<line x1=\"" + num(s.x0) + "\" y1=\"" + std::to_string(axis_y) + "\" x2=\"" +
           num(s.x0) + "\" y2=\"" + std::to_string(axis_y + 5) + "\" stroke=\"#424242\"/>\n";
    out += "<text x=\"" + num(s.x0) + "\" y=\"" + std::to_string(axis_y + 16) +
           "\" font-size=\"9\" text-anchor=\"middle\">" + seconds(s.t0) + "</text>\n";
  }

  // The legend.
  const int legend_y = height - kLegendH + 6;
  const std::pair<const char*, const char*> legend[] = {
      {kOk, "transaction"},      {kFailed, "failed"},       {kCorrupted, "corrupted / latched"},
      {kWork, "work item"},      {kSleep, "sleep"},         {kHandler, "interrupt handler"},
      {kPublish, "publication"}, {kPoller, "poller woken"},
  };
  int x = kLeft;
  for (const auto& [color, text] : legend) {
    out += "<rect x=\"" + std::to_string(x) + "\" y=\"" + std::to_string(legend_y) +
           "\" width=\"10\" height=\"10\" fill=\"" + color + "\"/>\n";
    out += "<text x=\"" + std::to_string(x + 14) + "\" y=\"" + std::to_string(legend_y + 9) +
           "\" font-size=\"10\">" + text + "</text>\n";
    x += 26 + 6 * static_cast<int>(std::string(text).size());
  }
  out += "</svg>\n";
  return out;
}

std::string xml_escape(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        if (c < 0x20 && c != '\n' && c != '\t') {
          out += '?';
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

}  // namespace board
