// Enhancement of decoded stored pictures: mirror copy, edge sharpening,
// colour balance and level stretch. Pictures are painted as the bitmap shows
// them (upright, x from the left of the mirrored picture) and turned into the
// decode buffer that Dcmp_StillToBitmap reads.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dcmp_enhance.h"

namespace {

struct Rgb {
    uint8_t r, g, b;
};
Rgb Grey(uint8_t v) { return {v, v, v}; }

// A picture in bitmap view plus the decode buffer it comes from.
struct Painting {
    std::vector<Rgb> pixels = std::vector<Rgb>(640 * 480, Rgb{0, 0, 0});

    Painting& Rect(int x0, int y0, int x1, int y1, Rgb colour)  // inclusive corners
    {
        for (int y = y0; y <= y1; y++)
            for (int x = x0; x <= x1; x++)
                pixels[static_cast<std::size_t>(y) * 640 + x] = colour;
        return *this;
    }
    Painting& Fill(Rgb colour) { return Rect(0, 0, 639, 479, colour); }

    // Decode buffer: bottom-up rows; bitmap pixel (x, y) comes from buffer pixel
    // 639 - x of buffer row 479 - y.
    std::vector<uint8_t> Buffer() const
    {
        std::vector<uint8_t> buffer(DCMP_STILL_PICTURE_BYTES);
        for (int y = 0; y < 480; y++)
            for (int x = 0; x < 640; x++) {
                const Rgb& p = pixels[static_cast<std::size_t>(y) * 640 + x];
                uint8_t* out = &buffer[static_cast<std::size_t>(479 - y) * DCMP_STILL_STRIDE + 3 * (639 - x)];
                out[0] = p.b;
                out[1] = p.g;
                out[2] = p.r;
            }
        return buffer;
    }
};

struct Enhanced {
    std::unique_ptr<DcmpStillBitmap> bitmap = std::make_unique<DcmpStillBitmap>();

