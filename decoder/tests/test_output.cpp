// Output stage: colour conversion, the 352 x 288 spreading and gap filling,
// the resize steps and the rotations.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "decoder_fixture.h"

namespace {

using Rgb = std::array<uint8_t, 3>;  // blue, green, red

struct ColourCase {
    uint8_t y, u, v;
    Rgb bgr;
};

TEST(ColourConversion, UniformPlanesGiveExactPixels)
{
    const ColourCase cases[] = {
        {16, 128, 128, {0, 0, 0}},         {235, 128, 128, {254, 255, 255}}, {128, 128, 128, {129, 131, 130}},
        {0, 0, 255, {0, 0, 185}},          {255, 255, 0, {255, 255, 74}},    {100, 90, 200, {20, 54, 213}},
    };
    Decoder d(320, 240);
    ASSERT_EQ(d.ready, 1);
    std::vector<uint8_t> picture(320 * 240 * 3);
    d.ctx.dstPicture = picture.data() + 239 * 960;
    for (const ColourCase& c : cases) {
        std::memset(d.ctx.planeY, c.y, 320 * 240);
        std::memset(d.ctx.planeU, c.u, 160 * 120);
        std::memset(d.ctx.planeV, c.v, 160 * 120);
        WMMX_YUV12ToRGB24(&d.ctx);
        for (std::size_t i = 0; i < picture.size(); i += 3)
            ASSERT_EQ((Rgb{picture[i], picture[i + 1], picture[i + 2]}), c.bgr)
                << int(c.y) << "/" << int(c.u) << "/" << int(c.v) << " at byte " << i;
    }
}

TEST(ColourConversion, ChromaServesTwoByTwoPixelsAndTopRowIsLastInMemory)
{
    Decoder d(320, 240);
    ASSERT_EQ(d.ready, 1);
    std::memset(d.ctx.planeY, 16, 320 * 240);
    std::memset(d.ctx.planeU, 128, 160 * 120);
    std::memset(d.ctx.planeV, 128, 160 * 120);
    d.ctx.planeU[1 * 160 + 1] = 255;  // chroma sample (1, 1): pixels x 2..3, y 2..3
    d.ctx.planeY[0] = 235;            // top-left pixel
    std::vector<uint8_t> picture(320 * 240 * 3);
    d.ctx.dstPicture = picture.data() + 239 * 960;
    WMMX_YUV12ToRGB24(&d.ctx);
    auto pixel = [&](int x, int y) {
        const uint8_t* p = picture.data() + (239 - y) * 960 + 3 * x;
        return Rgb{p[0], p[1], p[2]};
    };
    EXPECT_EQ(pixel(0, 0), (Rgb{254, 255, 255}));
    for (int y = 1; y < 5; y++) {
        for (int x = 1; x < 5; x++) {
            const bool inside = x >= 2 && x <= 3 && y >= 2 && y <= 3;
            EXPECT_EQ(pixel(x, y), (inside ? Rgb{255, 0, 0} : Rgb{0, 0, 0})) << x << "," << y;
        }
    }
}

TEST(ColourTables, TellingEntries)
{
    auto rgb = [](const DcmpRgbTerm& t) { return std::array<int, 3>{t.blue, t.green, t.red}; };
    using T = std::array<int, 3>;
    EXPECT_EQ(rgb(Y0[0]), (T{-18, -18, -18}));
    EXPECT_EQ(rgb(Y0[16]), (T{0, 0, 0}));
    EXPECT_EQ(rgb(Y0[128]), (T{129, 131, 130}));
    EXPECT_EQ(rgb(Y0[235]), (T{254, 256, 255}));
    EXPECT_EQ(rgb(Y0[255]), (T{277, 280, 279}));
    EXPECT_EQ(rgb(u0[0]), (T{-259, 50, 0}));
    EXPECT_EQ(rgb(u0[127]), (T{-2, 0, 0}));
    EXPECT_EQ(rgb(u0[255]), (T{257, -49, 0}));
    EXPECT_EQ(rgb(v0[0]), (T{0, 103, -205}));
    EXPECT_EQ(rgb(v0[129]), (T{0, 0, 1}));
    EXPECT_EQ(rgb(v0[255]), (T{0, -102, 203}));
    const int limits[][2] = {{0, 16}, {144, 16}, {145, 17}, {256, 128}, {368, 240}, {511, 240}};
    for (const auto& l : limits)
        EXPECT_EQ(Tb_YUV[l[0]], l[1]) << "index " << l[0];
}

// The conversion limits colour sums by a table over this range: a table entry
// outside it would make the conversion read outside that table.
TEST(ColourTables, EverySumStaysInTheLimitedRange)
{
    // Extremes of one field over a table.
    auto range = [](const DcmpRgbTerm* table, int16_t DcmpRgbTerm::*field) {
        int low = table[0].*field;
        int high = low;
        for (int i = 1; i < 256; i++) {
            low = std::min(low, static_cast<int>(table[i].*field));
            high = std::max(high, static_cast<int>(table[i].*field));
        }
        return std::array<int, 2>{low, high};
    };
    for (auto field : {&DcmpRgbTerm::blue, &DcmpRgbTerm::green, &DcmpRgbTerm::red}) {
        const auto luma = range(Y0, field);
        const auto cb = range(u0, field);
        const auto cr = range(v0, field);
        EXPECT_GE(luma[0] + cb[0] + cr[0], DCMP_COLOUR_SUM_MIN);
        EXPECT_LE(luma[1] + cb[1] + cr[1], DCMP_COLOUR_SUM_MAX);
    }
}

constexpr int kCifStride = 352 * 3;

TEST(CifSpreading, CodedPixelsLandBesideTheGaps)
{
    // Coded (x, y) -> output (X, Y).
    const int cases[][4] = {{0, 0, 0, 0},     {5, 0, 5, 0},   {6, 0, 7, 0},     {9, 4, 10, 5},
                            {10, 5, 11, 6},   {0, 3, 0, 4},   {16, 0, 18, 0}, {319, 239, 351, 287}};
    for (const auto& c : cases) {
        Decoder d(352, 288);
        ASSERT_EQ(d.ready, 1);
        std::memset(d.ctx.planeY, 16, 320 * 240);
        std::memset(d.ctx.planeU, 128, 160 * 120);
        std::memset(d.ctx.planeV, 128, 160 * 120);
        d.ctx.planeY[c[1] * 320 + c[0]] = 235;
        std::vector<uint8_t> frame(352 * 288 * 3, 0xEE);
        d.ctx.dstPicture = frame.data() + 287 * kCifStride;
        WMMX_YUV12ToRGB24_CIF(&d.ctx);
        for (int y = 0; y < 288; y++) {
            for (int x = 0; x < 352; x++) {
                const uint8_t* p = d.ctx.dstPicture - y * kCifStride + 3 * x;
                const bool gap = x % 11 == 6 || y % 6 == 3;
                const uint8_t expected = gap ? 0xEE : (x == c[2] && y == c[3]) ? 254 : 0;
                ASSERT_EQ(p[0], expected) << "coded " << c[0] << "," << c[1] << " output " << x << "," << y;
            }
        }
    }
}

TEST(CifSpreading, GapsAreFilledWithNeighbourAverages)
{
    Decoder d(352, 288);
    ASSERT_EQ(d.ready, 1);
    std::vector<uint8_t> frame(352 * 288 * 3, 0);
    uint8_t* top = frame.data() + 287 * kCifStride;
    auto at = [top](int x, int y) { return top - y * kCifStride + 3 * x; };
    std::memcpy(at(5, 0), "\x0A\x14\x1E", 3);  // (10, 20, 30)
    std::memcpy(at(7, 0), "\x15\x28\x3D", 3);  // (21, 40, 61)
    at(0, 2)[1] = 100;
    at(0, 4)[1] = 51;
    at(5, 2)[0] = 200;  // gap column 6 of rows 2 and 4 feeds gap row 3
    at(5, 4)[0] = 100;
    at(7, 2)[0] = 100;
    at(7, 4)[0] = 51;
    d.ctx.dstPicture = top;
    Dcmp_QV2C_Flip(&d.ctx);
    EXPECT_EQ((Rgb{at(6, 0)[0], at(6, 0)[1], at(6, 0)[2]}), (Rgb{15, 30, 45}));
    EXPECT_EQ(at(0, 3)[1], 75);
    EXPECT_EQ(at(6, 2)[0], 150);
    EXPECT_EQ(at(6, 4)[0], 75);
    EXPECT_EQ(at(6, 3)[0], 112);  // (150 + 75) >> 1, from the filled gap column
}

// A 320 x 240 coded picture in workBuf whose pixel at memory row r, column c
// holds (c & 0xFF, c >> 8, r), with dstPicture and dstFinal set as the driver does.
struct ResizeCase {
    Decoder d;
    std::vector<uint8_t> out;

