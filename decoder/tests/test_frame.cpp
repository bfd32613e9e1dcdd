// Frame reconstruction: block placement, copy blocks, mirroring, truncated
// frames and the two decode entry points.
#include <gtest/gtest.h>

#include <vector>

#include "decoder_fixture.h"

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int kMacroblocks = 300;
constexpr std::size_t kLuma = kWidth * kHeight;
constexpr std::size_t kChroma = kLuma / 4;

// Decodes into planar output; returns Y, then U, then V.
std::vector<uint8_t> DecodePlanar(Decoder& d, const std::vector<uint8_t>& frame)
{
    std::vector<uint8_t> out(kLuma + 2 * kChroma);
    d.SetFrame(frame);
    d.ctx.dstPicture = out.data();
    Dcmp_Decmpfrm420_IYUV(&d.ctx);
    return out;
}

// The 8 x 8 pixels of a plane region, row by row.
std::vector<uint8_t> Region(const uint8_t* plane, int stride, int x0, int y0)
{
    std::vector<uint8_t> pixels;
    for (int y = y0; y < y0 + 8; y++)
        pixels.insert(pixels.end(), plane + y * stride + x0, plane + y * stride + x0 + 8);
    return pixels;
}

// A frame whose blocks hold DC values that differ from block to block.
std::vector<uint8_t> VariedFrame(int macroblocks)
{
    FrameBuilder builder;
    for (int mb = 0; mb < macroblocks; mb++) {
        std::vector<std::vector<uint8_t>> blocks;
        for (int b = 0; b < 6; b++)
            blocks.push_back(DcBlock(static_cast<int16_t>(((mb * 6 + b) * 37) % 1600 - 800)));
        builder.Macroblock({blocks[0], blocks[1], blocks[2], blocks[3], blocks[4], blocks[5]});
    }
    return builder.Build();
}

class FrameMirror : public ::testing::TestWithParam<int32_t> {};

TEST_P(FrameMirror, EmptyBlocksGiveTheTransformBiasPattern)
{
    const int32_t flip = GetParam();
    Decoder d(kWidth, kHeight, 2, flip);
    ASSERT_EQ(d.ready, 1);
    const std::vector<uint8_t> out = DecodePlanar(d, FrameBuilder().Repeat(kMacroblocks, EmptyBlock()).Build());
    // The zero block transforms to 0 and -1 in a checkerboard-like pattern.
    auto expected = [flip](int x, int y) {
        const int c = flip ? 7 - x % 8 : x % 8;
        const bool even = y % 2 == 0;
        const bool minusOne = even ? (c % 2 == 1 && c < 7) : (c % 2 == 0 && c > 0);
        return minusOne ? 127 : 128;
    };
    for (int y = 0; y < kHeight; y++)
        for (int x = 0; x < kWidth; x++)
            ASSERT_EQ(out[y * kWidth + x], expected(x, y)) << "Y " << x << "," << y;
    for (int plane = 0; plane < 2; plane++)
        for (int y = 0; y < kHeight / 2; y++)
            for (int x = 0; x < kWidth / 2; x++)
                ASSERT_EQ(out[kLuma + plane * kChroma + y * (kWidth / 2) + x], expected(x, y))
                    << "chroma " << plane << " " << x << "," << y;
}

TEST_P(FrameMirror, BrightBlockIsLimitedByMirrorSetting)
{
    const int32_t flip = GetParam();
    Decoder d(kWidth, kHeight, 8, flip);  // level 8: DC 1600 becomes 25600, about 200
    ASSERT_EQ(d.ready, 1);
    const std::vector<uint8_t> frame = FrameBuilder()
                                           .Macroblock({DcBlock(1600), EmptyBlock(), EmptyBlock(), EmptyBlock(),
                                                        EmptyBlock(), EmptyBlock()})
                                           .Repeat(kMacroblocks - 1, EmptyBlock())
                                           .Build();
    const std::vector<uint8_t> out = DecodePlanar(d, frame);
    // Block 0 lies top-left, or top-right when mirrored.
    const int x0 = flip ? 312 : 0;
    for (uint8_t v : Region(out.data(), kWidth, x0, 0))
        EXPECT_EQ(v, flip ? 240 : 255);
    const int neighbour = flip ? 304 : 8;  // block 2 of the same macroblock, empty
    for (uint8_t v : Region(out.data(), kWidth, neighbour, 0))
        EXPECT_TRUE(v == 127 || v == 128);
}

