// Frames encoded from pictures at the coded size and compression level the host last asked for.
#pragma once

#include <map>
#include <tuple>
#include <vector>

#include "frame_source.h"
#include "sim/encoder/encoder.h"

namespace torvex::sim {

class PictureSource : public FrameSource {
 public:
  // Throws std::invalid_argument when `pictures` is empty or holds an empty picture.
  explicit PictureSource(std::vector<RgbPicture> pictures);

  // The pictures in turn, each cut to the requested size and encoded at the requested level.
  // Encoded frames are kept, so a picture is encoded once per size and level.
  std::vector<std::uint8_t> NextFrame(const FrameRequest& request) override;

  // The encoding of the last frame returned (none before the first): its level may be coarser
  // than requested when the frame would not have fitted the camera's frame limit.
  const EncodedFrame* LastFrame() const { return last_; }

 private:
  std::vector<RgbPicture> pictures_;
  std::size_t next_ = 0;
  std::map<std::tuple<std::size_t, int, int, int>, EncodedFrame> encoded_;
  const EncodedFrame* last_ = nullptr;
};

}  // namespace torvex::sim
