// Colour conversion of the decoded planes into a bottom-up 24-bit picture
// (blue, green, red), by table lookups of fixed-point BT.601 contributions.
#include "dcmp.h"

namespace {

// Limits a colour sum to 0..255 by one lookup; the contribution tables keep
// every sum within DCMP_COLOUR_SUM_MIN..DCMP_COLOUR_SUM_MAX.
struct LimitTable {
    uint8_t byte[DCMP_COLOUR_SUM_MAX - DCMP_COLOUR_SUM_MIN + 1];
};

constexpr LimitTable MakeLimitTable()
{
    LimitTable table{};
    for (int value = DCMP_COLOUR_SUM_MIN; value <= DCMP_COLOUR_SUM_MAX; value++)
        table.byte[value - DCMP_COLOUR_SUM_MIN] = static_cast<uint8_t>(value < 0 ? 0 : value > 255 ? 255 : value);
    return table;
}

constexpr LimitTable kLimit = MakeLimitTable();

inline uint8_t Limit(int value) { return kLimit.byte[value - DCMP_COLOUR_SUM_MIN]; }

inline void ConvertPixel(const DcmpRgbTerm& luma, int blue, int green, int red, uint8_t* out)
{
    out[0] = Limit(luma.blue + blue);
    out[1] = Limit(luma.green + green);
    out[2] = Limit(luma.red + red);
}

// Converts the pixel at coded column x of a row whose chroma terms are given.
inline void ConvertAt(const uint8_t* y, int32_t x, const DcmpRgbTerm& cb, const DcmpRgbTerm& cr, uint8_t* out)
{
    ConvertPixel(Y0[y[x]], cb.blue, cb.green + cr.green, cr.red, out);
}

// Converts `count` pixels of one coded row starting at coded column x0.
// Each chroma sample serves two pixels side by side, so its terms are looked
// up once per pair.
void ConvertRun(const uint8_t* y, const uint8_t* u, const uint8_t* v, int32_t x0, int32_t count, uint8_t* out)
{
    const int32_t end = x0 + count;
    int32_t x = x0;
    if (x % 2 != 0 && x < end) {  // odd start: the second pixel of its chroma sample
        ConvertAt(y, x, u0[u[x / 2]], v0[v[x / 2]], out);
        out += 3;
        x++;
    }
    for (; x + 1 < end; x += 2) {
        const DcmpRgbTerm& cb = u0[u[x / 2]];
        const DcmpRgbTerm& cr = v0[v[x / 2]];
        ConvertAt(y, x, cb, cr, out);
        ConvertAt(y, x + 1, cb, cr, out + 3);
        out += 6;
    }
    if (x < end)  // odd end: the first pixel of its chroma sample
        ConvertAt(y, x, u0[u[x / 2]], v0[v[x / 2]], out);
}

}  // namespace

void WMMX_YUV12ToRGB24(DcmpContext* ctx)
{
    const int32_t chromaWidth = ctx->decWidth / 2;
    for (int32_t row = 0; row < ctx->decHeight; row++) {
        const uint8_t* y = ctx->planeY + static_cast<std::size_t>(row) * ctx->decWidth;
        const uint8_t* u = ctx->planeU + static_cast<std::size_t>(row / 2) * chromaWidth;
        const uint8_t* v = ctx->planeV + static_cast<std::size_t>(row / 2) * chromaWidth;
        ConvertRun(y, u, v, 0, ctx->decWidth, ctx->dstPicture - static_cast<std::ptrdiff_t>(row) * ctx->rgbStride);
    }
}

// Spreads a 320 x 240 picture over a 352 x 288 frame: every group of 10 coded
// columns fills 11 output columns leaving the 7th empty, every group of 5 coded
// rows fills 6 output rows leaving the 4th empty. Dcmp_QV2C_Flip fills the gaps.
void WMMX_YUV12ToRGB24_CIF(DcmpContext* ctx)
{
    constexpr int32_t kStride = 352 * 3;
    for (int32_t row = 0; row < 240; row++) {
        const int32_t outRow = 6 * (row / 5) + row % 5 + (row % 5 >= 3 ? 1 : 0);
        const uint8_t* y = ctx->planeY + row * 320;
        const uint8_t* u = ctx->planeU + (row / 2) * 160;
        const uint8_t* v = ctx->planeV + (row / 2) * 160;
        uint8_t* out = ctx->dstPicture - static_cast<std::ptrdiff_t>(outRow) * kStride;
        for (int32_t group = 0; group < 32; group++) {
            ConvertRun(y, u, v, 10 * group, 6, out + 33 * group);
            ConvertRun(y, u, v, 10 * group + 6, 4, out + 33 * group + 21);
        }
    }
}
