// Frame decoding as the driver does it, and the measures and file helpers
// that the torvex command line, the demo, the tests and the benchmarks share.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/encoder/encoder.h"

namespace torvex::tools {

using sim::RgbPicture;

// Bad input or arguments; what() is the text after "torvex: FILE: ".
class InputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class FrameFormat { Rgb24, Iyuv };

struct FrameDecodeOptions {
    int outWidth = 320;   // requested output size
    int outHeight = 240;
    int qualityLevel = 2;  // 0..9
    bool flip = false;
    int rotation = 0;      // 0..3; the planar output is never rotated
    FrameFormat format = FrameFormat::Rgb24;
    int simdPath = -1;     // decoder path (decoder/simd/dcmp_simd.h); -1: the fastest the processor runs
    int repeat = 1;        // decodes of the same frame with one context, for timing
};

// What a capture application's buffer receives for one frame.
struct DecodedFrame {
    std::vector<std::uint8_t> bytes;  // rgb24: outWidth x outHeight x 3, bottom-up BGR;
                                      // iyuv: Y, U, V planes at the coded size
    int width = 0;                    // picture size of those bytes
    int height = 0;
    double medianMs = 0;              // median wall time of one decode
};

// The coded size the decoder picks for a requested output size, or nothing
// when it refuses that size.
std::optional<std::pair<int, int>> CodedSizeFor(int outWidth, int outHeight);

// Decodes a frame (header first, at most 142,232 bytes) from a 152,400-byte
// frame buffer with the terminating zero byte after it, and sets the output
// pointers exactly as the driver does; with options.repeat above 1 it decodes
// the frame that many times and keeps the median time. Throws InputError for
// a refused size, a bad option, a path the processor does not run or a frame
// that is too long.
DecodedFrame DecodeFrame(std::span<const std::uint8_t> frame, const FrameDecodeOptions& options);

// Whether the bytes begin as a camera frame does: 0x00, then 0x01..0x3F.
inline bool IsFrameStart(std::span<const std::uint8_t> bytes) {
    return bytes.size() >= 2 && bytes[0] == 0x00 && bytes[1] >= 0x01 && bytes[1] <= 0x3F;
}

// Pictures from decoder output.
RgbPicture FromBottomUpBgr(std::span<const std::uint8_t> bytes, int width, int height);
// Planar Y, U, V at width x height to a picture, with the decoder's colour conversion.
RgbPicture FromIyuv(std::span<const std::uint8_t> bytes, int width, int height);

// Peak signal-to-noise ratio in dB of `decoded` against `reference` (same
// size): over the BT.601 luma of each pixel, or over all three channels.
// Identical pictures give +infinity.
double LumaPsnr(const RgbPicture& reference, const RgbPicture& decoded);
double RgbPsnr(const RgbPicture& reference, const RgbPicture& decoded);

// Whole-file input and output; "-" is standard input or output. Output goes
// to a temporary file beside the target that is renamed into place, so a
// failure never leaves a partial file. Both throw InputError.
std::vector<std::uint8_t> ReadAll(const std::string& path);
void WriteAll(const std::string& path, std::span<const std::uint8_t> bytes);

// Parses "WxH" (both 1..65535); nothing for any other text.
std::optional<std::pair<int, int>> ParseSize(const std::string& text);

}  // namespace torvex::tools
