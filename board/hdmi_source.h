// The HDMI source plugged into the chip's input: its video mode, signal stability and audio.
//
// Thread safety: any thread may change or read the source. Listeners run on the thread that
// made the change, after the source's own lock is released, once per change; they must not
// block in the scheduler.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "board/timings.h"
#include "platform/host/thread_safety.h"

namespace board {

// One coherent view of the source.
struct SourceState {
  std::optional<Mode> mode;  // empty: nothing plugged in
  bool stable = true;        // the sink has locked on to the signal
  uint8_t audio_rate = 0;    // the chip's audio sample-rate byte; 0 without a source
  uint64_t changes = 0;      // grows by one at every input change
};

class HdmiSource {
 public:
  // The audio sample-rate byte a freshly plugged source carries (48 kHz).
  static constexpr uint8_t kDefaultAudioRate = 48;

  using Listener = std::function<void()>;

  // Plugs a source in with this mode, or changes the mode of the one plugged in.
  void plug(const Mode& mode);
  void change_mode(const Mode& mode) { plug(mode); }
  void unplug();
  // Marks the signal as unstable (the sink cannot lock) or stable again; an input change.
  void set_stable(bool stable);
  // The audio sample-rate byte, as the chip reports it; an input change.
  void set_audio_rate(uint8_t rate);

  SourceState state() const;
  bool plugged() const { return state().mode.has_value(); }

  // Called after every input change (plug, mode change, unplug, stability, audio rate).
  void on_change(Listener listener);

 private:
  // Counts an input change; returns the listeners to call once the lock is let go.
  std::vector<Listener> changed_locked() LT_REQUIRES(mutex_);
  static void notify(const std::vector<Listener>& listeners);

  mutable lt::Mutex mutex_;
  SourceState state_ LT_GUARDED_BY(mutex_);
  // What the source sends while plugged.
  uint8_t audio_rate_ LT_GUARDED_BY(mutex_) = kDefaultAudioRate;
  std::vector<Listener> listeners_ LT_GUARDED_BY(mutex_);
};

}  // namespace board
