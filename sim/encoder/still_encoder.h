// Stored-picture encoder: turns a 640 x 480 picture into the byte string the
// camera keeps in its memory, for tests, tools and the simulated camera.
//
// The stored bytes carry a frame of the video format (6-byte header, then
// 1,200 macroblocks of a 3-byte header and six blocks) in the zero-run layout
// that the still decoder unpacks: every zero byte of the frame is followed by
// a marker (0x01..0x3F starts the frame, 0x40..0x7F but 0x60 marks a
// macroblock, 0x80..0xFF a block); a zero that no marker follows is kept as a
// run of eight zero bytes and the zero marker 0x60. The encoder lays the frame
// out so that the header ends in a zero, each macroblock starts with a marker
// byte after a zero and ends its header in a zero, and each block starts with a
// marker byte after a zero: 1,200 macroblock markers and 7,200 block markers.
// The blocks are coded for the decoder's quality level 0, the level the data
// source always decodes stored pictures with. Like the camera, the encoder
// stores the picture mirrored left-right: the decoded picture is mirrored and
// the data source's enhancement, which mirrors it back, shows it as taken.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "sim/encoder/encoder.h"

namespace torvex::sim {

constexpr int kStillWidth = 640;
constexpr int kStillHeight = 480;
// Largest stored picture the data source accepts.
constexpr std::size_t kMaxStillBytes = 307200;

struct StillOptions {
    // Coarseness 0..9 on the quality-level scale of EncodeFrame (8 finest,
    // then 0, 1, ... 7 coarsest): coefficients are rounded to the steps that
    // level's tables would use, and coded in level-0 units. 8 and 0 are both
    // the finest a stored picture can carry.
    int quality = 0;
    // Bytes the camera may keep before the frame (none of them a start marker).
    std::size_t leadingBytes = 0;
    // A second start marker and a few bytes after the frame, which the decoder ignores.
    bool secondStart = false;
};

struct EncodedStill {
    std::vector<std::uint8_t> bytes;  // at most kMaxStillBytes
    int requestedQuality = 0;
    int qualityUsed = 0;              // coarser than requested when the picture did not fit
    int frequencyLimit = kAllFrequencies;

    bool QualityRaised() const { return qualityUsed != requestedQuality || frequencyLimit != kAllFrequencies; }
};

// Encodes a 640 x 480 picture. Throws std::invalid_argument for another size
// or a quality outside 0..9. When the bytes would exceed kMaxStillBytes the
// quality is made coarser (8 -> 0 -> 1 -> ... -> 7, 9 -> 3), then the highest
// frequencies are dropped.
EncodedStill EncodeStill(const RgbPicture& picture, const StillOptions& options = {});

// The zero-run layout of a frame (header first, closing zero byte not
// included): each zero byte followed by a marker byte stays as it is; any
// other zero byte becomes eight zero bytes and the zero marker.
std::vector<std::uint8_t> StoreFrame(std::span<const std::uint8_t> frame);

}  // namespace torvex::sim