    ResizeCase(int32_t width, int32_t height) : d(width, height), out(static_cast<std::size_t>(width) * height * 3 + 3, 0xEE)
    {
        for (int r = 0; r < 240; r++) {
            for (int c = 0; c < 320; c++) {
                uint8_t* p = d.ctx.workBuf + r * 960 + 3 * c;
                p[0] = static_cast<uint8_t>(c & 0xFF);
                p[1] = static_cast<uint8_t>(c >> 8);
                p[2] = static_cast<uint8_t>(r);
            }
        }
        d.ctx.dstPicture = d.ctx.workBuf + 239 * 960;
        d.ctx.dstFinal = out.data();
    }
    // Source (column, memory row) of output pixel k of output memory row j.
    std::array<int, 2> SourceOf(int k, int j) const
    {
        const uint8_t* p = out.data() + (j * d.ctx.outWidth + k) * 3;
        return {p[0] | p[1] << 8, p[2]};
    }
    bool GuardIntact() const { return out[out.size() - 1] == 0xEE; }
};

TEST(Resize, QuarterCifKeepsFourteenOfTwentyFiveColumnsAndThreeOfFiveRows)
{
    ResizeCase rc(176, 144);
    ASSERT_EQ(rc.d.ctx.scaleMode, 2);
    Dcmp_QV2QC(&rc.d.ctx);
    const int columns[][2] = {{0, 0}, {1, 2}, {2, 3}, {3, 5}, {4, 7}, {12, 23}, {13, 24}, {14, 25}, {175, 313}};
    for (const auto& c : columns)
        EXPECT_EQ(rc.SourceOf(c[0], 0)[0], c[1]) << "output column " << c[0];
    const int rows[][2] = {{0, 0}, {1, 2}, {2, 4}, {3, 5}, {4, 7}, {143, 239}};
    for (const auto& r : rows)
        EXPECT_EQ(rc.SourceOf(0, r[0])[1], r[1]) << "output row " << r[0];
    EXPECT_TRUE(rc.GuardIntact());
}

TEST(Resize, QuarterPictureTakesEvenColumnsOfOddRows)
{
    ResizeCase rc(160, 120);
    ASSERT_EQ(rc.d.ctx.scaleMode, 3);
    Dcmp_QV2QQV(&rc.d.ctx);
    for (int j = 0; j < 120; j++)
        for (int k = 0; k < 160; k++)
            ASSERT_EQ(rc.SourceOf(k, j), (std::array<int, 2>{2 * k, 2 * j + 1})) << k << "," << j;
    EXPECT_TRUE(rc.GuardIntact());
}

TEST(Resize, CentreCutDropsOddRowAtTopAndOddColumnAtRight)
{
    const int cases[][4] = {{240, 180, 40, 30}, {239, 179, 40, 30}, {320, 240, 0, 0}, {1, 1, 159, 119}};
    for (const auto& c : cases) {
        ResizeCase rc(c[0], c[1]);
        ASSERT_EQ(rc.d.ctx.scaleMode, c[0] == 320 ? 0 : 4);
        Dcmp_CutScaling(&rc.d.ctx);
        for (int j = 0; j < c[1]; j++)
            for (int k = 0; k < c[0]; k++)
                ASSERT_EQ(rc.SourceOf(k, j), (std::array<int, 2>{c[2] + k, c[3] + j})) << c[0] << "x" << c[1];
        EXPECT_TRUE(rc.GuardIntact());
    }
}

// A 40 x 30 picture (scale mode 4) whose pixel (X, Y) holds (X, Y, 7).
struct RotateCase {
    Decoder d;
    std::vector<uint8_t> picture;
    int w, h;

