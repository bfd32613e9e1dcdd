#include "frame_source.h"

namespace torvex::sim {

std::vector<std::uint8_t> FrameListSource::NextFrame(const FrameRequest&) {
  if (frames_.empty() || (!repeat_ && next_ >= frames_.size())) return {};
  std::vector<std::uint8_t> frame = frames_[next_ % frames_.size()];
  ++next_;
  return frame;
}

}  // namespace torvex::sim
