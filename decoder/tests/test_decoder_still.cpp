// Stored pictures: unpacking of the zero-run layout, the completeness check
// and decoding into the caller's buffer.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "decoder_fixture.h"
#include "dcmp_still.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

Bytes Zeros(std::size_t n) { return Bytes(n, 0x00); }

// --- Unpacking ---------------------------------------------------------------

struct ScanCase {
    std::string name;
    Bytes data;
    Bytes frame;  // closing zero byte included
    int32_t mbMarks;
    int32_t blkMarks;
    int32_t started;
};

class StillScan : public ::testing::TestWithParam<ScanCase> {};

TEST_P(StillScan, UnpacksFrameAndCountsMarkers)
{
    const ScanCase& c = GetParam();
    Bytes frame(c.data.size() + 1, 0xEE);
    DcmpStillScan scan;
    ASSERT_EQ(Dcmp_ScanStill(c.data.data(), c.data.size(), frame.data(), frame.size(), &scan), 1);
    ASSERT_LE(scan.frameLength, frame.size());
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(scan.frameLength)), c.frame);
    EXPECT_EQ(scan.mbMarks, c.mbMarks);
    EXPECT_EQ(scan.blkMarks, c.blkMarks);
    EXPECT_EQ(scan.started, c.started);
}

INSTANTIATE_TEST_SUITE_P(
    Layout, StillScan,
    ::testing::Values(
        ScanCase{"BlockMarker", {0x00, 0x00, 0x05, 0x11, 0x22, 0x00, 0x90, 0x33},
                 {0x00, 0x05, 0x11, 0x22, 0x00, 0x90, 0x33, 0x00}, 0, 1, 1},
        ScanCase{"BytesBeforeStartDroppedButTheirMarkersCount",
                 {0xAA, 0x00, 0x41, 0xBB, 0x00, 0x90, 0x00, 0x02, 0xCC},
                 {0x00, 0x02, 0xCC, 0x00}, 1, 1, 1},
        ScanCase{"ZeroMarkerAfterLongRunIsAZero", Concat({{0x00, 0x01, 0x11}, Zeros(8), {0x60, 0x22}}),
                 {0x00, 0x01, 0x11, 0x00, 0x22, 0x00}, 0, 0, 1},
        ScanCase{"ZeroMarkerAfterShortRunIsNothing", Concat({{0x00, 0x01, 0x11}, Zeros(7), {0x60, 0x22}}),
                 {0x00, 0x01, 0x11, 0x22, 0x00}, 0, 0, 1},
        ScanCase{"ZeroMarkerNearTheStartReadsNothingBefore", {0x00, 0x01, 0x00, 0x60, 0x22},
                 {0x00, 0x01, 0x22, 0x00}, 0, 0, 1},
        ScanCase{"ZeroMarkerInsideARunIsData", {0x00, 0x01, 0x60, 0x60}, {0x00, 0x01, 0x60, 0x60, 0x00}, 0, 0, 1},
        ScanCase{"MacroblockMarkerAfterAnyRunIsOneZero", Concat({{0x00, 0x01}, Zeros(21), {0x41}}),
                 {0x00, 0x01, 0x00, 0x41, 0x00}, 1, 0, 1},
        ScanCase{"SecondStartMarkerEndsThePicture", {0x00, 0x01, 0x11, 0x00, 0x02, 0x00, 0x41},
                 {0x00, 0x01, 0x11, 0x00}, 0, 0, 1},
        ScanCase{"LastByteAMarker", {0x00, 0x01, 0x00, 0xFF}, {0x00, 0x01, 0x00, 0xFF, 0x00}, 0, 1, 1},
        ScanCase{"NoStartMarker", {0x11, 0x22, 0x00, 0x41, 0x00}, {0x11, 0x22, 0x00, 0x41, 0x00}, 1, 0, 0},
        ScanCase{"Empty", {}, {0x00}, 0, 0, 0}),
    [](const auto& info) { return info.param.name; });

TEST(StillScan, RefusesAFrameBufferThatCannotHoldTheFrame)
{
    const Bytes data = {0x00, 0x01, 0x11, 0x22};
    Bytes frame(data.size(), 0);
    DcmpStillScan scan;
    EXPECT_EQ(Dcmp_ScanStill(data.data(), data.size(), frame.data(), frame.size(), &scan), 0);
}

// --- Whole stored pictures ----------------------------------------------------

// Stored bytes of pictures made of empty blocks and DC-only blocks. In the
// unpacked frame the header ends in the zero of the first macroblock marker,
// each macroblock header (0x41 0x42 0x00) ends in the zero of its first block
// marker, and each block's terminating zero precedes the next marker.
struct StoredBuilder {
    Bytes bytes;

