// encode-still and decode-still, run as a user runs them.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>

#include "decoder/dcmp_enhance.h"
#include "decoder/dcmp_still.h"
#include "tools/imageio.h"
#include "tools/tests/cli_test.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

using torvex::tools::ReadBytes;
using CliStill = torvex::tools::CliTest;

class CliStillPhoto : public CliStill, public ::testing::WithParamInterface<const char*> {};

// The raw files are exactly the data source's buffers: the decode buffer, and
// the enhanced bitmap from row 479 up.
TEST_P(CliStillPhoto, RawOutputIsTheDecodeBufferOrTheEnhancedBitmapBottomUp)
{
    const std::string photo = std::string(TORVEX_PHOTOS_DIR) + "/" + GetParam();
    ASSERT_EQ(Run("encode-still '" + photo + "' picture.still").status, 0);
    ASSERT_EQ(Run("decode-still --no-enhance picture.still plain.raw").status, 0);
    ASSERT_EQ(Run("decode-still --no-enhance --simd scalar picture.still scalar.raw").status, 0);
    ASSERT_EQ(Run("decode-still picture.still enhanced.raw").status, 0);
    ASSERT_EQ(Run("decode-still picture.still enhanced.png").status, 0);

    const Bytes stored = ReadBytes(Path("picture.still"));
    Bytes decoded(DCMP_STILL_PICTURE_BYTES);
    ASSERT_EQ(Dcmp_DecodeStill(1, 2, 0, 0, 0, decoded.data(), stored.size(), stored.data()), 1);
    EXPECT_EQ(ReadBytes(Path("plain.raw")), decoded);
    EXPECT_EQ(ReadBytes(Path("scalar.raw")), decoded);

    auto bitmap = std::make_unique<DcmpStillBitmap>();
    Dcmp_StillToBitmap(decoded.data(), bitmap.get());
    Bytes enhanced;
    for (int row = 479; row >= 0; row--)
        enhanced.insert(enhanced.end(), bitmap->ScanLine(row), bitmap->ScanLine(row) + DCMP_STILL_STRIDE);
    EXPECT_EQ(ReadBytes(Path("enhanced.raw")), enhanced);

    const torvex::tools::RgbPicture png = torvex::tools::DecodeImage(ReadBytes(Path("enhanced.png")));
    ASSERT_EQ(png.width, 640);
    ASSERT_EQ(png.height, 480);
    // Top-left pixel of the image file is bitmap row 0, column 0 (blue, green, red there).
    EXPECT_EQ(png.rgb[0], bitmap->ScanLine(0)[2]);
    EXPECT_EQ(png.rgb[2], bitmap->ScanLine(0)[0]);
}

INSTANTIATE_TEST_SUITE_P(Photos, CliStillPhoto, ::testing::Values("astronaut.png", "chelsea.png", "coffee.png"),
                         [](const auto& info) {
                             const std::string name = info.param;
                             return name.substr(0, name.find('.'));
                         });

TEST_F(CliStill, BadInputGetsOneLineAndNoOutput)
{
    const std::string photo = std::string(TORVEX_PHOTOS_DIR) + "/chelsea.png";
    ASSERT_EQ(Run("encode-still '" + photo + "' good.still").status, 0);
    const Bytes good = ReadBytes(Path("good.still"));
    std::ofstream(Path("half.still"), std::ios::binary)
        .write(reinterpret_cast<const char*>(good.data()), static_cast<std::streamsize>(good.size() / 2));
    std::ofstream(Path("nostart.still"), std::ios::binary) << "\x11\x22";
    struct Case {
        std::string args;
        std::string message;
    } cases[] = {
        {"decode-still half.still out.raw", "half.still: incomplete stored picture: "},
        {"decode-still half.still out.raw", " of 1200 macroblock markers and "},
        {"decode-still half.still out.raw", " of 7200 block markers"},
        {"decode-still nostart.still out.raw", "nostart.still: incomplete stored picture: no start marker"},
        {"decode-still good.still out.jpg", "out.jpg: unknown output type"},
        {"decode-still missing.still out.raw", "missing.still"},
        {"decode-still good.still out.raw --simd mmx", "--simd"},
        {"encode-still '" + photo + "' out.raw --quality 10", "--quality"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        ExpectRefusal(Run(c.args), c.message);
        for (const char* name : {"out.raw", "out.jpg"})
            EXPECT_FALSE(fs::exists(Path(name))) << name;
    }
}

}  // namespace
