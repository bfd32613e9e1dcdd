#include "sim/encoder/encoder.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>
#include <string>

#include "decoder/dcmp.h"
#include "sim/encoder/block_coder.h"

namespace torvex::sim {
namespace {

// Inverse of the decoder's colour conversion. The decoder computes, with
// y = Y - 16, u = U - 128, v = V - 128 and its table gains divided by 256:
//   blue  = 297 y + 519 u
//   green = 300 y - 100 u - 207 v
//   red   = 299 y           + 411 v
// ToYuv solves that system for y, u, v.
struct ColourInverse {
    double m[3][3];  // (y, u, v) = m * (red, green, blue)
    ColourInverse() {
        // Rows: blue, green, red; columns: y, u, v.
        const double a[3][3] = {{297 / 256.0, 519 / 256.0, 0},
                                {300 / 256.0, -100 / 256.0, -207 / 256.0},
                                {299 / 256.0, 0, 411 / 256.0}};
        const double det = a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
                           a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
                           a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
        double inv[3][3];  // inverse of a: (y, u, v) = inv * (blue, green, red)
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) {
                const int r1 = (c + 1) % 3, r2 = (c + 2) % 3, c1 = (r + 1) % 3, c2 = (r + 2) % 3;
                inv[r][c] = (a[r1][c1] * a[r2][c2] - a[r1][c2] * a[r2][c1]) / det;
            }
        for (int r = 0; r < 3; ++r) {
            m[r][0] = inv[r][2];
            m[r][1] = inv[r][1];
            m[r][2] = inv[r][0];
        }
    }
};

const ColourInverse& Colour() {
    static const ColourInverse inverse;
    return inverse;
}

// The decoder's output comes out slightly low: its colour conversion truncates
// the luma contribution (about -0.43 in luma units) and its inverse transform
// rounds down (about -0.375 on every sample, even for an empty block). The
// encoder lifts its samples by as much, so that decoded pictures keep their
// brightness and colour.
constexpr double kLumaLift = 0.8;
constexpr float kChromaLift = 0.375f;

// The coded picture as Y, U, V planes of unrounded sample values.
struct YuvPlanes {
    int width, height;
    std::vector<float> y, u, v;  // u, v at half width and height
};

YuvPlanes ToYuv420(const RgbPicture& picture) {
    const auto& m = Colour().m;
    YuvPlanes planes{picture.width, picture.height, {}, {}, {}};
    const std::size_t pixels = static_cast<std::size_t>(picture.width) * picture.height;
    planes.y.resize(pixels);
    std::vector<float> u(pixels), v(pixels);
    for (std::size_t i = 0; i < pixels; ++i) {
        const double r = picture.rgb[3 * i], g = picture.rgb[3 * i + 1], b = picture.rgb[3 * i + 2];
        const double luma = m[0][0] * r + m[0][1] * g + m[0][2] * b + 16 + kLumaLift;
        planes.y[i] = static_cast<float>(std::clamp(luma, 0.0, 255.0));
        u[i] = static_cast<float>(m[1][0] * r + m[1][1] * g + m[1][2] * b + 128);
        v[i] = static_cast<float>(m[2][0] * r + m[2][1] * g + m[2][2] * b + 128);
    }
    // 4:2:0: each chroma sample is the mean of its 2 x 2 pixels.
    const int cw = picture.width / 2, ch = picture.height / 2;
    planes.u.resize(static_cast<std::size_t>(cw) * ch);
    planes.v.resize(planes.u.size());
    for (int y = 0; y < ch; ++y)
        for (int x = 0; x < cw; ++x) {
            const std::size_t i = static_cast<std::size_t>(2 * y) * picture.width + 2 * x;
            const std::size_t j = i + picture.width;
            const std::size_t c = static_cast<std::size_t>(y) * cw + x;
            planes.u[c] = std::clamp((u[i] + u[i + 1] + u[j] + u[j + 1]) / 4 + kChromaLift, 0.0f, 255.0f);
            planes.v[c] = std::clamp((v[i] + v[i + 1] + v[j] + v[j + 1]) / 4 + kChromaLift, 0.0f, 255.0f);
        }
    return planes;
}

DctBlock BlockDct(const std::vector<float>& plane, int stride, int x0, int y0) {
    SampleBlock samples;
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
            samples[8 * y + x] = plane[static_cast<std::size_t>(y0 + y) * stride + x0 + x] - 128.0f;
    return ForwardDct(samples);
}

// Transforms of every block in coding order: macroblocks row by row, left to
// right; in a macroblock luma top-left, bottom-left, top-right, bottom-right, U, V.
std::vector<DctBlock> TransformBlocks(const YuvPlanes& planes) {
    std::vector<DctBlock> blocks;
    const int cw = planes.width / 2;
    for (int my = 0; my < planes.height / 16; ++my)
        for (int mx = 0; mx < planes.width / 16; ++mx) {
            for (const auto& [dx, dy] : {std::pair{0, 0}, {0, 8}, {8, 0}, {8, 8}})
                blocks.push_back(BlockDct(planes.y, planes.width, 16 * mx + dx, 16 * my + dy));
            blocks.push_back(BlockDct(planes.u, cw, 8 * mx, 8 * my));
            blocks.push_back(BlockDct(planes.v, cw, 8 * mx, 8 * my));
        }
    return blocks;
}

// One way of quantising a frame: the decoder's level, and the encoder's own
// choices inside it.
struct Quantiser {
    int level = 2;
    // Level 8 only: coded values are multiples of (table entry x stepSixteenths / 16),
    // at least 1; 0 codes every coefficient to the nearest unit.
    int stepSixteenths = 0;
    int frequencyLimit = kAllFrequencies;
};

// Finest to coarsest, from the requested level on: level 8 first with ever
// coarser steps of its own (its factors are all 1, so the encoder may use the
// room up to the size limit), then the levels 0, 1, ... 7 (a request for 9,
// the unscaled tables, goes on to 3), and last level 7 without its highest
// frequencies.
std::vector<Quantiser> QuantiserLadder(int requestedLevel) {
    std::vector<Quantiser> ladder;
    if (requestedLevel == 8)
        for (int step = 0; step <= 8; ++step) ladder.push_back({8, step, kAllFrequencies});
    if (requestedLevel == 9) ladder.push_back({9, 0, kAllFrequencies});
    const int firstPlain = requestedLevel == 8 ? 0 : requestedLevel == 9 ? 3 : requestedLevel;
    for (int level = firstPlain; level <= 7; ++level) ladder.push_back({level, 0, kAllFrequencies});
    // With only the DC value left every block takes at most 4 bytes, which fits.
    for (int limit = kAllFrequencies - 1; limit >= 0; --limit) ladder.push_back({7, 0, limit});
    return ladder;
}

// Codes every block; returns false as soon as the frame grows past the limit.
bool CodeFrame(const std::vector<DctBlock>& blocks, int width, int height, const Quantiser& attempt,
               std::vector<std::uint8_t>& out) {
    std::int16_t lumaFactors[64], chromaFactors[64], lumaSteps[64], chromaSteps[64];
    for (int i = 0; i < 64; ++i) {
        lumaFactors[i] = Dcmp_QuantFactor(Qt55[i], attempt.level);
        chromaFactors[i] = Dcmp_QuantFactor(Q6[i], attempt.level);
        lumaSteps[i] = static_cast<std::int16_t>(std::max(1, Qt55[i] * attempt.stepSixteenths / 16));
        chromaSteps[i] = static_cast<std::int16_t>(std::max(1, Q6[i] * attempt.stepSixteenths / 16));
    }
    out.clear();
    // Header: 0x00 and 0x01..0x3F mark a frame start; the other bytes are not
    // interpreted and carry the level and the size in macroblocks.
    out.insert(out.end(), {0x00, static_cast<std::uint8_t>(0x01 + attempt.level),
                           static_cast<std::uint8_t>(width / 16), static_cast<std::uint8_t>(height / 16), 0x80,
                           0x80});
    PixelBlock previous{};
    for (std::size_t n = 0; n < blocks.size(); ++n) {
        const std::size_t b = n % 6;
        if (b == 0) {
            // Macroblock header, not interpreted: the macroblock's number, bit 7 set.
            const std::size_t mb = n / 6;
            out.insert(out.end(), {static_cast<std::uint8_t>(0x80 | ((mb >> 7) & 0x7F)),
                                   static_cast<std::uint8_t>(0x80 | (mb & 0x7F)), 0x80});
        }
        const std::int16_t* factors = b < 4 ? lumaFactors : chromaFactors;
        const CoefBlock coef =
            Quantize(blocks[n], factors, b < 4 ? lumaSteps : chromaSteps, attempt.frequencyLimit);
        const PixelBlock pixels = Reconstruct(coef, factors);
        // A block that comes out exactly like the one before it in coding order
        // is sent as a copy. Never the first block: it has no predecessor.
        if (n > 0 && pixels == previous) {
            AppendCopyBlock(out);
        } else {
            AppendCodedBlock(coef, out);
            previous = pixels;
        }
        if (out.size() > kMaxFrameBytes) return false;
    }
    return true;
}

}  // namespace

