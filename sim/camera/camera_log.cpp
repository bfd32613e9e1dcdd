#include "camera_log.h"

#include <algorithm>

namespace torvex::sim {

std::vector<ControlRecord> CameraLog::Requests(std::uint8_t bRequest) const {
  std::lock_guard lock(mutex_);
  std::vector<ControlRecord> out;
  for (const ControlRecord& record : controls_)
    if (record.setup.bRequest == bRequest) out.push_back(record);
  return out;
}

std::size_t CameraLog::CountEvents(CameraEvent kind) const {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(std::count_if(
      events_.begin(), events_.end(), [kind](const EventRecord& e) { return e.kind == kind; }));
}

void CameraLog::Clear() {
  std::lock_guard lock(mutex_);
  controls_.clear();
  frames_.clear();
  packets_.clear();
  events_.clear();
}

void CameraLog::MarkFrameCompleted(std::uint64_t index) {
  std::lock_guard lock(mutex_);
  for (auto it = frames_.rbegin(); it != frames_.rend(); ++it)
    if (it->index == index) {
      it->completed = true;
      return;
    }
}

}  // namespace torvex::sim
