// Vector versions of the steps after the colour conversion: filling the
// gaps of the 352 x 288 frame and the rotations, exactly as Dcmp_QV2C_Flip,
// Dcmp_Rotate1 and Dcmp_Rotate2; quarter turns move transposed tiles, half
// turns exchange reversed chunks of pixels. Included by each path's source
// file after dcmp_block_simd.h. A path whose instruction set permutes bytes
// across 48 bytes defines DCMP_HAVE_REVERSE16 and ReverseSwap16 (exchange two
// chunks of 16 pixels, each reversed) first; the AVX2 path reverses chunks
// of 32 pixels with the 16-byte shuffles below; SSE2 moves pixel by pixel.
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
    Dcmp_FillCifGapColumns(ctx);
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

#if defined(DCMP_VEC_AVX2)
// Byte shuffles that reverse 32 pixels (96 bytes): output part k (16 bytes)
// is the OR of shuffles of the 16 input bytes at low[k] (fromLow[k]) and
// of those at high[k] (fromHigh[k]); 0x80 leaves a byte to the other one.
struct Reverse32Index {
    int32_t low[6];
    int32_t high[6];
    alignas(16) uint8_t fromLow[6][16];
    alignas(16) uint8_t fromHigh[6][16];
};

constexpr Reverse32Index MakeReverse32Index()
{
    Reverse32Index index{};
    auto source = [](int g) { return 3 * (31 - g / 3) + g % 3; };
    for (int k = 0; k < 6; k++) {
        // The part's source bytes span at most 18 bytes (6 pixels).
        int first = 95;
        int last = 0;
        for (int j = 0; j < 16; j++) {
            first = source(16 * k + j) < first ? source(16 * k + j) : first;
            last = source(16 * k + j) > last ? source(16 * k + j) : last;
        }
        if (last - first >= 32 || first > 80)
            throw "a part's bytes do not fit two loads inside the chunk";
        index.low[k] = first;
        index.high[k] = last - 15 > 0 ? last - 15 : 0;
        for (int j = 0; j < 16; j++) {
            const int s = source(16 * k + j);
            index.fromLow[k][j] = index.fromHigh[k][j] = 0x80;
            if (s >= index.low[k] && s < index.low[k] + 16)
                index.fromLow[k][j] = static_cast<uint8_t>(s - index.low[k]);
            else if (s >= index.high[k] && s < index.high[k] + 16)
                index.fromHigh[k][j] = static_cast<uint8_t>(s - index.high[k]);
            else
                throw "a source byte lies outside both loads";
        }
    }
    return index;
}

constexpr Reverse32Index kReverse32 = MakeReverse32Index();

// Part k of the 32 pixels at p, reversed.
inline __m128i ReversedPart(const uint8_t* p, int k)
{
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + kReverse32.low[k]));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + kReverse32.high[k]));
    return _mm_or_si128(
        _mm_shuffle_epi8(low, _mm_load_si128(reinterpret_cast<const __m128i*>(kReverse32.fromLow[k]))),
        _mm_shuffle_epi8(high, _mm_load_si128(reinterpret_cast<const __m128i*>(kReverse32.fromHigh[k]))));
}

// Exchanges the 32 pixels at front with the 32 at back, each chunk reversed.
inline void ReverseSwap32(uint8_t* front, uint8_t* back)
{
    __m128i toFront[6], toBack[6];
    for (int k = 0; k < 6; k++) {
        toFront[k] = ReversedPart(back, k);
        toBack[k] = ReversedPart(front, k);
    }
    for (int k = 0; k < 6; k++) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(front + 16 * k), toFront[k]);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(back + 16 * k), toBack[k]);
    }
}
#endif

