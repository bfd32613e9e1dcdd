// Live video end to end, as frames per CPU-second of the whole process: the
// simulated camera's packets, the host controller, the driver's frame assembly
// and the decode into the capture application's reads (and the simulation's
// own threads, which a real system would not have).
#include <benchmark/benchmark.h>

#include <chrono>
#include <string>

#include "tools/capture_session.h"
#include "tools/frame_tools.h"
#include "tools/imageio.h"

namespace {

void Pipeline(benchmark::State& state, bool iyuv) {
  torvex::tools::CaptureOptions options;
  options.width = 640;
  options.height = 480;
  options.iyuv = iyuv;
  options.framesPerSecond = 10;
  options.quality = 3000;
  options.masterClock = true;
  options.pictures = {torvex::tools::DecodeImage(
      torvex::tools::ReadAll(std::string(TORVEX_PHOTOS_DIR) + "/astronaut.png"))};
  torvex::tools::CaptureSession session(options);
  session.SetState(KSSTATE_RUN);
  session.Capture(2, std::chrono::seconds(5));  // warm up: first frames and encoder cache
  int64_t frames = 0;
  for (auto _ : state) {
    const auto got = session.Capture(1, std::chrono::seconds(5));
    if (got.empty() || got.front().data.empty()) {
      state.SkipWithError("no frame arrived");
      break;
    }
    frames += 1;
  }
  state.counters["frames_per_cpu_second"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}

void BM_Pipeline640x480Rgb24(benchmark::State& state) { Pipeline(state, false); }
void BM_Pipeline640x480Iyuv(benchmark::State& state) { Pipeline(state, true); }

BENCHMARK(BM_Pipeline640x480Rgb24)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Pipeline640x480Iyuv)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
