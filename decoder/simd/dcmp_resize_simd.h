// Vector versions of the fixed subsampling steps Dcmp_QV2QC (3 of every 5
// rows, 14 of every 25 columns) and Dcmp_QV2QQV (odd rows, even columns),
// giving exactly their bytes. Included by each path's source file after
// dcmp_vec.h.
//
// A row is copied a group of columns at a time, each group by the same
// fixed series of byte shuffles (SSE2, which has none: of 4-byte moves): 25
// columns (one repeat of the pattern) for Dcmp_QV2QC, 32 for Dcmp_QV2QQV.
// Where the row ends inside a group, or the output row is full before the
// group ends, the rest of the row goes pixel by pixel as in the scalar step,
// so that no byte outside the row is read and none outside the output is
// written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

// The rows and columns each step keeps, as the scalar steps decide them.
struct QcPattern {
    static constexpr bool RowTaken(int32_t r) { return r % 5 == 0 || r % 5 == 2 || r % 5 == 4; }
    static constexpr bool ColumnTaken(int32_t c)
    {
        // Bit m set: column c with c mod 25 = m is skipped (1, 4, and the even 6..22).
        constexpr uint32_t kSkipped = 0x0055'5552;
        return ((kSkipped >> (c % 25)) & 1) == 0;
    }
    static constexpr int32_t kGroup = 25;  // 42 output bytes
};

struct QqvPattern {
    static constexpr bool RowTaken(int32_t r) { return r % 2 == 1; }
    static constexpr bool ColumnTaken(int32_t c) { return c % 2 == 0; }
    static constexpr int32_t kGroup = 32;  // 48 output bytes
};

// The kept columns of one group, in order.
template <typename Pattern>
struct GroupColumns {
    int32_t count = 0;
    int32_t column[Pattern::kGroup] = {};
};

template <typename Pattern>
constexpr GroupColumns<Pattern> MakeGroupColumns()
{
    GroupColumns<Pattern> kept;
    for (int32_t c = 0; c < Pattern::kGroup; c++) {
        if (Pattern::ColumnTaken(c))
            kept.column[kept.count++] = c;
    }
    return kept;
}

#if defined(DCMP_VEC_AVX512) || defined(DCMP_VEC_AVX2)
// How one group's output is made of byte shuffles: output chunk i is the
// kChunk bytes at outOffset (the last chunk overlaps the one before where
// the group's output is no multiple of kChunk). Two kinds of shuffle:
//   window (AVX-512): one two-register permute of the 2 kChunk bytes at
//     loadA (loads at loadA and loadB = loadA + kChunk); index holds window
//     positions;
//   pair (AVX2): the OR of a shuffle of the kChunk bytes at loadA (index) and
//     one of those at loadB (indexB); 0x80 leaves a byte to the other one.
// Every load lies inside the group's source bytes.
#if defined(DCMP_VEC_AVX512)
constexpr int32_t kChunk = 32;
#else
constexpr int32_t kChunk = 16;
#endif

struct ChunkPlan {
    int32_t outOffset = 0;
    int32_t loadA = 0;
    int32_t loadB = 0;
    alignas(64) uint8_t index[kChunk] = {};
    alignas(64) uint8_t indexB[kChunk] = {};
};

template <typename Pattern>
struct GroupPlan {
    static constexpr int32_t kMaxChunks = 3 * Pattern::kGroup / kChunk + 1;
    int32_t chunks = 0;
    ChunkPlan chunk[kMaxChunks];
};

constexpr int32_t Clamp(int32_t x, int32_t lo, int32_t hi)
{
    return x < lo ? lo : x > hi ? hi : x;
}

// Source byte of output byte j of a group.
template <typename Pattern>
constexpr int32_t KeptSourceByte(int32_t j)
{
    constexpr GroupColumns<Pattern> kept = MakeGroupColumns<Pattern>();
    return 3 * kept.column[j / 3] + j % 3;
}

template <typename Pattern, bool kWindow>
constexpr GroupPlan<Pattern> MakeGroupPlan()
{
    constexpr int32_t outBytes = 3 * MakeGroupColumns<Pattern>().count;
    constexpr int32_t srcBytes = 3 * Pattern::kGroup;
    static_assert(outBytes >= kChunk && srcBytes >= (kWindow ? 2 : 1) * kChunk);
    GroupPlan<Pattern> plan;
    for (int32_t start = 0; start < outBytes; start += kChunk) {
        ChunkPlan& chunk = plan.chunk[plan.chunks++];
        chunk.outOffset = start < outBytes - kChunk ? start : outBytes - kChunk;
        const int32_t first = KeptSourceByte<Pattern>(chunk.outOffset);
        const int32_t last = KeptSourceByte<Pattern>(chunk.outOffset + kChunk - 1);
        chunk.loadA = Clamp(first, 0, srcBytes - (kWindow ? 2 : 1) * kChunk);
        chunk.loadB = kWindow ? chunk.loadA + kChunk : Clamp(last - kChunk + 1, 0, srcBytes - kChunk);
        for (int32_t j = 0; j < kChunk; j++) {
            // A byte that no load holds makes the plan fail to compile.
            const int32_t s = KeptSourceByte<Pattern>(chunk.outOffset + j);
            chunk.index[j] = chunk.indexB[j] = 0x80;
            if (s >= chunk.loadA && s - chunk.loadA < (kWindow ? 2 : 1) * kChunk)
                chunk.index[j] = static_cast<uint8_t>(s - chunk.loadA);
            else if (!kWindow && s >= chunk.loadB && s - chunk.loadB < kChunk)
                chunk.indexB[j] = static_cast<uint8_t>(s - chunk.loadB);
            else
                throw "a kept byte lies outside the loads";
        }
    }
    return plan;
}
#endif

