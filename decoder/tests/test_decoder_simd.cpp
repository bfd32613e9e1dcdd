// Every vector path gives exactly the scalar path's bytes: on photographs
// encoded at every quality level, on random frames that reach every code
// kind, copy blocks, saturating coefficients and cut-off frames at every
// output size, mirror setting and rotation; and the colour conversion of
// every (Y, U, V) triple on every path, scalar included, equals the
// contribution tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "dcmp.h"
#include "dcmp_still.h"
#include "sim/encoder/encoder.h"
#include "sim/encoder/still_encoder.h"
#include "simd/dcmp_kernels.h"
#include "simd/dcmp_simd.h"
#include "tools/frame_tools.h"
#include "tools/imageio.h"

namespace {

struct DecodeSetup {
    int32_t width, height;  // requested output size
    int32_t quality;
    int32_t flip;
    int16_t rotation;
    bool planar;
};

std::string Describe(const DecodeSetup& s, int32_t path)
{
    return std::string(Dcmp_SimdPathName(path)) + " " + std::to_string(s.width) + "x" +
           std::to_string(s.height) + " quality " + std::to_string(s.quality) + " flip " + std::to_string(s.flip) +
           " rotation " + std::to_string(s.rotation) + (s.planar ? " iyuv" : " rgb24");
}

// One context per set-up, decoding on any path.
class PathDecoder {
public:
    explicit PathDecoder(const DecodeSetup& setup) : setup_(setup)
    {
        ctx_.outWidth = setup.width;
        ctx_.outHeight = setup.height;
        ctx_.qualityLevel = setup.quality;
        ctx_.flip = setup.flip;
        ready_ = Dcmp_Initialize(&ctx_) == 1;
    }
    ~PathDecoder() { Dcmp_Release(&ctx_); }
    PathDecoder(const PathDecoder&) = delete;
    PathDecoder& operator=(const PathDecoder&) = delete;

    bool ready() const { return ready_; }

    // Decodes `frame` (readable bytes: exactly those given) on `path`. The
    // planes are first filled with `stale` so that nothing may depend on
    // what an earlier frame left.
    std::vector<uint8_t> Decode(const std::vector<uint8_t>& frame, int32_t path, uint8_t stale = 0x5A)
    {
        EXPECT_EQ(Dcmp_SetSimdPath(&ctx_, path), 1);
        const std::size_t planeBytes = static_cast<std::size_t>(ctx_.decWidth) * ctx_.decHeight;
        std::memset(ctx_.planeY, stale, planeBytes);
        std::memset(ctx_.planeU, stale, planeBytes);
        std::memset(ctx_.planeV, stale, planeBytes);
        ctx_.srcFrame = frame.data();
        ctx_.srcFrameSize = frame.size();
        ctx_.rotation = setup_.rotation;
        std::vector<uint8_t> out;
        if (setup_.planar) {
            out.assign(planeBytes * 3 / 2, 0);
            ctx_.dstPicture = out.data();
            Dcmp_Decmpfrm420_IYUV(&ctx_);
            return out;
        }
        const std::size_t rowBytes = static_cast<std::size_t>(ctx_.outWidth) * 3;
        out.assign(rowBytes * ctx_.outHeight, 0);
        if (ctx_.scaleMode >= 2) {
            ctx_.dstPicture = ctx_.workBuf + (planeBytes - ctx_.decWidth) * 3;
            ctx_.dstFinal = out.data();
        } else {
            ctx_.dstPicture = out.data() + out.size() - rowBytes;
        }
        EXPECT_EQ(Dcmp_Decmpfrm420(&ctx_), 1);
        return out;
    }

