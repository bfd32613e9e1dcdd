// The AVX2 path (this file is compiled with AVX2 enabled).
#define DCMP_VEC_AVX2
#include "simd/dcmp_vec.h"

namespace {

// Byte-shuffle masks that place channel `channel` of 16 pixels into output
// bytes 16 t .. 16 t + 15 of their 48 interleaved bytes (0x80: left empty).
struct BgrMasks {
    alignas(32) uint8_t bytes[3][3][32];
};

constexpr BgrMasks MakeBgrMasks()
{
    BgrMasks masks{};
    for (int t = 0; t < 3; t++)
        for (int channel = 0; channel < 3; channel++)
            for (int j = 0; j < 32; j++) {
                const int g = 16 * t + j % 16;
                masks.bytes[t][channel][j] = g % 3 == channel ? static_cast<uint8_t>(g / 3) : 0x80;
            }
    return masks;
}

constexpr BgrMasks kBgrMasks = MakeBgrMasks();

// 32 pixels from their blue, green and red bytes to 96 interleaved bytes.
inline void StoreBgr(uint8_t* out, __m256i b, __m256i g, __m256i r)
{
    __m256i o[3];
    for (int t = 0; t < 3; t++) {
        const auto* m = kBgrMasks.bytes[t];
        o[t] = _mm256_or_si256(
            _mm256_or_si256(_mm256_shuffle_epi8(b, _mm256_load_si256(reinterpret_cast<const __m256i*>(m[0]))),
                            _mm256_shuffle_epi8(g, _mm256_load_si256(reinterpret_cast<const __m256i*>(m[1])))),
            _mm256_shuffle_epi8(r, _mm256_load_si256(reinterpret_cast<const __m256i*>(m[2]))));
    }
    // Each 128-bit lane holds 16 pixels: reorder the lanes into memory order.
    __m256i* dst = reinterpret_cast<__m256i*>(out);
    _mm256_storeu_si256(dst, _mm256_permute2x128_si256(o[0], o[1], 0x20));
    _mm256_storeu_si256(dst + 1, _mm256_permute2x128_si256(o[2], o[0], 0x30));
    _mm256_storeu_si256(dst + 2, _mm256_permute2x128_si256(o[1], o[2], 0x31));
}

}  // namespace

#include "simd/dcmp_block_simd.h"
#include "simd/dcmp_colour_simd.h"
#include "simd/dcmp_resize_simd.h"
#include "simd/dcmp_rotate_simd.h"

const DcmpKernels DcmpKernelsAvx2 = {
    DecodePlanesVec, YuvToRgb24Vec, YuvToRgb24CifVec, FillCifGapsVec, SubsampleQcVec,
    SubsampleQqvVec, Rotate1Vec,    Rotate2Vec,       Dcmp_MapIYUV,
};
