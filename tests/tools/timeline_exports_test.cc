// The timeline's exports from scripted sessions, checked by real outside tools: sigrok-cli's
// I2C decoder reads the VCD back into exactly the bus log's transactions (a whole session, each
// bus fault kind, and a ring too small for the session); Python's json module loads the trace
// and finds the session's events in order at the board's times; an XML parser and rsvg-convert
// take the SVG and make a PNG of its size. Also: the text export, the timeline's control file
// and the commands noted on it, and the simulator's --export options.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "board/timeline_svg.h"
#include "board/timeline_view.h"
#include "platform/host/timeline.h"
#include "tests/support/shell.h"
#include "tools/sim/exports.h"
#include "tools/sim/script.h"
#include "tools/sim/session.h"

namespace {

using board::Direction;
using board::Transfer;
using ::testing::HasSubstr;
using testing_support::Cmd;
using testing_support::sh;

constexpr char kSession[] =
    "plug 1920x1080@60\nwait 100ms\nack\nplug 3840x2160@30\nwait 100ms\n"
    "power off\nwait 50ms\npower on\nwait 300ms\nunplug\nwait 100ms\n";

std::string hex(unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02X", v);
  return buf;
}

// What an I2C decoder must see of a logged transaction, as "S W2B A FF A 80 A P": the
// conditions, each address (W or R), byte and acknowledge. A no-ack fault (or an absent device)
// is a NACK of the address; EIO a NACK of the first byte written; a timeout ends after the
// acknowledged address.
std::string expected_frames(const Transfer& t) {
  const bool receive = t.dir == Direction::kRead && !t.reg;
  const std::string first = (receive ? "R" : "W") + hex(t.addr);
  if (t.result == -ENXIO) return "S " + first + " N P";
  if (t.result == -ETIMEDOUT) return "S " + first + " A P";
  if (t.result == -EIO) return "S " + first + " A" + (t.reg ? " " + hex(*t.reg) + " N" : "") + " P";
  std::string s = "S " + first + " A";
  if (t.reg) s += " " + hex(*t.reg) + " A";
  switch (t.dir) {
    case Direction::kSelect:
      s += " " + hex(*t.bank) + " A";
      break;
    case Direction::kWrite:
      for (uint8_t b : t.data) s += " " + hex(b) + " A";
      break;
    case Direction::kRead:
      if (t.reg) s += " Sr R" + hex(t.addr) + " A";
      for (size_t i = 0; i < t.data.size(); ++i) {
        s += " " + hex(t.data[i]) + (i + 1 < t.data.size() ? " A" : " N");
      }
      break;
  }
  return s + " P";
}

std::vector<std::string> expected_frames(const std::vector<Transfer>& log) {
  std::vector<std::string> out;
  for (const Transfer& t : log) out.push_back(expected_frames(t));
  return out;
}

// sigrok-cli's decode of a VCD file, one transaction per entry in expected_frames' form.
std::vector<std::string> sigrok_frames(const std::string& vcd_path) {
  Cmd c = sh(
      "sigrok-cli -I vcd:compress=1000 -i " + vcd_path + " -P i2c:scl=SCL:sda=SDA -A i2c=addr-data",
      120);
  EXPECT_EQ(c.code, 0) << c.out;
  std::vector<std::string> frames;
  std::string cur;
  std::istringstream in(c.out);
  std::string line;
  auto after = [&](const std::string& prefix) {
    return line.substr(line.find(prefix) + prefix.size());
  };
  while (std::getline(in, line)) {
    std::string word;
    if (line.find("Start repeat") != std::string::npos) {
      word = "Sr";
    } else if (line.find(": Start") != std::string::npos) {
      cur.clear();
      word = "S";
    } else if (line.find("Address write: ") != std::string::npos) {
      word = "W" + after("Address write: ");
    } else if (line.find("Address read: ") != std::string::npos) {
      word = "R" + after("Address read: ");
    } else if (line.find("Data write: ") != std::string::npos) {
      word = after("Data write: ");
    } else if (line.find("Data read: ") != std::string::npos) {
      word = after("Data read: ");
    } else if (line.find(": ACK") != std::string::npos) {
      word = "A";
    } else if (line.find(": NACK") != std::string::npos) {
      word = "N";
    } else if (line.find(": Stop") != std::string::npos) {
      frames.push_back(cur + " P");
      cur.clear();
      continue;
    } else {
      continue;  // "Write", "Read": the direction again
    }
    cur += (cur.empty() ? "" : " ") + word;
  }
  return frames;
}

class TimelineExports : public ::testing::Test {
 protected:
  void TearDown() override {
    session_.reset();
    if (host::Kernel::booted()) host::Kernel::shutdown();
    for (const std::string& f : files_) unlink(f.c_str());
  }
  void start(sim::SessionConfig config = {}) {
    auto started = sim::Session::start(config);
    ASSERT_TRUE(started) << started.error().message;
    session_ = std::move(*started);
  }
  int play(const std::string& text) {
    if (!session_) start();
    auto parsed = sim::parse_script(text);
    EXPECT_TRUE(parsed) << parsed.error().message;
    if (!parsed) return -1;
    return sim::run_script(*session_, *parsed, [this](const std::string& l) { out_ += l + "\n"; });
  }
  std::string file(const std::string& suffix) {
    char tmpl[] = "/tmp/lt7911-timeline-XXXXXX";
    const int fd = mkstemp(tmpl);
    EXPECT_GE(fd, 0);
    close(fd);
    unlink(tmpl);
    files_.push_back(std::string(tmpl) + suffix);
    return files_.back();
  }
  std::string exported(sim::ExportFormat format, const std::string& suffix) {
    const std::string path = file(suffix);
    EXPECT_EQ(sim::write_export(*session_, format, path), 0);
    return path;
  }
  std::vector<Transfer> bus_log() { return session_->board().bus().log().entries(); }

