// Stored pictures: unpacking of the zero-run layout, the completeness check,
// and decoding with the shared frame decoder.
#include <cstring>
#include <new>

#include "dcmp_still.h"
#include "simd/dcmp_simd.h"

int32_t Dcmp_ScanStill(const uint8_t* data, std::size_t length, uint8_t* frame, std::size_t capacity,
                       DcmpStillScan* scan)
{
    // The frame is never longer than the data plus its closing byte (every
    // marker and its zero run take at least as many bytes as they yield).
    if (capacity < length + 1 || (length > 0 && !data))
        return 0;
    std::size_t k = 0;
    std::size_t j = 0;
    *scan = {};
    while (k < length) {
        while (k < length && data[k] != 0)
            frame[j++] = data[k++];
        while (k < length && data[k] == 0)
            k++;
        const uint8_t m = k < length ? data[k] : 0;
        if (m == DCMP_STILL_ZERO_MARKER) {
            // Near the start of the data there is no byte 8 places back: the
            // run is then shorter than 8 bytes and stands for nothing.
            if (k >= DCMP_STILL_ZERO_LOOKBACK && data[k - DCMP_STILL_ZERO_LOOKBACK] == 0)
                frame[j++] = 0;
            k++;
        } else if (m >= DCMP_STILL_FIRST_MB_MARKER) {
            if (m >= DCMP_STILL_FIRST_BLOCK_MARKER)
                scan->blkMarks++;
            else
                scan->mbMarks++;
            frame[j++] = 0;
            frame[j++] = m;
            k++;
        } else if (m != 0 && !scan->started) {
            // First start marker: the frame starts here, whatever came before is dropped.
            scan->started = 1;
            frame[0] = 0;
            frame[1] = m;
            j = 2;
            k++;
        } else {
            break;  // second start marker, or the end of the data
        }
    }
    frame[j++] = 0;  // the frame's closing zero byte
    scan->frameLength = j;
    return 1;
}

int16_t Dcmp_UnpackStill(const uint8_t* data, std::size_t length, int16_t thumbnail, DcmpContext* ctx)
{
    if (thumbnail != 0 || ctx->decWidth != DCMP_STILL_WIDTH || ctx->decHeight != DCMP_STILL_HEIGHT)
        return 0;
    DcmpStillScan scan;
    if (!Dcmp_ScanStill(data, length, ctx->workBuf, ctx->workBufSize, &scan))
        return 0;
    // The check runs however the data ends, also when its last byte is a marker.
    if (!scan.started || scan.mbMarks < ctx->mbCount || scan.blkMarks < ctx->mbCount * 6)
        return 0;
    // Blocks are read only from the unpacked frame; a frame that ends early
    // reads as zero bytes past its end, never as stale buffer contents.
    ctx->srcFrame = ctx->workBuf;
    ctx->srcFrameSize = scan.frameLength;
    ctx->rotation = 0;
    Dcmp_Decmpfrm420(ctx);
    return 1;
}

int16_t Dcmp_DecodeStill(int16_t sizeCode, int16_t blockFormat, int32_t qualityLevel, int32_t flip,
                         int16_t thumbnail, uint8_t* out, std::size_t length, const uint8_t* data)
{
    return Dcmp_DecodeStillOnPath(Dcmp_BestSimdPath(), sizeCode, blockFormat, qualityLevel, flip, thumbnail, out,
                                  length, data);
}

int16_t Dcmp_DecodeStillOnPath(int32_t simdPath, int16_t sizeCode, int16_t blockFormat, int32_t qualityLevel,
                               int32_t flip, int16_t thumbnail, uint8_t* out, std::size_t length,
                               const uint8_t* data)
{
    if (sizeCode != DCMP_STILL_SIZE_VGA || blockFormat != DCMP_STILL_BLOCKS_420 || thumbnail != 0 || !out ||
        length > DCMP_STILL_MAX_DATA_BYTES || !Dcmp_SimdPathSupported(simdPath))
        return 0;
    DcmpContext ctx{};
    ctx.outWidth = DCMP_STILL_WIDTH;
    ctx.outHeight = DCMP_STILL_HEIGHT;
    ctx.qualityLevel = qualityLevel;
    ctx.flip = flip;
    if (!Dcmp_Initialize(&ctx))
        throw std::bad_alloc();  // 640 x 480 is always accepted: only memory can be missing
    Dcmp_SetSimdPath(&ctx, simdPath);
    // 640 x 480 needs no resize and no rotation, so the initialisation's
    // scratch buffer (640 x 480 x 3 bytes) serves as the frame buffer.
    if (ctx.workBufSize < DCMP_STILL_MAX_DATA_BYTES + 1) {
        Dcmp_Release(&ctx);
        return 0;
    }
    // The conversion writes the top row first, each following row one row lower.
    ctx.dstPicture = out + static_cast<std::size_t>(DCMP_STILL_HEIGHT - 1) * DCMP_STILL_STRIDE;
    const int16_t result = Dcmp_UnpackStill(data, length, 0, &ctx);
    Dcmp_Release(&ctx);
    return result;
}

void Dcmp_FillWhite(DcmpBitmap* bitmap)
{
    for (int32_t row = 0; row < DCMP_STILL_HEIGHT; row++)
        std::memset(bitmap->ScanLine(row), 255, DCMP_STILL_STRIDE);
}
