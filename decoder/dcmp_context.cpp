// Decoder context: choice of coded size and scale mode, buffers, and the
// tables that block decoding and frame reconstruction read.
#include <cstdlib>

#include "dcmp.h"
#include "simd/dcmp_simd.h"

namespace {

struct SizeChoice {
    int32_t outWidth;
    int32_t outHeight;
    int32_t scaleMode;
    int32_t decWidth;
    int32_t decHeight;
    std::size_t workBufSize;
};

// Requested sizes the camera serves directly or by a fixed resize; tried in order.
const SizeChoice kSizeTable[] = {
    {352, 288, 1, 320, 240, 352 * 288 * 3},
    {176, 144, 2, 320, 240, 230400},
    {160, 120, 3, 320, 240, 230400},
    {640, 480, 0, 640, 480, 921600},
    {320, 240, 0, 320, 240, 230400},
    {800, 592, 0, 800, 592, 1420800},
};

// Any other size is cut from the middle of the smallest coded picture that is wide enough.
bool ChooseSize(int32_t outWidth, int32_t outHeight, SizeChoice* choice)
{
    for (const SizeChoice& row : kSizeTable) {
        if (row.outWidth == outWidth && row.outHeight == outHeight) {
            *choice = row;
            return true;
        }
    }
    *choice = {outWidth, outHeight, 4, 800, 592, 1420800};
    if (outWidth <= 320) {
        choice->decWidth = 320;
        choice->decHeight = 240;
    } else if (outWidth <= 640) {
        choice->decWidth = 640;
        choice->decHeight = 480;
    }
    // The cut cannot make a picture larger than the coded one.
    return outWidth > 0 && outHeight > 0 && outWidth <= choice->decWidth &&
           outHeight <= choice->decHeight;
}

void* Obtain(const DcmpContext* ctx, std::size_t size)
{
    return ctx->allocate ? ctx->allocate(size, ctx->allocCookie) : std::malloc(size);
}

void Give(const DcmpContext* ctx, void* ptr)
{
    if (!ptr)
        return;
    if (ctx->release)
        ctx->release(ptr, ctx->allocCookie);
    else
        std::free(ptr);
}

// Sign-extends the low `bits` bits of value.
int16_t SignExtend(unsigned value, unsigned bits)
{
    const unsigned mask = (1u << bits) - 1;
    const unsigned signBit = 1u << (bits - 1);
    value &= mask;
    return static_cast<int16_t>(static_cast<int>(value ^ signBit) - static_cast<int>(signBit));
}

}  // namespace

int16_t Dcmp_QuantFactor(int16_t q, int32_t qualityLevel)
{
    const int h = q >> 1;
    const int f = q >> 2;
    int scaled;
    switch (qualityLevel) {
    case 0: scaled = h; break;
    case 1: scaled = f + h; break;
    case 2: scaled = h * 2; break;
    case 3: scaled = f + 2 * h; break;
    case 4: scaled = q + h; break;
    case 5: scaled = q + h + f; break;
    case 6: scaled = q + 2 * h; break;
    case 7: scaled = q + f + 2 * h; break;
    case 8: scaled = 1; break;
    default: scaled = q; break;
    }
    // 16-bit arithmetic: the stored factor keeps the low 16 bits.
    return static_cast<int16_t>(static_cast<int16_t>(scaled) << 4);
}

void Dcmp_Release(DcmpContext* ctx)
{
    uint8_t** bytes[] = {&ctx->planeY, &ctx->planeU, &ctx->planeV, &ctx->workBuf};
    for (uint8_t** field : bytes) {
        Give(ctx, *field);
        *field = nullptr;
    }
    int16_t** maps[] = {&ctx->blkMapY, &ctx->blkMapU, &ctx->blkMapV};
    for (int16_t** field : maps) {
        Give(ctx, *field);
        *field = nullptr;
    }
    Give(ctx, ctx->blkBase);
    ctx->blkBase = nullptr;
    ctx->workBufSize = 0;
}

