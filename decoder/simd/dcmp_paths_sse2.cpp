// The SSE2 path: every x86-64 processor runs it.
#define DCMP_VEC_SSE2
#include "simd/dcmp_vec.h"

namespace {

// Four pixels held as 32-bit blue, green, red, 0 to their 12 bytes at 0..11.
inline __m128i Pack12(__m128i p)
{
    const __m128i low24 = _mm_set1_epi64x(0x0000000000FFFFFF);
    const __m128i next24 = _mm_set1_epi64x(0x0000FFFFFF000000);
    const __m128i q = _mm_or_si128(_mm_and_si128(p, low24), _mm_and_si128(_mm_srli_epi64(p, 8), next24));
    const __m128i first6 = _mm_set_epi64x(0, 0x0000FFFFFFFFFFFF);
    const __m128i from4 = _mm_set_epi64x(-1, static_cast<long long>(0xFFFFFFFF00000000ull));
    return _mm_or_si128(_mm_and_si128(q, first6), _mm_and_si128(_mm_srli_si128(q, 2), from4));
}

// Sixteen pixels from their blue, green and red bytes to 48 interleaved bytes.
inline void StoreBgr(uint8_t* out, __m128i b, __m128i g, __m128i r)
{
    const __m128i zero = _mm_setzero_si128();
    const __m128i bg0 = _mm_unpacklo_epi8(b, g), bg1 = _mm_unpackhi_epi8(b, g);
    const __m128i r0 = _mm_unpacklo_epi8(r, zero), r1 = _mm_unpackhi_epi8(r, zero);
    const __m128i p0 = Pack12(_mm_unpacklo_epi16(bg0, r0));
    const __m128i p1 = Pack12(_mm_unpackhi_epi16(bg0, r0));
    const __m128i p2 = Pack12(_mm_unpacklo_epi16(bg1, r1));
    const __m128i p3 = Pack12(_mm_unpackhi_epi16(bg1, r1));
    __m128i* dst = reinterpret_cast<__m128i*>(out);
    _mm_storeu_si128(dst, _mm_or_si128(p0, _mm_slli_si128(p1, 12)));
    _mm_storeu_si128(dst + 1, _mm_or_si128(_mm_srli_si128(p1, 4), _mm_slli_si128(p2, 8)));
    _mm_storeu_si128(dst + 2, _mm_or_si128(_mm_srli_si128(p2, 8), _mm_slli_si128(p3, 4)));
}

}  // namespace

#include "simd/dcmp_block_simd.h"
#include "simd/dcmp_colour_simd.h"
#include "simd/dcmp_resize_simd.h"
#include "simd/dcmp_rotate_simd.h"

const DcmpKernels DcmpKernelsSse2 = {
    DecodePlanesVec, YuvToRgb24Vec, YuvToRgb24CifVec, FillCifGapsVec, SubsampleQcVec,
    SubsampleQqvVec, Rotate1Vec,    Rotate2Vec,       Dcmp_MapIYUV,
};
