// Frame reconstruction: walks the macroblocks of a frame, decodes or copies
// every block into the planes, then hands the planes to the output stage.
#include <cstring>

#include "dcmp.h"
#include "simd/dcmp_kernels.h"

void Dcmp_MapB2P(const DcmpPlaneRec* dst, const int16_t* samples, int32_t n, const int32_t* blkBase)
{
    // Limiting the sample to -128..127 before adding 128 gives the same byte
    // as limiting the sum to 0..255, and stays within 16 bits.
    uint8_t limited[64];
    for (int i = 0; i < 64; i++) {
        const int16_t s = samples[i] < -128 ? -128 : samples[i] > 127 ? 127 : samples[i];
        limited[i] = static_cast<uint8_t>(s + 128);
    }
    uint8_t* origin = dst->plane + blkBase[n];
    for (int r = 0; r < 8; r++)
        std::memcpy(origin + dst->blkMap[8 * r], limited + 8 * r, 8);
}

void Dcmp_MapB2P_Flip(const DcmpPlaneRec* dst, const int16_t* samples, int32_t n, const int32_t* blkBase)
{
    uint8_t* origin = dst->plane + blkBase[n];
    for (int r = 0; r < 8; r++) {
        // The map gives the row's rightmost pixel; sample column c goes c places left of it.
        uint8_t* rightmost = origin + dst->blkMap[8 * r];
        for (int c = 0; c < 8; c++) {
            const int index = samples[8 * r + c] + 256;
            *(rightmost - c) = Tb_YUV[index < 0 ? 0 : index > 511 ? 511 : index];
        }
    }
}

void Dcmp_MapPreP2P(const DcmpPlaneRec* dst, const DcmpPlaneRec* src, int32_t n, const int32_t* blkBase)
{
    const int32_t from = n > 0 ? blkBase[n - 1] : blkBase[0];
    for (int r = 0; r < 8; r++)
        std::memcpy(dst->plane + blkBase[n] + dst->blkMap[8 * r], src->plane + from + src->blkMap[8 * r], 8);
}

void Dcmp_MapPreP2P_Flip(const DcmpPlaneRec* dst, const DcmpPlaneRec* src, int32_t n, const int32_t* blkBase)
{
    const int32_t from = n > 0 ? blkBase[n - 1] : blkBase[0];
    for (int r = 0; r < 8; r++)
        std::memcpy(dst->plane + blkBase[n] + dst->blkMap[8 * r] - 7,
                    src->plane + from + src->blkMap[8 * r] - 7, 8);
}

namespace {

// Decodes the codes of the block at frame offset pos into dequantised
// coefficients; returns the block's length in bytes.
// Near the end of the frame buffer the block is read from a zero-padded copy,
// so bytes past the buffer read as zero: a cut-off block ends early and the
// blocks after the end of the buffer decode as empty blocks.
std::size_t DecodeCoefficients(const DcmpContext* ctx, std::size_t pos, const int16_t* quant, int16_t* coefficients)
{
    const std::size_t size = ctx->srcFrame ? ctx->srcFrameSize : 0;
    int16_t coef[64] = {};
    uint8_t len;
    if (pos < size && size - pos >= DCMP_MAX_BLOCK_READ) {
        len = Dcmp_RLD(coef, ctx->srcFrame + pos, ctx);
    } else {
        uint8_t padded[DCMP_MAX_BLOCK_READ] = {};
        if (pos < size)
            std::memcpy(padded, ctx->srcFrame + pos, size - pos);
        len = Dcmp_RLD(coef, padded, ctx);
    }
    Dcmp_DeQuant(coefficients, coef, quant);
    return static_cast<std::size_t>(len) + 1;
}

void WriteBlock(const DcmpContext* ctx, bool flip, int b, const int16_t* samples, int32_t n)
{
    if (flip)
        Dcmp_MapB2P_Flip(ctx->blockPlane[b], samples, n, ctx->blkBase);
    else
        Dcmp_MapB2P(ctx->blockPlane[b], samples, n, ctx->blkBase);
}

// A decoded block whose transform waits for a second one, so that both share
// the transform's first pass.
struct PendingBlock {
    bool waiting = false;
    int b = 0;
    int32_t n = 0;
    int16_t coefficients[64];
};

void FlushPending(const DcmpContext* ctx, bool flip, PendingBlock* pending)
{
    if (!pending->waiting)
        return;
    Dcmp_IDCT8x8aan(pending->coefficients);
    WriteBlock(ctx, flip, pending->b, pending->coefficients, pending->n);
    pending->waiting = false;
}

}  // namespace

