// Reading and writing picture files: PNG, JPEG, BMP and PPM in, PNG and BMP out.
// Pictures are sim::RgbPicture (top-down, red, green, blue).
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

#include "sim/encoder/encoder.h"

namespace torvex::tools {

using sim::RgbPicture;

// A file that cannot be read as a picture; what() says why in a few words.
class ImageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Largest picture accepted, so that a forged header cannot demand a huge buffer.
constexpr int kMaxImageSide = 16384;
constexpr std::size_t kMaxImagePixels = 40u * 1000 * 1000;

// Decodes a PNG, JPEG, BMP (24- or 32-bit uncompressed) or binary PPM (P6)
// picture; the format is recognised from the bytes, not from a file name.
RgbPicture DecodeImage(std::span<const std::uint8_t> bytes);

std::vector<std::uint8_t> EncodePng(const RgbPicture& picture);
std::vector<std::uint8_t> EncodeBmp(const RgbPicture& picture);  // 24-bit, bottom-up
std::vector<std::uint8_t> EncodeJpeg(const RgbPicture& picture, int quality);  // baseline, 4:2:0

}  // namespace torvex::tools