  std::unique_ptr<sim::Session> session_;
  std::string out_;
  std::vector<std::string> files_;
};

// ---- VCD, decoded by sigrok ----------------------------------------------------------------

TEST_F(TimelineExports, SigrokDecodesExactlyTheSessionsTransfers) {
  ASSERT_EQ(play(kSession), 0) << out_;
  const std::vector<Transfer> log = bus_log();
  ASSERT_GT(log.size(), 100u);
  const std::vector<std::string> decoded = sigrok_frames(exported(sim::ExportFormat::kVcd, ".vcd"));
  EXPECT_EQ(decoded, expected_frames(log));
}

class BusFaultExports : public TimelineExports,
                        public ::testing::WithParamInterface<const char*> {};

// Three rules of one kind, each met by its own input change: a write, a bank select and a read
// fail (or, for wrongbyte, carry corrupted bytes).
TEST_P(BusFaultExports, SigrokShowsEachFaultAsTheBusLogHasIt) {
  const std::string kind = GetParam();
  ASSERT_EQ(play("fault bus " + kind + " dir=write nth=2\nplug 1920x1080@60\nwait 100ms\n" +
                 "fault bus " + kind + " dir=select nth=4\nplug 3840x2160@30\nwait 100ms\n" +
                 "fault bus " + kind + " bank=0xd2 dir=read\nplug 1280x720@60\nwait 100ms\n"),
            0)
      << out_;
  const std::vector<Transfer> log = bus_log();
  int faulted = 0;
  for (const Transfer& t : log) faulted += t.faulted ? 1 : 0;
  ASSERT_EQ(faulted, 3) << out_;
  const std::vector<std::string> decoded = sigrok_frames(exported(sim::ExportFormat::kVcd, ".vcd"));
  EXPECT_EQ(decoded, expected_frames(log));
  if (kind == "noack") {
    EXPECT_EQ(std::count(decoded.begin(), decoded.end(), "S W2B N P"), 3);
  }
}

INSTANTIATE_TEST_SUITE_P(EachKind, BusFaultExports,
                         ::testing::Values("noack", "eio", "timeout", "wrongbyte"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param);
                         });

TEST_F(TimelineExports, ARingTooSmallForTheSessionExportsItsNewestTransfersWhole) {
  start({.timeline = 150});
  ASSERT_EQ(play(kSession), 0) << out_;
  board::TimelineView view = board::TimelineView::of(session_->board());
  ASSERT_GT(view.snapshot().dropped, 0u);
  ASSERT_LE(view.snapshot().events.size(), 150u);
  const std::vector<board::RecordedTransfer> kept = view.chip_transfers();
  ASSERT_FALSE(kept.empty());
  std::vector<Transfer> tail;
  for (const Transfer& t : bus_log()) {
    if (t.time_ns >= kept.front().transfer.time_ns) tail.push_back(t);
  }
  EXPECT_EQ(tail.size(), kept.size());
  const std::vector<std::string> decoded = sigrok_frames(exported(sim::ExportFormat::kVcd, ".vcd"));
  EXPECT_EQ(decoded, expected_frames(tail));
}