// Block loop shared by both decode entry points. Coded blocks are transformed
// in pairs; every block lands in its own place, so only a copy, which reads
// the block before it, needs the waiting block written first.
void Dcmp_DecodePlanes(DcmpContext* ctx)
{
    const std::size_t size = ctx->srcFrame ? ctx->srcFrameSize : 0;
    // The block tables were built for the mirror setting of the initialisation.
    const bool flip = ctx->initFlip != 0;
    std::size_t pos = DCMP_FRAME_HEADER_BYTES;
    int32_t n = 0;
    int previous = 5;
    PendingBlock pending;
    for (int32_t mb = 0; mb < ctx->mbCount; mb++) {
        pos += DCMP_MB_HEADER_BYTES;
        for (int b = 0; b < 6; b++) {
            const uint8_t head = pos < size ? ctx->srcFrame[pos] : 0;
            if ((head & 0xC0) == 0xC0 && n == 0) {
                // The first block has nothing to copy: it becomes flat mid-grey,
                // so the picture never depends on what an earlier frame left.
                const int16_t zero[64] = {};
                WriteBlock(ctx, flip, b, zero, n);
                pos += 2;
            } else if ((head & 0xC0) == 0xC0) {
                // Copy of the previous block in coding order, from that block's own plane.
                FlushPending(ctx, flip, &pending);
                if (flip)
                    Dcmp_MapPreP2P_Flip(ctx->blockPlane[b], ctx->blockPlane[previous], n, ctx->blkBase);
                else
                    Dcmp_MapPreP2P(ctx->blockPlane[b], ctx->blockPlane[previous], n, ctx->blkBase);
                pos += 2;
            } else if (!pending.waiting) {
                pos += DecodeCoefficients(ctx, pos, ctx->blockQuant[b], pending.coefficients);
                pending.waiting = true;
                pending.b = b;
                pending.n = n;
            } else {
                int16_t samples[64];
                pos += DecodeCoefficients(ctx, pos, ctx->blockQuant[b], samples);
                Dcmp_IDCT8x8aanPair(pending.coefficients, samples);
                WriteBlock(ctx, flip, pending.b, pending.coefficients, pending.n);
                WriteBlock(ctx, flip, b, samples, n);
                pending.waiting = false;
            }
            previous = b;
            n++;
        }
    }
    FlushPending(ctx, flip, &pending);
}

int32_t Dcmp_Decmpfrm420(DcmpContext* ctx)
{
    // The resize and rotation steps and workBuf were sized for the initialised
    // output; another size would write outside the caller's buffer.
    if (ctx->outWidth != ctx->initOutWidth || ctx->outHeight != ctx->initOutHeight)
        return 0;
    // Each stage runs on the context's vector path; all paths give the same bytes.
    const DcmpKernels* stages = Dcmp_PathKernels(ctx);
    stages->decodePlanes(ctx);
    if (ctx->scaleMode == 1)
        stages->yuvToRgb24Cif(ctx);
    else
        stages->yuvToRgb24(ctx);
    switch (ctx->scaleMode) {
    case 0:
        stages->rotate1(ctx);
        break;
    case 1:
        stages->fillCifGaps(ctx);
        stages->rotate1(ctx);
        break;
    case 2:
        stages->subsampleQc(ctx);
        stages->rotate2(ctx);
        break;
    case 3:
        stages->subsampleQqv(ctx);
        stages->rotate2(ctx);
        break;
    case 4:
        Dcmp_CutScaling(ctx);
        stages->rotate2(ctx);
        break;
    default:
        break;
    }
    return 1;
}

void Dcmp_Decmpfrm420_IYUV(DcmpContext* ctx)
{
    const DcmpKernels* stages = Dcmp_PathKernels(ctx);
    stages->decodePlanes(ctx);
    stages->mapIyuv(ctx);
}

void Dcmp_MapIYUV(DcmpContext* ctx)
{
    const std::size_t lumaBytes = static_cast<std::size_t>(ctx->decWidth) * ctx->decHeight;
    const std::size_t chromaBytes = lumaBytes / 4;
    uint8_t* out = ctx->dstPicture;
    std::memcpy(out, ctx->planeY, lumaBytes);
    std::memcpy(out + lumaBytes, ctx->planeU, chromaBytes);
    std::memcpy(out + lumaBytes + chromaBytes, ctx->planeV, chromaBytes);
}
