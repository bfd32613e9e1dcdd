// Decoding a camera frame of a real photograph into RGB24 and IYUV, as the
// driver does for every frame, and encoding it, as the simulated camera does.
#include <benchmark/benchmark.h>

#include "bench/bench_decode.h"

namespace {

using torvex::sim::RgbPicture;

constexpr int kLevel = 2;

const RgbPicture& Photo(int width, int height) { return torvex::bench::Photo("astronaut.png", width, height); }

void Decode(benchmark::State& state, bool iyuv) {
    const int width = static_cast<int>(state.range(0)), height = static_cast<int>(state.range(1));
    torvex::bench::DecodeLoop(state, torvex::sim::EncodeFrame(Photo(width, height), kLevel), width, height, iyuv);
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