    RotateCase(int width, int height, int16_t rotation) : d(width, height), picture(width * height * 3), w(width), h(height)
    {
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++)
                std::memcpy(At(x, y), std::array<uint8_t, 3>{uint8_t(x), uint8_t(y), 7}.data(), 3);
        d.ctx.rotation = rotation;
        d.ctx.dstFinal = picture.data();
    }
    uint8_t* At(int x, int y) { return picture.data() + ((h - 1 - y) * w + x) * 3; }
    Rgb Pixel(int x, int y) { return {At(x, y)[0], At(x, y)[1], At(x, y)[2]}; }
    static Rgb Src(int x, int y) { return {uint8_t(x), uint8_t(y), 7}; }
};

TEST(Rotate, QuarterTurnsRotateTheCentredSquareAndWhitenTheSides)
{
    struct Probe {
        int16_t rotation;
        int x, y, srcX, srcY;
    };
    const Probe probes[] = {{1, 5, 0, 34, 0}, {1, 34, 29, 5, 29}, {1, 5, 29, 5, 0},
                            {3, 5, 0, 5, 29}, {3, 34, 0, 5, 0},   {3, 34, 29, 34, 0},
                            {2, 0, 0, 39, 29}, {2, 39, 29, 0, 0}, {2, 10, 3, 29, 26}};
    for (const Probe& p : probes) {
        RotateCase rc(40, 30, p.rotation);
        ASSERT_EQ(rc.d.ready, 1);
        Dcmp_Rotate2(&rc.d.ctx);
        EXPECT_EQ(rc.Pixel(p.x, p.y), RotateCase::Src(p.srcX, p.srcY)) << "rotation " << p.rotation;
        if (p.rotation != 2) {
            for (int y = 0; y < 30; y++)
                for (int x : {0, 4, 35, 39})
                    EXPECT_EQ(rc.Pixel(x, y), (Rgb{255, 255, 255})) << x << "," << y;
        }
    }
}

