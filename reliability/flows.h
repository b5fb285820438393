// The flows that the sweeps fail and hold at every position: what a user of the board does to
// the module, each from a clean state, with what a clean run must show afterwards, and the
// recovery that brings a board back to a known state after any flow.
//
// A flow's `before` runs on the harness's task and is settled; its `run` runs in a task of its
// own (Rig::run_bounded) and may be failed or held at any transaction or host-kernel call. Its
// steps' results are not judged, since a fault may fail any of them; `clean` says what a run
// without faults must show.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "reliability/rig.h"
#include "tests/driver/edid_samples.h"

namespace reliability {

struct Flow {
  std::string name;
  std::function<void(Rig&)> before;
  std::function<void(Rig&)> run;
  // What is wrong after a clean run (empty: all as it should be).
  std::function<std::vector<std::string>(Rig&)> clean;
};

// Flows are shown by name in test messages.
inline void PrintTo(const Flow& flow, std::ostream* os) { *os << flow.name; }

// What is wrong with the texts against `want` (file -> text), one line per file.
inline std::vector<std::string> texts_differ(Rig& rig,
                                             const std::map<std::string, std::string>& want) {
  std::vector<std::string> out;
  std::map<std::string, std::string> got = rig.texts();
  for (const auto& [file, text] : want)
    if (got[file] != text)
      out.push_back(file + ": expected " + printable(text) + ", got " + printable(got[file]));
  return out;
}

// A process blocked in poll() on the status file while a flow goes on; it leaves on a wake-up,
// a hang-up or after five seconds of the kernel's clock, and closes its file.
class StatusPoller {
 public:
  void start(Rig& rig) {
    host::Vfs& vfs = rig.kernel().vfs();
    int fd = vfs.open(process_, proc_path("status"), O_RDONLY);
    if (fd < 0) return;
    vfs.read(process_, fd, 64);
    thread_ = rig.sched().spawn("poller", [&vfs, this, fd] {
      std::vector<pollfd> fds{{fd, POLLPRI, 0}};
      vfs.poll(process_, fds, 5000);
      vfs.close(process_, fd);
    });
  }
  void join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  host::Process process_{400, 0, 0, "poller"};
  host::Thread thread_;
};

// The pause between two commands of a flow, as a user at the board types them: what the first
// set going has started (a run of the work item) before the second comes, so a flow does the
// same thing every time.
inline void pause(Rig& rig) { rig.sched().sleep_for(host::kNsPerMs, "between commands"); }

inline std::vector<Flow> flows() {
  auto loaded_with_source = [](Rig& rig) {
    rig.plug("1080p60");
    rig.insmod();
    rig.settle();
    rig.write(proc_path("status"), "ok");
  };
  auto plugged_1080p60 = [](Rig& rig) {
    return texts_differ(rig, {{"status", "new res\n"},
                              {"width", "1920\n"},
                              {"height", "1080\n"},
                              {"fps", "60\n"},
                              {"power", "on\n"}});
  };
  std::vector<Flow> all;
  all.push_back({"BringUp", [](Rig& rig) { rig.plug("1080p60"); }, [](Rig& rig) { rig.insmod(); },
                 plugged_1080p60});
  all.push_back({"StableVideoRun", loaded_with_source, [](Rig& rig) { rig.plug("1080p50"); },
                 [](Rig& rig) {
                   return texts_differ(rig, {{"status", "new res\n"},
                                             {"width", "1920\n"},
                                             {"fps", "50\n"},
                                             {"hdcp", "no hdcp\n"}});
                 }});
  all.push_back({"NoSignalRun", loaded_with_source, [](Rig& rig) { rig.hdmi().unplug(); },
                 [](Rig& rig) {
                   return texts_differ(rig, {{"status", "disappear\n"},
                                             {"width", "0\n"},
                                             {"height", "0\n"},
                                             {"fps", "0\n"},
                                             {"hdcp", "no hdcp\n"}});
                 }});
  all.push_back(
      {"ForcedRun",
       [](Rig& rig) {
         rig.plug("1080p60");
         rig.insmod({"force_width=800", "force_height=600", "force_fps=50"});
         rig.settle();
       },
       [](Rig& rig) { rig.plug("1080p50"); },
       [](Rig& rig) {
         return texts_differ(
             rig,
             {{"status", "new res\n"}, {"width", "800\n"}, {"height", "600\n"}, {"fps", "50\n"}});
       }});
  all.push_back({"PowerOffOn", loaded_with_source,
                 [](Rig& rig) {
                   rig.write(proc_path("power"), "off");
                   pause(rig);
                   rig.write(proc_path("power"), "on");
                 },
                 [](Rig& rig) {
                   return texts_differ(rig, {{"power", "on\n"}});
                 }});
  all.push_back({"EdidReadWrite", loaded_with_source,
                 [](Rig& rig) {
                   rig.read(proc_path("edid"));
                   pause(rig);
                   edid_samples::Edid e = edid_samples::monitor_1080p();
                   rig.write(proc_path("edid"),
                             std::string_view(reinterpret_cast<const char*>(e.data()), e.size()));
                 },
                 [](Rig& rig) {
                   std::vector<std::string> out = texts_differ(rig, {{"power", "on\n"}});
                   if (rig.read(proc_path("edid_snapshot")) != std::string())
                     out.push_back("edid_snapshot holds bytes");
                   return out;
                 }});
  all.push_back({"VersionWrite", loaded_with_source,
                 [](Rig& rig) { rig.write(proc_path("version"), "v1.2.3\n"); },
                 [](Rig& rig) {
                   std::vector<std::string> out = texts_differ(rig, {{"power", "on\n"}});
                   if (rig.read(proc_path("version")) != std::string("unknown\n"))
                     out.push_back("version does not read \"unknown\\n\"");
                   return out;
                 }});
  all.push_back({"ForcedSetAndClear", loaded_with_source,
                 [](Rig& rig) {
                   const std::pair<const char*, const char*> writes[] = {
                       {"force_width", "800"}, {"force_height", "600"}, {"force_fps", "50"},
                       {"force_width", "-1"},  {"force_height", "-1"},  {"force_fps", "-1"}};
                   for (const auto& [name, value] : writes) {
                     rig.write(param_path(name), value);
                     pause(rig);
                   }
                 },
                 plugged_1080p60});
  all.push_back({"UnbindBind", loaded_with_source,
                 [](Rig& rig) {
                   StatusPoller poller;
                   poller.start(rig);
                   rig.sched().sleep_for(host::kNsPerMs);  // the poller waits in poll()
                   rig.unbind();
                   poller.join();
                   pause(rig);
                   rig.bind();
                 },
                 plugged_1080p60});
  all.push_back({"RmmodInsmod", loaded_with_source,
                 [](Rig& rig) {
                   rig.rmmod();
                   pause(rig);
                   rig.insmod();
                 },
                 plugged_1080p60});
  return all;
}

// Whether a bank select since `mark` reached the chip with a wrong byte: the chip then sits in
// another bank than the one the module selected and caches, which nobody on the bus can see.
// The module finds out at its next select of another bank; until then its accesses to the
// cached bank go astray. Only a real power-up (which resets the chip's bank and makes the
// module forget its cache) or that next select brings the two together again.
inline bool bank_select_corrupted(Rig& rig, size_t mark) {
  for (const board::Transfer& t : rig.bus().log().since(mark))
    if (t.faulted && t.result == 0 && t.dir == board::Direction::kSelect) return true;
  return false;
}

// Brings the board back to a known state with no fault left: the module loaded and bound, no
// forced value, the chip on (switched off first when a bank select was corrupted, see above),
// then one HDMI event (a 720p60 source). What the texts show then is compared with what a
// clean run of the same flow shows after the same recovery.
inline void recover(Rig& rig, bool power_cycle = false) {
  rig.kernel().faults().clear();
  rig.bus().faults().clear();
  rig.run_bounded("the recovery", [&rig, power_cycle] {
    if (!rig.loaded()) rig.insmod();
    if (!rig.bound()) rig.bind();
    for (const std::string& name : param_names())
      if (rig.read(param_path(name)) != std::string("-1\n")) rig.write(param_path(name), "-1");
    if (power_cycle) rig.write(proc_path("power"), "off");
    rig.write(proc_path("power"), "on");
    rig.plug("1280x720@60");
  });
}

}  // namespace reliability