TEST_P(FrameMirror, CopyBlocksTakeThePreviousBlockFromItsOwnPlane)
{
    const int32_t flip = GetParam();
    Decoder d(kWidth, kHeight, 8, flip);
    ASSERT_EQ(d.ready, 1);
    const std::vector<uint8_t> frame =
        FrameBuilder()
            // U copies luma block 3; the next macroblock's block 0 copies this V.
            .Macroblock({EmptyBlock(), EmptyBlock(), EmptyBlock(), DcBlock(320), CopyBlock(), DcBlock(-480)})
            .Macroblock({CopyBlock(), EmptyBlock(), EmptyBlock(), EmptyBlock(), EmptyBlock(), EmptyBlock()})
            .Repeat(kMacroblocks - 2, EmptyBlock())
            .Build();
    const std::vector<uint8_t> out = DecodePlanar(d, frame);
    const uint8_t* y = out.data();
    const uint8_t* u = y + kLuma;
    const uint8_t* v = u + kChroma;
    // Positions of: luma block 3 and chroma of macroblock 0, luma block 0 of macroblock 1.
    const int block3X = flip ? 304 : 8;
    const int chromaX = flip ? 152 : 0;
    const int nextX = flip ? 296 : 16;
    const std::vector<uint8_t> luma3 = Region(y, kWidth, block3X, 8);
    const std::vector<uint8_t> chromaV = Region(v, kWidth / 2, chromaX, 0);
    EXPECT_EQ(luma3[0], 128 + 40);  // 5120 / 128 = 40
    EXPECT_EQ(Region(u, kWidth / 2, chromaX, 0), luma3);
    EXPECT_EQ(chromaV[0], 128 - 60);
    EXPECT_EQ(Region(y, kWidth, nextX, 0), chromaV);
}

TEST_P(FrameMirror, CopyAtTheFirstBlockIsDeterministic)
{
    const int32_t flip = GetParam();
    Decoder d(kWidth, kHeight, 2, flip);
    ASSERT_EQ(d.ready, 1);
    const std::vector<uint8_t> frame =
        FrameBuilder()
            .Macroblock({CopyBlock(), EmptyBlock(), EmptyBlock(), EmptyBlock(), EmptyBlock(), EmptyBlock()})
            .Repeat(kMacroblocks - 1, EmptyBlock())
            .Build();
    // Having no block to copy, it becomes flat mid-grey whatever came before.
    const std::vector<uint8_t> first = DecodePlanar(d, frame);
    EXPECT_EQ(Region(first.data(), kWidth, flip ? 312 : 0, 0), std::vector<uint8_t>(64, 128));
    DecodePlanar(d, VariedFrame(kMacroblocks));
    EXPECT_EQ(DecodePlanar(d, frame), first);
}

INSTANTIATE_TEST_SUITE_P(Mirror, FrameMirror, ::testing::Values(0, 1));

TEST(Frame, HeaderBytesDoNotChangeThePicture)
{
    Decoder d(kWidth, kHeight);
    ASSERT_EQ(d.ready, 1);
    std::vector<uint8_t> frame = VariedFrame(kMacroblocks);
    const std::vector<uint8_t> reference = DecodePlanar(d, frame);
    for (std::size_t i = 0; i < DCMP_FRAME_HEADER_BYTES; i++)
        frame[i] = 0xFF;
    // Macroblock headers: the first three bytes of each macroblock.
    std::size_t pos = DCMP_FRAME_HEADER_BYTES;
    for (int mb = 0; mb < kMacroblocks; mb++) {
        frame[pos] = frame[pos + 1] = frame[pos + 2] = 0xC3;
        pos += 3 + 6 * DcBlock(0).size();
    }
    EXPECT_EQ(DecodePlanar(d, frame), reference);
}

TEST(Frame, TruncatedFrameReadsAsZeroPaddedAndNoFurther)
{
    const std::vector<uint8_t> full = VariedFrame(kMacroblocks);
    const std::size_t cuts[] = {0, 3, 7, 9, 11, full.size() / 2, full.size() / 2 + 1, full.size() - 2};
    for (std::size_t cut : cuts) {
        Decoder d(kWidth, kHeight);
        ASSERT_EQ(d.ready, 1);
        // Exactly `cut` bytes on the heap: reading beyond them is caught.
        const std::vector<uint8_t> truncated(full.begin(), full.begin() + cut);
        const std::vector<uint8_t> truncatedOut = DecodePlanar(d, truncated);
        std::vector<uint8_t> padded = truncated;
        padded.resize(DCMP_FRAME_BUFFER_BYTES, 0);
        Decoder reference(kWidth, kHeight);
        EXPECT_EQ(truncatedOut, DecodePlanar(reference, padded)) << "cut at " << cut;
        // Blocks wholly past the cut decode as empty blocks.
        if (cut < full.size() / 2 + 2) {
            for (uint8_t v : Region(truncatedOut.data(), kWidth, kWidth - 8, kHeight - 8))
                EXPECT_TRUE(v == 127 || v == 128) << "cut at " << cut;
        }
    }
}

TEST(Frame, PlanarOutputIsYThenUThenVAtTheCodedSize)
{
    Decoder d(kWidth, kHeight);
    ASSERT_EQ(d.ready, 1);
    const std::vector<uint8_t> frame = VariedFrame(kMacroblocks);
    std::vector<uint8_t> out(kLuma + 2 * kChroma + 64, 0xEE);
    d.SetFrame(frame);
    d.ctx.dstPicture = out.data();
    Dcmp_Decmpfrm420_IYUV(&d.ctx);
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + kLuma, d.ctx.planeY));
    EXPECT_TRUE(std::equal(out.begin() + kLuma, out.begin() + kLuma + kChroma, d.ctx.planeU));
    EXPECT_TRUE(std::equal(out.begin() + kLuma + kChroma, out.begin() + kLuma + 2 * kChroma, d.ctx.planeV));
    EXPECT_EQ(std::vector<uint8_t>(out.end() - 64, out.end()), std::vector<uint8_t>(64, 0xEE));
}

