// Choice of the vector path: what the processor runs, the table of stage
// functions of each path, and the run-length decoder's step table.
#include <cstring>

#include "simd/dcmp_kernels.h"
#include "simd/dcmp_simd.h"

namespace {

const DcmpKernels kScalarKernels = {
    Dcmp_DecodePlanes, WMMX_YUV12ToRGB24, WMMX_YUV12ToRGB24_CIF, Dcmp_QV2C_Flip, Dcmp_QV2QC,
    Dcmp_QV2QQV,       Dcmp_Rotate1,      Dcmp_Rotate2,          Dcmp_MapIYUV,
};

const char* const kPathNames[DCMP_PATH_COUNT] = {"scalar", "sse2", "avx2", "avx512"};

const DcmpKernels* KernelsOf(int32_t path)
{
    switch (path) {
#if defined(__x86_64__)
    case DCMP_PATH_SSE2: return &DcmpKernelsSse2;
    case DCMP_PATH_AVX2: return &DcmpKernelsAvx2;
    case DCMP_PATH_AVX512: return &DcmpKernelsAvx512;
#endif
    default: return &kScalarKernels;
    }
}

constexpr int16_t SignExtend(unsigned value, unsigned bits)
{
    const unsigned signBit = 1u << (bits - 1);
    value &= (1u << bits) - 1;
    return static_cast<int16_t>(static_cast<int>(value ^ signBit) - static_cast<int>(signBit));
}

constexpr DcmpRldStep RldStep(unsigned kind, unsigned c)
{
    constexpr uint8_t kSkip = 64;
    switch (kind) {
    case 0:  // position: no value, k := c AND 0x3F
        return {0, 0, kSkip, kSkip, 0x00, static_cast<uint8_t>(c & 0x3F)};
    case 1:  // two small values
        return {SignExtend(c >> 3, 3), SignExtend(c, 3), 0, 0, 0xFF, 2};
    case 2:  // one value
        return {SignExtend(c, 6), 0, 0, kSkip, 0xFF, 1};
    default:  // one large value; the low 7 bits come from the next byte
        return {static_cast<int16_t>(SignExtend(c, 5) * 128), 0, 0, kSkip, 0xFF, 1};
    }
}

constexpr DcmpRldTable MakeRldTable()
{
    DcmpRldTable table{};
    for (unsigned i = 0; i < 4 * 256; i++)
        table.steps[i] = RldStep(i >> 8, i & 0xFF);
    return table;
}

bool CpuRuns(int32_t path)
{
#if defined(__x86_64__)
    switch (path) {
    case DCMP_PATH_SCALAR:
    case DCMP_PATH_SSE2: return true;
    case DCMP_PATH_AVX2: return __builtin_cpu_supports("avx2");
    case DCMP_PATH_AVX512:
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
               __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi");
    default: return false;
    }
#else
    return path == DCMP_PATH_SCALAR;
#endif
}

}  // namespace

constinit const DcmpRldTable DcmpRldSteps = MakeRldTable();

int32_t Dcmp_SimdPathSupported(int32_t path)
{
    // The processor's features never change while the program runs.
    static const bool supported[DCMP_PATH_COUNT] = {CpuRuns(0), CpuRuns(1), CpuRuns(2), CpuRuns(3)};
    return path >= 0 && path < DCMP_PATH_COUNT && supported[path] ? 1 : 0;
}

int32_t Dcmp_BestSimdPath(void)
{
    for (int32_t path = DCMP_PATH_COUNT - 1; path > DCMP_PATH_SCALAR; path--) {
        if (Dcmp_SimdPathSupported(path))
            return path;
    }
    return DCMP_PATH_SCALAR;
}

int32_t Dcmp_SetSimdPath(DcmpContext* ctx, int32_t path)
{
    if (!Dcmp_SimdPathSupported(path))
        return 0;
    ctx->simdPath = path;
    return 1;
}

const char* Dcmp_SimdPathName(int32_t path)
{
    return path >= 0 && path < DCMP_PATH_COUNT ? kPathNames[path] : nullptr;
}

int32_t Dcmp_SimdPathFromName(const char* name)
{
    for (int32_t path = 0; path < DCMP_PATH_COUNT; path++) {
        if (name && std::strcmp(name, kPathNames[path]) == 0)
            return path;
    }
    return -1;
}

const DcmpKernels* Dcmp_PathKernels(const DcmpContext* ctx)
{
    return KernelsOf(ctx->simdPath);
}
