// Vector block loop: run-length decoding with dequantisation, the 8 x 8
// inverse transform of several blocks side by side, and the block writers.
// Included by each path's source file after dcmp_vec.h; the arithmetic is
// exactly that of Dcmp_RLD, Dcmp_DeQuant, Dcmp_IDCT8x8aan, Dcmp_MapB2P and
// Dcmp_MapB2P_Flip.
//
// Layout: the transform's first pass treats vertical frequencies 0..3 and
// 4..7 differently, so the coefficients of a batch of blocks are kept in two
// halves, "A" (v = 0..3) and "B" (v = 4..7). Row u of a half is one vector
// whose lanes hold, for every block of the batch in turn, its four values of
// that row. One first pass per half then serves the whole batch without any
// reordering; an in-lane transpose brings each block's values into rows for
// the second pass, which handles two blocks per 128-bit lane.
#pragma once

#include <cstddef>
#include <cstring>

#include "simd/dcmp_kernels.h"

namespace {

using V = VecOps::V;

constexpr int kLanes = VecOps::kBytes / 2;  // 16-bit lanes of a vector
constexpr int kSlots = kLanes / 4;          // blocks in a batch
constexpr int kHalfB = 8 * kLanes;          // offset of the B half
constexpr int kScratch = 16 * kLanes;       // row for values that nobody reads
constexpr int kCopies = 16;                 // copy blocks a batch may carry

// Offset of coefficient k (8u + v) of a block inside the batch, from the
// block's first lane; entries 64..127 are the scratch place.
struct BatchLayout {
    int16_t offset[128];
};

constexpr BatchLayout MakeBatchLayout()
{
    BatchLayout layout{};
    for (int k = 0; k < 128; k++) {
        const int u = (k >> 3) & 7;
        const int v = k & 7;
        layout.offset[k] = static_cast<int16_t>(k >= 64 ? kScratch : (v >= 4 ? kHalfB : 0) + u * kLanes + (v & 3));
    }
    return layout;
}

constexpr BatchLayout kLayout = MakeBatchLayout();

// Dcmp_RLD followed by Dcmp_DeQuant, writing the dequantised values of one
// block into its place of the batch (slot points at the block's first lane).
// A value sent to the scratch place takes any factor (index k AND 63).
inline uint8_t DecodeCodes(int16_t* slot, const uint8_t* code, const int16_t* quant)
{
    if (code[1] == 0)
        return 1;
    unsigned kind = (code[0] >> 4) & 3;
    unsigned pos = 1;
    unsigned k = 0;
    for (;;) {
        const unsigned c = code[pos];
        const DcmpRldStep& step = DcmpRldSteps.steps[kind << 8 | c];
        const unsigned large = kind == 3 ? 1 : 0;
        const int value1 = step.value1 + (code[pos + 1] & (large ? 0x7F : 0));
        const unsigned first = k | step.skip1;
        const unsigned second = (k + 1) | step.skip2;
        slot[kLayout.offset[first]] = static_cast<int16_t>(value1 * quant[first & 63]);
        slot[kLayout.offset[second]] = static_cast<int16_t>(step.value2 * quant[second & 63]);
        k = (k & step.keepK) + step.addK;
        pos += 1 + large;
        kind = c >> 6;
        if (k >= 64 || pos >= 128 || code[pos] == 0)
            break;
    }
    return static_cast<uint8_t>(pos);
}

constexpr int16_t kC4 = 23170;
constexpr int16_t kC6 = 25080;
constexpr int16_t kC2 = 17734;
constexpr int16_t kC3 = 21407;

inline V M(V a, int16_t k) { return VecOps::MulHi(a, VecOps::Set16(k)); }
inline V Adds(V a, V b) { return VecOps::Adds(a, b); }
inline V Subs(V a, V b) { return VecOps::Subs(a, b); }
template <int n> inline V Sra(V a) { return VecOps::Sra<n>(a); }
template <int n> inline V Sll(V a) { return VecOps::Sll<n>(a); }

// First pass, vertical frequencies 0..3 (p[u] holds P[8u + v] of every lane).
inline void FirstPassA(const V* p, V* e)
{
    const V a0 = Sra<1>(Adds(p[0], p[4]));
    const V a1 = Sra<1>(p[6]);
    const V a2 = Adds(p[2], a1);
    const V a3 = Sra<1>(a2);
    const V a4 = Adds(a0, a3);
    const V a5 = Sra<2>(p[7]);
    const V a6 = Sra<1>(Adds(p[1], a5));
    const V a7 = Sra<1>(Adds(p[5], p[3]));
    const V a8 = Adds(a6, a7);
    const V a9 = Subs(M(Subs(p[2], a1), kC4), Sra<2>(a2));
    const V a10 = Sra<2>(Subs(p[0], p[4]));
    const V a11 = Sll<1>(Adds(a9, a10));
    const V a12 = Subs(p[1], a5);
    const V a13 = Subs(p[5], p[3]);
    const V a14 = M(Subs(Sra<1>(a13), Sra<1>(a12)), kC6);
    const V a15 = Subs(Sll<1>(Subs(M(a12, kC2), a14)), a8);
    const V a16 = Sll<1>(Subs(a10, a9));
    const V a17 = Subs(Sll<2>(M(Subs(a6, a7), kC4)), a15);
    const V a18 = Subs(a0, a3);
    const V a19 = Adds(Sll<1>(Subs(a14, Sll<1>(M(a13, kC3)))), a17);
    e[0] = Adds(a4, a8);
    e[1] = Adds(a11, a15);
    e[2] = Adds(a16, a17);
    e[3] = Subs(a18, a19);
    e[4] = Adds(a18, a19);
    e[5] = Subs(a16, a17);
    e[6] = Subs(a11, a15);
    e[7] = Subs(a4, a8);
}

// First pass, vertical frequencies 4..7; bias holds 1, 1, 2, 5 for v = 4..7.
inline void FirstPassB(const V* p, V bias, V* e)
{
    const V b0 = Adds(p[0], p[4]);
    const V b1 = Sll<1>(p[2]);
    const V b2 = Adds(b1, p[6]);
    const V b3 = Sra<1>(b2);
    const V b4 = Sra<1>(Adds(b0, b3));
    const V b5 = Sra<2>(VecOps::Add(p[7], bias));
    const V b6 = Adds(p[1], b5);
    const V b7 = Sll<1>(p[3]);
    const V b8 = Sra<1>(Adds(p[5], b7));
    const V b9 = Sra<1>(Adds(b6, b8));
    const V b10 = Sra<1>(Subs(p[0], p[4]));
    const V b11 = Subs(M(Subs(b1, p[6]), kC4), Sra<2>(b2));
    const V b12 = Adds(b10, b11);
    const V b13 = Subs(p[1], b5);
    const V b14 = Subs(p[5], b7);
    const V b15 = M(Subs(Sra<1>(b14), b13), kC6);
    const V b16 = Subs(Subs(M(Sll<1>(b13), kC2), b15), b9);
    const V b17 = Subs(b10, b11);
    const V b18 = Subs(Sll<1>(M(Subs(b6, b8), kC4)), b16);
    const V b19 = Sra<1>(Subs(b0, b3));
    const V b20 = Adds(Subs(b15, Sll<1>(M(b14, kC3))), b18);
    e[0] = Adds(b4, b9);
    e[1] = Adds(b12, b16);
    e[2] = Adds(b17, b18);
    e[3] = Subs(b19, b20);
    e[4] = Adds(b19, b20);
    e[5] = Subs(b17, b18);
    e[6] = Subs(b12, b16);
    e[7] = Subs(b4, b9);
}

// Second pass: q[v] holds the first-pass values of frequency v with the
// horizontal position x in the lanes; s[y] receives sample row y.
inline void SecondPass(const V* q, V* s)
{
    const V c0 = Adds(q[0], q[4]);
    const V c1 = Adds(q[2], q[6]);
    const V c2 = Adds(c0, c1);
    const V c3 = Adds(q[1], q[7]);
    const V c4 = Adds(q[5], q[3]);
    const V c5 = Adds(c3, c4);
    const V c6 = Subs(q[0], q[4]);
    const V c7 = Subs(Sll<2>(M(Subs(q[2], q[6]), kC4)), c1);
    const V c8 = Adds(c6, c7);
    const V c9 = Subs(q[1], q[7]);
    const V c10 = Subs(q[5], q[3]);
    const V c11 = M(Subs(c10, c9), kC6);
    const V c12 = Subs(Sll<1>(Subs(Sll<1>(M(c9, kC2)), c11)), c5);
    const V c13 = Subs(c6, c7);
    const V c14 = Subs(Sll<2>(M(Subs(c3, c4), kC4)), c12);
    const V c15 = Subs(c0, c1);
    const V c16 = Adds(Sll<1>(Subs(c11, Sll<2>(M(c10, kC3)))), c14);
    s[0] = Sra<4>(Adds(c2, c5));
    s[1] = Sra<4>(Adds(c8, c12));
    s[2] = Sra<4>(Adds(c13, c14));
    s[3] = Sra<4>(Subs(c15, c16));
    s[4] = Sra<4>(Adds(c15, c16));
    s[5] = Sra<4>(Subs(c13, c14));
    s[6] = Sra<4>(Subs(c8, c12));
    s[7] = Sra<4>(Subs(c2, c5));
}

// Transposes the 8 x 8 matrix of 16-bit values held in r[0..7] within every
// 128-bit lane: out[j] lane i := r[i] lane j.
inline void Transpose(const V* r, V* out)
{
    const V t0 = VecOps::Lo16(r[0], r[1]), t1 = VecOps::Hi16(r[0], r[1]);
    const V t2 = VecOps::Lo16(r[2], r[3]), t3 = VecOps::Hi16(r[2], r[3]);
    const V t4 = VecOps::Lo16(r[4], r[5]), t5 = VecOps::Hi16(r[4], r[5]);
    const V t6 = VecOps::Lo16(r[6], r[7]), t7 = VecOps::Hi16(r[6], r[7]);
    const V u0 = VecOps::Lo32(t0, t2), u1 = VecOps::Hi32(t0, t2);
    const V u2 = VecOps::Lo32(t1, t3), u3 = VecOps::Hi32(t1, t3);
    const V u4 = VecOps::Lo32(t4, t6), u5 = VecOps::Hi32(t4, t6);
    const V u6 = VecOps::Lo32(t5, t7), u7 = VecOps::Hi32(t5, t7);
    out[0] = VecOps::Lo64(u0, u4);
    out[1] = VecOps::Hi64(u0, u4);
    out[2] = VecOps::Lo64(u1, u5);
    out[3] = VecOps::Hi64(u1, u5);
    out[4] = VecOps::Lo64(u2, u6);
    out[5] = VecOps::Hi64(u2, u6);
    out[6] = VecOps::Lo64(u3, u7);
    out[7] = VecOps::Hi64(u3, u7);
}

// The inverse transform's prescale factors and the bias of the B half in the
// batch layout (lane: block, then v), built once.
struct BatchConstants {
    alignas(64) int16_t prescaleA[8 * kLanes];
    alignas(64) int16_t prescaleB[8 * kLanes];
    alignas(64) int16_t bias[kLanes];
};

const BatchConstants& Constants()
{
    static const BatchConstants constants = [] {
        BatchConstants c{};
        static const int16_t kBias[4] = {1, 1, 2, 5};
        for (int lane = 0; lane < kLanes; lane++) {
            const int v = lane & 3;
            for (int u = 0; u < 8; u++) {
                c.prescaleA[u * kLanes + lane] = preSC[8 * u + v];
                c.prescaleB[u * kLanes + lane] = preSC[8 * u + v + 4];
            }
            c.bias[lane] = kBias[v];
        }
        return c;
    }();
    return constants;
}

// Blocks waiting for their transform and their writer.
struct BlockBatch {
    alignas(64) int16_t coef[17 * kLanes];  // A half, B half, scratch row
    // Written samples: [second-pass run][row pair][lane group of 16 bytes].
    alignas(64) uint8_t stage[2][4 * VecOps::kBytes];
    const BatchConstants* constants;
    const int16_t* quant[6];                // factors of block b of a macroblock
    // Block b's first written byte for origin 0 (plane and block map), and
    // the step from row to row: the block map's rows are evenly spaced.
    uint8_t* firstByte[6];
    int32_t rowStep[6];
    uint8_t* firstRow[kSlots];              // first written byte of each queued block
    int32_t slotStep[kSlots];
    int count;
    // Copy blocks whose source is a queued block: written from its samples
    // after it, so that a copy does not cut the batch short.
    struct Copy {
        uint8_t* firstRow;
        int32_t step;
        int slot;
    } copies[kCopies];
    int copyCount;
    int lastSlot;  // slot holding the previous block's pixels, or -1 once written
    bool flip;
};

void InitBatch(BlockBatch* batch, const DcmpContext* ctx)
{
    std::memset(batch->coef, 0, sizeof(batch->coef));
    batch->constants = &Constants();
    batch->count = 0;
    batch->copyCount = 0;
    batch->lastSlot = -1;
    batch->flip = ctx->initFlip != 0;
    // With flip the block map gives each row's rightmost pixel.
    for (int b = 0; b < 6; b++) {
        const int16_t* map = ctx->blockPlane[b]->blkMap;
        batch->quant[b] = ctx->blockQuant[b];
        batch->firstByte[b] = ctx->blockPlane[b]->plane + map[0] - (batch->flip ? 7 : 0);
        batch->rowStep[b] = map[8] - map[0];
    }
}

// Second pass of the blocks in lane positions kRun (0: slots 0, 2, 4, ...;
// 1: slots 1, 3, 5, ...), limited and packed into stage[kRun].
template <int kRun>
inline void SecondPassAndPack(BlockBatch* batch, const V* ta, const V* tb)
{
    const V q[8] = {ta[4 * kRun], ta[4 * kRun + 1], ta[4 * kRun + 2], ta[4 * kRun + 3],
                    tb[4 * kRun], tb[4 * kRun + 1], tb[4 * kRun + 2], tb[4 * kRun + 3]};
    V s[8];
    SecondPass(q, s);
    const V level = VecOps::Set16(128);
    for (int pair = 0; pair < 4; pair++) {
        V bytes = VecOps::PackUs(VecOps::Add(s[2 * pair], level), VecOps::Add(s[2 * pair + 1], level));
        if (batch->flip)
            bytes = VecOps::MinU8(VecOps::MaxU8(bytes, VecOps::Set8(16)), VecOps::Set8(240));
        VecOps::Store(batch->stage[kRun] + pair * VecOps::kBytes, bytes);
    }
}

// Writes the 8 x 8 samples of a slot from the stage, first row at dst.
inline void WriteSlot(const BlockBatch* batch, int slot, uint8_t* dst, std::ptrdiff_t step)
{
    // Rows 2p and 2p + 1 of the slot are the 16 bytes of its lane group in row pair p.
    const uint8_t* rows = batch->stage[slot & 1] + (slot >> 1) * 16;
    for (int pair = 0; pair < 4; pair++, rows += VecOps::kBytes, dst += 2 * step) {
        std::memcpy(dst, rows, 8);
        std::memcpy(dst + step, rows + 8, 8);
    }
}

// Transforms every block of the batch and writes it into its plane.
void FlushBatch(BlockBatch* batch)
{
    if (batch->count == 0)
        return;
    // Prescale, and clear the coefficients for the next batch as they are read.
    V pa[8], pb[8];
    for (int u = 0; u < 8; u++) {
        int16_t* rowA = batch->coef + u * kLanes;
        int16_t* rowB = batch->coef + kHalfB + u * kLanes;
        pa[u] = VecOps::MulHi(VecOps::Load(rowA), VecOps::Load(batch->constants->prescaleA + u * kLanes));
        pb[u] = VecOps::MulHi(VecOps::Load(rowB), VecOps::Load(batch->constants->prescaleB + u * kLanes));
        VecOps::Store(rowA, VecOps::Zero());
        VecOps::Store(rowB, VecOps::Zero());
    }
    V ea[8], eb[8];
    FirstPassA(pa, ea);
    FirstPassB(pb, VecOps::Load(batch->constants->bias), eb);
    V ta[8], tb[8];
    if (batch->flip) {
        // Sample column x goes to pixel column 7 - x: transposing the columns
        // in reverse order puts them into the lanes in pixel order.
        const V ra[8] = {ea[7], ea[6], ea[5], ea[4], ea[3], ea[2], ea[1], ea[0]};
        const V rb[8] = {eb[7], eb[6], eb[5], eb[4], eb[3], eb[2], eb[1], eb[0]};
        Transpose(ra, ta);
        Transpose(rb, tb);
    } else {
        Transpose(ea, ta);
        Transpose(eb, tb);
    }
    SecondPassAndPack<0>(batch, ta, tb);
    if (batch->count > 1)
        SecondPassAndPack<1>(batch, ta, tb);
    for (int slot = 0; slot < batch->count; slot++)
        WriteSlot(batch, slot, batch->firstRow[slot], batch->slotStep[slot]);
    for (int i = 0; i < batch->copyCount; i++)
        WriteSlot(batch, batch->copies[i].slot, batch->copies[i].firstRow, batch->copies[i].step);
    batch->count = 0;
    batch->copyCount = 0;
    batch->lastSlot = -1;
}

// Queues a coded block whose codes start at `code` as block b of its
// macroblock, with its origin at `origin` in its plane; returns its length.
inline std::size_t QueueCodedBlock(BlockBatch* batch, const uint8_t* code, int b, int32_t origin)
{
    const int slot = batch->count;
    const uint8_t len = DecodeCodes(batch->coef + 4 * slot, code, batch->quant[b]);
    batch->firstRow[slot] = batch->firstByte[b] + origin;
    batch->slotStep[slot] = batch->rowStep[b];
    batch->lastSlot = slot;
    if (++batch->count == kSlots)
        FlushBatch(batch);
    return static_cast<std::size_t>(len) + 1;
}

// Writes a flat mid-grey block (samples 0): the first block of a frame when it
// is a copy, which has no previous block to copy.
void WriteFlatBlock(const DcmpContext* ctx, bool flip, int b, int32_t n)
{
    const DcmpPlaneRec* dst = ctx->blockPlane[b];
    for (int r = 0; r < 8; r++)
        std::memset(dst->plane + ctx->blkBase[n] + dst->blkMap[8 * r] - (flip ? 7 : 0), 128, 8);
}

// The block loop of Dcmp_DecodePlanes with batched transforms.
void DecodePlanesVec(DcmpContext* ctx)
{
    BlockBatch batch;
    InitBatch(&batch, ctx);
    const uint8_t* src = ctx->srcFrame;
    const std::size_t size = src ? ctx->srcFrameSize : 0;
    const int32_t* blkBase = ctx->blkBase;
    std::size_t pos = DCMP_FRAME_HEADER_BYTES;
    int32_t n = 0;
    int previous = 5;
    for (int32_t mb = 0; mb < ctx->mbCount; mb++) {
        pos += DCMP_MB_HEADER_BYTES;
        for (int b = 0; b < 6; b++) {
            const uint8_t head = pos < size ? src[pos] : 0;
            if ((head & 0xC0) != 0xC0) {
                if (pos < size && size - pos >= DCMP_MAX_BLOCK_READ) {
                    pos += QueueCodedBlock(&batch, src + pos, b, blkBase[n]);
                } else {
                    // Bytes past the end of the frame buffer read as zero, as in the scalar loop.
                    uint8_t padded[DCMP_MAX_BLOCK_READ] = {};
                    if (pos < size)
                        std::memcpy(padded, src + pos, size - pos);
                    pos += QueueCodedBlock(&batch, padded, b, blkBase[n]);
                }
            } else if (n == 0) {
                WriteFlatBlock(ctx, batch.flip, b, n);
                pos += 2;
            } else if (batch.lastSlot >= 0 && batch.copyCount < kCopies) {
                // The previous block is still queued: its samples are the pixels to copy.
                batch.copies[batch.copyCount++] = {batch.firstByte[b] + blkBase[n], batch.rowStep[b], batch.lastSlot};
                pos += 2;
            } else {
                // The copy reads the previous block's pixels: write it first.
                FlushBatch(&batch);
                if (batch.flip)
                    Dcmp_MapPreP2P_Flip(ctx->blockPlane[b], ctx->blockPlane[previous], n, ctx->blkBase);
                else
                    Dcmp_MapPreP2P(ctx->blockPlane[b], ctx->blockPlane[previous], n, ctx->blkBase);
                pos += 2;
            }
            previous = b;
            n++;
        }
    }
    FlushBatch(&batch);
}

}  // namespace
