// Vector and pointer-walking versions of the steps after the colour
// conversion: filling the gaps of the 352 x 288 frame and the rotations,
// exactly as Dcmp_QV2C_Flip, Dcmp_Rotate1 and Dcmp_Rotate2. Included by each
// path's source file after dcmp_block_simd.h. A path whose instruction set
// permutes bytes across 48 bytes defines DCMP_HAVE_REVERSE16 and
// ReverseSwap16 (exchange two chunks of 16 pixels, each reversed) first.
#pragma once

#include <cstddef>
#include <cstring>

namespace {

// Byte-wise floor((a + b) / 2): the rounding-up average minus the odd bit.
inline V FloorAverage(V a, V b)
{
    return VecOps::SubU8(VecOps::AvgU8(a, b), VecOps::And(VecOps::Xor(a, b), VecOps::Set8(1)));
}

void FillCifGapsVec(DcmpContext* ctx)
{
    constexpr int32_t kWidth = 352;
    constexpr int32_t kHeight = 288;
    constexpr int32_t kStride = kWidth * 3;
    uint8_t* top = ctx->dstPicture;
    auto row = [top](int32_t y) { return top - static_cast<std::ptrdiff_t>(y) * kStride; };
    // Gap columns: few bytes per row, done byte by byte.
    for (int32_t y = 0; y < kHeight; y++) {
        if (y % 6 == 3)
            continue;
        uint8_t* line = row(y);
        for (int32_t x = 6; x < kWidth; x += 11)
            for (int i = 0; i < 3; i++)
                line[3 * x + i] = static_cast<uint8_t>((line[3 * (x - 1) + i] + line[3 * (x + 1) + i]) >> 1);
    }
    // Gap rows: the whole row from the rows above and below; a last partial
    // chunk is redone overlapping the one before (same bytes again).
    for (int32_t y = 3; y < kHeight; y += 6) {
        const uint8_t* above = row(y - 1);
        const uint8_t* below = row(y + 1);
        uint8_t* line = row(y);
        for (int32_t i = 0; i < kStride; i += VecOps::kBytes) {
            if (i > kStride - VecOps::kBytes)
                i = kStride - VecOps::kBytes;
            VecOps::StoreU(line + i, FloorAverage(VecOps::LoadU(above + i), VecOps::LoadU(below + i)));
        }
    }
}

inline void CopyPixel(uint8_t* dst, const uint8_t* src)
{
    std::memcpy(dst, src, 3);
}

// Half turn in place: pixel k exchanges with pixel count - 1 - k.
void HalfTurn(uint8_t* picture, std::size_t count)
{
    uint8_t* front = picture;
    uint8_t* back = picture + 3 * count;
    std::size_t pairs = count / 2;
#if defined(DCMP_HAVE_REVERSE16)
    // 16 pixels from each end at a time while the two chunks do not meet.
    for (; pairs >= 16; pairs -= 16, front += 48) {
        back -= 48;
        ReverseSwap16(front, back);
    }
#endif
    for (; pairs > 0; pairs--, front += 3) {
        back -= 3;
        uint8_t t[3];
        CopyPixel(t, front);
        CopyPixel(front, back);
        CopyPixel(back, t);
    }
}

void RotateVec(DcmpContext* ctx, uint8_t* picture)
{
    const int32_t w = ctx->outWidth;
    const int32_t h = ctx->outHeight;
    const std::size_t bytes = static_cast<std::size_t>(w) * h * 3;
    if (ctx->rotation == 2) {
        HalfTurn(picture, static_cast<std::size_t>(w) * h);
        return;
    }
    if (ctx->rotation != 1 && ctx->rotation != 3)
        return;
    // As the scalar step: a portrait picture, or one larger than the scratch
    // buffer, is left as it is.
    if (w < h || bytes > ctx->workBufSize)
        return;
    const uint8_t* src = ctx->workBuf;
    std::memcpy(ctx->workBuf, picture, bytes);
    const int32_t c0 = (w - h) / 2;
    const std::ptrdiff_t stride = static_cast<std::ptrdiff_t>(w) * 3;
    for (int32_t y = 0; y < h; y++) {
        // Row y (from the top) lies at memory row h - 1 - y.
        uint8_t* out = picture + (h - 1 - y) * stride;
        std::memset(out, 255, static_cast<std::size_t>(c0) * 3);
        std::memset(out + static_cast<std::ptrdiff_t>(c0 + h) * 3, 255, static_cast<std::size_t>(w - c0 - h) * 3);
        out += c0 * 3;
        // Rotation 1: out(c0 + i, y) := src(c0 + h - 1 - y, i), source rows going down;
        // rotation 3: out(c0 + i, y) := src(c0 + y, h - 1 - i), source rows going up.
        const int32_t column = ctx->rotation == 1 ? c0 + h - 1 - y : c0 + y;
        const uint8_t* in = ctx->rotation == 1 ? src + (h - 1) * stride + column * 3 : src + column * 3;
        const std::ptrdiff_t step = ctx->rotation == 1 ? -stride : stride;
        for (int32_t i = 0; i < h; i++, out += 3, in += step)
            CopyPixel(out, in);
    }
}

void Rotate1Vec(DcmpContext* ctx)
{
    RotateVec(ctx, ctx->dstPicture - static_cast<std::ptrdiff_t>(ctx->outHeight - 1) * ctx->outWidth * 3);
}

void Rotate2Vec(DcmpContext* ctx)
{
    RotateVec(ctx, ctx->dstFinal);
}

}  // namespace
