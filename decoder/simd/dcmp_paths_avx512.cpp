// The AVX-512 path (this file is compiled with AVX-512 F, BW, VL and VBMI enabled).
#define DCMP_VEC_AVX512
#include "simd/dcmp_vec.h"

namespace {

// For output vector t of 64 pixels' 192 interleaved bytes: where each byte
// comes from. blueGreen picks from blue (0..63) and green (64..127); red
// picks from red where redMask is set.
struct BgrIndex {
    alignas(64) uint8_t blueGreen[3][64];
    alignas(64) uint8_t red[3][64];
    uint64_t redMask[3];
};

constexpr BgrIndex MakeBgrIndex()
{
    BgrIndex index{};
    for (int t = 0; t < 3; t++)
        for (int j = 0; j < 64; j++) {
            const int g = 64 * t + j;
            const int pixel = g / 3;
            index.blueGreen[t][j] = static_cast<uint8_t>(g % 3 == 1 ? 64 + pixel : pixel);
            index.red[t][j] = static_cast<uint8_t>(pixel);
            if (g % 3 == 2)
                index.redMask[t] |= uint64_t{1} << j;
        }
    return index;
}

constexpr BgrIndex kBgrIndex = MakeBgrIndex();

// 64 pixels from their blue, green and red bytes to 192 interleaved bytes.
inline void StoreBgr(uint8_t* out, __m512i b, __m512i g, __m512i r)
{
    for (int t = 0; t < 3; t++) {
        const __m512i blueGreen = _mm512_permutex2var_epi8(b, _mm512_load_si512(kBgrIndex.blueGreen[t]), g);
        const __m512i bgr = _mm512_mask_permutexvar_epi8(blueGreen, kBgrIndex.redMask[t],
                                                         _mm512_load_si512(kBgrIndex.red[t]), r);
        _mm512_storeu_si512(out + 64 * t, bgr);
    }
}

// Byte indices that put 16 pixels (48 bytes) into reverse order.
struct ReverseIndex {
    alignas(64) uint8_t bytes[64];
};

constexpr ReverseIndex MakeReverseIndex()
{
    ReverseIndex index{};
    for (int j = 0; j < 48; j++)
        index.bytes[j] = static_cast<uint8_t>(3 * (15 - j / 3) + j % 3);
    return index;
}

constexpr ReverseIndex kReverseIndex = MakeReverseIndex();

// Exchanges the 16 pixels at front with the 16 at back, each chunk reversed.
#define DCMP_HAVE_REVERSE16
inline void ReverseSwap16(uint8_t* front, uint8_t* back)
{
    constexpr __mmask64 k48Bytes = (uint64_t{1} << 48) - 1;
    const __m512i index = _mm512_load_si512(kReverseIndex.bytes);
    const __m512i a = _mm512_maskz_loadu_epi8(k48Bytes, front);
    const __m512i b = _mm512_maskz_loadu_epi8(k48Bytes, back);
    _mm512_mask_storeu_epi8(front, k48Bytes, _mm512_maskz_permutexvar_epi8(k48Bytes, index, b));
    _mm512_mask_storeu_epi8(back, k48Bytes, _mm512_maskz_permutexvar_epi8(k48Bytes, index, a));
}

}  // namespace

#include "simd/dcmp_block_simd.h"
#include "simd/dcmp_colour_simd.h"
#include "simd/dcmp_resize_simd.h"
#include "simd/dcmp_rotate_simd.h"

const DcmpKernels DcmpKernelsAvx512 = {
    DecodePlanesVec, YuvToRgb24Vec, YuvToRgb24CifVec, FillCifGapsVec, SubsampleQcVec,
    SubsampleQqvVec, Rotate1Vec,    Rotate2Vec,       Dcmp_MapIYUV,
};