// Half turn in place: pixel k exchanges with pixel count - 1 - k.
void HalfTurn(uint8_t* picture, std::size_t count)
{
    uint8_t* front = picture;
    uint8_t* back = picture + 3 * count;
    std::size_t pairs = count / 2;
#if defined(DCMP_HAVE_REVERSE16)
    // 16 pixels from each end at a time while the two chunks do not meet:
    // every other chunk first, then the ones between. (Chunk after chunk, a
    // load would cover, with its unused bytes, the bytes just stored before
    // it and wait for that store.)
    const std::size_t chunks = pairs / 16;
    for (std::size_t first = 0; first < 2; first++) {
        for (std::size_t i = first; i < chunks; i += 2)
            ReverseSwap16(front + 48 * i, back - 48 * (i + 1));
    }
    front += 48 * chunks;
    back -= 48 * chunks;
    pairs -= 16 * chunks;
#elif defined(DCMP_VEC_AVX2)
    // 32 pixels from each end at a time while the two chunks do not meet.
    for (; pairs >= 32; pairs -= 32, front += 96) {
        back -= 96;
        ReverseSwap32(front, back);
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

// Quarter turns move square tiles of kTurnTile x kTurnTile pixels.
// TransposeTile(in, inStep, out, outStep): pixel b of output row a (at
// out + a * outStep) := pixel a of input row b (at in + b * inStep); it reads
// and writes exactly the tile's pixels.
#if defined(DCMP_VEC_AVX512)
constexpr int32_t kTurnTile = 16;

// Two-register byte permutes that open and close the 16 x 16 transpose.
// Pixels travel in 32-bit lanes (3 bytes and a spare one), as 4 pixels per
// 128-bit lane.
//   pairLow, pairHigh: two input rows x, y (48 bytes each) to, in 128-bit
//     lane L, pixels (x 4L, y 4L, x 4L+1, y 4L+1), resp. (x 4L+2, y 4L+2,
//     x 4L+3, y 4L+3);
//   joinEven, joinOdd: lanes 0 and 2 (resp. 1 and 3) of a, then of b, as 16
//     pixels in their 48 bytes.
struct TileIndex {
    alignas(64) uint8_t pairLow[64];
    alignas(64) uint8_t pairHigh[64];
    alignas(64) uint8_t joinEven[64];
    alignas(64) uint8_t joinOdd[64];
};

constexpr TileIndex MakeTileIndex()
{
    TileIndex index{};
    for (int j = 0; j < 64; j++) {
        const int lane = j / 16;
        const int slot = j % 16 / 4;
        const int byte = j % 4 == 3 ? 0 : j % 4;  // the spare byte repeats byte 0
        const int fromY = slot % 2 == 1 ? 64 : 0;
        index.pairLow[j] = static_cast<uint8_t>(fromY + 3 * (4 * lane + slot / 2) + byte);
        index.pairHigh[j] = static_cast<uint8_t>(fromY + 3 * (4 * lane + 2 + slot / 2) + byte);
        // Output byte j < 48 is byte j % 3 of pixel j / 3, which lies in slot
        // pixel % 4 of quarter pixel / 4: quarters 0 and 1 come from lanes 0
        // and 2 (odd: 1 and 3) of a, quarters 2 and 3 from those of b.
        if (j < 48) {
            const int pixel = j / 3;
            const int quarter = pixel / 4;
            const int at = (quarter >= 2 ? 64 : 0) + 32 * (quarter % 2) + 4 * (pixel % 4) + j % 3;
            index.joinEven[j] = static_cast<uint8_t>(at);
            index.joinOdd[j] = static_cast<uint8_t>(at + 16);
        }
    }
    return index;
}

constexpr TileIndex kTileIndex = MakeTileIndex();

inline void TransposeTile(const uint8_t* in, std::ptrdiff_t inStep, uint8_t* out, std::ptrdiff_t outStep)
{
    constexpr __mmask64 k48Bytes = (uint64_t{1} << 48) - 1;
    // t[2i], t[2i + 1]: rows 2i and 2i + 1 interleaved (pairLow, pairHigh).
    const __m512i pairLow = _mm512_load_si512(kTileIndex.pairLow);
    const __m512i pairHigh = _mm512_load_si512(kTileIndex.pairHigh);
    __m512i t[16];
    for (int i = 0; i < 8; i++) {
        const __m512i x = _mm512_maskz_loadu_epi8(k48Bytes, in + 2 * i * inStep);
        const __m512i y = _mm512_maskz_loadu_epi8(k48Bytes, in + (2 * i + 1) * inStep);
        t[2 * i] = _mm512_permutex2var_epi8(x, pairLow, y);
        t[2 * i + 1] = _mm512_permutex2var_epi8(x, pairHigh, y);
    }
    // 4 x 4 transposes inside each 128-bit lane: u[4g + k], lane L holds
    // column 4L + k of rows 4g .. 4g + 3.
    __m512i u[16];
    for (int g = 0; g < 4; g++) {
        const __m512i* q = t + 4 * g;
        u[4 * g] = VecOps::Lo64(q[0], q[2]);
        u[4 * g + 1] = VecOps::Hi64(q[0], q[2]);
        u[4 * g + 2] = VecOps::Lo64(q[1], q[3]);
        u[4 * g + 3] = VecOps::Hi64(q[1], q[3]);
    }
    // Then a 4 x 4 transpose of the lanes: output row 4L + k, lane g is
    // lane L of u[4g + k]; the last step also packs the pixels to 48 bytes.
    // (The zero-masking form with every lane selected: the plain one trips a
    // false uninitialised-value warning in some compilers' headers.)
    const __m512i joinEven = _mm512_load_si512(kTileIndex.joinEven);
    const __m512i joinOdd = _mm512_load_si512(kTileIndex.joinOdd);
    for (int k = 0; k < 4; k++) {
        const __m512i p0 = _mm512_maskz_shuffle_i32x4(0xFFFF, u[k], u[4 + k], 0x44);
        const __m512i p1 = _mm512_maskz_shuffle_i32x4(0xFFFF, u[k], u[4 + k], 0xEE);
        const __m512i p2 = _mm512_maskz_shuffle_i32x4(0xFFFF, u[8 + k], u[12 + k], 0x44);
        const __m512i p3 = _mm512_maskz_shuffle_i32x4(0xFFFF, u[8 + k], u[12 + k], 0xEE);
        _mm512_mask_storeu_epi8(out + k * outStep, k48Bytes, _mm512_permutex2var_epi8(p0, joinEven, p2));
        _mm512_mask_storeu_epi8(out + (4 + k) * outStep, k48Bytes, _mm512_permutex2var_epi8(p0, joinOdd, p2));
        _mm512_mask_storeu_epi8(out + (8 + k) * outStep, k48Bytes, _mm512_permutex2var_epi8(p1, joinEven, p3));
        _mm512_mask_storeu_epi8(out + (12 + k) * outStep, k48Bytes, _mm512_permutex2var_epi8(p1, joinOdd, p3));
    }
}
#elif defined(DCMP_VEC_AVX2)
constexpr int32_t kTurnTile = 8;

inline void TransposeTile(const uint8_t* in, std::ptrdiff_t inStep, uint8_t* out, std::ptrdiff_t outStep)
{
    // Pixels 0..3 from the 16 bytes at 0 and pixels 4..7 from the 16 bytes
    // at 8 (the row's 24 bytes exactly) into one 32-bit lane each.
    const __m256i widen = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1,  //
                                           4, 5, 6, -1, 7, 8, 9, -1, 10, 11, 12, -1, 13, 14, 15, -1);
    __m256i r[8];
    for (int b = 0; b < 8; b++) {
        const uint8_t* row = in + b * inStep;
        const __m256i bytes = _mm256_inserti128_si256(
            _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row))),
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 8)), 1);
        r[b] = _mm256_shuffle_epi8(bytes, widen);
    }
    // 4 x 4 transposes inside each 128-bit lane: u[4g + k], lane L holds
    // column 4L + k of rows 4g .. 4g + 3.
    __m256i u[8];
    for (int g = 0; g < 2; g++) {
        const __m256i* q = r + 4 * g;
        const __m256i t0 = VecOps::Lo32(q[0], q[1]), t1 = VecOps::Hi32(q[0], q[1]);
        const __m256i t2 = VecOps::Lo32(q[2], q[3]), t3 = VecOps::Hi32(q[2], q[3]);
        u[4 * g] = VecOps::Lo64(t0, t2);
        u[4 * g + 1] = VecOps::Hi64(t0, t2);
        u[4 * g + 2] = VecOps::Lo64(t1, t3);
        u[4 * g + 3] = VecOps::Hi64(t1, t3);
    }
    // Each lane's 4 pixels to its low 12 bytes, then the two lanes' 12 bytes
    // together: 24 bytes stored as 16 + 8.
    const __m256i narrow = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1,  //
                                            0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    const __m256i joinLanes = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
    auto store = [&](int a, __m256i row) {
        const __m256i packed = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(row, narrow), joinLanes);
        uint8_t* dst = out + a * outStep;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm256_castsi256_si128(packed));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 16), _mm256_extracti128_si256(packed, 1));
    };
    // Output row 4L + k: lane g is lane L of u[4g + k].
    for (int k = 0; k < 4; k++) {
        store(k, _mm256_permute2x128_si256(u[k], u[4 + k], 0x20));
        store(4 + k, _mm256_permute2x128_si256(u[k], u[4 + k], 0x31));
    }
}
#else
constexpr int32_t kTurnTile = 16;

