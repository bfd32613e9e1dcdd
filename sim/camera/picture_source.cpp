#include "picture_source.h"

#include <stdexcept>

namespace torvex::sim {

PictureSource::PictureSource(std::vector<RgbPicture> pictures) : pictures_(std::move(pictures)) {
  if (pictures_.empty()) throw std::invalid_argument("picture source needs a picture");
  for (const RgbPicture& picture : pictures_)
    if (picture.width <= 0 || picture.height <= 0) throw std::invalid_argument("empty picture");
}

std::vector<std::uint8_t> PictureSource::NextFrame(const FrameRequest& request) {
  const std::size_t picture = next_++ % pictures_.size();
  const auto key = std::make_tuple(picture, request.size.width, request.size.height,
                                   request.compressionLevel);
  auto found = encoded_.find(key);
  if (found == encoded_.end()) {
    const RgbPicture fitted = FitToSize(pictures_[picture], request.size.width, request.size.height);
    found = encoded_.emplace(key, EncodeFrame(fitted, request.compressionLevel)).first;
  }
  last_ = &found->second;
  return found->second.bytes;
}

}  // namespace torvex::sim