std::vector<DctBlock> TransformPicture(const RgbPicture& picture) { return TransformBlocks(ToYuv420(picture)); }

bool IsCodedSize(int width, int height) {
    return (width == 320 && height == 240) || (width == 640 && height == 480) || (width == 800 && height == 592);
}

EncodedFrame EncodeFrame(const RgbPicture& picture, int qualityLevel) {
    if (!IsCodedSize(picture.width, picture.height))
        throw std::invalid_argument("picture is " + std::to_string(picture.width) + "x" +
                                    std::to_string(picture.height) +
                                    ", not a coded size (320x240, 640x480 or 800x592)");
    if (picture.rgb.size() != static_cast<std::size_t>(picture.width) * picture.height * 3)
        throw std::invalid_argument("picture data does not match its size");
    if (qualityLevel < kMinQualityLevel || qualityLevel > kMaxQualityLevel)
        throw std::invalid_argument("quality level " + std::to_string(qualityLevel) + " is outside 0..9");

    const std::vector<DctBlock> blocks = TransformBlocks(ToYuv420(picture));
    EncodedFrame frame;
    frame.requestedLevel = qualityLevel;
    for (const Quantiser& attempt : QuantiserLadder(qualityLevel)) {
        if (!CodeFrame(blocks, picture.width, picture.height, attempt, frame.bytes)) continue;
        frame.levelUsed = attempt.level;
        frame.stepSixteenths = attempt.stepSixteenths;
        frame.frequencyLimit = attempt.frequencyLimit;
        return frame;
    }
    throw std::logic_error("frame does not fit even with DC values only");
}

}  // namespace torvex::sim
