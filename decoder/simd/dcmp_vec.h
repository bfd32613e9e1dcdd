// Thin wrappers over the x86-64 vector instructions that the vector paths use,
// one struct per instruction set with the same member names, so that the
// stage templates are written once. Every function here has internal linkage:
// each path's source file is compiled for its own instruction set, and no
// code built for a wider set may be shared with a narrower one.
#pragma once

#include <immintrin.h>

#include <cstdint>

namespace {

#if defined(DCMP_VEC_SSE2)
struct VecOps {
    using V = __m128i;
    static constexpr int kBytes = 16;
    static V Load(const void* p) { return _mm_load_si128(static_cast<const __m128i*>(p)); }
    static V LoadU(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
    static void Store(void* p, V v) { _mm_store_si128(static_cast<__m128i*>(p), v); }
    static void StoreU(void* p, V v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }
    static V Zero() { return _mm_setzero_si128(); }
    static V Set16(int16_t x) { return _mm_set1_epi16(x); }
    static V Adds(V a, V b) { return _mm_adds_epi16(a, b); }
    static V Subs(V a, V b) { return _mm_subs_epi16(a, b); }
    static V Add(V a, V b) { return _mm_add_epi16(a, b); }
    static V Sub(V a, V b) { return _mm_sub_epi16(a, b); }
    static V MulHi(V a, V b) { return _mm_mulhi_epi16(a, b); }
    static V MulLo(V a, V b) { return _mm_mullo_epi16(a, b); }
    template <int n> static V Sra(V a) { return _mm_srai_epi16(a, n); }
    template <int n> static V Srl(V a) { return _mm_srli_epi16(a, n); }
    template <int n> static V Sll(V a) { return _mm_slli_epi16(a, n); }
    static V Lo8(V a, V b) { return _mm_unpacklo_epi8(a, b); }
    static V Hi8(V a, V b) { return _mm_unpackhi_epi8(a, b); }
    static V Lo16(V a, V b) { return _mm_unpacklo_epi16(a, b); }
    static V Hi16(V a, V b) { return _mm_unpackhi_epi16(a, b); }
    static V Lo32(V a, V b) { return _mm_unpacklo_epi32(a, b); }
    static V Hi32(V a, V b) { return _mm_unpackhi_epi32(a, b); }
    static V Lo64(V a, V b) { return _mm_unpacklo_epi64(a, b); }
    static V Hi64(V a, V b) { return _mm_unpackhi_epi64(a, b); }
    static V PackUs(V a, V b) { return _mm_packus_epi16(a, b); }
    static V MaxU8(V a, V b) { return _mm_max_epu8(a, b); }
    static V MinU8(V a, V b) { return _mm_min_epu8(a, b); }
    static V Set8(uint8_t x) { return _mm_set1_epi8(static_cast<char>(x)); }
    static V AvgU8(V a, V b) { return _mm_avg_epu8(a, b); }
    static V And(V a, V b) { return _mm_and_si128(a, b); }
    static V Xor(V a, V b) { return _mm_xor_si128(a, b); }
    static V SubU8(V a, V b) { return _mm_sub_epi8(a, b); }
    // Widens kBytes / 2 bytes to 16-bit lanes in their natural order.
    static V WidenU8(const uint8_t* p) { return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), _mm_setzero_si128()); }
};
#elif defined(DCMP_VEC_AVX2)
struct VecOps {
    using V = __m256i;
    static constexpr int kBytes = 32;
    static V Load(const void* p) { return _mm256_load_si256(static_cast<const __m256i*>(p)); }
    static V LoadU(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }
    static void Store(void* p, V v) { _mm256_store_si256(static_cast<__m256i*>(p), v); }
    static void StoreU(void* p, V v) { _mm256_storeu_si256(static_cast<__m256i*>(p), v); }
    static V Zero() { return _mm256_setzero_si256(); }
    static V Set16(int16_t x) { return _mm256_set1_epi16(x); }
    static V Adds(V a, V b) { return _mm256_adds_epi16(a, b); }
    static V Subs(V a, V b) { return _mm256_subs_epi16(a, b); }
    static V Add(V a, V b) { return _mm256_add_epi16(a, b); }
    static V Sub(V a, V b) { return _mm256_sub_epi16(a, b); }
    static V MulHi(V a, V b) { return _mm256_mulhi_epi16(a, b); }
    static V MulLo(V a, V b) { return _mm256_mullo_epi16(a, b); }
    template <int n> static V Sra(V a) { return _mm256_srai_epi16(a, n); }
    template <int n> static V Srl(V a) { return _mm256_srli_epi16(a, n); }
    template <int n> static V Sll(V a) { return _mm256_slli_epi16(a, n); }
    static V Lo8(V a, V b) { return _mm256_unpacklo_epi8(a, b); }
    static V Hi8(V a, V b) { return _mm256_unpackhi_epi8(a, b); }
    static V Lo16(V a, V b) { return _mm256_unpacklo_epi16(a, b); }
    static V Hi16(V a, V b) { return _mm256_unpackhi_epi16(a, b); }
    static V Lo32(V a, V b) { return _mm256_unpacklo_epi32(a, b); }
    static V Hi32(V a, V b) { return _mm256_unpackhi_epi32(a, b); }
    static V Lo64(V a, V b) { return _mm256_unpacklo_epi64(a, b); }
    static V Hi64(V a, V b) { return _mm256_unpackhi_epi64(a, b); }
    static V PackUs(V a, V b) { return _mm256_packus_epi16(a, b); }
    static V MaxU8(V a, V b) { return _mm256_max_epu8(a, b); }
    static V MinU8(V a, V b) { return _mm256_min_epu8(a, b); }
    static V Set8(uint8_t x) { return _mm256_set1_epi8(static_cast<char>(x)); }
    static V AvgU8(V a, V b) { return _mm256_avg_epu8(a, b); }
    static V And(V a, V b) { return _mm256_and_si256(a, b); }
    static V Xor(V a, V b) { return _mm256_xor_si256(a, b); }
    static V SubU8(V a, V b) { return _mm256_sub_epi8(a, b); }
    static V WidenU8(const uint8_t* p) { return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))); }
};
#elif defined(DCMP_VEC_AVX512)
struct VecOps {
    using V = __m512i;
    static constexpr int kBytes = 64;
    static V Load(const void* p) { return _mm512_load_si512(p); }
    static V LoadU(const void* p) { return _mm512_loadu_si512(p); }
    static void Store(void* p, V v) { _mm512_store_si512(p, v); }
    static void StoreU(void* p, V v) { _mm512_storeu_si512(p, v); }
    static V Zero() { return _mm512_setzero_si512(); }
    static V Set16(int16_t x) { return _mm512_set1_epi16(x); }
    static V Adds(V a, V b) { return _mm512_adds_epi16(a, b); }
    static V Subs(V a, V b) { return _mm512_subs_epi16(a, b); }
    static V Add(V a, V b) { return _mm512_add_epi16(a, b); }
    static V Sub(V a, V b) { return _mm512_sub_epi16(a, b); }
    static V MulHi(V a, V b) { return _mm512_mulhi_epi16(a, b); }
    static V MulLo(V a, V b) { return _mm512_mullo_epi16(a, b); }
    template <int n> static V Sra(V a) { return _mm512_srai_epi16(a, n); }
    template <int n> static V Srl(V a) { return _mm512_srli_epi16(a, n); }
    template <int n> static V Sll(V a) { return _mm512_slli_epi16(a, n); }
    static V Lo8(V a, V b) { return _mm512_unpacklo_epi8(a, b); }
    static V Hi8(V a, V b) { return _mm512_unpackhi_epi8(a, b); }
    static V Lo16(V a, V b) { return _mm512_unpacklo_epi16(a, b); }
    static V Hi16(V a, V b) { return _mm512_unpackhi_epi16(a, b); }
    // The zero-masking forms with every lane selected: the plain ones trip a
    // false uninitialised-value warning in some compilers' headers.
    static V Lo32(V a, V b) { return _mm512_maskz_unpacklo_epi32(0xFFFF, a, b); }
    static V Hi32(V a, V b) { return _mm512_maskz_unpackhi_epi32(0xFFFF, a, b); }
    static V Lo64(V a, V b) { return _mm512_maskz_unpacklo_epi64(0xFF, a, b); }
    static V Hi64(V a, V b) { return _mm512_maskz_unpackhi_epi64(0xFF, a, b); }
    static V PackUs(V a, V b) { return _mm512_packus_epi16(a, b); }
    static V MaxU8(V a, V b) { return _mm512_max_epu8(a, b); }
    static V MinU8(V a, V b) { return _mm512_min_epu8(a, b); }
    static V Set8(uint8_t x) { return _mm512_set1_epi8(static_cast<char>(x)); }
    static V AvgU8(V a, V b) { return _mm512_avg_epu8(a, b); }
    static V And(V a, V b) { return _mm512_and_si512(a, b); }
    static V Xor(V a, V b) { return _mm512_xor_si512(a, b); }
    static V SubU8(V a, V b) { return _mm512_sub_epi8(a, b); }
    static V WidenU8(const uint8_t* p) { return _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))); }
};
#else
#error "define DCMP_VEC_SSE2, DCMP_VEC_AVX2 or DCMP_VEC_AVX512 before including dcmp_vec.h"
#endif

}  // namespace