// Decodes to 24-bit output as the driver sets the pointers; returns the
// caller's buffer with 64 guard bytes at its end.
std::vector<uint8_t> DecodeRgb(Decoder& d, const std::vector<uint8_t>& frame, int32_t* result = nullptr)
{
    const std::size_t bytes = static_cast<std::size_t>(d.ctx.outWidth) * d.ctx.outHeight * 3;
    std::vector<uint8_t> out(bytes + 64, 0xEE);
    d.SetFrame(frame);
    if (d.ctx.scaleMode >= 2) {
        d.ctx.dstPicture = d.ctx.workBuf + static_cast<std::size_t>(d.ctx.decHeight - 1) * d.ctx.rgbStride;
        d.ctx.dstFinal = out.data();
    } else {
        d.ctx.dstPicture = out.data() + bytes - static_cast<std::size_t>(d.ctx.outWidth) * 3;
    }
    const int32_t r = Dcmp_Decmpfrm420(&d.ctx);
    if (result)
        *result = r;
    return out;
}

TEST(Frame, EveryScaleModeFillsExactlyTheOutputBuffer)
{
    const int32_t sizes[][2] = {{320, 240}, {640, 480}, {352, 288}, {176, 144}, {160, 120}, {240, 180}, {352, 240}};
    for (const auto& size : sizes) {
        for (int16_t rotation = 0; rotation < 4; rotation++) {
            Decoder d(size[0], size[1]);
            ASSERT_EQ(d.ready, 1);
            d.ctx.rotation = rotation;
            int32_t result = 0;
            const std::vector<uint8_t> out = DecodeRgb(d, VariedFrame(d.ctx.mbCount), &result);
            EXPECT_EQ(result, 1);
            EXPECT_EQ(std::vector<uint8_t>(out.end() - 64, out.end()), std::vector<uint8_t>(64, 0xEE))
                << size[0] << " x " << size[1] << " rotation " << rotation;
            EXPECT_NE(out[0], 0xEE);
        }
    }
}

TEST(Frame, Cif352x288SpreadsTheCodedPicture)
{
    Decoder coded(320, 240);
    Decoder cif(352, 288);
    ASSERT_EQ(cif.ctx.scaleMode, 1);
    const std::vector<uint8_t> frame = VariedFrame(kMacroblocks);
    const std::vector<uint8_t> small = DecodeRgb(coded, frame);
    const std::vector<uint8_t> spread = DecodeRgb(cif, frame);
    // Bottom-up pictures: row y from the top is memory row height - 1 - y.
    for (int y = 0; y < 240; y++) {
        const int outY = 6 * (y / 5) + y % 5 + (y % 5 >= 3);
        for (int x = 0; x < 320; x++) {
            const int outX = 11 * (x / 10) + x % 10 + (x % 10 >= 6);
            const uint8_t* expected = small.data() + (239 - y) * 960 + 3 * x;
            ASSERT_TRUE(std::equal(expected, expected + 3, spread.data() + (287 - outY) * 1056 + 3 * outX))
                << x << "," << y;
        }
    }
}

TEST(Frame, Width352WithOtherHeightIsAPlainCentreCut)
{
    Decoder wide(640, 480);
    Decoder cut(352, 240);
    ASSERT_EQ(wide.ready, 1);
    ASSERT_EQ(cut.ready, 1);
    ASSERT_EQ(cut.ctx.scaleMode, 4);
    const std::vector<uint8_t> frame = VariedFrame(wide.ctx.mbCount);
    const std::vector<uint8_t> full = DecodeRgb(wide, frame);
    const std::vector<uint8_t> part = DecodeRgb(cut, frame);
    for (int r = 0; r < 240; r++) {
        const uint8_t* expected = full.data() + (120 + r) * 640 * 3 + 144 * 3;
        ASSERT_TRUE(std::equal(expected, expected + 352 * 3, part.data() + r * 352 * 3)) << "row " << r;
    }
}

TEST(Frame, ChangedOutputSizeWithoutInitialisationWritesNothing)
{
    Decoder d(320, 240);
    ASSERT_EQ(d.ready, 1);
    d.ctx.outWidth = 640;
    d.ctx.outHeight = 480;
    int32_t result = 1;
    const std::vector<uint8_t> out = DecodeRgb(d, VariedFrame(d.ctx.mbCount), &result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out, std::vector<uint8_t>(out.size(), 0xEE));
}

TEST(Frame, ChangedMirrorWithoutInitialisationKeepsTheBuiltTables)
{
    Decoder d(kWidth, kHeight, 2, 0);
    ASSERT_EQ(d.ready, 1);
    const std::vector<uint8_t> frame = VariedFrame(kMacroblocks);
    const std::vector<uint8_t> reference = DecodePlanar(d, frame);
    d.ctx.flip = 1;
    EXPECT_EQ(DecodePlanar(d, frame), reference);
}

}  // namespace