int32_t Dcmp_Initialize(DcmpContext* ctx)
{
    SizeChoice choice;
    if (!ChooseSize(ctx->outWidth, ctx->outHeight, &choice))
        return 0;

    ctx->workBuf = static_cast<uint8_t*>(Obtain(ctx, choice.workBufSize));
    if (!ctx->workBuf)
        return 0;
    ctx->workBufSize = choice.workBufSize;
    ctx->scaleMode = choice.scaleMode;
    ctx->decWidth = choice.decWidth;
    ctx->decHeight = choice.decHeight;

    for (int i = 0; i < 64; i++) {
        ctx->quantY[i] = Dcmp_QuantFactor(Qt55[i], ctx->qualityLevel);
        ctx->quantC[i] = Dcmp_QuantFactor(Q6[i], ctx->qualityLevel);
    }

    ctx->blocksPerMb = 6;
    ctx->mbCols = ctx->decWidth / 16;
    ctx->mbRows = ctx->decHeight / 16;
    ctx->mbCount = static_cast<int16_t>(ctx->mbCols * ctx->mbRows);
    ctx->rgbStride = ctx->decWidth * 3;

    const std::size_t planeBytes = static_cast<std::size_t>(ctx->decWidth) * ctx->decHeight;
    ctx->planeY = static_cast<uint8_t*>(Obtain(ctx, planeBytes));
    ctx->planeU = static_cast<uint8_t*>(Obtain(ctx, planeBytes));
    ctx->planeV = static_cast<uint8_t*>(Obtain(ctx, planeBytes));
    ctx->blkMapY = static_cast<int16_t*>(Obtain(ctx, 64 * sizeof(int16_t)));
    ctx->blkMapU = static_cast<int16_t*>(Obtain(ctx, 64 * sizeof(int16_t)));
    ctx->blkMapV = static_cast<int16_t*>(Obtain(ctx, 64 * sizeof(int16_t)));
    ctx->blkBase = static_cast<int32_t*>(
        Obtain(ctx, static_cast<std::size_t>(ctx->mbCount) * ctx->blocksPerMb * sizeof(int32_t)));
    if (!ctx->planeY || !ctx->planeU || !ctx->planeV || !ctx->blkMapY || !ctx->blkMapU ||
        !ctx->blkMapV || !ctx->blkBase) {
        Dcmp_Release(ctx);
        return 0;
    }
    ctx->planeRec[0] = {ctx->planeY, ctx->blkMapY};
    ctx->planeRec[1] = {ctx->planeU, ctx->blkMapU};
    ctx->planeRec[2] = {ctx->planeV, ctx->blkMapV};
    for (int b = 0; b < 12; b++) {
        ctx->blockQuant[b] = b < 4 ? ctx->quantY : ctx->quantC;
        ctx->blockPlane[b] = b < 4 ? &ctx->planeRec[0] : b == 4 ? &ctx->planeRec[1] : &ctx->planeRec[2];
    }
    ctx->initOutWidth = ctx->outWidth;
    ctx->initOutHeight = ctx->outHeight;
    ctx->initFlip = ctx->flip;

    Dcmp_CreateBlkBaseTbl420(ctx);
    Dcmp_CreateSignBitExtTbl(ctx);
    Dcmp_CreateBlkMapTbl(ctx);
    ctx->simdPath = Dcmp_BestSimdPath();
    return 1;
}

void Dcmp_CreateBlkBaseTbl420(DcmpContext* ctx)
{
    const int32_t w = ctx->decWidth;
    const int32_t cw = w / 2;
    int32_t* entry = ctx->blkBase;
    for (int32_t j = 0; j < ctx->mbRows; j++) {
        for (int32_t i = 0; i < ctx->mbCols; i++) {
            const int32_t m = ctx->flip ? ctx->mbCols - 1 - i : i;
            const int32_t top = 16 * j * w + 16 * m;
            const int32_t bottom = (16 * j + 8) * w + 16 * m;
            // Luma blocks are coded column by column; mirrored, the columns swap.
            const int32_t first = ctx->flip ? 8 : 0;
            const int32_t second = ctx->flip ? 0 : 8;
            entry[0] = top + first;
            entry[1] = bottom + first;
            entry[2] = top + second;
            entry[3] = bottom + second;
            entry[4] = 8 * j * cw + 8 * m;
            entry[5] = 8 * j * cw + 8 * m;
            entry += ctx->blocksPerMb;
        }
    }
}

void Dcmp_CreateSignBitExtTbl(DcmpContext* ctx)
{
    for (unsigned i = 0; i < 256; i++) {
        ctx->signLo[i] = SignExtend(i, 3);
        ctx->signHi[i] = SignExtend(i >> 3, 3);
        ctx->sign6[i] = SignExtend(i, 6);
    }
}

void Dcmp_CreateBlkMapTbl(DcmpContext* ctx)
{
    for (int k = 0; k < 8; k++) {
        for (int l = 0; l < 8; l++) {
            const int column = ctx->flip ? 7 - l : l;
            ctx->blkMapY[8 * k + l] = static_cast<int16_t>(k * ctx->decWidth + column);
            const int16_t chroma = static_cast<int16_t>((k * ctx->decWidth) / 2 + column);
            ctx->blkMapU[8 * k + l] = chroma;
            ctx->blkMapV[8 * k + l] = chroma;
        }
    }
}
