// Block decoding: run-length codes, dequantisation and the inverse transform.
#include <gtest/gtest.h>

#include <array>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "decoder_fixture.h"
#include "simd/dcmp_kernels.h"
#include "transform_reference.h"

namespace {

using Block = std::array<int16_t, 64>;

struct RldCase {
    const char* name;
    std::vector<uint8_t> code;
    unsigned length;                 // result of Dcmp_RLD
    std::map<int, int16_t> nonzero;  // coefficients expected to be set
};

std::vector<uint8_t> Repeated(std::initializer_list<uint8_t> head, uint8_t fill, std::size_t total)
{
    std::vector<uint8_t> bytes(head);
    bytes.resize(total, fill);
    return bytes;
}

std::vector<uint8_t> LargeValueAtLastPosition()
{
    // Position codes up to offset 125, then a position code announcing a large
    // value whose two bytes sit at offsets 127 and 128 (the second one zero).
    std::vector<uint8_t> bytes = Repeated({0x00}, 0x05, 130);
    bytes[126] = 0xC5;
    bytes[127] = 0x01;
    bytes[128] = 0x00;
    bytes[129] = 0x77;
    return bytes;
}

class RunLengthDecode : public ::testing::TestWithParam<RldCase> {};

TEST_P(RunLengthDecode, SetsCoefficientsAndReturnsLength)
{
    const RldCase& c = GetParam();
    Decoder d(320, 240);
    ASSERT_EQ(d.ready, 1);
    // Exactly the code bytes on the heap, so any read past them is caught.
    std::vector<uint8_t> code = c.code;
    Block coef{};
    EXPECT_EQ(Dcmp_RLD(coef.data(), code.data(), &d.ctx), c.length);
    for (int i = 0; i < 64; i++) {
        auto it = c.nonzero.find(i);
        EXPECT_EQ(coef[i], it == c.nonzero.end() ? 0 : it->second) << "coefficient " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Codes, RunLengthDecode,
    ::testing::Values(
        RldCase{"Empty", {0x10, 0x00}, 1, {}},
        RldCase{"TwoSmallValues", {0x10, 0x45, 0x00}, 2, {{1, -3}}},
        RldCase{"PositionThenOneValue", {0x00, 0x85, 0x1F, 0x00}, 3, {{5, 31}}},
        RldCase{"LargeValueIgnoresSpareBits", {0x30, 0x18, 0x80, 0x00}, 3, {{0, -1024}}},
        RldCase{"LargestValue", {0x30, 0x2F, 0xFF, 0x00}, 3, {{0, 2047}}},
        // Each code announces the next one's kind: 2, 1, 3, 2.
        RldCase{"KindChain", {0x20, 0x41, 0xD7, 0x9F, 0x7F, 0x01, 0x00}, 6, {{0, 1}, {1, 2}, {2, -1}, {3, -1}, {4, 1}}},
        // A pair at index 63 keeps its first value only and ends the block.
        RldCase{"PairAtLastIndex", {0x00, 0x7F, 0x1B, 0x55}, 3, {{63, 3}}},
        RldCase{"StopsAtLengthLimit", Repeated({0x00}, 0x05, 129), 128, {}},
        RldCase{"LargeValueAtLengthLimit", LargeValueAtLastPosition(), 129, {{5, 128}}}),
    [](const ::testing::TestParamInfo<RldCase>& info) { return std::string(info.param.name); });

TEST(DeQuant, MultipliesWithSixteenBitWrap)
{
    Block coef{}, quant{}, out{};
    quant.fill(1);
    const int16_t c[] = {2047, -2048, 3, -1, 100};
    const int16_t q[] = {3536, 3536, 100, 16, 400};
    const int16_t expected[] = {29232, -32768, 300, -16, -25536};
    for (int i = 0; i < 5; i++) {
        coef[10 * i] = c[i];
        quant[10 * i] = q[i];
    }
    Dcmp_DeQuant(out.data(), coef.data(), quant.data());
    for (int i = 0; i < 64; i++)
        EXPECT_EQ(out[i], i % 10 == 0 && i < 50 ? expected[i / 10] : 0) << i;
}

Block Transform(std::map<int, int16_t> coefficients, int16_t fill = 0)
{
    Block block;
    block.fill(fill);
    for (auto [index, value] : coefficients)
        block[index] = value;
    Dcmp_IDCT8x8aan(block.data());
    return block;
}

void ExpectBlock(const Block& actual, const Block& expected)
{
    for (int i = 0; i < 64; i++)
        EXPECT_EQ(actual[i], expected[i]) << "row " << i / 8 << " column " << i % 8;
}

TEST(InverseTransform, ZeroBlockShowsTheBiasPattern)
{
    Block expected;
    const int16_t even[8] = {0, -1, 0, -1, 0, -1, 0, 0};
    const int16_t odd[8] = {0, 0, -1, 0, -1, 0, -1, 0};
    for (int y = 0; y < 8; y++)
        for (int x = 0; x < 8; x++)
            expected[8 * y + x] = y % 2 == 0 ? even[x] : odd[x];
    ExpectBlock(Transform({}), expected);
}

TEST(InverseTransform, LoneDcIsFlatApartFromTheBiasColumns)
{
    for (auto [dc, flat, row3, row4] : {std::array<int16_t, 4>{1600, 12, 13, 11}, {-1600, -13, -12, -14}}) {
        Block expected;
        expected.fill(flat);
        for (int x : {1, 3, 5}) {
            expected[8 * 3 + x] = row3;
            expected[8 * 4 + x] = row4;
        }
        ExpectBlock(Transform({{0, dc}}), expected);
    }
}

TEST(InverseTransform, LowestFrequenciesRunAlongTheirAxes)
{
    const int16_t ramp[8] = {17, 14, 9, 3, -4, -10, -15, -18};
    // Coefficient 1 is the lowest vertical frequency: constant along rows.
    Block expected;
    for (int y = 0; y < 8; y++)
        for (int x = 0; x < 8; x++)
            expected[8 * y + x] = ramp[y];
    expected[8 * 2 + 4] = 10;
    expected[8 * 3 + 3] = 4;
    expected[8 * 5 + 4] = -11;
    ExpectBlock(Transform({{1, 1600}}), expected);
    // Coefficient 8 is the lowest horizontal frequency.
    const Block horizontal = Transform({{8, 1600}});
    for (int x = 0; x < 8; x++)
        EXPECT_EQ(horizontal[x], ramp[x]) << "column " << x;
}

TEST(InverseTransform, SaturatesOnAllMaximumInput)
{
    const Block out = Transform({}, 32767);
    const int16_t firstRow[8] = {2047, -2048, 2047, -1087, 1669, -162, 970, 427};
    for (int x = 0; x < 8; x++)
        EXPECT_EQ(out[x], firstRow[x]) << "column " << x;
    for (int16_t s : out) {
        EXPECT_GE(s, -2048);
        EXPECT_LE(s, 2047);
    }
}

// The decoder's transform runs eight lanes at a time, wraps where its ranges
// allow and saturates by limiting operands; it must give the plainly written
// transform's samples for any input, including those that saturate at every
// step.
struct TransformInputs {
    const char* name;
    std::vector<int16_t> values;  // each coefficient is drawn from these, or
    int range;                    // uniformly from -range..range-1 if values is empty
    int zeroPercent;              // share of coefficients forced to zero
};

void PrintTo(const TransformInputs& inputs, std::ostream* os) { *os << inputs.name; }

class TransformMatchesReference : public ::testing::TestWithParam<TransformInputs> {};

// Each trial transforms one block alone and, with the next, as a pair.
TEST_P(TransformMatchesReference, OnRandomBlocks)
{
    const TransformInputs& inputs = GetParam();
    std::mt19937 random(7);
    auto draw = [&] {
        Block block;
        for (int16_t& value : block) {
            if (static_cast<int>(random() % 100) < inputs.zeroPercent)
                value = 0;
            else if (!inputs.values.empty())
                value = inputs.values[random() % inputs.values.size()];
            else
                value = static_cast<int16_t>(static_cast<int>(random() % (2u * inputs.range)) - inputs.range);
        }
        return block;
    };
    for (int trial = 0; trial < 10000; trial++) {
        Block first = draw();
        Block second = draw();
        Block expectedFirst = first;
        Block expectedSecond = second;
        ReferenceTransform(expectedFirst.data());
        ReferenceTransform(expectedSecond.data());
        Block alone = first;
        Dcmp_IDCT8x8aan(alone.data());
        ASSERT_EQ(alone, expectedFirst) << "trial " << trial;
        Dcmp_IDCT8x8aanPair(first.data(), second.data());
        ASSERT_EQ(first, expectedFirst) << "pair, trial " << trial;
        ASSERT_EQ(second, expectedSecond) << "pair, trial " << trial;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, TransformMatchesReference,
    ::testing::Values(TransformInputs{"FullRange", {}, 32768, 0}, TransformInputs{"Typical", {}, 2048, 60},
                      TransformInputs{"Sparse", {}, 32768, 90},
                      TransformInputs{"Extremes", {-32768, -32767, -16384, -1, 0, 1, 16383, 32766, 32767}, 0, 0}),
    [](const ::testing::TestParamInfo<TransformInputs>& info) { return std::string(info.param.name); });

}  // namespace