    StoredBuilder& Raw(const Bytes& b)
    {
        bytes.insert(bytes.end(), b.begin(), b.end());
        return *this;
    }
    StoredBuilder& Start() { return Raw({0x00, 0x01, 0xAA, 0xBB, 0xCC}); }
    StoredBuilder& MbMarkers(int n)
    {
        for (int i = 0; i < n; i++)
            Raw({0x00, 0x41});
        return *this;
    }
    StoredBuilder& BlockMarkers(int n)
    {
        for (int i = 0; i < n; i++)
            Raw({0x00, 0x81});
        return *this;
    }
    // One macroblock whose luma blocks hold `dc` (0: empty) and whose chroma blocks are empty.
    StoredBuilder& Macroblock(int16_t dc = 0)
    {
        Raw({0x00, 0x41, 0x42});
        for (int b = 0; b < 6; b++) {
            if (dc != 0 && b < 4) {
                const unsigned bits = static_cast<unsigned>(dc) & 0xFFF;
                Raw({0x00, 0xB0, static_cast<uint8_t>(0x20 | (bits >> 7)), static_cast<uint8_t>(0x80 | (bits & 0x7F))});
            } else {
                Raw({0x00, 0x81});
            }
        }
        return *this;
    }
    StoredBuilder& Macroblocks(int n, int16_t dc = 0)
    {
        for (int i = 0; i < n; i++)
            Macroblock(dc);
        return *this;
    }
    Bytes End() { return Raw({0x00}).bytes; }  // the last block's terminating zero
};

constexpr uint8_t kUntouched = 0x5A;

struct StillOutput {
    std::unique_ptr<uint8_t[]> bytes{new uint8_t[DCMP_STILL_PICTURE_BYTES]};
    StillOutput() { std::fill_n(bytes.get(), DCMP_STILL_PICTURE_BYTES, kUntouched); }
    bool Untouched() const
    {
        return std::all_of(bytes.get(), bytes.get() + DCMP_STILL_PICTURE_BYTES,
                           [](uint8_t b) { return b == kUntouched; });
    }
    // Green byte of picture pixel (x, y), y counted from the top.
    uint8_t Green(int x, int y) const
    {
        return bytes[static_cast<std::size_t>(DCMP_STILL_HEIGHT - 1 - y) * DCMP_STILL_STRIDE + 3 * x + 1];
    }
};

int16_t Decode(const Bytes& data, StillOutput& out, int32_t flip = 0)
{
    return Dcmp_DecodeStill(DCMP_STILL_SIZE_VGA, DCMP_STILL_BLOCKS_420, 0, flip, 0, out.bytes.get(), data.size(),
                            data.data());
}

struct CompletenessCase {
    std::string name;
    Bytes data;
    int16_t result;
};

class StillCompleteness : public ::testing::TestWithParam<CompletenessCase> {};

TEST_P(StillCompleteness, DecodesOnlyCompletePictures)
{
    const CompletenessCase& c = GetParam();
    StillOutput out;
    EXPECT_EQ(Decode(c.data, out), c.result);
    EXPECT_EQ(out.Untouched(), c.result == 0);
}

INSTANTIATE_TEST_SUITE_P(
    Markers, StillCompleteness,
    ::testing::Values(
        CompletenessCase{"AllMacroblocksEndOfData", StoredBuilder().Start().Macroblocks(1200).End(), 1},
        CompletenessCase{"AllMacroblocksThenSecondStart",
                         StoredBuilder().Start().Macroblocks(1200).Raw({0x00, 0x02, 0x11, 0x00, 0x41}).bytes, 1},
        CompletenessCase{"OneMacroblockMarkerShort",
                         StoredBuilder().BlockMarkers(6).Start().Macroblocks(1199).End(), 0},
        CompletenessCase{"OneBlockMarkerShort",
                         StoredBuilder().MbMarkers(1).BlockMarkers(5).Start().Macroblocks(1199).End(), 0},
        CompletenessCase{"MarkersBeforeTheStartCount",
                         StoredBuilder().MbMarkers(1).BlockMarkers(6).Start().Macroblocks(1199).End(), 1},
        CompletenessCase{"MarkersAfterTheSecondStartDoNotCount",
                         StoredBuilder().Start().Macroblocks(1199).Raw({0x00, 0x02}).Macroblock().End(), 0},
        CompletenessCase{"IncompleteWithAMarkerAsLastByte",
                         StoredBuilder().Start().Macroblocks(1199).Raw({0x00, 0x41, 0x42, 0x00, 0x81}).bytes, 0},
        CompletenessCase{"IncompleteWithAZeroMarkerAsLastByte",
                         StoredBuilder().Start().Macroblocks(1199).Raw(Zeros(8)).Raw({0x60}).bytes, 0},
        CompletenessCase{"EnoughMarkersButNoStart", StoredBuilder().Macroblocks(1200).End(), 0},
        CompletenessCase{"Empty", {}, 0}),
    [](const auto& info) { return info.param.name; });