// SSE2 has no byte shuffle: the tile pixel by pixel, as 4-byte moves whose
// fourth byte the next pixel overwrites. The last pixel of each output row,
// and every pixel of the last output row (whose 4-byte loads would read past
// the tile), move 3 bytes.
template <bool kLastRow>
inline void TransposeTileRow(const uint8_t* column, std::ptrdiff_t inStep, uint8_t* dst)
{
    constexpr int last = kTurnTile - 1;
#pragma GCC unroll 16
    for (int b = 0; b < last; b++) {
        if constexpr (kLastRow) {
            CopyPixel(dst + 3 * b, column + b * inStep);
        } else {
            uint32_t pixel;
            std::memcpy(&pixel, column + b * inStep, 4);
            std::memcpy(dst + 3 * b, &pixel, 4);
        }
    }
    CopyPixel(dst + 3 * last, column + last * inStep);
}

inline void TransposeTile(const uint8_t* in, std::ptrdiff_t inStep, uint8_t* out, std::ptrdiff_t outStep)
{
    constexpr int last = kTurnTile - 1;
    for (int a = 0; a < last; a++)
        TransposeTileRow<false>(in + 3 * a, inStep, out + a * outStep);
    TransposeTileRow<true>(in + 3 * last, inStep, out + last * outStep);
}
#endif

