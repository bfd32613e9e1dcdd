// Reading and writing picture files.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>


#include "tools/imageio.h"

namespace torvex::tools {
namespace {

RgbPicture Sample(int width, int height) {
    RgbPicture picture(width, height);
    std::mt19937 random(5);
    for (auto& byte : picture.rgb) byte = static_cast<std::uint8_t>(random());
    return picture;
}

std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

// A JPEG made with libjpeg, as a camera or a photo program would write it.
std::vector<std::uint8_t> MakeJpeg(const RgbPicture& picture) { return EncodeJpeg(picture, 100); }

TEST(ImageIo, PngAndBmpRoundTripExactly) {
    // Odd width: BMP rows need padding.
    const RgbPicture picture = Sample(13, 7);
    EXPECT_EQ(DecodeImage(EncodePng(picture)).rgb, picture.rgb);
    const auto bmp = EncodeBmp(picture);
    EXPECT_EQ(bmp.size(), 54u + 7 * 40);
    const RgbPicture back = DecodeImage(bmp);
    EXPECT_EQ(back.width, 13);
    EXPECT_EQ(back.rgb, picture.rgb);
}

TEST(ImageIo, ReadsTopDownAnd32BitBmp) {
    // 2 x 2, top-down (negative height), 32 bits: blue, green, red, unused.
    std::vector<std::uint8_t> bmp(54 + 16, 0);
    auto put32 = [&](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) bmp[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    bmp[0] = 'B';
    bmp[1] = 'M';
    put32(10, 54);
    put32(14, 40);
    put32(18, 2);
    put32(22, static_cast<std::uint32_t>(-2));
    bmp[28] = 32;
    const std::uint8_t pixels[16] = {1, 2, 3, 0, 4, 5, 6, 0, 7, 8, 9, 0, 10, 11, 12, 0};
    std::copy(pixels, pixels + 16, bmp.begin() + 54);
    const RgbPicture picture = DecodeImage(bmp);
    EXPECT_EQ(picture.rgb, (std::vector<std::uint8_t>{3, 2, 1, 6, 5, 4, 9, 8, 7, 12, 11, 10}));
}

TEST(ImageIo, ReadsPpmWithCommentsAndWideSamples) {
    EXPECT_EQ(DecodeImage(Bytes("P6\n# made by hand\n2 1\n255\nabcdef")).rgb, Bytes("abcdef"));
    std::vector<std::uint8_t> wide = Bytes("P6 1 1 65535\n");
    for (std::uint8_t b : {0xFF, 0xFF, 0x80, 0x00, 0x00, 0x00}) wide.push_back(b);
    EXPECT_EQ(DecodeImage(wide).rgb, (std::vector<std::uint8_t>{255, 128, 0}));
}

TEST(ImageIo, ReadsJpeg) {
    RgbPicture smooth(32, 16);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 32; ++x) {
            std::uint8_t* p = smooth.Pixel(x, y);
            p[0] = static_cast<std::uint8_t>(x * 8);
            p[1] = static_cast<std::uint8_t>(y * 16);
            p[2] = 100;
        }
    const RgbPicture picture = DecodeImage(MakeJpeg(smooth));
    ASSERT_EQ(picture.width, 32);
    ASSERT_EQ(picture.height, 16);
    for (std::size_t i = 0; i < picture.rgb.size(); ++i) EXPECT_NEAR(picture.rgb[i], smooth.rgb[i], 8) << i;
}

// Broken and unsupported files are refused with a message, never read out of bounds.
TEST(ImageIo, RefusesBadFiles) {
    const auto png = EncodePng(Sample(8, 8));
    const auto bmp = EncodeBmp(Sample(8, 8));
    const auto jpeg = MakeJpeg(Sample(16, 16));
    auto cut = [](std::vector<std::uint8_t> bytes, std::size_t keep) {
        bytes.resize(keep);
        return bytes;
    };
    auto patched = [](std::vector<std::uint8_t> bytes, std::size_t at, std::uint8_t value) {
        bytes[at] = value;
        return bytes;
    };
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
    } cases[] = {
        {"empty", {}},
        {"text", Bytes("hello, world")},
        {"PNG cut short", cut(png, png.size() / 2)},
        {"PNG signature only", cut(png, 8)},
        {"BMP pixels cut short", cut(bmp, bmp.size() - 10)},
        {"BMP header only", cut(bmp, 20)},
        {"BMP with 8-bit pixels", patched(bmp, 28, 8)},
        {"BMP compressed", patched(bmp, 30, 1)},
        {"BMP huge width", patched(bmp, 21, 0x7F)},
        {"JPEG cut short", cut(jpeg, jpeg.size() / 2)},
        {"JPEG marker only", cut(jpeg, 3)},
        {"PPM pixels cut short", Bytes("P6 4 4 255\nabc")},
        {"PPM maxval zero", Bytes("P6 1 1 0\nabc")},
        {"PPM huge size", Bytes("P6 999999 999999 255\n")},
        {"PPM no header numbers", Bytes("P6 x")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_THROW(DecodeImage(c.bytes), ImageError);
    }
}

}  // namespace
}  // namespace torvex::tools
