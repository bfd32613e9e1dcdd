#include "sim/encoder/still_encoder.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "decoder/dcmp.h"
#include "sim/encoder/block_coder.h"

namespace torvex::sim {
namespace {

constexpr std::uint8_t kStartMarker = 0x01;
constexpr std::uint8_t kSecondStartMarker = 0x02;
constexpr std::uint8_t kZeroMarker = 0x60;
constexpr std::uint8_t kFirstMacroblockMarker = 0x40;
constexpr std::size_t kZeroRunForLiteral = 8;  // the zero marker looks 8 bytes back

bool IsMarker(std::uint8_t byte) { return byte >= kFirstMacroblockMarker && byte != kZeroMarker; }

// Level-0 factors, and the steps (in level-0 units) that make the coded values
// as coarse as `quality`'s own factors would.
struct StillQuantiser {
    std::int16_t factors[64];
    std::int16_t steps[64];

    StillQuantiser(const std::int16_t* table, int quality) {
        for (int i = 0; i < 64; ++i) {
            factors[i] = Dcmp_QuantFactor(table[i], 0);
            const double ratio = factors[i] > 0 ? Dcmp_QuantFactor(table[i], quality) / double(factors[i]) : 1.0;
            steps[i] = static_cast<std::int16_t>(std::max(1L, std::lround(ratio)));
        }
    }
};

// Camera filler before the frame: nonzero bytes with zero bytes between, each
// zero followed by a byte of 0x80 or more, so that none forms a start marker.
std::vector<std::uint8_t> LeadingFiller(std::size_t count) {
    std::vector<std::uint8_t> filler(count);
    for (std::size_t i = 0; i < count; ++i)
        filler[i] = i % 3 == 2 ? 0x00 : static_cast<std::uint8_t>(0x80 | ((i * 37) & 0x7F));
    return filler;
}

// The frame without its closing zero byte, or nothing once it outgrows `limit`.
bool CodeStillFrame(const std::vector<DctBlock>& blocks, int quality, int frequencyLimit, std::size_t limit,
                    std::vector<std::uint8_t>& frame) {
    const StillQuantiser luma(Qt55, quality), chroma(Q6, quality);
    // Header: the frame start, the size in macroblocks, and a zero byte that the
    // first macroblock marker follows.
    frame.assign({0x00, kStartMarker, kStillWidth / 16, kStillHeight / 16, 0x80, 0x00});
    for (std::size_t n = 0; n < blocks.size(); ++n) {
        const std::size_t b = n % 6;
        if (b == 0) {
            // Macroblock header, not interpreted by the decoder: a macroblock marker
            // (0x40..0x49, never the zero marker) and the macroblock's number, then
            // a zero byte that the first block marker follows.
            const std::size_t mb = n / 6;
            frame.insert(frame.end(), {static_cast<std::uint8_t>(kFirstMacroblockMarker | (mb >> 7)),
                                       static_cast<std::uint8_t>(0x80 | (mb & 0x7F)), 0x00});
        }
        // A coded block starts with a header of 0x80 or more (a block marker after
        // the zero before it) and ends in its terminating zero byte.
        const StillQuantiser& q = b < 4 ? luma : chroma;
        AppendCodedBlock(Quantize(blocks[n], q.factors, q.steps, frequencyLimit), frame);
        if (frame.size() > limit) return false;
    }
    return true;
}

// Next coarser quality: 8 -> 0 -> 1 -> ... -> 7; 9 (unscaled) -> 3. -1: none.
int CoarserQuality(int quality) {
    constexpr int kCoarser[10] = {1, 2, 3, 4, 5, 6, 7, -1, 0, 3};
    return kCoarser[quality];
}

}  // namespace

std::vector<std::uint8_t> StoreFrame(std::span<const std::uint8_t> frame) {
    std::vector<std::uint8_t> stored;
    stored.reserve(frame.size() + frame.size() / 8);
    for (std::size_t i = 0; i < frame.size(); ++i) {
        if (frame[i] != 0) {
            stored.push_back(frame[i]);
            continue;
        }
        const bool last = i + 1 == frame.size();
        const bool frameStart = i == 0 && !last && frame[1] != 0 && frame[1] < kFirstMacroblockMarker;
        if (last || frameStart || IsMarker(frame[i + 1])) {
            // The marker after it (or the end of the data) keeps this zero.
            stored.push_back(0x00);
        } else {
            stored.insert(stored.end(), kZeroRunForLiteral, 0x00);
            stored.push_back(kZeroMarker);
        }
    }
    return stored;
}

EncodedStill EncodeStill(const RgbPicture& picture, const StillOptions& options) {
    if (picture.width != kStillWidth || picture.height != kStillHeight)
        throw std::invalid_argument("picture is " + std::to_string(picture.width) + "x" +
                                    std::to_string(picture.height) + ", a stored picture is 640x480");
    if (picture.rgb.size() != static_cast<std::size_t>(picture.width) * picture.height * 3)
        throw std::invalid_argument("picture data does not match its size");
    if (options.quality < kMinQualityLevel || options.quality > kMaxQualityLevel)
        throw std::invalid_argument("quality " + std::to_string(options.quality) + " is outside 0..9");

    const std::vector<std::uint8_t> leading = LeadingFiller(options.leadingBytes);
    const std::vector<std::uint8_t> trailing =
        options.secondStart ? std::vector<std::uint8_t>{kSecondStartMarker, 0xFF, 0x00, 0x41, 0x42}
                            : std::vector<std::uint8_t>{};
    if (leading.size() + trailing.size() >= kMaxStillBytes)
        throw std::invalid_argument("leading bytes leave no room for the picture");
    const std::size_t limit = kMaxStillBytes - leading.size() - trailing.size();

    // The camera keeps its pictures mirrored left-right; the data source's
    // enhancement mirrors them back, so the photograph is shown as taken.
    RgbPicture mirrored(picture.width, picture.height);
    for (int y = 0; y < picture.height; ++y)
        for (int x = 0; x < picture.width; ++x)
            std::copy_n(picture.Pixel(picture.width - 1 - x, y), 3, mirrored.Pixel(x, y));
    const std::vector<DctBlock> blocks = TransformPicture(mirrored);
    EncodedStill still;
    still.requestedQuality = options.quality;
    std::vector<std::uint8_t> frame, stored;
    auto attempt = [&](int quality, int frequencyLimit) {
        if (!CodeStillFrame(blocks, quality, frequencyLimit, limit, frame)) return false;
        stored = StoreFrame(frame);
        return stored.size() <= limit;
    };
    int quality = options.quality;
    bool fits = attempt(quality, kAllFrequencies);
    while (!fits && CoarserQuality(quality) >= 0) {
        quality = CoarserQuality(quality);
        fits = attempt(quality, kAllFrequencies);
    }
    still.qualityUsed = quality;
    // Even the coarsest steps are too long: drop the highest frequencies. DC
    // values alone take at most 4 bytes a block, which always fits.
    for (int frequencyLimit = kAllFrequencies - 1; !fits && frequencyLimit >= 0; --frequencyLimit) {
        still.frequencyLimit = frequencyLimit;
        fits = attempt(quality, frequencyLimit);
    }
    if (!fits) throw std::logic_error("stored picture does not fit even with DC values only");

    still.bytes = leading;
    still.bytes.insert(still.bytes.end(), stored.begin(), stored.end());
    still.bytes.insert(still.bytes.end(), trailing.begin(), trailing.end());
    return still;
}

}  // namespace torvex::sim
