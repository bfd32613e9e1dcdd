#include "sim/encoder/block_coder.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "decoder/dcmp.h"

namespace torvex::sim {
namespace {

// cosTable[f][p] = C(f) / 2 * cos((2p + 1) f pi / 16): the orthonormal 1-D DCT basis.
struct CosTable {
    float c[8][8];
    CosTable() {
        for (int f = 0; f < 8; ++f) {
            const double scale = f == 0 ? std::sqrt(0.125) : 0.5;
            for (int p = 0; p < 8; ++p)
                c[f][p] = static_cast<float>(scale * std::cos((2 * p + 1) * f * std::numbers::pi / 16));
        }
    }
};

const CosTable& Cosines() {
    static const CosTable table;
    return table;
}

// The four code kinds of a block's run-length codes.
enum CodeKind : int { kPosition = 0, kTwoSmall = 1, kOneValue = 2, kLarge = 3 };

bool FitsSigned(int value, int bits) {
    return value >= -(1 << (bits - 1)) && value < (1 << (bits - 1));
}

struct Code {
    int kind;
    std::uint8_t payload;  // first byte without the next-kind bits
    std::uint8_t second;   // kind 3 only
};

// Shortest sequence of codes for a coefficient block: dynamic programming over
// the coefficient index. Zero runs are skipped with position codes; a block
// ends as soon as every remaining coefficient is zero.
std::vector<Code> ShortestCodes(const CoefBlock& coef) {
    int last = -1;
    for (int k = 0; k < 64; ++k)
        if (coef[k] != 0) last = k;

    constexpr int kEnd = 66;  // a kind-1 code at index 63 leaves the index at 65
    int cost[kEnd] = {};
    int choiceKind[kEnd] = {};
    int choiceNext[kEnd] = {};
    for (int k = last; k >= 0; --k) {
        int best = 2 + cost[k + 1];  // a large value always works
        int bestKind = kLarge, bestNext = k + 1;
        const int value = coef[k];
        const int following = k + 1 < 64 ? coef[k + 1] : 0;  // a value past index 63 is discarded
        if (value != 0 && FitsSigned(value, 6) && 1 + cost[k + 1] < best) {
            best = 1 + cost[k + 1];
            bestKind = kOneValue;
        }
        if ((value != 0 || following != 0) && FitsSigned(value, 3) && FitsSigned(following, 3) &&
            1 + cost[k + 2] < best) {
            best = 1 + cost[k + 2];
            bestKind = kTwoSmall;
            bestNext = k + 2;
        }
        if (value == 0) {  // jump to any index up to the next nonzero one
            for (int j = k + 1; j <= last; ++j) {
                if (1 + cost[j] < best) {
                    best = 1 + cost[j];
                    bestKind = kPosition;
                    bestNext = j;
                }
                if (coef[j] != 0) break;
            }
        }
        cost[k] = best;
        choiceKind[k] = bestKind;
        choiceNext[k] = bestNext;
    }

    std::vector<Code> codes;
    for (int k = 0; k <= last;) {
        const int next = choiceNext[k];
        const int value = coef[k];
        switch (choiceKind[k]) {
        case kPosition:
            codes.push_back({kPosition, static_cast<std::uint8_t>(next), 0});
            break;
        case kTwoSmall: {
            const int following = k + 1 < 64 ? coef[k + 1] : 0;
            codes.push_back({kTwoSmall, static_cast<std::uint8_t>(((value & 7) << 3) | (following & 7)), 0});
            break;
        }
        case kOneValue:
            codes.push_back({kOneValue, static_cast<std::uint8_t>(value & 0x3F), 0});
            break;
        default:
            // Bits 11..7 in the first byte, whose ignored bit 5 is set so that it is
            // never zero; bits 6..0 in the second, whose ignored bit 7 is set likewise.
            codes.push_back({kLarge, static_cast<std::uint8_t>(0x20 | ((value >> 7) & 0x1F)),
                             static_cast<std::uint8_t>(0x80 | (value & 0x7F))});
            break;
        }
        k = next;
    }
    return codes;
}

}  // namespace

DctBlock ForwardDct(const SampleBlock& samples) {
    const auto& cos = Cosines().c;
    // Rows first: rowDct[y][u] over x, then columns: out[8u + v] over y.
    float rowDct[8][8];
    for (int y = 0; y < 8; ++y)
        for (int u = 0; u < 8; ++u) {
            float sum = 0;
            for (int x = 0; x < 8; ++x) sum += cos[u][x] * samples[8 * y + x];
            rowDct[y][u] = sum;
        }
    DctBlock out{};
    for (int u = 0; u < 8; ++u)
        for (int v = 0; v < 8; ++v) {
            float sum = 0;
            for (int y = 0; y < 8; ++y) sum += cos[v][y] * rowDct[y][u];
            out[8 * u + v] = sum;
        }
    return out;
}

CoefBlock Quantize(const DctBlock& dct, const std::int16_t* factors, const std::int16_t* steps,
                   int frequencyLimit) {
    CoefBlock coef{};
    for (int i = 0; i < 64; ++i) {
        if (i / 8 + i % 8 > frequencyLimit) continue;
        const int factor = std::max<int>(factors[i], 1);
        const int step = steps ? std::max<int>(steps[i], 1) : 1;
        // Keep value x factor inside 16 bits: the decoder's product wraps.
        const long high = std::min(2047, 32767 / factor);
        const long low = std::max(-2048, -32768 / factor);
        const long rounded = step * std::lround(dct[i] * 16.0f / static_cast<float>(factor * step));
        coef[i] = static_cast<std::int16_t>(std::clamp(rounded, low, high));
    }
    return coef;
}

PixelBlock Reconstruct(const CoefBlock& coef, const std::int16_t* factors) {
    std::int16_t block[64];
    Dcmp_DeQuant(block, coef.data(), factors);
    Dcmp_IDCT8x8aan(block);
    PixelBlock pixels{};
    for (int i = 0; i < 64; ++i) pixels[i] = static_cast<std::uint8_t>(std::clamp(block[i] + 128, 0, 255));
    return pixels;
}

void AppendCodedBlock(const CoefBlock& coef, std::vector<std::uint8_t>& out) {
    const std::vector<Code> codes = ShortestCodes(coef);
    // Each byte announces the kind of the code after it. Bit 7 of the header
    // is set: it is ignored, keeps the header from reading as a copy block
    // (bits 7..6 = 11) and from looking like a frame start after a zero byte.
    const int firstKind = codes.empty() ? kOneValue : codes.front().kind;
    out.push_back(static_cast<std::uint8_t>(0x81 | (firstKind << 4)));
    for (std::size_t i = 0; i < codes.size(); ++i) {
        // The last code announces kind 2, which sets bit 7 and so keeps it nonzero.
        const int nextKind = i + 1 < codes.size() ? codes[i + 1].kind : kOneValue;
        out.push_back(static_cast<std::uint8_t>((nextKind << 6) | codes[i].payload));
        if (codes[i].kind == kLarge) out.push_back(codes[i].second);
    }
    out.push_back(0);
}

void AppendCopyBlock(std::vector<std::uint8_t>& out) {
    out.push_back(0xC1);
    out.push_back(0x80);  // not interpreted
}

}  // namespace torvex::sim
