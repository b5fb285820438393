// Session scripts: whatever a file holds, the script is refused with its line ("line N: ...")
// or read into commands with known verbs, in the order of their lines; the commands written back
// one per line read again as the same commands. Durations are never negative; unescaping never
// lengthens a text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "tools/sim/script.h"

namespace {
void fail(std::string_view input, const std::string& why) {
  std::fprintf(stderr, "script \"%.*s\": %s\n", static_cast<int>(input.size()), input.data(),
               why.c_str());
  std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);

  if (std::optional<int64_t> ns = sim::parse_duration(text); ns && *ns < 0)
    fail(text, "a negative duration " + std::to_string(*ns));
  if (sim::unescape(text).size() > text.size()) fail(text, "unescaping made it longer");

  host::Result<std::vector<sim::ScriptLine>> p = sim::parse_script(text);
  if (!p) {
    const std::string& why = p.error().message;
    if (!why.starts_with("line ")) fail(text, "refused without its line: " + why);
    return 0;
  }
  std::string again;
  int last = 0;
  for (const sim::ScriptLine& l : *p) {
    if (l.number <= last) fail(text, "line " + std::to_string(l.number) + " out of order");
    last = l.number;
    if (l.verb.empty()) fail(text, "a command without a verb");
    again += l.verb + (l.rest.empty() ? "" : " " + l.rest) + "\n";
  }
  host::Result<std::vector<sim::ScriptLine>> q = sim::parse_script(again);
  if (!q) fail(text, "its commands written back are refused: " + q.error().message);
  if (q->size() != p->size()) fail(text, "its commands written back read as another count");
  for (size_t i = 0; i < p->size(); ++i)
    if ((*q)[i].verb != (*p)[i].verb || (*q)[i].rest != (*p)[i].rest)
      fail(text, "command " + std::to_string(i + 1) + " reads back as \"" + (*q)[i].verb + " " +
                     (*q)[i].rest + "\"");
  return 0;
}