TEST(StillDecode, RefusesGeometriesItDoesNotHandle)
{
    const Bytes data = StoredBuilder().Start().Macroblocks(1200).End();
    struct Args {
        int16_t sizeCode, blockFormat, thumbnail;
        std::size_t length;
    };
    for (const Args& a : {Args{0, 2, 0, data.size()}, Args{2, 2, 0, data.size()}, Args{1, 1, 0, data.size()},
                          Args{1, 3, 0, data.size()}, Args{1, 2, 1, data.size()},
                          Args{1, 2, 0, DCMP_STILL_MAX_DATA_BYTES + 1}}) {
        StillOutput out;
        EXPECT_EQ(Dcmp_DecodeStill(a.sizeCode, a.blockFormat, 0, 0, a.thumbnail, out.bytes.get(), a.length,
                                   data.data()),
                  0)
            << a.sizeCode << " " << a.blockFormat << " " << a.thumbnail << " " << a.length;
        EXPECT_TRUE(out.Untouched());
    }
    EXPECT_EQ(Dcmp_DecodeStill(1, 2, 0, 0, 0, nullptr, data.size(), data.data()), 0);
}

// The stored picture decodes exactly as its unpacked frame does in the frame
// decoder at 640 x 480, quality level 0, with the same bottom-up layout.
TEST(StillDecode, MatchesTheFrameDecoderOnTheUnpackedFrame)
{
    StoredBuilder stored;
    stored.Start();
    for (int mb = 0; mb < 1200; mb++)
        stored.Macroblock(static_cast<int16_t>((mb * 37) % 200 - 100));
    const Bytes data = stored.End();

    Bytes frame(data.size() + 1);
    DcmpStillScan scan;
    ASSERT_EQ(Dcmp_ScanStill(data.data(), data.size(), frame.data(), frame.size(), &scan), 1);
    frame.resize(scan.frameLength);
    Decoder reference(640, 480, 0);
    ASSERT_EQ(reference.ready, 1);
    reference.SetFrame(frame);
    Bytes expected(DCMP_STILL_PICTURE_BYTES);
    reference.ctx.dstPicture = expected.data() + 479 * DCMP_STILL_STRIDE;
    Dcmp_Decmpfrm420(&reference.ctx);

    StillOutput out;
    ASSERT_EQ(Decode(data, out), 1);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.bytes.get()));
}

TEST(StillDecode, FirstMacroblockIsTopLeftOrTopRightWhenMirrored)
{
    const Bytes data = StoredBuilder().Start().Macroblock(100).Macroblocks(1199, -100).End();
    for (int32_t flip : {0, 1}) {
        StillOutput out;
        ASSERT_EQ(Decode(data, out, flip), 1);
        const int brightX = flip ? 639 : 0;
        EXPECT_GT(out.Green(brightX, 0), 200) << flip;
        EXPECT_LT(out.Green(639 - brightX, 0), 60) << flip;
        EXPECT_LT(out.Green(brightX, 479), 60) << flip;
    }
}

TEST(StillDecode, CallsDoNotInfluenceEachOther)
{
    const Bytes bright = StoredBuilder().Start().Macroblocks(1200, 100).End();
    const Bytes data = StoredBuilder().Start().Macroblocks(1200, -100).End();
    StillOutput first, again;
    ASSERT_EQ(Decode(data, first), 1);
    StillOutput scratch;
    ASSERT_EQ(Decode(bright, scratch), 1);
    ASSERT_EQ(Decode(data, again), 1);
    EXPECT_TRUE(std::equal(first.bytes.get(), first.bytes.get() + DCMP_STILL_PICTURE_BYTES, again.bytes.get()));
}

TEST(StillFillWhite, SetsEveryByteTo255)
{
    auto bitmap = std::make_unique<DcmpStillBitmap>();
    std::fill(std::begin(bitmap->pixels), std::end(bitmap->pixels), uint8_t{0});
    Dcmp_FillWhite(bitmap.get());
    EXPECT_TRUE(std::all_of(std::begin(bitmap->pixels), std::end(bitmap->pixels), [](uint8_t b) { return b == 255; }));
}

}  // namespace
