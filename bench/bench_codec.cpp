// Decoding a camera frame of a real photograph into RGB24 and IYUV, as the
// driver does for every frame, and encoding it, as the simulated camera does.
#include <benchmark/benchmark.h>

#include <map>

#include "decoder/dcmp.h"
#include "sim/encoder/encoder.h"
#include "tools/frame_tools.h"
#include "tools/imageio.h"

namespace {

using torvex::sim::RgbPicture;

constexpr int kLevel = 2;

const RgbPicture& Photo(int width, int height) {
    static std::map<int, RgbPicture> fitted;
    auto it = fitted.find(width);
    if (it == fitted.end()) {
        const RgbPicture original = torvex::tools::DecodeImage(
            torvex::tools::ReadAll(std::string(TORVEX_PHOTOS_DIR) + "/astronaut.png"));
        it = fitted.emplace(width, torvex::sim::FitToSize(original, width, height)).first;
    }
    return it->second;
}

// One decoder context prepared outside the timed loop, as the driver keeps one per stream.
void Decode(benchmark::State& state, bool iyuv) {
    const int width = static_cast<int>(state.range(0)), height = static_cast<int>(state.range(1));
    const auto frame = torvex::sim::EncodeFrame(Photo(width, height), kLevel);
    std::vector<std::uint8_t> frameBuffer(DCMP_FRAME_BUFFER_BYTES, 0);
    std::copy(frame.bytes.begin(), frame.bytes.end(), frameBuffer.begin());
    DcmpContext ctx{};
    ctx.outWidth = width;
    ctx.outHeight = height;
    ctx.qualityLevel = frame.levelUsed;
    if (Dcmp_Initialize(&ctx) != 1) {
        state.SkipWithError("decoder refused the size");
        return;
    }
    std::vector<std::uint8_t> out(static_cast<std::size_t>(width) * height * 3);
    ctx.srcFrame = frameBuffer.data();
    ctx.srcFrameSize = frameBuffer.size();
    ctx.rotation = 0;
    for (auto _ : state) {
        if (iyuv) {
            ctx.dstPicture = out.data();
            Dcmp_Decmpfrm420_IYUV(&ctx);
        } else {
            ctx.dstPicture = out.data() + static_cast<std::size_t>(height - 1) * width * 3;
            Dcmp_Decmpfrm420(&ctx);
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    Dcmp_Release(&ctx);
    state.counters["frame_bytes"] = static_cast<double>(frame.bytes.size());
}

void BM_DecodeRgb24(benchmark::State& state) { Decode(state, false); }
void BM_DecodeIyuv(benchmark::State& state) { Decode(state, true); }

void BM_Encode(benchmark::State& state) {
    const RgbPicture& picture = Photo(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    for (auto _ : state) {
        auto frame = torvex::sim::EncodeFrame(picture, kLevel);
        benchmark::DoNotOptimize(frame.bytes.data());
    }
}

BENCHMARK(BM_DecodeRgb24)->Args({640, 480})->Args({320, 240})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeIyuv)->Args({640, 480})->Args({320, 240})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Encode)->Args({640, 480})->Args({320, 240})->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
