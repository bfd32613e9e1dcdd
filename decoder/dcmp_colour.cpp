// Colour conversion of the decoded planes into a bottom-up 24-bit picture
// (blue, green, red): fixed-point BT.601 contributions of luma and chroma,
// added and limited to 0..255.
//
// The contribution tables Y0, u0 and v0 hold trunc(gain x a / 256) with
// a = Y - 16, U - 128 or V - 128 (quotient toward zero). The conversion
// computes those entries in 16-bit arithmetic instead of looking them up, so
// that the compiler turns the fixed-length loops below into vector code on
// any processor; the tests compare it with the table lookups for every
// (Y, U, V) triple.
#include <cstring>

#include "dcmp.h"
#include "simd/dcmp_kernels.h"

namespace {

// Pixels converted together; the loops over one chunk have fixed lengths
// and 16-bit lanes.
constexpr int32_t kChunk = 32;

// trunc(x / 256) of a 16-bit value: a negative x is first raised by 255.
inline int16_t Trunc256(int16_t x)
{
    return static_cast<int16_t>((x + ((x >> 15) & 255)) >> 8);
}

// Chroma contributions; every product fits 16 bits once the whole multiples
// of 256 are split off the gains 519 (2 x 256 + 7) and 411 (256 + 155).
inline int16_t BlueOfCb(int16_t cb) { return static_cast<int16_t>(2 * cb + Trunc256(static_cast<int16_t>(7 * cb))); }
inline int16_t RedOfCr(int16_t cr) { return static_cast<int16_t>(cr + Trunc256(static_cast<int16_t>(155 * cr))); }
inline int16_t GreenOf(int16_t cb, int16_t cr)
{
    return static_cast<int16_t>(Trunc256(static_cast<int16_t>(-100 * cb)) + Trunc256(static_cast<int16_t>(-207 * cr)));
}

// Luma contribution trunc(gain x (Y - 16) / 256): the floor is the high half
// of ((Y - 16) << 7) x (2 x gain); below Y = 16 no quotient is whole, so the
// quotient toward zero is the floor plus one.
inline int16_t LumaOf(uint8_t y, int16_t twiceGain)
{
    const int16_t a = static_cast<int16_t>(y - 16);
    const int16_t scaled = static_cast<int16_t>(a * 128);
    const int16_t floorQuotient = static_cast<int16_t>((scaled * twiceGain) >> 16);
    return static_cast<int16_t>(floorQuotient + (a < 0 ? 1 : 0));
}

inline uint8_t Limit(int16_t luma, int16_t chroma)
{
    const int16_t value = static_cast<int16_t>(luma + chroma);
    return static_cast<uint8_t>(value < 0 ? 0 : value > 255 ? 255 : value);
}

// Chroma contributions of the pixels of one chunk, each chroma sample's
// repeated for the two pixels side by side that it serves.
struct ChunkChroma {
    int16_t blue[kChunk];
    int16_t green[kChunk];
    int16_t red[kChunk];
};

inline void ChromaOfChunk(const uint8_t* u, const uint8_t* v, ChunkChroma* chroma)
{
    int16_t blue[kChunk / 2], green[kChunk / 2], red[kChunk / 2];
    for (int i = 0; i < kChunk / 2; i++) {
        const int16_t cb = static_cast<int16_t>(u[i] - 128);
        const int16_t cr = static_cast<int16_t>(v[i] - 128);
        blue[i] = BlueOfCb(cb);
        green[i] = GreenOf(cb, cr);
        red[i] = RedOfCr(cr);
    }
    for (int i = 0; i < kChunk / 2; i++) {
        chroma->blue[2 * i] = blue[i];
        chroma->blue[2 * i + 1] = blue[i];
        chroma->green[2 * i] = green[i];
        chroma->green[2 * i + 1] = green[i];
        chroma->red[2 * i] = red[i];
        chroma->red[2 * i + 1] = red[i];
    }
}

// Converts the kChunk pixels of a luma row that share `chroma`. Each pixel is
// assembled in 32 bits and its low three bytes land in the picture: the
// stores overlap the next pixel, which is written after, and the last pixel
// writes three bytes only.
inline void ConvertChunk(const uint8_t* y, const ChunkChroma& chroma, uint8_t* out)
{
    // Channels first, in 16-bit lanes; then the pixels in 32 bits.
    uint8_t blue[kChunk], green[kChunk], red[kChunk];
    for (int i = 0; i < kChunk; i++) {
        blue[i] = Limit(LumaOf(y[i], 594), chroma.blue[i]);
        green[i] = Limit(LumaOf(y[i], 600), chroma.green[i]);
        red[i] = Limit(LumaOf(y[i], 598), chroma.red[i]);
    }
    uint32_t pixel[kChunk];
    for (int i = 0; i < kChunk; i++)
        pixel[i] = blue[i] | static_cast<uint32_t>(green[i]) << 8 | static_cast<uint32_t>(red[i]) << 16;
    for (int i = 0; i < kChunk - 1; i++)
        std::memcpy(out + 3 * i, &pixel[i], 4);
    std::memcpy(out + 3 * (kChunk - 1), &pixel[kChunk - 1], 3);
}

// One pixel at coded column x, for a row that is not a whole number of chunks.
inline void ConvertPixel(const uint8_t* y, const uint8_t* u, const uint8_t* v, int32_t x, uint8_t* out)
{
    const int16_t cb = static_cast<int16_t>(u[x / 2] - 128);
    const int16_t cr = static_cast<int16_t>(v[x / 2] - 128);
    out[0] = Limit(LumaOf(y[x], 594), BlueOfCb(cb));
    out[1] = Limit(LumaOf(y[x], 600), GreenOf(cb, cr));
    out[2] = Limit(LumaOf(y[x], 598), RedOfCr(cr));
}

// Converts one row, or two rows that share their chroma (y1 and out1 null
// for one), `width` pixels each. Every coded width is a whole number of
// chunks; any other goes pixel by pixel.
void ConvertRows(const uint8_t* y0, const uint8_t* y1, const uint8_t* u, const uint8_t* v, int32_t width,
                 uint8_t* out0, uint8_t* out1)
{
    if (width % kChunk != 0) {
        for (int32_t x = 0; x < width; x++) {
            ConvertPixel(y0, u, v, x, out0 + 3 * x);
            if (y1)
                ConvertPixel(y1, u, v, x, out1 + 3 * x);
        }
        return;
    }
    ChunkChroma chroma;
    for (int32_t x = 0; x < width; x += kChunk) {
        ChromaOfChunk(u + x / 2, v + x / 2, &chroma);
        ConvertChunk(y0 + x, chroma, out0 + 3 * x);
        if (y1)
            ConvertChunk(y1 + x, chroma, out1 + 3 * x);
    }
}

// Row `row` of the coded picture: its luma row and its chroma rows.
struct CodedRow {
    const uint8_t* y;
    const uint8_t* u;
    const uint8_t* v;
};

CodedRow RowOf(const DcmpContext* ctx, int32_t row)
{
    const std::size_t chroma = static_cast<std::size_t>(row / 2) * (ctx->decWidth / 2);
    return {ctx->planeY + static_cast<std::size_t>(row) * ctx->decWidth, ctx->planeU + chroma, ctx->planeV + chroma};
}

}  // namespace

