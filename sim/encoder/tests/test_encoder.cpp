// Frames from the encoder: the form a camera's frames have, the size limit,
// copy blocks, and fitting pictures to a coded size.
#include <gtest/gtest.h>

#include <random>

#include "decoder/dcmp.h"
#include "sim/encoder/encoder.h"
#include "tools/frame_tools.h"

namespace torvex::sim {
namespace {

RgbPicture Flat(int width, int height, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    RgbPicture picture(width, height);
    for (std::size_t i = 0; i < picture.rgb.size(); i += 3) {
        picture.rgb[i] = r;
        picture.rgb[i + 1] = g;
        picture.rgb[i + 2] = b;
    }
    return picture;
}

RgbPicture Noise(int width, int height, unsigned seed) {
    RgbPicture picture(width, height);
    std::mt19937 random(seed);
    for (auto& byte : picture.rgb) byte = static_cast<std::uint8_t>(random());
    return picture;
}

// The same 8 x 8 pattern everywhere: every block but the first few repeats.
RgbPicture Tiles(int width, int height) {
    RgbPicture picture(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = picture.Pixel(x, y);
            p[0] = static_cast<std::uint8_t>(40 + 20 * (x % 8));
            p[1] = static_cast<std::uint8_t>(200 - 20 * (y % 8));
            p[2] = 90;
        }
    return picture;
}

tools::DecodedFrame Decode(const EncodedFrame& frame, int width, int height, bool flip,
                           tools::FrameFormat format) {
    tools::FrameDecodeOptions options;
    options.outWidth = width;
    options.outHeight = height;
    options.qualityLevel = frame.levelUsed;
    options.flip = flip;
    options.format = format;
    return tools::DecodeFrame(frame.bytes, options);
}

// Walks the frame as the decoder does and counts its copy blocks.
int CountCopyBlocks(const EncodedFrame& frame, int mbCount) {
    DcmpContext ctx{};
    Dcmp_CreateSignBitExtTbl(&ctx);
    std::vector<std::uint8_t> bytes = frame.bytes;
    bytes.resize(bytes.size() + DCMP_MAX_BLOCK_READ, 0);
    std::size_t pos = DCMP_FRAME_HEADER_BYTES;
    int copies = 0;
    for (int mb = 0; mb < mbCount; ++mb) {
        pos += DCMP_MB_HEADER_BYTES;
        for (int b = 0; b < 6; ++b) {
            if ((bytes[pos] & 0xC0) == 0xC0) {
                ++copies;
                pos += 2;
            } else {
                std::int16_t coef[64] = {};
                pos += Dcmp_RLD(coef, &bytes[pos], &ctx) + 1u;
            }
            if (pos > frame.bytes.size()) ADD_FAILURE() << "frame ends inside macroblock " << mb;
        }
    }
    EXPECT_EQ(pos, frame.bytes.size()) << "bytes after the last macroblock";
    return copies;
}

// What the wire needs of every frame: the frame start, no filler-like run of
// four zero bytes, and no zero byte followed by 0x01..0x3F later on (a packet
// starting there would look like a new frame).
void ExpectCameraForm(const EncodedFrame& frame) {
    const auto& bytes = frame.bytes;
    ASSERT_GE(bytes.size(), 6u);
    EXPECT_LE(bytes.size(), kMaxFrameBytes);
    EXPECT_EQ(bytes[0], 0x00);
    EXPECT_GE(bytes[1], 0x01);
    EXPECT_LE(bytes[1], 0x3F);
    for (std::size_t i = 2; i < bytes.size(); ++i) {
        if (bytes[i - 1] != 0) continue;
        ASSERT_NE(bytes[i], 0) << "two zero bytes at " << i - 1;
        ASSERT_TRUE(bytes[i] > 0x3F) << "frame start look-alike at " << i - 1;
    }
}

struct FormCase {
    const char* name;
    RgbPicture picture;
    int level;
};

TEST(EncodeFrame, FramesHaveTheCameraFormAtEverySizeAndLevel) {
    const std::pair<int, int> sizes[] = {{320, 240}, {640, 480}, {800, 592}};
    for (auto [width, height] : sizes) {
        const FormCase cases[] = {
            {"black", Flat(width, height, 0, 0, 0), 8},
            {"white", Flat(width, height, 255, 255, 255), 0},
            {"tiles", Tiles(width, height), 2},
            {"noise", Noise(width, height, 1), 7},
        };
        for (const FormCase& c : cases) {
            SCOPED_TRACE(std::string(c.name) + " " + std::to_string(width) + "x" + std::to_string(height));
            const EncodedFrame frame = EncodeFrame(c.picture, c.level);
            ExpectCameraForm(frame);
            // Every macroblock is there: the decoder reads the frame to its end.
            const auto decoded = Decode(frame, width, height, false, tools::FrameFormat::Rgb24);
            EXPECT_EQ(decoded.bytes.size(), static_cast<std::size_t>(width) * height * 3);
        }
    }
}

TEST(EncodeFrame, FlatPicturesComeBackFlat) {
    struct Case {
        std::uint8_t r, g, b;
    } colours[] = {{0, 0, 0}, {255, 255, 255}, {128, 128, 128}, {200, 30, 60}, {10, 220, 120}};
    for (const Case& c : colours) {
        SCOPED_TRACE(std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b));
        const RgbPicture picture = Flat(320, 240, c.r, c.g, c.b);
        const EncodedFrame frame = EncodeFrame(picture, 2);
        const RgbPicture decoded = tools::FromBottomUpBgr(
            Decode(frame, 320, 240, false, tools::FrameFormat::Rgb24).bytes, 320, 240);
        for (std::size_t i = 0; i < decoded.rgb.size(); ++i)
            ASSERT_NEAR(decoded.rgb[i], picture.rgb[i], 6) << "byte " << i;
        // Luma blocks 1..3 of every macroblock repeat block 0.
        EXPECT_GE(CountCopyBlocks(frame, 300), 900);
    }
}

// Copy blocks repeat the block before in coding order. The copy decision must
// hold in mirrored decoding too, where the planes are limited to 16..240.
TEST(EncodeFrame, CopyBlocksReproduceTheirBlockWithAndWithoutFlip) {
    const RgbPicture picture = Tiles(320, 240);
    const EncodedFrame frame = EncodeFrame(picture, 8);
    const auto plain = Decode(frame, 320, 240, false, tools::FrameFormat::Iyuv).bytes;
    const auto mirrored = Decode(frame, 320, 240, true, tools::FrameFormat::Iyuv).bytes;
    EXPECT_GE(CountCopyBlocks(frame, 300), 900);  // luma blocks 1..3 of each macroblock
    EXPECT_GT(tools::LumaPsnr(picture, tools::FromIyuv(plain, 320, 240)), 40);
    // Y plane, then U and V at half size: row by row, mirrored and limited.
    auto check = [&](std::size_t offset, int width, int height) {
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const int value = plain[offset + static_cast<std::size_t>(y) * width + x];
                ASSERT_EQ(mirrored[offset + static_cast<std::size_t>(y) * width + (width - 1 - x)],
                          std::clamp(value, 16, 240))
                    << "plane offset " << offset << " pixel " << x << "," << y;
            }
    };
    check(0, 320, 240);
    check(320 * 240, 160, 120);
    check(320 * 240 * 5 / 4, 160, 120);
}