    int32_t decWidth() const { return ctx_.decWidth; }
    int32_t decHeight() const { return ctx_.decHeight; }
    int32_t mbCount() const { return ctx_.mbCount; }

private:
    DecodeSetup setup_;
    DcmpContext ctx_{};
    bool ready_ = false;
};

// Compares the bytes of every supported vector path with the scalar bytes.
void ExpectAllPathsMatchScalar(const DecodeSetup& setup, const std::vector<uint8_t>& frame)
{
    PathDecoder decoder(setup);
    ASSERT_TRUE(decoder.ready()) << Describe(setup, DCMP_PATH_SCALAR);
    const std::vector<uint8_t> reference = decoder.Decode(frame, DCMP_PATH_SCALAR);
    for (int32_t path = DCMP_PATH_SSE2; path < DCMP_PATH_COUNT; path++) {
        if (!Dcmp_SimdPathSupported(path))
            continue;
        // Another stale plane content: a path must not read what it did not write.
        const std::vector<uint8_t> out = decoder.Decode(frame, path, 0xA5);
        ASSERT_EQ(out.size(), reference.size());
        std::size_t first = 0;
        while (first < out.size() && out[first] == reference[first])
            first++;
        EXPECT_EQ(first, out.size()) << Describe(setup, path) << ": first differing byte " << first << " is "
                                     << int(out[first]) << ", scalar " << int(reference[first]);
    }
}

TEST(SimdPaths, DispatchChoosesTheBestSupportedPathAndRefusesOthers)
{
    EXPECT_EQ(Dcmp_SimdPathSupported(DCMP_PATH_SCALAR), 1);
    EXPECT_EQ(Dcmp_SimdPathSupported(-1), 0);
    EXPECT_EQ(Dcmp_SimdPathSupported(DCMP_PATH_COUNT), 0);
    const int32_t best = Dcmp_BestSimdPath();
    EXPECT_EQ(Dcmp_SimdPathSupported(best), 1);
    for (int32_t path = best + 1; path < DCMP_PATH_COUNT; path++)
        EXPECT_EQ(Dcmp_SimdPathSupported(path), 0);

    DcmpContext ctx{};
    ctx.outWidth = 320;
    ctx.outHeight = 240;
    ASSERT_EQ(Dcmp_Initialize(&ctx), 1);
    EXPECT_EQ(ctx.simdPath, best);
    EXPECT_EQ(Dcmp_SetSimdPath(&ctx, DCMP_PATH_SCALAR), 1);
    EXPECT_EQ(ctx.simdPath, DCMP_PATH_SCALAR);
    EXPECT_EQ(Dcmp_SetSimdPath(&ctx, 7), 0);
    EXPECT_EQ(ctx.simdPath, DCMP_PATH_SCALAR);
    Dcmp_Release(&ctx);

    for (int32_t path = 0; path < DCMP_PATH_COUNT; path++)
        EXPECT_EQ(Dcmp_SimdPathFromName(Dcmp_SimdPathName(path)), path);
    EXPECT_EQ(Dcmp_SimdPathFromName("avx1024"), -1);
    EXPECT_EQ(Dcmp_SimdPathName(DCMP_PATH_COUNT), nullptr);
}

// Photographs through the camera encoder at both video sizes and every quality level.
TEST(SimdPaths, PhotographFramesAtEveryQualityLevel)
{
    for (const char* photo : {"astronaut.png", "chelsea.png", "coffee.png"}) {
        const torvex::sim::RgbPicture original = torvex::tools::DecodeImage(
            torvex::tools::ReadAll(std::string(TORVEX_PHOTOS_DIR) + "/" + photo));
        for (auto [width, height] : {std::pair{320, 240}, std::pair{640, 480}}) {
            const torvex::sim::RgbPicture picture = torvex::sim::FitToSize(original, width, height);
            for (int level = 0; level <= 8; level++) {
                SCOPED_TRACE(std::string(photo) + " level " + std::to_string(level));
                const torvex::sim::EncodedFrame encoded = torvex::sim::EncodeFrame(picture, level);
                std::vector<uint8_t> frame(DCMP_FRAME_BUFFER_BYTES, 0);
                std::copy(encoded.bytes.begin(), encoded.bytes.end(), frame.begin());
                for (bool planar : {false, true})
                    ExpectAllPathsMatchScalar({width, height, encoded.levelUsed, 0, 0, planar}, frame);
            }
        }
    }
}

// Random frames: every code kind with random bytes, copy blocks, runs of
// large values that saturate the transform, and stray bytes.
std::vector<uint8_t> RandomFrame(std::mt19937& random, int macroblocks, bool extreme)
{
    std::vector<uint8_t> frame = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05};
    auto byte = [&random] { return static_cast<uint8_t>(random() & 0xFF); };
    for (int mb = 0; mb < macroblocks; mb++) {
        frame.insert(frame.end(), {byte(), byte(), byte()});
        for (int b = 0; b < 6; b++) {
            const unsigned choice = random() % 16;
            if (choice == 0) {  // copy block
                frame.insert(frame.end(), {static_cast<uint8_t>(0xC0 | (byte() & 0x3F)), byte()});
                continue;
            }
            uint8_t head = byte();
            if ((head & 0xC0) == 0xC0)
                head &= 0x7F;
            frame.push_back(head);
            const int codes = choice == 1 ? 0 : static_cast<int>(random() % (choice < 8 ? 12 : 70));
            for (int i = 0; i < codes; i++) {
                uint8_t c = byte();
                if (extreme)  // large values of the greatest size, next code large again
                    c = static_cast<uint8_t>(0xC0 | (random() % 2 ? 0x0F : 0x10) | (c & 0x20));
                if (c == 0)
                    c = 0x80;
                frame.push_back(c);
                frame.push_back(extreme ? static_cast<uint8_t>(random() % 2 ? 0x7F : 0x00) : byte());
            }
            frame.push_back(0x00);
        }
    }
    return frame;
}

