// Camera-format frame encoder: turns a picture into the compressed 4:2:0 frame
// that the camera sends in video mode, for the simulated camera and for tests.
//
// A frame is what the decoder (decoder/dcmp.h) reads from its first byte:
// a 6-byte header (0x00, then 0x01..0x3F), then every macroblock in coding
// order (3 header bytes, four luma blocks, U, V). The encoder picks every byte
// the decoder ignores so that
//   - the frame never holds four zero bytes in a row (on the wire an 8-byte
//     group whose first four bytes are zero is filler and would be dropped), and
//   - no zero byte inside the frame is followed by 0x01..0x3F, so no part of
//     the frame, however it is cut into packets, looks like a frame start.
// A frame is never longer than kMaxFrameBytes; it carries no terminating byte
// (the receiver adds one, as the driver does).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace torvex::sim {

// A 24-bit picture: rows top-down, pixels red, green, blue, each row exactly
// width * 3 bytes.
struct RgbPicture {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;

    RgbPicture() = default;
    RgbPicture(int w, int h) : width(w), height(h), rgb(static_cast<std::size_t>(w) * h * 3) {}
    std::uint8_t* Pixel(int x, int y) { return &rgb[(static_cast<std::size_t>(y) * width + x) * 3]; }
    const std::uint8_t* Pixel(int x, int y) const {
        return &rgb[(static_cast<std::size_t>(y) * width + x) * 3];
    }
};

// Longest frame the camera may send (bytes from the frame header on).
constexpr std::size_t kMaxFrameBytes = 142232;

// Quality levels the encoder accepts: 0..8 as the camera's compression levels
// (8 finest, then 0, 1, ... 7 coarsest) and 9, which leaves the tables
// unscaled as the decoder does for any level outside 0..8.
constexpr int kMinQualityLevel = 0;
constexpr int kMaxQualityLevel = 9;

// Coefficients with u + v above this were dropped; kAllFrequencies keeps all.
constexpr int kAllFrequencies = 14;

// True for the picture sizes the camera can send: 320x240, 640x480, 800x592.
bool IsCodedSize(int width, int height);

// Scales `picture` (smoothly, keeping its aspect ratio) until it covers
// width x height, and cuts that size from its middle.
// Throws std::invalid_argument for an empty picture or a size below 1 x 1.
RgbPicture FitToSize(const RgbPicture& picture, int width, int height);

struct EncodedFrame {
    std::vector<std::uint8_t> bytes;  // the frame, header first, at most kMaxFrameBytes
    int requestedLevel = 0;
    int levelUsed = 0;                // coarser than requested when the frame did not fit
    // Level 8 only: the encoder's own step, in sixteenths of the table entry
    // (0: every coefficient to the nearest unit). Nothing the decoder needs.
    int stepSixteenths = 0;
    int frequencyLimit = kAllFrequencies;  // below 14 only if even level 7 did not fit

    bool LevelRaised() const { return levelUsed != requestedLevel || frequencyLimit != kAllFrequencies; }
};

// Encodes a picture of a coded size at quality level 0..9. The frame decodes
// with a decoder context whose qualityLevel is `levelUsed`. At level 8, whose
// factors are all 1, the encoder picks its own steps (multiples of the table
// entries / 16) as fine as the size limit allows. When the frame would still
// exceed kMaxFrameBytes the level is raised step by step towards the coarsest
// (8 -> 0 -> 1 -> ... -> 7, 9 -> 3); if level 7 is still too long, high
// frequencies are dropped until the frame fits.
// Throws std::invalid_argument when the size is not a coded size or the level
// is outside 0..9.
EncodedFrame EncodeFrame(const RgbPicture& picture, int qualityLevel);

// The transform of every block of a coded-size picture in coding order, as
// EncodeFrame codes them (colour conversion, 4:2:0 sampling, forward DCT);
// coefficient order 8u + v. For encoders of other layouts (stored pictures).
std::vector<std::array<float, 64>> TransformPicture(const RgbPicture& picture);

}  // namespace torvex::sim
