// The block coder against the decoder's own run-length decoder.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "decoder/dcmp.h"
#include "sim/encoder/block_coder.h"

namespace torvex::sim {
namespace {

// A context whose sign tables are built, as Dcmp_RLD needs them.
class BlockCoderTest : public ::testing::Test {
protected:
    void SetUp() override { Dcmp_CreateSignBitExtTbl(&ctx_); }

    // Codes `coef`, decodes it back and checks the decoder sees the same block
    // and skips exactly the coded bytes. Returns the coded length.
    std::size_t RoundTrip(const CoefBlock& coef) {
        std::vector<std::uint8_t> bytes;
        AppendCodedBlock(coef, bytes);
        EXPECT_LE(bytes.size(), DCMP_MAX_BLOCK_READ);
        EXPECT_EQ(bytes.back(), 0);
        for (std::size_t i = 0; i + 1 < bytes.size(); ++i) EXPECT_NE(bytes[i], 0) << "byte " << i;
        EXPECT_NE(bytes[0] & 0xC0, 0xC0) << "header reads as a copy block";
        // Garbage after the block must not matter.
        std::vector<std::uint8_t> padded = bytes;
        padded.resize(bytes.size() + DCMP_MAX_BLOCK_READ, 0x5A);
        std::int16_t decoded[64] = {};
        const unsigned length = Dcmp_RLD(decoded, padded.data(), &ctx_);
        EXPECT_EQ(length + 1, bytes.size());
        for (int i = 0; i < 64; ++i) EXPECT_EQ(decoded[i], coef[i]) << "coefficient " << i;
        return bytes.size();
    }

    DcmpContext ctx_{};
};

CoefBlock With(std::initializer_list<std::pair<int, int>> values) {
    CoefBlock coef{};
    for (auto [index, value] : values) coef[index] = static_cast<std::int16_t>(value);
    return coef;
}

// Each case has a known shortest coding: bytes = header + codes + terminator.
TEST_F(BlockCoderTest, CodesEachKindInTheShortestWay) {
    struct Case {
        const char* name;
        CoefBlock coef;
        std::size_t bytes;
    } cases[] = {
        {"empty block", With({}), 2},
        {"two small values share one code", With({{0, 3}, {1, -4}}), 3},
        {"small value then zero", With({{0, -4}}), 3},
        {"six-bit value", With({{0, 31}}), 3},
        {"six-bit limit the other way", With({{0, -32}}), 3},
        {"large value", With({{0, 32}}), 4},
        {"12-bit extremes", With({{0, 2047}, {1, -2048}}), 6},
        {"zero run skipped by a position code", With({{40, 5}}), 4},
        {"small pair at the last index", With({{63, -3}}), 4},
        {"large value at the last index", With({{63, -1024}}), 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(RoundTrip(c.coef), c.bytes);
    }
}

TEST_F(BlockCoderTest, WorstCaseBlockStillFitsTheDecodersLimits) {
    CoefBlock coef;
    for (int i = 0; i < 64; ++i) coef[i] = static_cast<std::int16_t>(i % 2 ? -2048 : 2047);
    EXPECT_EQ(RoundTrip(coef), 1 + 128 + 1u);
}

TEST_F(BlockCoderTest, RandomBlocksDecodeToThemselves) {
    std::mt19937 random(7);
    // Mostly small values with zero runs, some large ones: every code kind mixed.
    std::uniform_int_distribution<int> pick(0, 99), small(-4, 3), medium(-32, 31), large(-2048, 2047);
    for (int round = 0; round < 2000; ++round) {
        CoefBlock coef{};
        const int density = pick(random);
        for (int i = 0; i < 64; ++i) {
            const int p = pick(random);
            if (p >= density) continue;
            coef[i] = static_cast<std::int16_t>(p % 3 == 0 ? small(random) : p % 3 == 1 ? medium(random) : large(random));
        }
        SCOPED_TRACE(round);
        RoundTrip(coef);
        if (HasFailure()) break;
    }
}

TEST(Quantize, ClampsSoThatDequantisationNeverWraps) {
    DctBlock dct{};
    dct[0] = 5000;   // far beyond what a factor of 3,536 / 16 can carry
    dct[1] = -5000;
    dct[2] = 100;
    std::int16_t factors[64];
    for (auto& f : factors) f = 3536;
    const CoefBlock coef = Quantize(dct, factors);
    EXPECT_EQ(coef[0], 32767 / 3536);
    EXPECT_EQ(coef[1], -32768 / 3536);
    EXPECT_EQ(coef[2], 0);  // 100 / 221 rounds to 0
    // Steps of the encoder's own and the frequency limit.
    std::int16_t unit[64], steps[64];
    for (int i = 0; i < 64; ++i) unit[i] = 16, steps[i] = 4;
    dct[0] = 13;
    dct[9] = 7;  // u + v = 2
    const CoefBlock stepped = Quantize(dct, unit, steps, 1);
    EXPECT_EQ(stepped[0], 12);
    EXPECT_EQ(stepped[2], 0);
    EXPECT_EQ(stepped[9], 0);
}

// The chain forward DCT -> quantiser -> decoder's inverse transform gives the
// samples back: the encoder's scale matches the decoder's.
TEST(Reconstruct, MatchesTheDecodersScale) {
    std::int16_t unit[64];
    for (auto& f : unit) f = 16;
    SampleBlock samples;
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) samples[8 * y + x] = static_cast<float>(x * 9 - y * 5 + (x * y) % 7);
    const PixelBlock pixels = Reconstruct(Quantize(ForwardDct(samples), unit), unit);
    double sum = 0, worst = 0;
    for (int i = 0; i < 64; ++i) {
        const double error = pixels[i] - (samples[i] + 128);
        sum += error;
        worst = std::max(worst, std::abs(error));
    }
    // The decoder's fixed-point transform rounds down a little (Reconstruct
    // does not hide that); a scale mismatch would be off by tens.
    EXPECT_LE(worst, 2.0);
    EXPECT_NEAR(sum / 64, -0.4, 0.35);
}

}  // namespace
}  // namespace torvex::sim