TEST(EncodeFrame, RaisesTheLevelUntilTheFrameFits) {
    const RgbPicture noise = Noise(800, 592, 2);
    const EncodedFrame fine = EncodeFrame(noise, 0);
    ExpectCameraForm(fine);
    EXPECT_TRUE(fine.LevelRaised());
    EXPECT_NE(fine.levelUsed, 0);
    // The frame decodes at the level it reports.
    const auto decoded = Decode(fine, 800, 592, false, tools::FrameFormat::Rgb24);
    EXPECT_GT(tools::RgbPsnr(noise, tools::FromBottomUpBgr(decoded.bytes, 800, 592)), 8);

    // A photograph-like picture fits at the level asked for.
    const EncodedFrame tiles = EncodeFrame(Tiles(800, 592), 0);
    EXPECT_FALSE(tiles.LevelRaised());
    EXPECT_EQ(tiles.levelUsed, 0);
}

TEST(EncodeFrame, RefusesWhatItCannotCode) {
    EXPECT_THROW(EncodeFrame(Flat(320, 480, 0, 0, 0), 2), std::invalid_argument);
    EXPECT_THROW(EncodeFrame(Flat(16, 16, 0, 0, 0), 2), std::invalid_argument);
    EXPECT_THROW(EncodeFrame(Flat(320, 240, 0, 0, 0), -1), std::invalid_argument);
    EXPECT_THROW(EncodeFrame(Flat(320, 240, 0, 0, 0), 10), std::invalid_argument);
    RgbPicture shortData = Flat(320, 240, 0, 0, 0);
    shortData.rgb.pop_back();
    EXPECT_THROW(EncodeFrame(shortData, 2), std::invalid_argument);
}

TEST(FitToSize, SameSizeIsAnExactCopy) {
    const RgbPicture picture = Noise(64, 48, 3);
    EXPECT_EQ(FitToSize(picture, 64, 48).rgb, picture.rgb);
}

// A picture of three vertical bands (red | green | blue), fitted to sizes
// of other shapes: the middle is kept, the picture is not stretched.
TEST(FitToSize, ScalesToCoverAndCutsTheMiddle) {
    RgbPicture bands(300, 100);
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 300; ++x) bands.Pixel(x, y)[x / 100] = 255;
    struct Case {
        int width, height;
    } cases[] = {{100, 100}, {50, 50}, {320, 240}, {640, 480}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        const RgbPicture fitted = FitToSize(bands, c.width, c.height);
        ASSERT_EQ(fitted.width, c.width);
        ASSERT_EQ(fitted.height, c.height);
        const std::uint8_t* centre = fitted.Pixel(c.width / 2, c.height / 2);
        EXPECT_EQ(centre[0], 0);
        EXPECT_EQ(centre[1], 255);
        EXPECT_EQ(centre[2], 0);
    }
    // Halving averages neighbours rather than picking one of them.
    RgbPicture stripes(64, 64);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) std::fill_n(stripes.Pixel(x, y), 3, x % 2 ? 200 : 100);
    const RgbPicture half = FitToSize(stripes, 32, 32);
    EXPECT_NEAR(half.Pixel(16, 16)[0], 150, 2);
    EXPECT_THROW(FitToSize(RgbPicture(), 10, 10), std::invalid_argument);
    EXPECT_THROW(FitToSize(bands, 0, 10), std::invalid_argument);
}

}  // namespace
}  // namespace torvex::sim