#if defined(DCMP_VEC_AVX512)
// One group: each 32-byte output chunk is one two-register byte permute.
template <typename Pattern>
inline void CopyKeptGroup(const uint8_t* src, uint8_t* out)
{
    static constexpr GroupPlan<Pattern> kPlan = MakeGroupPlan<Pattern, true>();
#pragma GCC unroll 4
    for (int32_t i = 0; i < kPlan.chunks; i++) {
        const ChunkPlan& chunk = kPlan.chunk[i];
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + chunk.loadA));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + chunk.loadB));
        const __m256i index = _mm256_load_si256(reinterpret_cast<const __m256i*>(chunk.index));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + chunk.outOffset), _mm256_permutex2var_epi8(a, index, b));
    }
}
#elif defined(DCMP_VEC_AVX2)
// One group: each 16-byte output chunk is the OR of two byte shuffles, one of
// each 16-byte load.
template <typename Pattern>
inline void CopyKeptGroup(const uint8_t* src, uint8_t* out)
{
    static constexpr GroupPlan<Pattern> kPlan = MakeGroupPlan<Pattern, false>();
#pragma GCC unroll 4
    for (int32_t i = 0; i < kPlan.chunks; i++) {
        const ChunkPlan& chunk = kPlan.chunk[i];
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + chunk.loadA));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + chunk.loadB));
        const __m128i bytes =
            _mm_or_si128(_mm_shuffle_epi8(a, _mm_load_si128(reinterpret_cast<const __m128i*>(chunk.index))),
                         _mm_shuffle_epi8(b, _mm_load_si128(reinterpret_cast<const __m128i*>(chunk.indexB))));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + chunk.outOffset), bytes);
    }
}
#else
// SSE2 has no byte shuffle: one group as 4-byte moves at fixed offsets. The
// fourth byte of each store is overwritten by the next pixel; the last pixel
// of the group moves 3 bytes, and every 4-byte load ends inside the group.
template <typename Pattern>
inline void CopyKeptGroup(const uint8_t* src, uint8_t* out)
{
    static constexpr GroupColumns<Pattern> kKept = MakeGroupColumns<Pattern>();
#pragma GCC unroll 32
    for (int32_t j = 0; j < kKept.count - 1; j++) {
        uint32_t pixel;
        std::memcpy(&pixel, src + 3 * kKept.column[j], 4);
        std::memcpy(out + 3 * j, &pixel, 4);
    }
    std::memcpy(out + 3 * (kKept.count - 1), src + 3 * kKept.column[kKept.count - 1], 3);
}
#endif

// The walk of the scalar step, with whole groups copied by CopyKeptGroup.
// (The sizes are read once: the compiler must assume that output bytes
// written may be the context's own.)
template <typename Pattern>
void SubsampleVec(DcmpContext* ctx)
{
    static constexpr int32_t kKept = MakeGroupColumns<Pattern>().count;
    const int32_t decWidth = ctx->decWidth;
    const int32_t decHeight = ctx->decHeight;
    const int32_t outWidth = ctx->outWidth;
    const int32_t outHeight = ctx->outHeight;
    const std::ptrdiff_t stride = ctx->rgbStride;
    const uint8_t* src = ctx->dstPicture - (decHeight - 1) * stride;
    uint8_t* out = ctx->dstFinal;
    int32_t rowsDone = 0;
    for (int32_t r = 0; r < decHeight && rowsDone < outHeight; r++) {
        if (!Pattern::RowTaken(r))
            continue;
        const uint8_t* row = src + r * stride;
        int32_t c = 0;
        int32_t pixelsDone = 0;
        for (; c + Pattern::kGroup <= decWidth && pixelsDone + kKept <= outWidth; c += Pattern::kGroup) {
            CopyKeptGroup<Pattern>(row + 3 * c, out);
            out += 3 * kKept;
            pixelsDone += kKept;
        }
        for (; c < decWidth && pixelsDone < outWidth; c++) {
            if (!Pattern::ColumnTaken(c))
                continue;
            std::memcpy(out, row + 3 * c, 3);
            out += 3;
            pixelsDone++;
        }
        rowsDone++;
    }
}

void SubsampleQcVec(DcmpContext* ctx)
{
    SubsampleVec<QcPattern>(ctx);
}

void SubsampleQqvVec(DcmpContext* ctx)
{
    SubsampleVec<QqvPattern>(ctx);
}

}  // namespace
