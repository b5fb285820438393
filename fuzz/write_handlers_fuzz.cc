// The module's write handlers, driven as root through the VFS of a booted kernel with the
// default board: power, status, edid and version under /proc/lt7911_info, and the three
// forced-mode parameters, mixed with HDMI events and time passing.
//
// An input is a sequence of operations, each a selector byte, a length byte and that many bytes
// (the text written, or what the event takes). Each input starts from the same state: the chip
// unbound and bound again with 1080p60 plugged and no forced mode. After the operations and a
// second of quiet, the texts are each one of their values with its length, nothing is claimed
// that the binding does not hold, and the kernel warned of nothing; else the input aborts.
//
// The module stays loaded for the whole run (its coverage counters stay mapped).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "reliability/rig.h"

namespace {

using reliability::Rig;

// The rig is taken down when the main thread ends (libFuzzer ends the run with exit()): before
// the thread's own task record goes, since a kernel whose last task left would be deadlocked.
struct RigOwner {
  Rig* rig = nullptr;
  ~RigOwner() { delete rig; }
};

Rig* rig() {
  static Rig* r = [] {
    Rig* made = new Rig();
    if (!made->load_error().empty() || made->insmod() != 0) {
      std::fprintf(stderr, "the board or the module did not load: %s\n",
                   made->load_error().c_str());
      std::abort();
    }
    // Made after the task record, so destroyed before it.
    static thread_local RigOwner owner;
    owner.rig = made;
    return made;
  }();
  return r;
}

const char* const kFiles[] = {
    "/proc/lt7911_info/power",
    "/proc/lt7911_info/status",
    "/proc/lt7911_info/edid",
    "/proc/lt7911_info/version",
    "/sys/module/lt7911_manage/parameters/force_width",
    "/sys/module/lt7911_manage/parameters/force_height",
    "/sys/module/lt7911_manage/parameters/force_fps",
};
const char* const kModes[] = {"1080p60", "720p60", "2160p30", "640x480@60", "1920x1080@59.94"};

void report(const std::vector<std::string>& problems, const char* when) {
  if (problems.empty()) return;
  for (const std::string& p : problems) std::fprintf(stderr, "%s: %s\n", when, p.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Rig& r = *rig();
  // The same start for every input.
  if (r.bound() && r.unbind() != 0) report({"unbind failed"}, "start");
  for (const std::string& p : reliability::param_names())
    if (r.write(reliability::param_path(p), "-1") != 2) report({p + " refused -1"}, "start");
  r.plug("1080p60");
  if (r.bind() != 0) report({"bind failed"}, "start");
  r.advance_ms(1000);
  r.settle();
  report(r.take_warnings(), "start");

  size_t at = 0;
  while (at + 2 <= size) {
    const uint8_t selector = data[at];
    const size_t len = std::min<size_t>(data[at + 1], size - at - 2);
    std::string_view bytes(reinterpret_cast<const char*>(data) + at + 2, len);
    at += 2 + len;
    const unsigned op = selector % 10;
    if (op < 7) {
      r.write(kFiles[op], bytes);  // any count or error is an answer
    } else if (op == 7) {
      r.plug(kModes[(len ? static_cast<uint8_t>(bytes[0]) : 0) % 5]);
    } else if (op == 8) {
      r.hdmi().unplug();
    } else {
      r.advance_ms(len ? static_cast<uint8_t>(bytes[0]) : 1);
    }
    r.settle();
  }
  r.advance_ms(1000);
  r.settle();
  std::vector<std::string> problems = r.text_problems();
  for (const std::string& w : r.take_warnings()) problems.push_back("warning: " + w);
  for (const std::string& c : r.claim_problems()) problems.push_back(c);
  report(problems, "after the input");
  return 0;
}