class SimdRandomFrames : public ::testing::TestWithParam<std::pair<int32_t, int32_t>> {};

TEST_P(SimdRandomFrames, EveryQualityMirrorRotationAndFormatMatchesScalar)
{
    const auto [width, height] = GetParam();
    std::mt19937 random(static_cast<uint32_t>(width * 1000 + height));
    PathDecoder probe({width, height, 2, 0, 0, false});
    ASSERT_TRUE(probe.ready());
    for (int quality = 0; quality <= 9; quality++) {
        const bool extreme = quality % 3 == 0 || quality == 7;
        std::vector<uint8_t> frame = RandomFrame(random, probe.mbCount(), extreme);
        // Every third frame is cut off part way through its blocks.
        if (quality % 3 == 1)
            frame.resize(frame.size() * (random() % 90 + 5) / 100);
        for (int32_t flip : {0, 1}) {
            const int16_t rotation = static_cast<int16_t>((quality + flip) % 4);
            ExpectAllPathsMatchScalar({width, height, quality, flip, rotation, false}, frame);
            if (quality % 4 == 0)
                ExpectAllPathsMatchScalar({width, height, quality, flip, 0, true}, frame);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(OutputSizes, SimdRandomFrames,
                         ::testing::Values(std::pair{320, 240}, std::pair{640, 480}, std::pair{800, 592},
                                           std::pair{352, 288}, std::pair{176, 144}, std::pair{160, 120},
                                           std::pair{240, 180}, std::pair{600, 400}, std::pair{352, 240}, std::pair{640, 479},
                                           std::pair{800, 591}),
                         [](const auto& info) {
                             return std::to_string(info.param.first) + "x" + std::to_string(info.param.second);
                         });

// The tool's decode: a forced path gives the automatic path's bytes, and
// repeated decodes with one context give the same bytes once more.
TEST(SimdPaths, ToolDecodeOnAForcedPathRepeated)
{
    const torvex::sim::RgbPicture picture = torvex::sim::FitToSize(
        torvex::tools::DecodeImage(torvex::tools::ReadAll(std::string(TORVEX_PHOTOS_DIR) + "/chelsea.png")), 320,
        240);
    const torvex::sim::EncodedFrame frame = torvex::sim::EncodeFrame(picture, 2);
    torvex::tools::FrameDecodeOptions options;
    options.rotation = 2;
    const torvex::tools::DecodedFrame automatic = torvex::tools::DecodeFrame(frame.bytes, options);
    options.simdPath = DCMP_PATH_SCALAR;
    options.repeat = 3;
    const torvex::tools::DecodedFrame repeated = torvex::tools::DecodeFrame(frame.bytes, options);
    EXPECT_EQ(repeated.bytes, automatic.bytes);
    EXPECT_GT(repeated.medianMs, 0);

    options.repeat = 0;
    EXPECT_THROW(torvex::tools::DecodeFrame(frame.bytes, options), torvex::tools::InputError);
    options.repeat = 1;
    options.simdPath = DCMP_PATH_COUNT;
    EXPECT_THROW(torvex::tools::DecodeFrame(frame.bytes, options), torvex::tools::InputError);
}

// Frames with copy blocks: at the first block, across planes, single ones
// between coded blocks, and runs longer than a batch carries.
TEST(SimdPaths, CopyBlocksSinglyAndInLongRuns)
{
    const std::vector<uint8_t> coded = {0x30, 0x25, 0x11, 0x40, 0x9B, 0x00};  // a large value, then two small
    using Pattern = bool (*)(int);
    const Pattern patterns[] = {
        [](int n) { return n % 3 == 0; },
        [](int n) { return n % 50 >= 5; },  // runs of 45 copies after 5 coded blocks
        [](int n) { return n % 7 == 6 || n % 11 == 10; },
    };
    for (Pattern isCopy : patterns) {
        std::vector<uint8_t> frame = {0x00, 0x01, 0, 0, 0, 0};
        for (int n = 0; n < 300 * 6; n++) {
            if (n % 6 == 0)
                frame.insert(frame.end(), {1, 2, 3});
            if (isCopy(n))
                frame.insert(frame.end(), {0xC0, 0x00});
            else
                frame.insert(frame.end(), coded.begin(), coded.end());
        }
        frame.push_back(0x00);
        for (int32_t flip : {0, 1})
            for (bool planar : {false, true})
                ExpectAllPathsMatchScalar({320, 240, 2, flip, 0, planar}, frame);
    }
}

// A stored picture decodes to the same bytes on every path; a path the
// processor does not run, or no path, is refused and leaves the picture alone.
TEST(SimdPaths, StoredPictureOnEveryPath)
{
    const torvex::sim::RgbPicture picture = torvex::sim::FitToSize(
        torvex::tools::DecodeImage(torvex::tools::ReadAll(std::string(TORVEX_PHOTOS_DIR) + "/coffee.png")),
        torvex::sim::kStillWidth, torvex::sim::kStillHeight);
    const std::vector<uint8_t> stored = torvex::sim::EncodeStill(picture, {}).bytes;
    auto decode = [&](int32_t path, std::vector<uint8_t>* out) {
        out->assign(DCMP_STILL_PICTURE_BYTES, 0x77);
        return Dcmp_DecodeStillOnPath(path, DCMP_STILL_SIZE_VGA, DCMP_STILL_BLOCKS_420, 0, 0, 0, out->data(),
                                      stored.size(), stored.data());
    };
    std::vector<uint8_t> reference, out;
    ASSERT_EQ(decode(DCMP_PATH_SCALAR, &reference), 1);
    for (int32_t path = DCMP_PATH_SSE2; path < DCMP_PATH_COUNT; path++) {
        if (Dcmp_SimdPathSupported(path)) {
            EXPECT_EQ(decode(path, &out), 1) << Dcmp_SimdPathName(path);
            EXPECT_TRUE(out == reference) << Dcmp_SimdPathName(path);
        }
    }
    for (int32_t path : {-1, DCMP_PATH_COUNT}) {
        EXPECT_EQ(decode(path, &out), 0) << path;
        EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == 0x77; })) << path;
    }
}

