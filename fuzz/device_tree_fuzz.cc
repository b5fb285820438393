// The device-tree loader: any blob, in a freshly booted kernel, is refused with a reason or
// becomes a board (its GPIO controllers, I2C adapters and chip registered), and the board and
// the kernel come down again without a warning.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

#include "board/board.h"
#include "platform/host/kernel.h"
#include "platform/host/warn.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  host::Kernel::boot({});
  auto r = board::Board::load_blob(std::span<const uint8_t>(data, size));
  if (!r && r.error().message.empty()) {
    std::fprintf(stderr, "a blob of %zu bytes refused without a reason\n", size);
    std::abort();
  }
  if (r) {
    // What a loaded board offers can be asked for; then it is taken down.
    std::unique_ptr<board::Board> b = std::move(*r);
    (void)b->chip_device_name();
    (void)b->irq_line().number();
    (void)b->power_line().number();
  }
  std::vector<host::Warning> warnings = host::Kernel::get().warnings().take();
  for (const host::Warning& w : warnings)
    std::fprintf(stderr, "WARN: %s (%s)\n", w.message.c_str(), w.context.c_str());
  if (!warnings.empty()) std::abort();
  host::Kernel::shutdown();
  return 0;
}