// Quarter turns of the centred h x h square, in its own coordinates (row m
// in memory, column k): rotation 1 makes (m, k) := old (h - 1 - k, m);
// rotation 3 makes (m, k) := old (k, h - 1 - m). Tiles are named by the
// memory row and column of their first pixel.
struct TileAt {
    int32_t row;
    int32_t column;
};

// The tile whose old pixels, turned, fill the tile at `to`.
inline TileAt SourceTile(int32_t rotation, int32_t h, TileAt to)
{
    return rotation == 1 ? TileAt{h - kTurnTile - to.column, to.row} : TileAt{to.column, h - kTurnTile - to.row};
}

// Fills the tile whose first row is at `to` with the turned pixels of the
// tile whose first row is at `from` (rows `fromStride` apart).
inline void TurnTile(int32_t rotation, const uint8_t* from, std::ptrdiff_t fromStride, uint8_t* to,
                     std::ptrdiff_t stride)
{
    constexpr int32_t last = kTurnTile - 1;
    if (rotation == 1)
        TransposeTile(from + last * fromStride, -fromStride, to, stride);
    else
        TransposeTile(from, fromStride, to + last * stride, -stride);
}

// With h a multiple of the tile: in place, four tiles at a time, each taking the
// place of the next one round the turn; only the first is kept aside. The
// middle tile of an odd count turns into itself.
void QuarterTurnInPlace(uint8_t* square, std::ptrdiff_t stride, int32_t h, int32_t rotation)
{
    constexpr std::ptrdiff_t kKeptStride = kTurnTile * 3;
    alignas(64) uint8_t kept[kTurnTile * kKeptStride];
    auto place = [square, stride](TileAt t) { return square + t.row * stride + t.column * 3; };
    auto keep = [&](TileAt t) {
        for (int32_t r = 0; r < kTurnTile; r++)
            std::memcpy(kept + r * kKeptStride, place(t) + r * stride, kKeptStride);
    };
    const int32_t n = h / kTurnTile;
    for (int32_t i = 0; i < n / 2; i++) {
        for (int32_t j = i; j < n - 1 - i; j++) {
            const TileAt t0{i * kTurnTile, j * kTurnTile};
            const TileAt t1 = SourceTile(rotation, h, t0);
            const TileAt t2 = SourceTile(rotation, h, t1);
            const TileAt t3 = SourceTile(rotation, h, t2);  // and t0 = SourceTile(t3)
            keep(t0);
            TurnTile(rotation, place(t1), stride, place(t0), stride);
            TurnTile(rotation, place(t2), stride, place(t1), stride);
            TurnTile(rotation, place(t3), stride, place(t2), stride);
            TurnTile(rotation, kept, kKeptStride, place(t3), stride);
        }
    }
    if (n % 2 == 1) {
        const TileAt middle{n / 2 * kTurnTile, n / 2 * kTurnTile};
        keep(middle);
        TurnTile(rotation, kept, kKeptStride, place(middle), stride);
    }
}