// The picture the contribution tables give for the context's planes: each
// channel the sum of the Y0, u0 and v0 entries limited to 0..255, at the
// place the conversion puts the pixel (the CIF spreading leaves column 6 of
// every 11 and row 3 of every 6 as they were).
void TableConversion(const DcmpContext& ctx, bool cif, int32_t outWidth, std::vector<uint8_t>* picture)
{
    const int32_t w = ctx.decWidth;
    uint8_t* top = picture->data() + picture->size() - static_cast<std::size_t>(outWidth) * 3;
    auto limit = [](int value) { return static_cast<uint8_t>(std::clamp(value, 0, 255)); };
    for (int32_t r = 0; r < ctx.decHeight; r++) {
        for (int32_t x = 0; x < w; x++) {
            const DcmpRgbTerm& luma = Y0[ctx.planeY[r * w + x]];
            const DcmpRgbTerm& cb = u0[ctx.planeU[(r / 2) * (w / 2) + x / 2]];
            const DcmpRgbTerm& cr = v0[ctx.planeV[(r / 2) * (w / 2) + x / 2]];
            const int32_t outRow = cif ? 6 * (r / 5) + r % 5 + (r % 5 >= 3 ? 1 : 0) : r;
            const int32_t outColumn = cif ? 11 * (x / 10) + x % 10 + (x % 10 >= 6 ? 1 : 0) : x;
            uint8_t* out = top - static_cast<std::ptrdiff_t>(outRow) * outWidth * 3 + 3 * outColumn;
            out[0] = limit(luma.blue + cb.blue + cr.blue);
            out[1] = limit(luma.green + cb.green + cr.green);
            out[2] = limit(luma.red + cb.red + cr.red);
        }
    }
}

