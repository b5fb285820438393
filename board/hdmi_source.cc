#include "board/hdmi_source.h"

namespace board {

void HdmiSource::plug(const Mode& mode) {
  std::vector<Listener> listeners;
  {
    lt::MutexLock lock(mutex_);
    state_.mode = mode;
    state_.audio_rate = audio_rate_;
    listeners = changed_locked();
  }
  notify(listeners);
}

void HdmiSource::unplug() {
  std::vector<Listener> listeners;
  {
    lt::MutexLock lock(mutex_);
    state_.mode.reset();
    state_.audio_rate = 0;
    listeners = changed_locked();
  }
  notify(listeners);
}

void HdmiSource::set_stable(bool stable) {
  std::vector<Listener> listeners;
  {
    lt::MutexLock lock(mutex_);
    state_.stable = stable;
    listeners = changed_locked();
  }
  notify(listeners);
}

void HdmiSource::set_audio_rate(uint8_t rate) {
  std::vector<Listener> listeners;
  {
    lt::MutexLock lock(mutex_);
    audio_rate_ = rate;
    if (state_.mode) state_.audio_rate = rate;
    listeners = changed_locked();
  }
  notify(listeners);
}

SourceState HdmiSource::state() const {
  lt::MutexLock lock(mutex_);
  return state_;
}

void HdmiSource::on_change(Listener listener) {
  lt::MutexLock lock(mutex_);
  listeners_.push_back(std::move(listener));
}

std::vector<HdmiSource::Listener> HdmiSource::changed_locked() {
  ++state_.changes;
  return listeners_;
}

void HdmiSource::notify(const std::vector<Listener>& listeners) {
  for (auto& l : listeners) l();
}

}  // namespace board
