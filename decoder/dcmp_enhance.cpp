// Enhancement of a decoded stored picture. Named quantities are singles
// (float); each is computed in extended precision (Ext) and rounded once when
// stored, which the explicit casts below spell out.
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "dcmp_enhance.h"

namespace {

using Ext = long double;
static_assert(std::numeric_limits<Ext>::digits == 64, "the enhancement needs 64-bit-mantissa long double (x86-64)");

constexpr int32_t kW = DCMP_STILL_WIDTH;
constexpr int32_t kH = DCMP_STILL_HEIGHT;
constexpr int32_t kStride = DCMP_STILL_STRIDE;
constexpr int32_t kSamples = (kW / 2) * (kH / 2);   // every second row and column
constexpr uint32_t kTailCount = 115;                // samples allowed beyond each stretch end
constexpr float kMinSpread = 40627200.0f;           // 76,800 x 23 x 23: deviation below 23 levels

// Byte offsets in a pixel.
constexpr int kBlue = 0;
constexpr int kGreen = 1;
constexpr int kRed = 2;

inline uint8_t Limit(int32_t value) { return static_cast<uint8_t>(value < 0 ? 0 : value > 255 ? 255 : value); }
inline int32_t Trunc(Ext value) { return static_cast<int32_t>(value); }
inline int32_t AbsTrunc(float value) { return std::abs(static_cast<int32_t>(value)); }

struct Histograms {
    uint32_t red[256];
    uint32_t green[256];
    uint32_t blue[256];
};

// Stage 1: bitmap (x, y) := buffer pixel 639 - x of buffer row 479 - y.
void MirrorCopy(const uint8_t* picture, DcmpBitmap* bitmap)
{
    for (int32_t y = 0; y < kH; y++) {
        const uint8_t* src = picture + static_cast<std::size_t>(kH - 1 - y) * kStride;
        uint8_t* dst = bitmap->ScanLine(y);
        for (int32_t x = 0; x < kW; x++)
            std::memcpy(dst + 3 * x, src + 3 * (kW - 1 - x), 3);
    }
}

// Edge test along one direction; g(i) is the green byte i steps away.
template <typename Green>
bool IsEdge(Green g)
{
    const int32_t d = std::abs(g(2) + g(1) - g(-1) - g(-2));
    const int32_t d1 = std::abs(g(1) - g(-1));
    return d >= 6 && d <= 199 && d1 >= 26;
}

// Stage 2: sharpens every pixel at least two pixels from the border, reading
// neighbours from the scratch copy of the mirrored bitmap.
void Sharpen(const std::vector<uint8_t>& copy, DcmpBitmap* bitmap)
{
    for (int32_t y = 2; y <= kH - 3; y++) {
        uint8_t* out = bitmap->ScanLine(y);
        for (int32_t x = 2; x <= kW - 3; x++) {
            auto gc = [&copy](int32_t cx, int32_t cy) -> int32_t {
                return copy[static_cast<std::size_t>(cy) * kStride + 3 * cx + kGreen];
            };
            const bool edgeH = IsEdge([&](int32_t i) { return gc(x + i, y); });
            const bool edgeV = IsEdge([&](int32_t i) { return gc(x, y + i); });
            const int32_t n = (edgeH ? 1 : 0) + (edgeV ? 1 : 0);
            if (n == 0)
                continue;
            const uint8_t* c = &copy[static_cast<std::size_t>(y) * kStride + 3 * x];
            float r = c[kRed];
            float g = c[kGreen];
            float b = c[kBlue];
            const float gain = static_cast<float>(0.45L / n);
            float s = 0;
            if (edgeH) {
                const int32_t around = gc(x - 2, y) + gc(x - 1, y) + gc(x + 1, y) + gc(x + 2, y);
                s = static_cast<float>((4 * static_cast<Ext>(g) - around) * gain);
                const int32_t t = AbsTrunc(s);
                if (t > 20)
                    s = static_cast<float>(static_cast<Ext>(s) / t * 20);
                r = static_cast<float>(static_cast<Ext>(r) + s);
                g = static_cast<float>(static_cast<Ext>(g) + s);
                b = static_cast<float>(static_cast<Ext>(b) + s);
            }
            if (edgeV) {
                const int32_t around = gc(x, y - 2) + gc(x, y - 1) + gc(x, y + 1) + gc(x, y + 2);
                const float v = static_cast<float>((4 * static_cast<Ext>(g) - around) * gain);
                if (static_cast<Ext>(s) * v > 0 && AbsTrunc(s) + AbsTrunc(v) > 20) {
                    // Both directions push the same way: together at most about 20 levels.
                    const float w = static_cast<float>((20 - AbsTrunc(s)) * static_cast<Ext>(v));
                    s = static_cast<float>(static_cast<Ext>(w) / AbsTrunc(v));
                } else {
                    s = v;
                    const int32_t t = AbsTrunc(s);
                    if (t > 20)
                        s = static_cast<float>(static_cast<Ext>(s) * 20 / t);
                }
                r = static_cast<float>(static_cast<Ext>(r) + s);
                g = static_cast<float>(static_cast<Ext>(g) + s);
                b = static_cast<float>(static_cast<Ext>(b) + s);
            }
            out[3 * x + kRed] = Limit(Trunc(r));
            out[3 * x + kGreen] = Limit(Trunc(g));
            out[3 * x + kBlue] = Limit(Trunc(b));
        }
    }
}

// Spread test: sum of squared deviations from the mean over one histogram.
float Spread(const uint32_t* counts, float mean)
{
    float var = 0;
    for (int32_t i = 0; i < 256; i++) {
        const float d = static_cast<float>(i - static_cast<Ext>(mean));
        var = static_cast<float>(var + static_cast<Ext>(d) * d * counts[i]);
    }
    return var;
}

// Count of level trunc(v / k), or nothing when v / k lies above 255.
uint32_t CountAt(const uint32_t* counts, int32_t v, float k)
{
    const Ext q = v / static_cast<Ext>(k);
    return q <= 255 ? counts[Trunc(q)] : 0;
}

struct Correction {
    float kR = 1;
    float kB = 1;
    bool balance = false;
};

// Stage 3 after the sums: the colour balance factors.
Correction ColourBalance(const Histograms& hist, float sumR, float sumG, float sumB)
{
    const Ext perSample = 1.0L / kSamples;
    const float meanR = static_cast<float>(sumR * perSample);
    const float meanG = static_cast<float>(sumG * perSample);
    const float meanB = static_cast<float>(sumB * perSample);
    const float lum = static_cast<float>(0.3L * meanR + 0.6L * meanG + 0.1L * meanB);
    Correction k;
    if (!(lum > 35))
        return k;
    const float gR = static_cast<float>(static_cast<Ext>(sumG) / sumR);
    const float gB = static_cast<float>(static_cast<Ext>(sumG) / sumB);
    const float rB = static_cast<float>(static_cast<Ext>(sumR) / sumB);
    k.kR = gR;
    k.kB = gB;
    const bool anyHigh = gR > 1.5L || gB > 1.5L || rB > 1.5L;
    const bool anyLow = gR * 1.5L < 1 || gB * 1.5L < 1 || rB * 1.5L < 1;
    if (!anyHigh && !anyLow)
        return k;  // near neutral: factors kept, used only if the levels are stretched
    if (lum >= 90) {
        const bool redCast = (rB > 3.15L && gB < 1.33L) || rB > 5.39L;
        const bool greenOverRed = gR > 1.43L && gB < 1;
        const bool greenCast = (gR > 1.9L && gB > 1) || (gR > 1 && gB > 1.9L);
        if (redCast || greenOverRed || greenCast)
            return Correction{};
    }
    k.balance = true;
    bool clipped = false;
    for (float* f : {&k.kR, &k.kB}) {
        if (*f > 2) {
            *f = 2;
            clipped = true;
        } else if (*f < 0.5f) {
            *f = 0.5f;
            clipped = true;
        }
    }
    if (clipped || rB > 2 || rB < 0.5L) {
        // A strong correction only for a picture with enough spread in every channel.
        if (Spread(hist.red, meanR) < kMinSpread || Spread(hist.green, meanG) < kMinSpread ||
            Spread(hist.blue, meanB) < kMinSpread)
            return Correction{};
    }
    return k;
}

// Stage 4: finds the stretch ends and applies them with the balance factors.
void LevelStretch(const Histograms& hist, const Correction& k, DcmpBitmap* bitmap)
{
    int32_t low = 31;
    uint32_t totalR = 0, totalG = 0, totalB = 0;
    for (int32_t v = 0; v < 31; v++) {
        totalR += CountAt(hist.red, v, k.kR);
        totalG += hist.green[v];
        totalB += CountAt(hist.blue, v, k.kB);
        if (totalR > kTailCount || totalG > kTailCount || totalB > kTailCount) {
            low = v;
            break;
        }
    }
    int32_t top = 55;
    totalR = totalG = totalB = 0;
    for (int32_t v = 255; v > 200; v--) {
        totalR += CountAt(hist.red, v, k.kR);
        totalG += hist.green[v];
        totalB += CountAt(hist.blue, v, k.kB);
        if (totalR > kTailCount || totalG > kTailCount || totalB > kTailCount) {
            top = 255 - v;
            break;
        }
    }
    if (top <= 3 && low <= 3 && !k.balance)
        return;
    const float scale = static_cast<float>(255.0L / (255 - top - low));
    for (int32_t y = 0; y < kH; y++) {
        uint8_t* p = bitmap->ScanLine(y);
        for (int32_t x = 0; x < kW; x++, p += 3) {
            p[kRed] = Limit(Trunc(static_cast<Ext>(p[kRed] - low) * scale * k.kR));
            p[kGreen] = Limit(Trunc(static_cast<Ext>(p[kGreen] - low) * scale));
            p[kBlue] = Limit(Trunc(static_cast<Ext>(p[kBlue] - low) * scale * k.kB));
        }
    }
}

}  // namespace

