// The torvex command line, run as a user runs it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>

#include "decoder/dcmp.h"
#include "tools/frame_tools.h"
#include "tools/imageio.h"
#include "tools/tests/cli_test.h"

namespace torvex::tools {
namespace {

namespace fs = std::filesystem;

const std::string kPhoto = std::string(TORVEX_PHOTOS_DIR) + "/astronaut.png";

using Cli = CliTest;

TEST_F(Cli, HelpAndVersionGoToStandardOutput) {
    struct Case {
        const char* args;
        const char* expected;
    } cases[] = {
        {"--help", "encode-frame"},
        {"--version", "torvex 0.1.0"},
        {"decode-frame --help", "--rotation"},
        {"encode-frame --help", "--quality"},
        {"encode-still --help", "--quality"},
        {"decode-still --help", "--no-enhance"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const Result result = Run(c.args);
        EXPECT_EQ(result.status, 0);
        EXPECT_NE(result.out.find(c.expected), std::string::npos) << result.out;
        EXPECT_EQ(result.err, "");
    }
}

TEST_F(Cli, BadInputGetsOneLineAndNoOutputFile) {
    ASSERT_EQ(Run("encode-frame '" + kPhoto + "' --size 320x240 good.frame").status, 0);
    std::vector<std::uint8_t> longFrame(DCMP_MAX_FRAME_BYTES + 1, 0x81);
    longFrame[0] = 0x00;
    longFrame[1] = 0x01;
    Write("long.frame", longFrame);
    Write("text.txt", {'h', 'e', 'l', 'l', 'o'});
    Write("empty.frame", {});
    const std::string photo = "'" + kPhoto + "'";
    struct Case {
        std::string args;
        std::string message;  // part of the line after "torvex: "
    } cases[] = {
        {"encode-frame missing.png --size 320x240 out.frame", "missing.png: No such file"},
        {"encode-frame text.txt --size 320x240 out.frame", "text.txt: not a PNG, JPEG, BMP or PPM"},
        {"encode-frame " + photo + " --size 320x480 out.frame", "--size 320x480: output size not supported"},
        {"encode-frame " + photo + " --size 320by240 out.frame", "expected WxH"},
        {"encode-frame " + photo + " --size 320x240 --quality 10 out.frame", "--quality"},
        {"encode-frame " + photo + " --size 320x240 nowhere/out.frame", "nowhere/out.frame: No such file"},
        {"decode-frame --size 320x240 --rotation 4 good.frame out.raw", "--rotation"},
        {"decode-frame --size 320x240 --quality -1 good.frame out.raw", "--quality"},
        {"decode-frame --size 320x240 --format yuy2 good.frame out.raw", "--format"},
        {"decode-frame --size 320x240 long.frame out.raw", "long.frame: frame is 142233 bytes"},
        {"decode-frame --size 320x240 empty.frame out.raw", "empty.frame: empty file"},
        {"decode-frame --size 320x480 good.frame out.raw", "good.frame: output size 320x480 is not supported"},
        {"decode-frame --size 320x240 good.frame out.jpg", "out.jpg: unknown output type"},
        {"decode-frame --size 320x240 good.frame", "OUTPUT"},
        {"frobnicate", "frobnicate"},
        {"", "subcommand"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const Result result = Run(c.args);
        ExpectRefusal(result, c.message);
        EXPECT_EQ(result.out, "");
        for (const char* name : {"out.frame", "out.raw", "out.jpg"}) EXPECT_FALSE(fs::exists(Path(name))) << name;
    }
    // No temporary file is left behind either.
    for (const auto& entry : fs::directory_iterator(dir_))
        EXPECT_EQ(entry.path().filename().string().find(".frame."), std::string::npos) << entry.path();
}

// The driver's way to decode, written out here independently of the tool.
std::vector<std::uint8_t> DirectDecode(const std::vector<std::uint8_t>& frame, int width, int height, int quality,
                                       bool flip, int rotation, bool iyuv) {
    DcmpContext ctx{};
    ctx.outWidth = width;
    ctx.outHeight = height;
    ctx.qualityLevel = quality;
    ctx.flip = flip;
    EXPECT_EQ(Dcmp_Initialize(&ctx), 1);
    std::vector<std::uint8_t> frameBuffer(DCMP_FRAME_BUFFER_BYTES, 0);
    std::copy(frame.begin(), frame.end(), frameBuffer.begin());
    ctx.srcFrame = frameBuffer.data();
    ctx.srcFrameSize = frameBuffer.size();
    ctx.rotation = static_cast<int16_t>(rotation);
    std::vector<std::uint8_t> data;
    if (iyuv) {
        data.resize(static_cast<std::size_t>(ctx.decWidth) * ctx.decHeight * 3 / 2);
        ctx.dstPicture = data.data();
        Dcmp_Decmpfrm420_IYUV(&ctx);
    } else {
        data.resize(static_cast<std::size_t>(width) * height * 3);
        if (width == 176 || width == 160 || ctx.scaleMode == 4) {
            ctx.dstPicture = ctx.workBuf + (ctx.decHeight - 1) * ctx.decWidth * 3;
            ctx.dstFinal = data.data();
        } else {
            ctx.dstPicture = data.data() + (height - 1) * width * 3;
        }
        Dcmp_Decmpfrm420(&ctx);
    }
    Dcmp_Release(&ctx);
    return data;
}

// The decoder ignores the frame header, so a frame whose first bytes are not a
// frame start decodes to the same picture; the tool only warns about it.
TEST_F(Cli, DecodeFrameIgnoresHeaderBytesButWarns) {
    ASSERT_EQ(Run("encode-frame '" + kPhoto + "' --size 320x240 good.frame").status, 0);
    std::vector<std::uint8_t> odd = ReadBytes(Path("good.frame"));
    std::fill(odd.begin(), odd.begin() + DCMP_FRAME_HEADER_BYTES, 0x5A);
    Write("odd.frame", odd);

    ASSERT_EQ(Run("decode-frame --size 320x240 good.frame good.raw").status, 0);
    const Result result = Run("decode-frame --size 320x240 odd.frame odd.raw");
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.err.find("odd.frame: warning: does not start like a camera frame"), std::string::npos)
        << result.err;
    EXPECT_EQ(ReadBytes(Path("odd.raw")), ReadBytes(Path("good.raw")));
}

TEST_F(Cli, DecodeFrameRawIsWhatTheDriverWouldWrite) {
    struct Case {
        int width, height, quality;
        bool flip;
        int rotation;
        bool iyuv;
        std::size_t rawBytes;
    } cases[] = {
        {640, 480, 2, false, 0, false, 640 * 480 * 3},
        {176, 144, 0, true, 1, false, 176 * 144 * 3},
        {160, 120, 5, false, 2, false, 160 * 120 * 3},
        {352, 288, 7, true, 3, false, 352 * 288 * 3},
        {240, 180, 2, true, 1, false, 240 * 180 * 3},  // cut from the middle
        {800, 592, 8, false, 2, false, 800 * 592 * 3},
        {320, 240, 9, true, 0, true, 320 * 240 * 3 / 2},
        {176, 144, 3, false, 0, true, 320 * 240 * 3 / 2},  // planar output is at the coded size
    };
    for (const Case& c : cases) {
        const std::string size = std::to_string(c.width) + "x" + std::to_string(c.height);
        SCOPED_TRACE(size + " rotation " + std::to_string(c.rotation) + (c.flip ? " flip" : "") +
                     (c.iyuv ? " iyuv" : ""));
        const std::string quality = " --quality " + std::to_string(c.quality);
        const Result encoded = Run("encode-frame '" + kPhoto + "' --size " + size + quality + " in.frame");
        ASSERT_EQ(encoded.status, 0) << encoded.err;
        const Result decoded = Run("decode-frame --size " + size + quality + (c.flip ? " --flip" : "") +
                                   " --rotation " + std::to_string(c.rotation) +
                                   (c.iyuv ? " --format iyuv" : "") + " in.frame out.raw");
        ASSERT_EQ(decoded.status, 0) << decoded.err;
        const auto raw = ReadBytes(Path("out.raw"));
        EXPECT_EQ(raw.size(), c.rawBytes);
        EXPECT_TRUE(raw == DirectDecode(ReadBytes(Path("in.frame")), c.width, c.height, c.quality, c.flip,
                                        c.rotation, c.iyuv));
    }
}

TEST_F(Cli, StandardStreamsAndPictureFiles) {
    // Photograph in through standard input, frame out through standard output.
    const Result encoded = Run("encode-frame - --size 320x240 -", kPhoto);
    ASSERT_EQ(encoded.status, 0) << encoded.err;
    fs::rename(Path("stdout.txt"), Path("in.frame"));
    ASSERT_EQ(Run("decode-frame --size 320x240 - out.png", Path("in.frame").string()).status, 0);
    ASSERT_EQ(Run("decode-frame --size 320x240 in.frame out.bmp").status, 0);
    ASSERT_EQ(Run("decode-frame --size 320x240 in.frame -").status, 0);
    const RgbPicture png = DecodeImage(ReadBytes(Path("out.png")));
    EXPECT_EQ(DecodeImage(ReadBytes(Path("out.bmp"))).rgb, png.rgb);
    EXPECT_EQ(FromBottomUpBgr(ReadBytes(Path("stdout.txt")), 320, 240).rgb, png.rgb);
    const RgbPicture reference = sim::FitToSize(DecodeImage(ReadAll(kPhoto)), 320, 240);
    EXPECT_GT(LumaPsnr(reference, png), 30);
    // Planar output as a picture file goes through the decoder's colour conversion.
    ASSERT_EQ(Run("decode-frame --size 320x240 --format iyuv in.frame planar.png").status, 0);
    EXPECT_EQ(DecodeImage(ReadBytes(Path("planar.png"))).rgb, png.rgb);
}

TEST_F(Cli, SaysSoWhenTheLevelIsRaised) {
    // Noise does not fit at the finest levels of the largest size.
    std::string ppm = "P6 800 592 255\n";
    std::mt19937 random(9);
    for (int i = 0; i < 800 * 592 * 3; ++i) ppm.push_back(static_cast<char>(random()));
    Write("noise.ppm", {ppm.begin(), ppm.end()});
    const Result result = Run("encode-frame noise.ppm --size 800x592 --quality 0 noise.frame");
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.err.find("did not fit 142232 bytes at quality level 0"), std::string::npos) << result.err;
    EXPECT_LE(fs::file_size(Path("noise.frame")), DCMP_MAX_FRAME_BYTES);
}

}  // namespace
}  // namespace torvex::tools
