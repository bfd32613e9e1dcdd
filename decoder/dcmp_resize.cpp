// Resizing of the converted picture to the requested output size, and the
// rotation of the finished picture. All pictures are bottom-up 24-bit.
#include <cstring>

#include "dcmp.h"
#include "simd/dcmp_kernels.h"

namespace {

constexpr int32_t kCifWidth = 352;
constexpr int32_t kCifHeight = 288;
constexpr int32_t kCifStride = kCifWidth * 3;

// First row in memory of the coded picture that the conversion wrote.
const uint8_t* CodedPicture(const DcmpContext* ctx)
{
    return ctx->dstPicture - static_cast<std::ptrdiff_t>(ctx->decHeight - 1) * ctx->rgbStride;
}

// Copies the rows and columns that the two predicates keep, bottom row first,
// until outHeight rows of outWidth pixels are written to dstFinal.
template <typename RowTaken, typename ColumnTaken>
void Subsample(DcmpContext* ctx, RowTaken rowTaken, ColumnTaken columnTaken)
{
    const uint8_t* src = CodedPicture(ctx);
    uint8_t* out = ctx->dstFinal;
    int32_t rowsDone = 0;
    for (int32_t r = 0; r < ctx->decHeight && rowsDone < ctx->outHeight; r++) {
        if (!rowTaken(r))
            continue;
        const uint8_t* row = src + static_cast<std::ptrdiff_t>(r) * ctx->rgbStride;
        int32_t pixelsDone = 0;
        for (int32_t c = 0; c < ctx->decWidth && pixelsDone < ctx->outWidth; c++) {
            if (!columnTaken(c))
                continue;
            std::memcpy(out, row + 3 * c, 3);
            out += 3;
            pixelsDone++;
        }
        rowsDone++;
    }
}

uint8_t* PixelAt(uint8_t* picture, int32_t width, int32_t height, int32_t x, int32_t y)
{
    // Row y counts from the top; the top row is last in memory.
    return picture + (static_cast<std::ptrdiff_t>(height - 1 - y) * width + x) * 3;
}

void Rotate(DcmpContext* ctx, uint8_t* picture)
{
    const int32_t w = ctx->outWidth;
    const int32_t h = ctx->outHeight;
    const std::size_t bytes = static_cast<std::size_t>(w) * h * 3;
    if (ctx->rotation == 2) {
        // Half turn: exchange pixel k with pixel w x h - 1 - k in memory order.
        const std::size_t pixels = static_cast<std::size_t>(w) * h;
        for (std::size_t k = 0; k < pixels / 2; k++) {
            uint8_t* a = picture + 3 * k;
            uint8_t* b = picture + 3 * (pixels - 1 - k);
            for (int i = 0; i < 3; i++) {
                const uint8_t t = a[i];
                a[i] = b[i];
                b[i] = t;
            }
        }
        return;
    }
    if (ctx->rotation != 1 && ctx->rotation != 3)
        return;
    // Quarter turns rotate the centred h x h square of a landscape picture;
    // a portrait picture, or one larger than the scratch buffer, is left as it is.
    if (w < h || bytes > ctx->workBufSize)
        return;
    uint8_t* src = ctx->workBuf;
    std::memcpy(src, picture, bytes);
    const int32_t c0 = (w - h) / 2;
    for (int32_t y = 0; y < h; y++) {
        for (int32_t x = 0; x < w; x++) {
            uint8_t* out = PixelAt(picture, w, h, x, y);
            if (x < c0 || x >= c0 + h) {
                std::memset(out, 255, 3);
                continue;
            }
            const int32_t sx = ctx->rotation == 1 ? c0 + h - 1 - y : c0 + y;
            const int32_t sy = ctx->rotation == 1 ? x - c0 : c0 + h - 1 - x;
            std::memcpy(out, PixelAt(src, w, h, sx, sy), 3);
        }
    }
}

}  // namespace

// The gap columns: few bytes per row, the same on every path.
void Dcmp_FillCifGapColumns(DcmpContext* ctx)
{
    for (int32_t y = 0; y < kCifHeight; y++) {
        if (y % 6 == 3)
            continue;
        uint8_t* line = ctx->dstPicture - static_cast<std::ptrdiff_t>(y) * kCifStride;
        for (int32_t x = 6; x < kCifWidth; x += 11) {
            for (int i = 0; i < 3; i++)
                line[3 * x + i] = static_cast<uint8_t>((line[3 * (x - 1) + i] + line[3 * (x + 1) + i]) >> 1);
        }
    }
}

void Dcmp_QV2C_Flip(DcmpContext* ctx)
{
    uint8_t* top = ctx->dstPicture;
    auto row = [top](int32_t y) { return top - static_cast<std::ptrdiff_t>(y) * kCifStride; };
    Dcmp_FillCifGapColumns(ctx);
    for (int32_t y = 3; y < kCifHeight; y += 6) {
        const uint8_t* above = row(y - 1);
        const uint8_t* below = row(y + 1);
        uint8_t* line = row(y);
        for (int32_t i = 0; i < kCifStride; i++)
            line[i] = static_cast<uint8_t>((above[i] + below[i]) >> 1);
    }
}

void Dcmp_QV2QC(DcmpContext* ctx)
{
    // 3 of every 5 rows and 14 of every 25 columns survive.
    Subsample(
        ctx, [](int32_t r) { return r % 5 == 0 || r % 5 == 2 || r % 5 == 4; },
        [](int32_t c) {
            // Bit m set: column c with c mod 25 = m is skipped (1, 4, and the even 6..22).
            constexpr uint32_t kSkipped = 0x0055'5552;
            return ((kSkipped >> (c % 25)) & 1) == 0;
        });
}

void Dcmp_QV2QQV(DcmpContext* ctx)
{
    Subsample(ctx, [](int32_t r) { return r % 2 == 1; }, [](int32_t c) { return c % 2 == 0; });
}

void Dcmp_CutScaling(DcmpContext* ctx)
{
    const int32_t dy = (ctx->decHeight - ctx->outHeight) / 2;
    const int32_t dx = (ctx->decWidth - ctx->outWidth) / 2;
    const uint8_t* src = CodedPicture(ctx);
    const std::size_t rowBytes = static_cast<std::size_t>(ctx->outWidth) * 3;
    for (int32_t r = 0; r < ctx->outHeight; r++)
        std::memcpy(ctx->dstFinal + r * rowBytes, src + static_cast<std::ptrdiff_t>(dy + r) * ctx->rgbStride + dx * 3,
                    rowBytes);
}

void Dcmp_Rotate1(DcmpContext* ctx)
{
    Rotate(ctx, ctx->dstPicture - static_cast<std::ptrdiff_t>(ctx->outHeight - 1) * ctx->outWidth * 3);
}

void Dcmp_Rotate2(DcmpContext* ctx)
{
    Rotate(ctx, ctx->dstFinal);
}