void Dcmp_StillToBitmap(const uint8_t* picture, DcmpBitmap* bitmap)
{
    MirrorCopy(picture, bitmap);
    {
        std::vector<uint8_t> copy(DCMP_STILL_PICTURE_BYTES);
        for (int32_t y = 0; y < kH; y++)
            std::memcpy(&copy[static_cast<std::size_t>(y) * kStride], bitmap->ScanLine(y), kStride);
        Sharpen(copy, bitmap);
    }

    Histograms hist{};
    float sumR = 0, sumG = 0, sumB = 0;
    for (int32_t y = 0; y < kH; y += 2) {
        const uint8_t* p = bitmap->ScanLine(y);
        for (int32_t x = 0; x < kW; x += 2, p += 6) {
            hist.red[p[kRed]]++;
            hist.green[p[kGreen]]++;
            hist.blue[p[kBlue]]++;
            sumR = static_cast<float>(static_cast<Ext>(sumR) + p[kRed]);
            sumG = static_cast<float>(static_cast<Ext>(sumG) + p[kGreen]);
            sumB = static_cast<float>(static_cast<Ext>(sumB) + p[kBlue]);
        }
    }
    if (sumR == 0 || sumG == 0 || sumB == 0)
        return;
    LevelStretch(hist, ColourBalance(hist, sumR, sumG, sumB), bitmap);
}