TEST(Rotate, OppositeTurnsRestoreThePicture)
{
    const std::array<int16_t, 2> pairs[] = {{1, 3}, {3, 1}, {2, 2}};
    for (const auto& pair : pairs) {
        RotateCase rc(40, 30, pair[0]);
        const std::vector<uint8_t> original = rc.picture;
        Dcmp_Rotate2(&rc.d.ctx);
        rc.d.ctx.rotation = pair[1];
        Dcmp_Rotate2(&rc.d.ctx);
        for (int y = 0; y < 30; y++)
            for (int x = 5; x < 35; x++)
                ASSERT_EQ(rc.Pixel(x, y), RotateCase::Src(x, y)) << pair[0] << " then " << pair[1];
        if (pair[0] == 2) {
            EXPECT_EQ(rc.picture, original);
        }
    }
}

TEST(Rotate, OtherCodesAndPortraitQuarterTurnsLeaveThePicture)
{
    const int cases[][3] = {{40, 30, 0}, {40, 30, 4}, {40, 30, -1}, {30, 40, 1}, {30, 40, 3}};
    for (const auto& c : cases) {
        RotateCase rc(c[0], c[1], static_cast<int16_t>(c[2]));
        ASSERT_EQ(rc.d.ready, 1);
        const std::vector<uint8_t> original = rc.picture;
        Dcmp_Rotate2(&rc.d.ctx);
        EXPECT_EQ(rc.picture, original) << c[0] << "x" << c[1] << " rotation " << c[2];
    }
}

TEST(Rotate, FirstVariantFindsThePictureFromItsLastRow)
{
    Decoder d(320, 240);
    ASSERT_EQ(d.ready, 1);
    std::vector<uint8_t> picture(320 * 240 * 3, 0);
    d.ctx.dstPicture = picture.data() + 239 * 960;
    d.ctx.rotation = 1;
    Dcmp_Rotate1(&d.ctx);
    for (int x : {0, 39, 280, 319})
        EXPECT_EQ(picture[3 * x], 255) << "column " << x;
    for (int x : {40, 279})
        EXPECT_EQ(picture[3 * x], 0) << "column " << x;
}

}  // namespace
