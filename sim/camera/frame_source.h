// Where the camera's frames come from.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "vendor_requests.h"

namespace torvex::sim {

// What the host last asked the camera to send.
struct FrameRequest {
  CodedSize size;
  int compressionLevel = 0;
  std::uint64_t index = 0;  // frames started since the camera was created
};

class FrameSource {
 public:
  virtual ~FrameSource() = default;
  // The next compressed frame, header first; empty when there is nothing to send this time.
  virtual std::vector<std::uint8_t> NextFrame(const FrameRequest& request) = 0;
};

// Given compressed frames, sent as they are whatever the host asked for: in turn, over and over
// when `repeat` is set, else once each.
class FrameListSource : public FrameSource {
 public:
  explicit FrameListSource(std::vector<std::vector<std::uint8_t>> frames, bool repeat = true)
      : frames_(std::move(frames)), repeat_(repeat) {}
  std::vector<std::uint8_t> NextFrame(const FrameRequest& request) override;

 private:
  std::vector<std::vector<std::uint8_t>> frames_;
  bool repeat_;
  std::size_t next_ = 0;
};

}  // namespace torvex::sim
