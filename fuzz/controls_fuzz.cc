// The simulator's control language (sim/hdmi, sim/audio, sim/module, sim/faults and errno
// names): the first byte picks the control, the rest is the command. Whatever is written, a
// command is refused with a reason or read into a value that holds: a plugged mode within the
// mode parser's bounds, an errno that is negative, a module command whose parameters are
// NAME=VALUE words, a fault rule that reads back as itself from its own text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tools/sim/controls.h"

namespace {
void fail(std::string_view control, std::string_view input, const std::string& why) {
  std::fprintf(stderr, "%.*s \"%.*s\": %s\n", static_cast<int>(control.size()), control.data(),
               static_cast<int>(input.size()), input.data(), why.c_str());
  std::abort();
}

template <class T>
void refused_with_reason(const host::Result<T>& p, std::string_view control,
                         std::string_view text) {
  if (!p && p.error().message.empty()) fail(control, text, "refused without a reason");
}

// A rule's text parses back into a rule with the same text.
template <class Rule>
void round_trips(const Rule& rule, std::string_view text) {
  const std::string once = sim::format_fault(rule);
  host::Result<sim::FaultCommand> again = sim::parse_fault(once);
  if (!again) {
    fail("faults", text, "its rule's text \"" + once + "\" is refused: " + again.error().message);
  }
  std::string twice;
  if constexpr (std::is_same_v<Rule, host::FaultRule>) {
    if (!again->rule) fail("faults", text, "\"" + once + "\" reads back as another kind");
    twice = sim::format_fault(*again->rule);
  } else {
    if (!again->bus) fail("faults", text, "\"" + once + "\" reads back as another kind");
    twice = sim::format_fault(*again->bus);
  }
  if (twice != once) fail("faults", text, "\"" + once + "\" reads back as \"" + twice + "\"");
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 5) {
    case 0: {
      auto p = sim::parse_hdmi(text);
      refused_with_reason(p, "hdmi", text);
      if (p && p->mode) {
        const board::Mode& m = *p->mode;
        // The control takes what HDMI 2.0 carries: at most 600 MHz.
        if (m.width <= 0 || m.height <= 0 || m.htotal < m.width || m.vtotal < m.height ||
            m.pixel_clock_hz <= 0 || m.pixel_clock_hz > 600'000'000 ||
            !(m.refresh() > 0 && m.refresh() <= board::kMaxRefreshHz))
          fail("hdmi", text, "a mode out of bounds: " + sim::format_source(m));
      }
      break;
    }
    case 1:
      refused_with_reason(sim::parse_audio(text), "audio", text);
      break;
    case 2: {
      auto p = sim::parse_module(text);
      refused_with_reason(p, "module", text);
      if (p)
        for (const std::string& param : p->params)
          if (param.find('=') == std::string::npos || param.find_first_of(" \t\n") != param.npos)
            fail("module", text, "a parameter \"" + param + "\" that is no NAME=VALUE word");
      break;
    }
    case 3: {
      auto p = sim::parse_fault(text);
      refused_with_reason(p, "faults", text);
      if (p && p->rule) round_trips(*p->rule, text);
      if (p && p->bus) round_trips(*p->bus, text);
      if (p && p->rule && p->bus) fail("faults", text, "both a call rule and a bus rule");
      break;
    }
    case 4: {
      std::optional<int> e = sim::parse_errno(text);
      if (e && *e >= 0) fail("errno", text, "reads as " + std::to_string(*e));
      break;
    }
  }
  return 0;
}