// The colour conversion of every (Y, U, V) triple on every path, scalar
// included, against the contribution tables: 64 chroma samples per (U, V)
// pair carry the 256 luma values, four per sample.
TEST(SimdPaths, ColourConversionOfEveryYuvTriple)
{
    for (const auto& [width, height] : {std::pair{800, 592}, std::pair{352, 288}}) {
        const DecodeSetup setup{width, height, 2, 0, 0, false};
        DcmpContext ctx{};
        ctx.outWidth = setup.width;
        ctx.outHeight = setup.height;
        ASSERT_EQ(Dcmp_Initialize(&ctx), 1);
        const bool cif = ctx.scaleMode == 1;
        ASSERT_EQ(ctx.scaleMode, width == 352 ? 1 : 0);
        const int32_t w = ctx.decWidth;
        const int32_t h = ctx.decHeight;
        const std::size_t outBytes = static_cast<std::size_t>(setup.width) * setup.height * 3;
        std::vector<uint8_t> reference(outBytes), out(outBytes);
        const long samplesPerFrame = static_cast<long>(w / 2) * (h / 2);
        const long totalSamples = 65536L * 64;
        for (long first = 0; first < totalSamples; first += samplesPerFrame) {
            for (long s = 0; s < samplesPerFrame; s++) {
                const long t = (first + s) % totalSamples;
                const int32_t cx = static_cast<int32_t>(s % (w / 2));
                const int32_t cy = static_cast<int32_t>(s / (w / 2));
                ctx.planeU[cy * (w / 2) + cx] = static_cast<uint8_t>(t / 64 >> 8);
                ctx.planeV[cy * (w / 2) + cx] = static_cast<uint8_t>(t / 64 & 0xFF);
                for (int i = 0; i < 4; i++)
                    ctx.planeY[(2 * cy + i / 2) * w + 2 * cx + i % 2] = static_cast<uint8_t>(4 * (t % 64) + i);
            }
            std::fill(reference.begin(), reference.end(), 0x33);  // the CIF gaps keep this
            TableConversion(ctx, cif, setup.width, &reference);
            for (int32_t path = 0; path < DCMP_PATH_COUNT; path++) {
                if (!Dcmp_SimdPathSupported(path))
                    continue;
                std::fill(out.begin(), out.end(), 0x33);
                ctx.dstPicture = out.data() + outBytes - static_cast<std::size_t>(setup.width) * 3;
                Dcmp_SetSimdPath(&ctx, path);
                const DcmpKernels* stages = Dcmp_PathKernels(&ctx);
                if (cif)
                    stages->yuvToRgb24Cif(&ctx);
                else
                    stages->yuvToRgb24(&ctx);
                ASSERT_TRUE(out == reference) << Dcmp_SimdPathName(path) << " from sample " << first;
            }
        }
        Dcmp_Release(&ctx);
    }
}

}  // namespace
