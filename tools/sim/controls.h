// The simulator's control language: what DIR/sim/hdmi, audio, module and faults accept, and the
// same commands in a session script. Parsing is separate from acting, so a malformed command is
// refused before anything changes.
//
//   hdmi:    plug MODE                                  MODE as board::parse_mode reads it:
//                                                        1920x1080@60, 1080p60, vic16, dmt0x52,
//                                                        2560x1440@60-rb2, WxH,HT,VT,CLK_HZ
//            plug timing WIDTH HEIGHT HTOTAL VTOTAL PCLK_KHZ
//            unplug
//   audio:   RATE                                       the sample-rate byte, 0..255 (or 0x..)
//   module:  insmod [NAME=VALUE ...]  |  rmmod
//   faults:  CALL [match=ARG] [nth=N] [times=N|always] [error=ERRNO]
//            CALL is a host-kernel call that can fail (gpio_request, request_irq, proc_create,
//            kzalloc, try_module_get, i2c_smbus_read_byte_data, ...); ERRNO is -5, 5, EIO or
//            -EIO (default -EIO); nth counts matching calls from 1 (the next one).
//          | bus KIND [addr=A] [bank=B] [reg=R] [dir=select|write|read] [nth=N]
//                [times=N|always] [fraction=F] [seed=S] [value=V | xor=M]
//            A fault on the chip's bus, by transaction. KIND is noack (-ENXIO), eio, timeout
//            (-ETIMEDOUT) or wrongbyte (the transaction succeeds with its data bytes set to V,
//            or XORed with M, default xor=0xff). addr, bank and reg pick the transactions it
//            applies to (a bank select writes register 0xff; its bank is the one selected);
//            nth counts matching transactions from 1; times defaults to 1 (always with a
//            fraction); with a fraction 0 < F < 1, each matching transaction from the nth on
//            fails with that probability, drawn from a generator seeded with S (default 1).
//          | clear                                      removes every rule of both kinds
//
// A command is one line; a trailing line feed (as echo writes) is ignored, so are repeated
// blanks. Anything else that does not fit is refused.
//
// Threading: pure functions; no state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "board/i2c_bus.h"
#include "board/timings.h"
#include "platform/host/faults.h"
#include "platform/host/result.h"

namespace sim {

struct HdmiCommand {
  std::optional<board::Mode> mode;  // empty: unplug
};

struct ModuleCommand {
  bool load = true;                 // insmod, else rmmod
  std::vector<std::string> params;  // NAME=VALUE
};

// At most one of rule and bus is set; neither: clear.
struct FaultCommand {
  std::optional<host::FaultRule> rule;  // a host-kernel call fails
  std::optional<board::BusFault> bus;   // a transaction on the chip's bus fails
};

std::vector<std::string_view> split_words(std::string_view line);

// Each: the command, or the reason it was refused (the message only).
host::Result<HdmiCommand> parse_hdmi(std::string_view text);
host::Result<uint8_t> parse_audio(std::string_view text);
host::Result<ModuleCommand> parse_module(std::string_view text);
host::Result<FaultCommand> parse_fault(std::string_view text);

// A rule as parse_fault reads it (round-trips).
std::string format_fault(const host::FaultRule& rule);
std::string format_fault(const board::BusFault& fault);
// An errno by name ("EIO", "-EIO") or number ("5", "-5"), as a negative value.
std::optional<int> parse_errno(std::string_view text);
// A mode as DIR/sim/hdmi shows it, without the line feed.
std::string format_source(const std::optional<board::Mode>& mode);

}  // namespace sim
