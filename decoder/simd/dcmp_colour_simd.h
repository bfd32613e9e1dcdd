// Vector colour conversion of the planes into bottom-up 24-bit pixels (blue,
// green, red), exactly as WMMX_YUV12ToRGB24 and WMMX_YUV12ToRGB24_CIF.
// Included by each path's source file after dcmp_vec.h, which also provides
// StoreBgr (three byte vectors to interleaved pixels).
//
// The lookup tables are computed instead of looked up. Every entry is
// trunc(gain x a / 256) (a = Y - 16, U - 128 or V - 128, quotient toward zero):
// - chroma: gain x a fits 16 bits once the whole multiples of 256 are split
//   off (519 = 2 x 256 + 7, 411 = 256 + 155), and trunc(x / 256) is
//   (x + (x < 0 ? 255 : 0)) >> 8;
// - luma: floor(gain x a / 256) is the high half of (a << 7) x (2 x gain),
//   and for the negative a (-16..-1) no quotient is whole, so trunc is floor + 1.
#pragma once

#include <cstddef>
#include <cstring>

namespace {

inline V Trunc256(V x)
{
    // (x >> 15) is -1 for negative x; shifted right logically by 8 it is 255.
    return VecOps::Sra<8>(VecOps::Add(x, VecOps::Srl<8>(VecOps::Sra<15>(x))));
}

// Chroma contributions of kLanes chroma samples, each repeated for the two
// pixels it serves; Lo and Hi match the luma halves of VecOps::Lo8 and Hi8.
struct ChromaTerms {
    V blueLo, blueHi, greenLo, greenHi, redLo, redHi;
};

inline ChromaTerms ChromaOf(const uint8_t* u, const uint8_t* v)
{
    const V mid = VecOps::Set16(128);
    const V cb = VecOps::Sub(VecOps::WidenU8(u), mid);
    const V cr = VecOps::Sub(VecOps::WidenU8(v), mid);
    const V blue = VecOps::Add(VecOps::Add(cb, cb), Trunc256(VecOps::MulLo(cb, VecOps::Set16(7))));
    const V green = VecOps::Add(Trunc256(VecOps::MulLo(cb, VecOps::Set16(-100))),
                                Trunc256(VecOps::MulLo(cr, VecOps::Set16(-207))));
    const V red = VecOps::Add(cr, Trunc256(VecOps::MulLo(cr, VecOps::Set16(155))));
    return {VecOps::Lo16(blue, blue),   VecOps::Hi16(blue, blue), VecOps::Lo16(green, green),
            VecOps::Hi16(green, green), VecOps::Lo16(red, red),   VecOps::Hi16(red, red)};
}

// Luma contribution to one channel: trunc(gain x (Y - 16) / 256), given
// scaled = (Y - 16) << 7 and negative = -1 where Y < 16.
inline V LumaTerm(V scaled, V negative, int16_t twiceGain)
{
    return VecOps::Sub(VecOps::MulHi(scaled, VecOps::Set16(twiceGain)), negative);
}

// Converts VecOps::kBytes pixels of a luma row and writes them as 3 x kBytes bytes.
inline void ConvertChunk(const uint8_t* y, const ChromaTerms& chroma, uint8_t* out)
{
    const V luma = VecOps::LoadU(y);
    const V zero = VecOps::Zero();
    const V lo = VecOps::Sub(VecOps::Lo8(luma, zero), VecOps::Set16(16));
    const V hi = VecOps::Sub(VecOps::Hi8(luma, zero), VecOps::Set16(16));
    const V scaledLo = VecOps::Sll<7>(lo), negativeLo = VecOps::Sra<15>(lo);
    const V scaledHi = VecOps::Sll<7>(hi), negativeHi = VecOps::Sra<15>(hi);
    const V blue = VecOps::PackUs(VecOps::Add(LumaTerm(scaledLo, negativeLo, 594), chroma.blueLo),
                                  VecOps::Add(LumaTerm(scaledHi, negativeHi, 594), chroma.blueHi));
    const V green = VecOps::PackUs(VecOps::Add(LumaTerm(scaledLo, negativeLo, 600), chroma.greenLo),
                                   VecOps::Add(LumaTerm(scaledHi, negativeHi, 600), chroma.greenHi));
    const V red = VecOps::PackUs(VecOps::Add(LumaTerm(scaledLo, negativeLo, 598), chroma.redLo),
                                 VecOps::Add(LumaTerm(scaledHi, negativeHi, 598), chroma.redHi));
    StoreBgr(out, blue, green, red);
}

// Converts two rows that share their chroma, `width` pixels each (at least
// kBytes, even). A last partial chunk is redone overlapping the one before;
// it writes the same bytes again.
inline void ConvertRowPair(const uint8_t* y0, const uint8_t* y1, const uint8_t* u, const uint8_t* v,
                           int32_t width, uint8_t* out0, uint8_t* out1)
{
    constexpr int32_t kStep = VecOps::kBytes;
    for (int32_t x = 0; x < width; x += kStep) {
        if (x > width - kStep)
            x = width - kStep;
        const ChromaTerms chroma = ChromaOf(u + x / 2, v + x / 2);
        ConvertChunk(y0 + x, chroma, out0 + 3 * x);
        ConvertChunk(y1 + x, chroma, out1 + 3 * x);
    }
}

void YuvToRgb24Vec(DcmpContext* ctx)
{
    const int32_t width = ctx->decWidth;
    if (width < VecOps::kBytes || width % 2 != 0 || ctx->decHeight % 2 != 0) {
        WMMX_YUV12ToRGB24(ctx);
        return;
    }
    const std::size_t chromaWidth = static_cast<std::size_t>(width / 2);
    for (int32_t row = 0; row < ctx->decHeight; row += 2) {
        const uint8_t* y = ctx->planeY + static_cast<std::size_t>(row) * width;
        const std::size_t chroma = static_cast<std::size_t>(row / 2) * chromaWidth;
        uint8_t* out = ctx->dstPicture - static_cast<std::ptrdiff_t>(row) * ctx->rgbStride;
        ConvertRowPair(y, y + width, ctx->planeU + chroma, ctx->planeV + chroma, width, out, out - ctx->rgbStride);
    }
}

// 320 x 240 into the 352 x 288 frame: each row pair is converted into a
// scratch row pair, then spread as the scalar conversion spreads it.
void YuvToRgb24CifVec(DcmpContext* ctx)
{
    constexpr int32_t kWidth = 320;
    uint8_t scratch[2][kWidth * 3];
    for (int32_t row = 0; row < 240; row += 2) {
        const uint8_t* y = ctx->planeY + row * kWidth;
        const int32_t chroma = (row / 2) * (kWidth / 2);
        ConvertRowPair(y, y + kWidth, ctx->planeU + chroma, ctx->planeV + chroma, kWidth, scratch[0], scratch[1]);
        Dcmp_SpreadCifRow(scratch[0], row, ctx->dstPicture);
        Dcmp_SpreadCifRow(scratch[1], row + 1, ctx->dstPicture);
    }
}

}  // namespace
