// The system work queue.
#pragma once

namespace host {
class Workqueues {
 public:
  Workqueues() = default;
  void start() {}
  void stop() {}
};
}  // namespace host
