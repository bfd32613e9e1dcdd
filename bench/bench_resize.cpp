// The steps after the colour conversion, one at a time, on each path the
// processor runs (the scalar row is the reference code):
//
//   QuarterTurn/<path>/<W>x<H>   rotation 1 of a W x H picture
//   HalfTurn/<path>/<W>x<H>      rotation 2 of a W x H picture
//   QV2QC/<path>/176x144         176 x 144 subsampled from the 320 x 240 coded picture
//   QV2QQV/<path>/160x120        160 x 120 subsampled from the 320 x 240 coded picture
//
// Each row runs the stage through the path's stage table on a context made
// by Dcmp_Initialize, as a decode does; the picture holds varied bytes.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "dcmp.h"
#include "simd/dcmp_kernels.h"
#include "simd/dcmp_simd.h"

namespace {

enum class Stage { QuarterTurn, HalfTurn, Qv2Qc, Qv2Qqv };

void FillVaried(uint8_t* bytes, std::size_t count)
{
    uint32_t x = 12345;
    for (std::size_t i = 0; i < count; i++) {
        x = x * 1103515245u + 12345u;
        bytes[i] = static_cast<uint8_t>(x >> 24);
    }
}

void BM_Stage(benchmark::State& state, Stage stage, int32_t path, int32_t width, int32_t height)
{
    DcmpContext ctx{};
    ctx.outWidth = width;
    ctx.outHeight = height;
    if (Dcmp_Initialize(&ctx) != 1 || Dcmp_SetSimdPath(&ctx, path) != 1) {
        Dcmp_Release(&ctx);
        state.SkipWithError("size or path not available");
        return;
    }
    const DcmpKernels* stages = Dcmp_PathKernels(&ctx);
    std::vector<uint8_t> picture(static_cast<std::size_t>(width) * height * 3);
    FillVaried(picture.data(), picture.size());
    // The subsampling steps read the coded picture in workBuf.
    const std::size_t codedBytes = static_cast<std::size_t>(ctx.decWidth) * ctx.decHeight * 3;
    if (stage == Stage::Qv2Qc || stage == Stage::Qv2Qqv)
        FillVaried(ctx.workBuf, codedBytes);
    ctx.dstPicture = ctx.workBuf + codedBytes - static_cast<std::size_t>(ctx.rgbStride);
    ctx.dstFinal = picture.data();
    ctx.rotation = stage == Stage::QuarterTurn ? 1 : stage == Stage::HalfTurn ? 2 : 0;
    for (auto _ : state) {
        switch (stage) {
        case Stage::QuarterTurn:
        case Stage::HalfTurn: stages->rotate2(&ctx); break;
        case Stage::Qv2Qc: stages->subsampleQc(&ctx); break;
        case Stage::Qv2Qqv: stages->subsampleQqv(&ctx); break;
        }
        benchmark::DoNotOptimize(picture.data());
        benchmark::ClobberMemory();
    }
    Dcmp_Release(&ctx);
}

void RegisterAll()
{
    struct Row {
        const char* name;
        Stage stage;
        int32_t width, height;
    };
    const Row rows[] = {
        {"QuarterTurn", Stage::QuarterTurn, 640, 480}, {"QuarterTurn", Stage::QuarterTurn, 320, 240},
        {"HalfTurn", Stage::HalfTurn, 640, 480},       {"HalfTurn", Stage::HalfTurn, 320, 240},
        {"QV2QC", Stage::Qv2Qc, 176, 144},             {"QV2QQV", Stage::Qv2Qqv, 160, 120},
    };
    for (const Row& row : rows) {
        for (int32_t path = 0; path < DCMP_PATH_COUNT; path++) {
            if (!Dcmp_SimdPathSupported(path))
                continue;
            const std::string name = std::string(row.name) + "/" + Dcmp_SimdPathName(path) + "/" +
                                     std::to_string(row.width) + "x" + std::to_string(row.height);
            benchmark::RegisterBenchmark(name.c_str(), BM_Stage, row.stage, path, row.width, row.height)
                ->Unit(benchmark::kMicrosecond);
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RegisterAll();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
