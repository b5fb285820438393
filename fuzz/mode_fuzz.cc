// The mode parser: any text is refused or read as a mode a source can send: sizes that fit its
// totals in 16 bits, a pixel clock, and a refresh rate within the parser's bound.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "board/timings.h"

namespace {
void fail(std::string_view input, const char* why) {
  std::fprintf(stderr, "mode \"%.*s\": %s\n", static_cast<int>(input.size()), input.data(), why);
  std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::optional<board::Mode> m = board::parse_mode(text);
  if (!m) return 0;
  if (m->width <= 0 || m->height <= 0) fail(text, "a size is not positive");
  if (m->htotal < m->width || m->vtotal < m->height) fail(text, "a total is below its size");
  if (m->htotal > 65535 || m->vtotal > 65535) fail(text, "a total does not fit 16 bits");
  if (m->pixel_clock_hz <= 0) fail(text, "no pixel clock");
  const double hz = m->refresh();
  if (!std::isfinite(hz) || hz <= 0 || hz > board::kMaxRefreshHz)
    fail(text, "the refresh rate is out of bounds");
  return 0;
}