    explicit Enhanced(const Painting& painting)
    {
        const std::vector<uint8_t> buffer = painting.Buffer();
        Dcmp_StillToBitmap(buffer.data(), bitmap.get());
    }
    Rgb At(int x, int y) const
    {
        const uint8_t* p = &bitmap->pixels[static_cast<std::size_t>(y) * DCMP_STILL_STRIDE + 3 * x];
        return {p[2], p[1], p[0]};
    }
};

::testing::AssertionResult SameColour(Rgb actual, Rgb expected)
{
    if (actual.r == expected.r && actual.g == expected.g && actual.b == expected.b)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "got (" << +actual.r << ", " << +actual.g << ", " << +actual.b
                                         << "), expected (" << +expected.r << ", " << +expected.g << ", "
                                         << +expected.b << ")";
}

// Black rows at the top and white rows at the bottom put more than 115
// samples at both ends of every channel, so a neutral picture is neither
// balanced nor stretched and the bitmap shows stages 1 and 2 alone.
Painting WithStretchStops(Painting p)
{
    return p.Rect(0, 0, 639, 1, Grey(0)).Rect(0, 478, 639, 479, Grey(255));
}

TEST(StillEnhance, MirrorCopyShowsThePictureUprightAndMirrored)
{
    // Green only 0 and 255 (no edges, both stretch ends full); red and blue vary.
    Painting p;
    for (int y = 0; y < 480; y++)
        for (int x = 0; x < 640; x++)
            p.pixels[static_cast<std::size_t>(y) * 640 + x] = {static_cast<uint8_t>(3 * x + 5 * y),
                                                               static_cast<uint8_t>(x < 320 ? 0 : 255),
                                                               static_cast<uint8_t>(x ^ y)};
    const std::vector<uint8_t> buffer = p.Buffer();
    auto bitmap = std::make_unique<DcmpStillBitmap>();
    Dcmp_StillToBitmap(buffer.data(), bitmap.get());
    // Row 0 of the bitmap is the last row of the buffer, read right to left.
    EXPECT_EQ(0, std::memcmp(bitmap->ScanLine(0), &buffer[479 * DCMP_STILL_STRIDE + 639 * 3], 3));
    EXPECT_EQ(0, std::memcmp(bitmap->ScanLine(479) + 639 * 3, &buffer[0], 3));
    for (int y = 0; y < 480; y++)
        for (int x = 0; x < 640; x++) {
            const uint8_t* got = bitmap->ScanLine(y) + 3 * x;
            const uint8_t* want = &buffer[static_cast<std::size_t>(479 - y) * DCMP_STILL_STRIDE + 3 * (639 - x)];
            ASSERT_EQ(0, std::memcmp(got, want, 3)) << x << "," << y;
        }
}

struct SharpenCase {
    std::string name;
    std::function<Painting()> paint;
    std::vector<std::array<int, 3>> probes;  // x, y, expected grey level
};

class StillSharpen : public ::testing::TestWithParam<SharpenCase> {};

TEST_P(StillSharpen, SharpensAlongGreenEdges)
{
    const Enhanced e(WithStretchStops(GetParam().paint()));
    for (const auto& [x, y, level] : GetParam().probes)
        EXPECT_TRUE(SameColour(e.At(x, y), Grey(static_cast<uint8_t>(level)))) << "at " << x << "," << y;
}

// Columns x < split of level `left`, the rest of level `right`.
std::function<Painting()> Columns(int split, uint8_t left, uint8_t right)
{
    return [=] { return Painting().Fill(Grey(right)).Rect(0, 0, split - 1, 479, Grey(left)); };
}

INSTANTIATE_TEST_SUITE_P(
    Edges, StillSharpen,
    ::testing::Values(
        SharpenCase{"FlatHasNoEdges", [] { return Painting().Fill(Grey(128)); },
                    {{2, 2, 128}, {320, 240, 128}, {637, 477, 128}}},
        // dH = 100, d1 = 50: the two pixels at the step move 20 levels apart.
        SharpenCase{"StepOf50", Columns(320, 150, 100), {{318, 240, 150}, {319, 240, 170}, {320, 240, 80}, {321, 240, 100}}},
        // dH = 200 is not below 200: no edge.
        SharpenCase{"StepOf100IsNoEdge", Columns(320, 200, 100), {{319, 240, 200}, {320, 240, 100}}},
        SharpenCase{"OutermostColumnsStay",
                    [] { return Painting().Fill(Grey(100)).Rect(0, 0, 1, 479, Grey(150)).Rect(638, 0, 639, 479, Grey(150)); },
                    {{1, 240, 150}, {2, 240, 80}, {3, 240, 100}, {636, 240, 100}, {637, 240, 80}, {638, 240, 150}}},
        // Corner of a darker quarter: both directions push down; together they stop near 20.
        SharpenCase{"CornerUsesBothDirections",
                    [] { return Painting().Fill(Grey(150)).Rect(320, 240, 639, 477, Grey(100)); },
                    {{320, 240, 79}, {321, 240, 80}, {320, 241, 80}, {319, 240, 170}, {320, 239, 170}, {319, 239, 150}}}),
    [](const auto& info) { return info.param.name; });

TEST(StillSharpen, OutermostRowsStay)
{
    // A step two rows from the top: row 1 is never sharpened, row 2 is.
    const Enhanced e(Painting()
                         .Fill(Grey(100))
                         .Rect(0, 0, 639, 1, Grey(150))
                         .Rect(0, 478, 639, 479, Grey(0))
                         .Rect(0, 240, 639, 247, Grey(255))  // full at the bright end: no stretch
                         .Rect(0, 470, 639, 477, Grey(0)));
    EXPECT_TRUE(SameColour(e.At(100, 1), Grey(150)));
    EXPECT_TRUE(SameColour(e.At(100, 2), Grey(80)));
}

struct BalanceCase {
    std::string name;
    std::function<Painting()> paint;
    std::vector<std::pair<std::array<int, 2>, Rgb>> probes;
};

class StillBalance : public ::testing::TestWithParam<BalanceCase> {};

TEST_P(StillBalance, CorrectsColourAndLevels)
{
    const Enhanced e(GetParam().paint());
    for (const auto& [at, colour] : GetParam().probes)
        EXPECT_TRUE(SameColour(e.At(at[0], at[1]), colour)) << "at " << at[0] << "," << at[1];
}

std::function<Painting()> Uniform(Rgb colour)
{
    return [=] { return Painting().Fill(colour); };
}
// Top half one colour, bottom half another (green steps of 100 make no edges).
std::function<Painting()> Halves(Rgb top, Rgb bottom)
{
    return [=] { return Painting().Fill(bottom).Rect(0, 0, 639, 239, top); };
}
// A grey 128 field with a grey block of `level` holding `samples` sampled pixels (115 or 116).
std::function<Painting()> FieldWithTail(uint8_t level, int samples)
{
    return [=] {
        // 46 columns x 10 rows hold 23 x 5 = 115 samples; 58 x 8 hold 29 x 4 = 116.
        const int w = samples == 115 ? 46 : 58;
        const int h = samples == 115 ? 10 : 8;
        return Painting().Fill(Grey(128)).Rect(100, 100, 100 + w - 1, 100 + h - 1, Grey(level));
    };
}

INSTANTIATE_TEST_SUITE_P(
    Statistics, StillBalance,
    ::testing::Values(
        BalanceCase{"AllBlackStaysBlack", Uniform(Grey(0)), {{{0, 0}, Grey(0)}, {{320, 240}, Grey(0)}}},
        // No sample near either end: low 31, top 55, scale 255/169.
        BalanceCase{"GreyIsStretched", Uniform(Grey(128)), {{{320, 240}, Grey(146)}}},
        // lum 30: no balance, but low is 20 (red), so it is stretched.
        BalanceCase{"DarkPictureIsOnlyStretched", Uniform({20, 30, 60}), {{{320, 240}, {0, 14, 56}}}},
        // green / red = 1.2 is near neutral: the factor stays and is applied by the stretch ...
        BalanceCase{"NearNeutralFactorAppliedWithStretch", Uniform({100, 120, 120}), {{{320, 240}, {124, 134, 134}}}},
        // ... but with both ends full there is no stretch and the picture stays.
        BalanceCase{"NearNeutralWithoutStretchUnchanged", [] { return WithStretchStops(Uniform({100, 120, 120})()); },
                    {{{320, 240}, {100, 120, 120}}}},
        // lum 66 < 90: balanced with kR = 2 (not clipped), kB = 4/3.
        BalanceCase{"BalancedBelowLum90", Uniform({40, 80, 60}), {{{320, 240}, {27, 73, 58}}}},
        // kR = 3 clipped to 2, and a flat picture has no spread: factors back to 1.
        BalanceCase{"ClippedFlatPictureFailsSpread", Uniform({30, 90, 60}), {{{320, 240}, {0, 90, 45}}}},
        // Clipped, every channel deviates 30 or more: kR = 2, kB = 5/3 kept.
        BalanceCase{"ClippedWithSpreadKeepsFactors", Halves({10, 50, 30}, {70, 150, 90}),
                    {{{320, 100}, {0, 42, 23}}, {{320, 400}, {141, 184, 165}}}},
        // Red deviates only 10 levels: factors back to 1.
        BalanceCase{"ClippedWithNarrowRedFailsSpread", Halves({30, 50, 30}, {50, 150, 90}),
                    {{{320, 400}, {30, 180, 90}}}},
        // Casts at lum >= 90 cancel the balance.
        BalanceCase{"GreenOverRedCast", Uniform({100, 145, 153}), {{{320, 240}, {104, 172, 184}}}},
        BalanceCase{"SameRatiosBelowLum90AreBalanced", Uniform({60, 87, 92}), {{{320, 240}, {63, 84, 87}}}},
        BalanceCase{"GreenCast", Uniform({80, 156, 130}), {{{320, 240}, {73, 188, 149}}}},
        BalanceCase{"RedCast", Halves({140, 8, 16}, {200, 108, 76}), {{{320, 400}, {255, 132, 90}}}},
        // Stretch ends: 115 samples at an end are not enough, 116 are.
        BalanceCase{"Dark115", FieldWithTail(0, 115), {{{320, 240}, Grey(146)}}},
        BalanceCase{"Dark116", FieldWithTail(0, 116), {{{320, 240}, Grey(163)}}},
        BalanceCase{"Bright115", FieldWithTail(255, 115), {{{320, 240}, Grey(146)}}},
        BalanceCase{"Bright116", FieldWithTail(255, 116), {{{320, 240}, Grey(110)}}},
        // low 10, top 20: scale is 255/225 as a single, just below the quotient.
        BalanceCase{"ScaleIsASingle",
                    [] {
                        return Painting()
                            .Fill(Grey(128))
                            .Rect(0, 0, 639, 3, Grey(10))
                            .Rect(0, 476, 639, 479, Grey(235))
                            .Rect(0, 476, 3, 477, Grey(236));
                    },
                    {{{320, 0}, Grey(0)}, {{320, 479}, Grey(254)}, {{0, 476}, Grey(255)}, {{320, 240}, Grey(133)}}}),
    [](const auto& info) { return info.param.name; });

}  // namespace
