// Vector paths of the frame decoder.
//
// Dcmp_Initialize picks the fastest path the processor runs and stores it in
// the context (simdPath); every path produces exactly the same bytes. After
// the initialisation a caller may force another path, for example to compare
// them or to measure each.
#pragma once

#include <cstdint>

#include "dcmp.h"

enum DcmpSimdPath : int32_t {
    DCMP_PATH_SCALAR = 0,  // plain C++, every processor
    DCMP_PATH_SSE2 = 1,    // every x86-64 processor
    DCMP_PATH_AVX2 = 2,
    DCMP_PATH_AVX512 = 3,  // needs AVX-512 F, BW, VL and VBMI
};
constexpr int32_t DCMP_PATH_COUNT = 4;

// 1 when this processor (and build) runs the path, else 0.
int32_t Dcmp_SimdPathSupported(int32_t path);
// The fastest supported path; what Dcmp_Initialize chooses.
int32_t Dcmp_BestSimdPath(void);
// Forces a path on an initialised context. Returns 1, or 0 (and leaves the
// context's path unchanged) when the path is unknown or not supported.
int32_t Dcmp_SetSimdPath(DcmpContext* ctx, int32_t path);
// "scalar", "sse2", "avx2", "avx512"; null for an unknown path.
const char* Dcmp_SimdPathName(int32_t path);
// The path of that name, or -1.
int32_t Dcmp_SimdPathFromName(const char* name);
