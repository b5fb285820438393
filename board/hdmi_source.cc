#include "board/hdmi_source.h"

namespace board {

void HdmiSource::plug(const Mode& mode) {
  std::unique_lock<std::mutex> lock(mutex_);
  state_.mode = mode;
  state_.audio_rate = audio_rate_;
  changed(lock);
}

void HdmiSource::unplug() {
  std::unique_lock<std::mutex> lock(mutex_);
  state_.mode.reset();
  state_.audio_rate = 0;
  changed(lock);
}

void HdmiSource::set_stable(bool stable) {
  std::unique_lock<std::mutex> lock(mutex_);
  state_.stable = stable;
  changed(lock);
}

void HdmiSource::set_audio_rate(uint8_t rate) {
  std::unique_lock<std::mutex> lock(mutex_);
  audio_rate_ = rate;
  if (state_.mode) state_.audio_rate = rate;
  changed(lock);
}

SourceState HdmiSource::state() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_;
}

void HdmiSource::on_change(Listener listener) {
  std::lock_guard<std::mutex> lock(mutex_);
  listeners_.push_back(std::move(listener));
}

void HdmiSource::changed(std::unique_lock<std::mutex>& lock) {
  ++state_.changes;
  std::vector<Listener> listeners = listeners_;
  lock.unlock();
  for (auto& l : listeners) l();
}

}  // namespace board
