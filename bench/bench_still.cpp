// One 640 x 480 stored picture of a real photograph, as the data source
// handles every picture it downloads: unpacking and decoding (a fresh decoder
// context each time, as Dcmp_DecodeStill makes one per call), then the
// enhancement into the working bitmap.
#include <benchmark/benchmark.h>

#include <memory>

#include "decoder/dcmp_enhance.h"
#include "decoder/dcmp_still.h"
#include "sim/encoder/still_encoder.h"
#include "tools/frame_tools.h"
#include "tools/imageio.h"

namespace {

const std::vector<std::uint8_t>& StoredPhoto() {
    static const std::vector<std::uint8_t> stored = [] {
        const auto photo =
            torvex::tools::DecodeImage(torvex::tools::ReadAll(std::string(TORVEX_PHOTOS_DIR) + "/astronaut.png"));
        return torvex::sim::EncodeStill(torvex::sim::FitToSize(photo, 640, 480)).bytes;
    }();
    return stored;
}

void BM_DecodeStill(benchmark::State& state) {
    const std::vector<std::uint8_t>& stored = StoredPhoto();
    std::vector<std::uint8_t> out(DCMP_STILL_PICTURE_BYTES);
    for (auto _ : state) {
        if (!Dcmp_DecodeStill(DCMP_STILL_SIZE_VGA, DCMP_STILL_BLOCKS_420, 0, 0, 0, out.data(), stored.size(),
                              stored.data())) {
            state.SkipWithError("stored picture did not decode");
            return;
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["stored_bytes"] = static_cast<double>(stored.size());
}
BENCHMARK(BM_DecodeStill)->Unit(benchmark::kMillisecond);

void BM_StillToBitmap(benchmark::State& state) {
    const std::vector<std::uint8_t>& stored = StoredPhoto();
    std::vector<std::uint8_t> picture(DCMP_STILL_PICTURE_BYTES);
    if (!Dcmp_DecodeStill(1, 2, 0, 0, 0, picture.data(), stored.size(), stored.data())) {
        state.SkipWithError("stored picture did not decode");
        return;
    }
    auto bitmap = std::make_unique<DcmpStillBitmap>();
    for (auto _ : state) {
        Dcmp_StillToBitmap(picture.data(), bitmap.get());
        benchmark::DoNotOptimize(bitmap->pixels);
    }
}
BENCHMARK(BM_StillToBitmap)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