// Otherwise from a copy of the square (at the same place in workBuf), a tile
// at a time. The last tiles of each direction start at h - tile and overlap
// the ones before, writing the same bytes again.
void QuarterTurnFromCopy(const uint8_t* copy, uint8_t* square, std::ptrdiff_t stride, int32_t h, int32_t rotation)
{
    for (int32_t m = 0; m < h; m += kTurnTile) {
        for (int32_t k = 0; k < h; k += kTurnTile) {
            const TileAt to{m < h - kTurnTile ? m : h - kTurnTile, k < h - kTurnTile ? k : h - kTurnTile};
            const TileAt from = SourceTile(rotation, h, to);
            TurnTile(rotation, copy + from.row * stride + from.column * 3, stride,
                     square + to.row * stride + to.column * 3, stride);
        }
    }
}

// A square smaller than one tile, pixel by pixel from the copy.
void QuarterTurnPixels(const uint8_t* copy, uint8_t* square, std::ptrdiff_t stride, int32_t h, int32_t rotation)
{
    for (int32_t m = 0; m < h; m++) {
        for (int32_t k = 0; k < h; k++) {
            const uint8_t* from = rotation == 1 ? copy + (h - 1 - k) * stride + m * 3
                                                : copy + k * stride + (h - 1 - m) * 3;
            CopyPixel(square + m * stride + k * 3, from);
        }
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
    // The columns beside the centred square turn white.
    const int32_t c0 = (w - h) / 2;
    const std::ptrdiff_t stride = static_cast<std::ptrdiff_t>(w) * 3;
    for (int32_t m = 0; m < h; m++) {
        uint8_t* row = picture + m * stride;
        std::memset(row, 255, static_cast<std::size_t>(c0) * 3);
        std::memset(row + (c0 + h) * 3, 255, static_cast<std::size_t>(w - c0 - h) * 3);
    }
    uint8_t* square = picture + c0 * 3;
    if (h % kTurnTile == 0) {
        QuarterTurnInPlace(square, stride, h, ctx->rotation);
        return;
    }
    uint8_t* copy = ctx->workBuf + c0 * 3;
    for (int32_t m = 0; m < h; m++)
        std::memcpy(copy + m * stride, square + m * stride, static_cast<std::size_t>(h) * 3);
    if (h > kTurnTile)
        QuarterTurnFromCopy(copy, square, stride, h, ctx->rotation);
    else
        QuarterTurnPixels(copy, square, stride, h, ctx->rotation);
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