void WMMX_YUV12ToRGB24(DcmpContext* ctx)
{
    for (int32_t row = 0; row < ctx->decHeight; row += 2) {
        const CodedRow coded = RowOf(ctx, row);
        uint8_t* out = ctx->dstPicture - static_cast<std::ptrdiff_t>(row) * ctx->rgbStride;
        const bool pair = row + 1 < ctx->decHeight;
        ConvertRows(coded.y, pair ? coded.y + ctx->decWidth : nullptr, coded.u, coded.v, ctx->decWidth, out,
                    pair ? out - ctx->rgbStride : nullptr);
    }
}

// Spreads a 320 x 240 picture over a 352 x 288 frame: every group of 10 coded
// columns fills 11 output columns leaving the 7th empty, every group of 5 coded
// rows fills 6 output rows leaving the 4th empty. Dcmp_QV2C_Flip fills the gaps.
void Dcmp_SpreadCifRow(const uint8_t* converted, int32_t row, uint8_t* dstPicture)
{
    constexpr int32_t kStride = 352 * 3;
    const int32_t outRow = 6 * (row / 5) + row % 5 + (row % 5 >= 3 ? 1 : 0);
    uint8_t* out = dstPicture - static_cast<std::ptrdiff_t>(outRow) * kStride;
    for (int32_t group = 0; group < 32; group++) {
        std::memcpy(out + 33 * group, converted + 30 * group, 18);
        std::memcpy(out + 33 * group + 21, converted + 30 * group + 18, 12);
    }
}

// Each row pair is converted into a scratch row pair and then spread.
void WMMX_YUV12ToRGB24_CIF(DcmpContext* ctx)
{
    constexpr int32_t kWidth = 320;
    uint8_t scratch[2][kWidth * 3];
    for (int32_t row = 0; row < 240; row += 2) {
        const CodedRow coded = RowOf(ctx, row);
        ConvertRows(coded.y, coded.y + kWidth, coded.u, coded.v, kWidth, scratch[0], scratch[1]);
        Dcmp_SpreadCifRow(scratch[0], row, ctx->dstPicture);
        Dcmp_SpreadCifRow(scratch[1], row + 1, ctx->dstPicture);
    }
}