// Runs a Python program with arguments; its output.
Cmd python(const std::string& program, const std::string& args) {
  char tmpl[] = "/tmp/lt7911-timeline-py-XXXXXX";
  const int fd = mkstemp(tmpl);
  if (fd < 0) return {-1, "mkstemp failed"};
  close(fd);
  std::ofstream(tmpl) << program;
  Cmd c = sh(std::string("python3 ") + tmpl + " " + args, 120);
  unlink(tmpl);
  return c;
}

// ---- JSON, loaded by Python ----------------------------------------------------------------

// The trace's events as Python's json module reads them: "ph|ns|track|name" per event, in the
// file's order, times turned back into nanoseconds exactly.
std::vector<std::string> json_events(const std::string& path) {
  const std::string py =
      "import json,sys,decimal\n"
      "d=json.load(open(sys.argv[1]),parse_float=decimal.Decimal)\n"
      "tracks={e['tid']:e['args']['name'] for e in d['traceEvents'] if e['ph']=='M' and "
      "e['name']=='thread_name'}\n"
      "for e in d['traceEvents']:\n"
      "  if e['ph']=='M': continue\n"
      "  track=tracks.get(e['tid'],'') if e['ph']!='C' else 'line'\n"
      "  print(e['ph'],int(e['ts']*1000),track,e['name'],sep='|')\n";
  Cmd c = python(py, path);
  EXPECT_EQ(c.code, 0) << c.out;
  std::vector<std::string> lines;
  std::istringstream in(c.out);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

struct JsonEvent {
  std::string ph;
  int64_t ns = 0;
  std::string track, name;
};

JsonEvent parse_event(const std::string& line) {
  JsonEvent e;
  std::istringstream in(line);
  std::string ns;
  std::getline(in, e.ph, '|');
  std::getline(in, ns, '|');
  std::getline(in, e.track, '|');
  std::getline(in, e.name);
  e.ns = std::stoll(ns);
  return e;
}

TEST_F(TimelineExports, TheTraceLoadsAndHoldsTheSessionInOrderAtTheBoardsTimes) {
  ASSERT_EQ(play(kSession), 0) << out_;
  std::vector<JsonEvent> events;
  for (const std::string& l : json_events(exported(sim::ExportFormat::kJson, ".json"))) {
    events.push_back(parse_event(l));
  }
  ASSERT_GT(events.size(), 100u);
  for (size_t i = 1; i < events.size(); ++i) {
    ASSERT_LE(events[i - 1].ns, events[i].ns) << "event " << i << " is out of order";
  }
  // Every transaction of the bus log, at its time, named as the log names it.
  std::vector<std::string> bus, logged;
  for (const JsonEvent& e : events) {
    if (e.track == "i2c-4") bus.push_back(std::to_string(e.ns) + " " + e.name);
  }
  for (const Transfer& t : bus_log()) logged.push_back(std::to_string(t.time_ns) + " " + t.str());
  EXPECT_EQ(bus, logged);
  // The plug's chain of events, in order: the command, the interrupt line, the handler
  // queueing the work, the work's run, its publication and the poller it woke.
  auto first = [&](const std::string& track, const std::string& name, size_t from) {
    for (size_t i = from; i < events.size(); ++i) {
      if (events[i].track.find(track) == 0 && events[i].name.find(name) == 0) return i;
    }
    ADD_FAILURE() << "no " << name << " on " << track << " after event " << from;
    return events.size();
  };
  const size_t plug = first("simulator", "plug 1920x1080@60", 0);
  const size_t line = first("line", "INT", plug);
  const size_t edge = first("irq 144", "rising edge", plug);
  const size_t queued = first("ktimerd", "queue get_hdmi_info_handler", plug);
  const size_t run = first("kworker/0:0", "get_hdmi_info_handler", queued);
  const size_t notify = first("kworker/0:0", "notify queue 1", run);
  const size_t woken = first("poller 1001", "woken by queue 1", notify);
  ASSERT_LT(woken, events.size());
  EXPECT_EQ(events[plug].ns, events[line].ns);
  EXPECT_EQ(events[edge].ns, events[plug].ns);
  EXPECT_EQ(events[run].ns, events[queued].ns);
  EXPECT_EQ(events[woken].ns, events[notify].ns);
  // The chip answers the driver within the run: after the signal settles (5 ms) and the clock is
  // measured (30 ms more), the change is published.
  EXPECT_GT(events[notify].ns - events[run].ns, 35 * host::kNsPerMs);
}

// ---- SVG, parsed and rendered --------------------------------------------------------------

TEST_F(TimelineExports, ThePictureIsWellFormedAndRendersToAPngOfItsSize) {
  ASSERT_EQ(play(kSession), 0) << out_;
  const std::string svg = exported(sim::ExportFormat::kSvg, ".svg");
  const int height = board::svg_height(board::TimelineView::of(session_->board()));
  Cmd parsed = python(
      "import sys, xml.dom.minidom as m\n"
      "root = m.parse(sys.argv[1]).documentElement\n"
      "print(root.tagName, root.getAttribute('width'), root.getAttribute('height'))\n",
      svg);
  EXPECT_EQ(parsed.out, "svg 1200 " + std::to_string(height) + "\n");
  const std::string png = file(".png");
  Cmd rendered = sh("rsvg-convert -o " + png + " " + svg, 120);
  ASSERT_EQ(rendered.code, 0) << rendered.out;
  Cmd size = python(
      "import struct, sys\n"
      "head = open(sys.argv[1], 'rb').read(24)\n"
      "print(head[:8] == b'\\x89PNG\\r\\n\\x1a\\n', *struct.unpack('>II', head[16:24]))\n",
      png);
  EXPECT_EQ(size.out,
            "True " + std::to_string(board::kSvgWidth) + " " + std::to_string(height) + "\n");
}

// ---- Text ----------------------------------------------------------------------------------

TEST_F(TimelineExports, TheTextHasOneLinePerEventInTimeOrder) {
  ASSERT_EQ(play(kSession), 0) << out_;
  const std::string text = sim::render_export(*session_, sim::ExportFormat::kText);
  const size_t events = host::Kernel::get().timeline().snapshot().events.size();
  std::istringstream in(text);
  std::string line, previous;
  size_t lines = 0;
  std::getline(in, line);
  EXPECT_THAT(line, HasSubstr("# timeline: " + std::to_string(events) + " events"));
  while (std::getline(in, line)) {
    ++lines;
    ASSERT_EQ(line[0], '[') << line;
    const std::string stamp = line.substr(0, 17);
    EXPECT_LE(previous, stamp) << line;  // fixed width: the text order is the time order
    previous = stamp;
  }
  EXPECT_EQ(lines, events);
  for (const char* expected : {
           "] control  plug 1920x1080@60\n",
           "] line     INT 1\n",
           "] irq      irq 144 (init_gpio_irq) rising edge: handled\n",
           "] work     get_hdmi_info_handler queued by ktimerd\n",
           "] work     get_hdmi_info_handler starts on kworker/0:0\n",
           "] i2c-4    0x2b read 0xC2:0x38 -> 0x07 in 97.5 us on kworker/0:0\n",
           "] sleep    msleep 5 on kworker/0:0\n",
           "] notify   queue 1 woken with 1 waiter by kworker/0:0\n",
           "] poller   poller 1001 (poller) woken by queue 1\n",
           "] control  power off\n",
           "] line     PWR 0 (driven)\n",
       }) {
    EXPECT_THAT(text, HasSubstr(expected));
  }
}

// ---- Control ---------------------------------------------------------------------------------

TEST_F(TimelineExports, TheTimelineFileStartsStopsAndClearsAndWritesAreNotedAsCommands) {
  start({.timeline = 0});
  EXPECT_FALSE(host::timeline_on());
  std::vector<sim::ControlFile> files = session_->control_files();
  auto named = [&](const std::string& name) -> sim::ControlFile& {
    for (sim::ControlFile& f : files) {
      if (f.name == name) return f;
    }
    ADD_FAILURE() << "no file " << name;
    return files.front();
  };
  EXPECT_EQ(named("timeline").read(), "off, 0 events in a ring of 0 (0 dropped)\n");
  EXPECT_EQ(named("timeline").write("on 0\n"), -EINVAL);
  EXPECT_EQ(named("timeline").write("loud\n"), -EINVAL);
  EXPECT_EQ(named("timeline").write("on 4096\n"), 0);
  EXPECT_EQ(named("hdmi").write("plug 1280x720@60\n"), 0);
  EXPECT_EQ(named("faults").write("clear"), 0);
  EXPECT_EQ(named("hdmi").write(std::string("re\nplug\x01\xff\n")), -EINVAL);
  host::Kernel::get().sched().settle();
  EXPECT_THAT(named("timeline").read(), HasSubstr(" events in a ring of 4096 (0 dropped)"));
  EXPECT_THAT(named("timeline").read(), HasSubstr("recording, "));
  EXPECT_THAT(named("timeline.txt").read(), HasSubstr("] control  hdmi plug 1280x720@60\n"));
  EXPECT_EQ(named("timeline").write("off"), 0);
  EXPECT_FALSE(host::timeline_on());
  const std::string kept = named("timeline.txt").read();
  EXPECT_THAT(kept, HasSubstr("] control  faults clear\n"));
  // A refused write, its bytes shown printable on one line.
  EXPECT_THAT(kept, HasSubstr("] control  hdmi re?plug??\n"));
  EXPECT_THAT(kept, HasSubstr("] control  hdmi refused: Invalid argument\n"));
  EXPECT_EQ(named("timeline").write("clear"), 0);
  EXPECT_THAT(named("timeline.txt").read(), HasSubstr("# timeline: 0 events"));
  for (const char* f : {"timeline.json", "bus.vcd", "timeline.svg"}) {
    EXPECT_FALSE(named(f).read().empty()) << f;
    EXPECT_FALSE(named(f).write) << f << " is read-only";
  }
}

TEST_F(TimelineExports, ScriptsRecordAndExportOnlyWhatTheyAsk) {
  const std::string text = file(".txt");
  ASSERT_EQ(play("timeline off\nplug 1280x720@60\nwait 100ms\ntimeline on 4096\nunplug\n"
                 "wait 100ms\nexport text " +
                 text + "\n"),
            0)
      << out_;
  std::ifstream in(text);
  std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_THAT(got, HasSubstr("] control  unplug\n"));
  EXPECT_EQ(got.find("plug 1280x720@60"), std::string::npos);  // recorded before "on": gone
  EXPECT_EQ(got.find("control  wait"), std::string::npos);     // waiting acts on nothing
  auto parsed = sim::parse_script("export png x.png\n");
  ASSERT_FALSE(parsed);
  EXPECT_THAT(parsed.error().message, HasSubstr("line 1: export takes text, json, vcd or svg"));
}

TEST(SimulatorExports, TheDemoWritesEachExportWhereItIsAsked) {
  const char* build = std::getenv("LT_BUILD_DIR");
  if (!build) GTEST_SKIP() << "LT_BUILD_DIR is not set (run through ctest)";
  char tmpl[] = "/tmp/lt7911-demo-exports-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl;
  Cmd demo = sh(std::string(build) + "/bin/lt7911-sim demo --export-text " + dir +
                    "/t.txt --export-json " + dir + "/t.json --export-vcd " + dir +
                    "/t.vcd --export-svg " + dir + "/t.svg >/dev/null",
                120);
  EXPECT_EQ(demo.code, 0) << demo.out;
  Cmd check = python(
      "import json, sys, xml.dom.minidom as m\n"
      "d = sys.argv[1]\n"
      "print(len(json.load(open(d + '/t.json'))['traceEvents']) > 100)\n"
      "print(m.parse(d + '/t.svg').documentElement.tagName)\n"
      "print(open(d + '/t.vcd').readline().strip())\n"
      "print(sum('] control  plug ' in l for l in open(d + '/t.txt')))\n",
      dir);
  EXPECT_EQ(check.out,
            "True\nsvg\n$comment lt7911-sim: the chip's bus i2c-4 at 400000 Hz, INT on GPIO 44, "
            "PWR on GPIO 67 $end\n2\n");
  sh("rm -rf " + dir);
}

}  // namespace
